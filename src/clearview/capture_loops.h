// The capture loops: the work of the helper processes that write frames into a shared frame file.
//
//   window         one window's image, every 1/60 s (paused: polls every 50 ms)
//   desktop        a composite of the requested desktop windows over a display, every 0.125 s
//   notifications  a composite of the notification banners, every 1/60 s in the first second after
//                  the loop started or a pause ended and every 1/30 s after it, compositing at most
//                  every 1/12 s once that first second is over; it reports the banner's drawn area
//                  on every iteration (paused: polls every 4 ms)
//
// A loop opens an existing file (never creates one), takes its images through the window server
// port and is controlled only through the file: `paused`, `stop` and the capture request. Each
// iteration is a task on the host's queue; the loop waits only for what is left of its period
// after its work, so a slow capture lowers the frame rate instead of piling up work. Time comes
// from the host's dispatcher: the real clock in a helper process, virtual time on the simulated
// desktop and in tests.
//
// Threading: the loop runs on the queue its host gives it, and is created and destroyed there.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/dispatch.h"
#include "clearview/clear_view_shared_frame.h"
#include "platform/window_server.h"

namespace corvane {

enum class CaptureLoopKind { window, desktop, notifications };

// What a loop needs from the process it runs in.
struct CaptureLoopHost {
  WindowServer& windowServer;
  DispatchQueue& queue;  // runs the iterations
  const Clock& clock;    // media time, for the pace
  // The application that launched the helper: its windows never appear in a notification composite.
  pid_t parentPID = 0;
  // Writes text as it is to the helper's standard error.
  std::function<void(const std::string& text)> standardError;
  // Ends the helper with the status. The loop does nothing more once it has called it.
  std::function<void(int status)> exit;
};

class CaptureLoop {
 public:
  // Opens the file at `path` and starts. When the file cannot be opened it writes the loop's
  // "could not map" line and exits with status 1; when `stop` is already set it exits with status
  // 0. Either way it returns null and takes no image. `windowID` is used by the window loop only.
  static std::unique_ptr<CaptureLoop> start(CaptureLoopKind kind, WindowID windowID, const std::string& path,
                                            CaptureLoopHost host);
  // Cancels the next iteration; the file stays as it is.
  ~CaptureLoop();
  CaptureLoop(const CaptureLoop&) = delete;
  CaptureLoop& operator=(const CaptureLoop&) = delete;

  // Loop constants.
  static double period(CaptureLoopKind kind, bool firstSecond = false);
  static double pausedInterval(CaptureLoopKind kind);

 private:
  CaptureLoop(CaptureLoopKind kind, WindowID windowID, std::string path, std::unique_ptr<ClearViewSharedFrame> frame,
              CaptureLoopHost host);
  void iterate();
  void finishIteration(double wait);
  void windowWork();
  void desktopWork();
  void notificationWork(double start);

  CaptureLoopKind kind_;
  WindowID windowID_;
  std::string path_;
  std::unique_ptr<ClearViewSharedFrame> frame_;
  CaptureLoopHost host_;
  TaskHandle next_;
  bool wrotePreview_ = false;
  bool reportedNoFrame_ = false;
  bool reportedFrame_ = false;
  // Notification loop state.
  std::optional<double> activation_;
  std::optional<double> lastComposite_;
  uint32_t contentCounter_ = 0;
  double elapsed_ = 0;
};

// One image of the listed windows (front to back: the first ends on top) as they lie over
// `displayRect` (window-server space), at the pixel scale of the back-most window that gives an
// image, scaled down to fit 2560 × 1600. Nothing when the rectangle is not wider and higher than 2
// points or no listed window is on screen over it with an image of at least 2 × 2 pixels.
std::optional<PixelBuffer> compositeDesktopWindows(WindowServer& windowServer, const std::vector<WindowID>& windowIDs,
                                                   Rect displayRect);

// The notification stack from the banner `below` toward the back: the numbers of on-screen windows
// of other owners than `excludingPID` that captures can see, and the banner's bounds. Nothing when
// the banner is not on screen.
struct NotificationStack {
  std::vector<WindowID> windowIDs;
  Rect bannerBounds;
};
std::optional<NotificationStack> notificationStack(WindowServer& windowServer, WindowID below, pid_t excludingPID);

// The part of `windowBounds` where the window draws (alpha 9 or more, judged on a quarter-size
// copy of its image); the null rectangle when it draws nothing or its image is below 8 × 8 pixels.
Rect drawnBounds(WindowServer& windowServer, WindowID window, Rect windowBounds);

// The listed windows composited over `rect`; nothing for no windows or a rectangle not wider and
// higher than 2 points.
std::optional<PixelBuffer> compositeWindows(WindowServer& windowServer, const std::vector<WindowID>& windowIDs, Rect rect);

// Where a helper writing to the shared frame file at `path` leaves its preview picture: the file's
// own directory when it is private to the user, else the user's shared frame directory; empty when
// neither can be had.
std::string previewDirectoryFor(const std::string& path);

// A helper process's whole life in one of the roles: runs the loop on the real clock on this
// thread until it exits, and returns its status. Messages go to `err`.
int runCaptureLoopProcess(CaptureLoopKind kind, WindowID windowID, const std::string& path,
                          WindowServer& windowServer, pid_t parentPID, std::ostream& err);

}  // namespace corvane
