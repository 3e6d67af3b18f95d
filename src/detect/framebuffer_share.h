// A framebuffer-based share of the Zoom client. Such a share reads the screen's pixels itself, so
// the window server's watcher flag may not see it and capture-excluded windows are not left out
// of it; the windows the client puts on screen during it give it away: the capture host's window
// ("CptHost", at least 200 x 200 points) and the share toolbar, status bar or window chooser of
// "zoom.us".
//
// One object per process: the share detector and the privacy controller's refresh both ask for
// throttledScan(), so that their 4 Hz and 10 Hz together cost at most one scan per 0.09 seconds.
//
// Threading: main thread.
#pragma once

#include <optional>
#include <vector>

#include "base/clock.h"
#include "platform/window_server.h"

namespace corvane {

class FramebufferShare {
 public:
  static constexpr double kThrottleInterval = 0.09;

  FramebufferShare(WindowServer& windowServer, const Clock& clock);
  FramebufferShare(const FramebufferShare&) = delete;
  FramebufferShare& operator=(const FramebufferShare&) = delete;

  // One read of the on-screen window list (front to back), tested as below.
  bool scan();
  // False for a missing or empty list; true at the first entry that shows a framebuffer share.
  static bool scan(const std::optional<std::vector<WindowListEntry>>& onScreenList);

  // scan() when at least 0.09 seconds of media time have passed since the last scan made here (or
  // none was made yet); otherwise the last scan's result.
  bool throttledScan();
  // The same, testing `onScreenList` when a scan is due: a read of the list the caller made anyway
  // (the privacy controller's refresh shares one read among all its questions).
  bool throttledScan(const std::optional<std::vector<WindowListEntry>>& onScreenList);
  // scan() now, kept as the last scan for throttledScan() (the share detector's frame-rate check
  // while a call is going on).
  bool freshScan();

 private:
  WindowServer& windowServer_;
  const Clock& clock_;
  std::optional<double> lastScanAt_;
  bool lastResult_ = false;
};

}  // namespace corvane
