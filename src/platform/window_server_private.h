// The window server's private interface: the process's connections, window bounds and moves
// without the application framework, window tags (capture exclusion), the screen-watcher flag, and
// notifications of window changes on a connection.
//
// On the reference platform these are entry points of a private framework that is opened at run
// time, and any of them may be missing. A backend resolves each entry point on first use and
// reports a missing one in two ways: has() answers false, and the call returns an empty optional
// without doing anything. Callers treat a missing entry point as an unavailable feature and take
// their fallback; it is never an error.
//
// Spaces: bounds and move positions are in window-server space (origin at the top-left of the main
// display, y down); a move places the window's top-left corner.
//
// Threading: any thread (window moves come from background queues as well as from the main
// thread), except the window notifications (below). Results are values the caller owns.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <sys/types.h>

#include "base/geometry.h"
#include "base/observable.h"
#include "platform/window_server.h"

namespace corvane {

// A window-server connection id.
using WindowServerConnection = int32_t;
// The status a private call returns; 0 is success.
using WindowServerStatus = int32_t;

// Status values the window server uses.
namespace WindowServerError {
constexpr WindowServerStatus success = 0;
constexpr WindowServerStatus failure = 1000;
constexpr WindowServerStatus illegalArgument = 1001;
constexpr WindowServerStatus invalidConnection = 1002;
}  // namespace WindowServerError

// Window tags (a 64-bit word; the tag size argument is its width in bits).
namespace WindowTag {
// With only this bit set, a window is left out of every screen capture and share.
constexpr uint64_t captureExcluded = uint64_t(1) << 37;  // 0x0000002000000000
constexpr int32_t wordBits = 64;
}  // namespace WindowTag

enum class PrivateEntryPoint {
  mainConnectionID,        // SLSMainConnectionID()
  newConnection,           // SLSNewConnection(0, &cid)
  getWindowBounds,         // SLSGetWindowBounds(cid, window, &rect)
  moveWindow,              // SLSMoveWindow(cid, window, &point)
  setWindowTags,           // SLSSetWindowTags(cid, window, &tags, 64)
  isScreenWatcherPresent,  // SLSIsScreenWatcherPresent()
  registerConnectionNotifyProc,  // SLSRegisterConnectionNotifyProc(cid, proc, type, arg)
};

// What happened to a window, as the window server tells a connection that registered for window
// notifications. Every kind is a change that can uncover what lay behind the window.
enum class WindowNotification : uint32_t {
  destroyed,       // closed, also with the application that owned it
  moved,           // its origin changed
  resized,         // its size changed
  ordered,         // its place in the stacking order or its level changed, or it came on screen
  hidden,          // it left the screen: minimised, its application hidden, or ordered out
  alphaChanged,    // its opacity changed
  sharingChanged,  // its sharing type changed
};

struct WindowNotice {
  WindowNotification kind = WindowNotification::destroyed;
  WindowID window = 0;
  // The process that owns (or owned) the window. A backend whose server does not say looks it up;
  // it may be 0 only for a window that is gone. (Callers tell their own windows by it: every
  // refresh changes them, so taking them for foreign ones would refresh without end.)
  pid_t ownerPID = 0;
};

// The symbol of the entry point in the private framework ("SLSMainConnectionID", ...).
std::string_view symbolName(PrivateEntryPoint entryPoint);

class WindowServerPrivate {
 public:
  struct NewConnection {
    WindowServerStatus status = WindowServerError::failure;
    WindowServerConnection connection = 0;  // meaningful only with status 0
  };
  struct WindowBounds {
    WindowServerStatus status = WindowServerError::failure;
    Rect bounds;  // window-server space; meaningful only with status 0
  };
  using NotifyProc = std::function<void(const WindowNotice&)>;
  struct NotifyRegistration {
    WindowServerStatus status = WindowServerError::failure;
    // With status 0: the registration, which lasts until it is cancelled or dropped.
    Subscription registration;
  };

  virtual ~WindowServerPrivate() = default;

  // Whether the entry point resolved (it is looked up on the first call that needs it).
  virtual bool has(PrivateEntryPoint entryPoint) = 0;

  // The process's own connection id.
  virtual std::optional<WindowServerConnection> mainConnectionID() = 0;
  // A further connection of this process, used only for queries.
  virtual std::optional<NewConnection> newConnection() = 0;
  virtual std::optional<WindowBounds> getWindowBounds(WindowServerConnection connection, WindowID window) = 0;
  // Moves one of the process's own windows (main connection) so that its top-left corner is at
  // `topLeft`.
  virtual std::optional<WindowServerStatus> moveWindow(WindowServerConnection connection, WindowID window,
                                                       Point topLeft) = 0;
  // Sets the tags given in `tags` on the window; `tagBits` is the width of the tag word (64).
  virtual std::optional<WindowServerStatus> setWindowTags(WindowServerConnection connection, WindowID window,
                                                          uint64_t tags, int32_t tagBits) = 0;
  // True while some process captures or shares the screen.
  virtual std::optional<bool> isScreenWatcherPresent() = 0;
  // Registers `proc` on the connection for the notifications of every window's changes (those of
  // other processes and the caller's own alike). Each notice comes on the main queue, on a later
  // turn than the change but before the screen shows the next frame. Register, and cancel or drop
  // the registration, on the main thread; `proc` runs there.
  virtual std::optional<NotifyRegistration> registerConnectionNotifyProc(WindowServerConnection connection,
                                                                         NotifyProc proc) = 0;
};

}  // namespace corvane
