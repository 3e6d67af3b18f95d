// The window server's public interface: the window list, displays and window images.
//
// Shaped after the reference platform's CoreGraphics calls. Window-list bounds are in window-server
// space (origin top-left of the main display, y down); display bounds likewise.
//
// Threading: any thread. Results are values the caller owns.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/geometry.h"
#include "platform/pixel_buffer.h"

namespace corvane {

using WindowID = uint32_t;
using DisplayID = uint32_t;

// Window-list read options (combine with |).
namespace WindowListOption {
constexpr uint32_t all = 0;
constexpr uint32_t onScreenOnly = 1;
constexpr uint32_t onScreenAboveWindow = 2;
constexpr uint32_t onScreenBelowWindow = 4;
constexpr uint32_t includingWindow = 8;
constexpr uint32_t excludeDesktopElements = 16;
}  // namespace WindowListOption

// Which entries of a front-to-back window list a window-list request returns, the same on every
// backend: every window ("all"), the visible ones ("on screen only"), the visible ones in front of
// or behind the relative window, the relative window itself ("including window", visible or not
// unless "on screen only" is given too), less desktop elements when asked. A relative window that is
// not in the list bounds an empty list; window number 0 with "above" or "below" bounds nothing.
class WindowListSelection {
 public:
  // `relativeIndex`: where the relative window stands in the list; none when it is not there.
  WindowListSelection(uint32_t options, WindowID relativeTo, std::optional<size_t> relativeIndex);

  // The request can return nothing, whatever the list holds.
  bool none() const { return none_; }
  // Whether the entry at `index` is returned.
  bool picks(size_t index, bool visible, bool desktopElement) const {
    if (none_ || (excludeDesktop_ && desktopElement)) return false;
    if (!reference_) return !onlyVisible_ || visible;
    if (index == *reference_) return including_ && (!onScreen_ || visible);
    return ((above_ && index < *reference_) || (below_ && index > *reference_)) && visible;
  }

 private:
  bool onScreen_, above_, below_, including_, excludeDesktop_, onlyVisible_;
  std::optional<size_t> reference_;
  bool none_ = false;
};

// Window image options (combine with |).
namespace WindowImageOption {
constexpr uint32_t none = 0;
constexpr uint32_t boundsIgnoreFraming = 1;
constexpr uint32_t shouldBeOpaque = 2;
constexpr uint32_t onlyShadows = 4;
constexpr uint32_t bestResolution = 8;
constexpr uint32_t nominalResolution = 16;
}  // namespace WindowImageOption

// Sharing state of a window as the list reports it.
enum class WindowSharingState : int64_t { none = 0, readOnly = 1, readWrite = 2 };

// One value of a window-list entry. The list is loosely typed: any key may be missing or hold a
// value of an unexpected type, and readers must cope. A bounds dictionary that cannot be turned into
// a rectangle is stored as a string.
using WindowListValue = std::variant<int64_t, double, bool, std::string, Rect>;
using WindowListField = std::optional<WindowListValue>;

// Typed reads with the platform's bridging rules: an integer field accepts an integral number,
// a double field accepts any number; anything else (or a missing key) reads as absent.
std::optional<int64_t> asInteger(const WindowListField& field);
std::optional<int32_t> asInt32(const WindowListField& field);
std::optional<double> asDouble(const WindowListField& field);
std::optional<bool> asBool(const WindowListField& field);
std::optional<std::string> asString(const WindowListField& field);
std::optional<Rect> asBounds(const WindowListField& field);

struct WindowListEntry {
  WindowListField number;        // kCGWindowNumber
  WindowListField layer;         // kCGWindowLayer
  WindowListField ownerPID;      // kCGWindowOwnerPID
  WindowListField ownerName;     // kCGWindowOwnerName
  WindowListField alpha;         // kCGWindowAlpha
  WindowListField bounds;        // kCGWindowBounds (window-server space)
  WindowListField name;          // kCGWindowName (title)
  WindowListField isOnscreen;    // kCGWindowIsOnscreen
  WindowListField sharingState;  // kCGWindowSharingState
};

class WindowServer {
 public:
  virtual ~WindowServer() = default;

  // CGWindowListCopyWindowInfo: front to back. Absent when the window server cannot be reached.
  virtual std::optional<std::vector<WindowListEntry>> copyWindowInfo(uint32_t options,
                                                                     WindowID relativeToWindow) = 0;

  virtual DisplayID mainDisplayID() = 0;
  virtual std::vector<DisplayID> activeDisplays() = 0;
  // CGDisplayBounds: window-server space; the null rectangle for an unknown display.
  virtual Rect displayBounds(DisplayID display) = 0;

  // CGWindowListCreateImage for a single window (option "including window"). `screenBounds` is the
  // area in window-server space; the null rectangle means the window's own bounds. Absent when the
  // window does not exist or cannot be captured.
  virtual std::optional<PixelBuffer> createWindowImage(Rect screenBounds, WindowID window,
                                                       uint32_t imageOptions) = 0;
  // CGWindowListCreateImageFromArray: the listed windows (front to back: the first ends on top),
  // each as createWindowImage gives it, composited over `screenBounds` (window-server space).
  // Windows that cannot be captured are left out; absent when none can, or for a null, infinite or
  // empty area. This default builds it from createWindowImage; a backend may do better.
  virtual std::optional<PixelBuffer> createImageFromArray(Rect screenBounds, const std::vector<WindowID>& windows,
                                                          uint32_t imageOptions);
  // One frame of a display as a screen capture records it. Absent when capture is not possible.
  virtual std::optional<PixelBuffer> captureDisplay(DisplayID display) = 0;
};

// The bounds (window-server space) of every on-screen window, by number: the entries of the
// on-screen window list that have both a number that fits a window number and bounds; an empty map
// when there is no window list.
std::map<WindowID, Rect> onScreenWindowBounds(WindowServer& windowServer);

}  // namespace corvane
