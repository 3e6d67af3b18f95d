// The platform's own signs that the screen is being captured: the window server's screen-watcher
// flag (some process captures or shares the screen right now) and the system's content-sharing
// picker on screen (a share is about to start).
//
// Threading: main thread.
#pragma once

#include <optional>
#include <vector>

#include "platform/window_server.h"
#include "platform/window_server_private.h"

namespace corvane {

class ScreenCaptureSignal {
 public:
  // `privateServer` may be null (no private interface: no watcher flag).
  ScreenCaptureSignal(WindowServerPrivate* privateServer, WindowServer& windowServer);
  ScreenCaptureSignal(const ScreenCaptureSignal&) = delete;
  ScreenCaptureSignal& operator=(const ScreenCaptureSignal&) = delete;

  // Whether the watcher flag can be read at all. Resolved on the first call and kept.
  bool hasWatcherPresent();
  // The watcher flag; absent when the entry point is missing.
  std::optional<bool> watcherPresent();

  // One read of the on-screen window list: true when a "Control Center" window whose title
  // begins with "SharedContentPicker" is on screen. A missing list gives false.
  bool systemPickerOpen();
  static bool systemPickerOpen(const std::optional<std::vector<WindowListEntry>>& onScreenList);

 private:
  WindowServerPrivate* privateServer_;
  WindowServer& windowServer_;
  std::optional<bool> watcherResolved_;
};

}  // namespace corvane
