// The bundle of ports a backend hands to the core. Every reference stays valid for the life of the
// bundle; the backend that made it owns everything.
#pragma once

namespace corvane {

class Accessibility;
class Application;
class Audio;
class Clock;
class DefaultsStore;
class Dispatcher;
class HttpTransport;
class Input;
class LogSink;
class LoginServices;
class Processes;
class Screens;
class SessionState;
class WindowServer;
class WindowServerPrivate;
class Workspace;
namespace ui {
class UserInterface;
}

struct Platform {
  Dispatcher& dispatcher;
  const Clock& clock;
  WindowServer& windowServer;
  Workspace& workspace;
  Screens& screens;
  Processes& processes;
  Application& application;
  LogSink& systemLog;
  DefaultsStore* defaults = nullptr;  // the per-user defaults store, when the backend has one
  WindowServerPrivate* windowServerPrivate = nullptr;  // the private window-server entry points, if any
  Audio* audio = nullptr;  // process and device audio activity, when the backend has it
  Accessibility* accessibility = nullptr;  // accessibility elements and observers, when the backend has them
  ui::UserInterface* ui = nullptr;
  LoginServices* loginServices = nullptr;  // the keep-alive service and the login item, when the backend has them
  Input* input = nullptr;  // event monitors, event taps, the pointer and hot keys, when the backend has them  // the program's own windows and views, when the backend has them
  HttpTransport* http = nullptr;  // requests to the organisation's server, when the backend has them
  SessionState* session = nullptr;  // idle time, screen lock and wake of the user's session, when the backend has them
};

}  // namespace corvane
