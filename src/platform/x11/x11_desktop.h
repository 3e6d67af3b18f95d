// The real desktop on X11: every port of the Platform bundle over one X server connection.
//
// Windows are the window manager's client windows, numbered by their X window id, listed front to
// back in the server's stacking order with their frames' geometry; the program's own windows are
// override-redirect windows listed among them. Applications are the processes that own windows
// (_NET_WM_PID), identified by their desktop entry. What a screen capture records is the root
// window's image.
//
// Facilities X11 lacks are reported as unavailable: there is no capture exclusion (Clear View
// stays off and the user sees the frost too) and no screen-watcher signal. Process audio activity
// is not the window system's: the backend hands in the sound server's (setAudio), else there is none.
//
// Threading: main thread, except the window server ports (any thread).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace corvane {
class Audio;
class DefaultsStore;
class LogSink;
}  // namespace corvane

namespace corvane::x11 {

class Connection;
class DesktopEntries;

class X11Desktop {
 public:
  // Connects to `display` (null: $DISPLAY). `dispatcher` runs the main queue: a real one for the
  // application, a virtual one for tests (which then call processEvents() between steps). Absent,
  // with the reason in *error, when no X server answers.
  static std::unique_ptr<X11Desktop> open(Dispatcher& dispatcher, const char* display, LogSink& systemLog,
                                          std::string* error);
  ~X11Desktop();
  X11Desktop(const X11Desktop&) = delete;
  X11Desktop& operator=(const X11Desktop&) = delete;

  // Valid for the life of the desktop. Defaults and audio are what was handed in (or none).
  Platform platform();
  Connection& connection();
  DesktopEntries& desktopEntries();

  // Hands the X events that arrived to the ports (their notices go to the main queue).
  void processEvents();
  // Application::run() runs `run` and terminate() calls `stop` (a real dispatcher's main loop).
  void setRunLoop(std::function<void()> run, std::function<void()> stop);
  // Reads X events on a thread of their own while the application runs.
  void startEventThread();
  void setDefaultsStore(DefaultsStore* store);
  void setAudio(Audio* audio);

  struct Impl;

 private:
  explicit X11Desktop(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::x11
