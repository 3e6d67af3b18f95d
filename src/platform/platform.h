// The bundle of ports a backend hands to the core. Every reference stays valid for the life of the
// bundle; the backend that made it owns everything.
#pragma once

namespace corvane {

class Application;
class Clock;
class DefaultsStore;
class Dispatcher;
class LogSink;
class Processes;
class Screens;
class WindowServer;
class Workspace;

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
};

}  // namespace corvane
