// Queries over the window server's window list. Nothing is cached: every call reads a fresh list,
// once, and walks it once, since these run on every refresh tick and on input events.
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

#include "base/geometry.h"
#include "platform/window_server.h"
#include "windows/window_info.h"

namespace corvane {

// One window-list entry with the keys the queries read, each checked for presence and type.
struct WindowListRecord {
  std::optional<int64_t> number;
  std::optional<pid_t> ownerPID;
  std::optional<int64_t> layer;
  std::optional<double> alpha;
  std::optional<Rect> bounds;  // window-server space
  std::optional<std::string> title;  // absent when missing, not a string, or empty

  static WindowListRecord read(const WindowListEntry& entry);
};

// The entry filters the queries share.
namespace WindowFilter {
// Layer present and equal to 0.
bool layerZero(const WindowListRecord& r);
// Alpha absent, or above 0.01.
bool visibleAlpha(const WindowListRecord& r);
// Wider and taller than 1 point.
bool nonDegenerate(const Rect& bounds);
// Wider and taller than 80 points.
bool substantial(const Rect& bounds);
// A toolbar or control strip: at least 240 wide, 28 to 140 high, more than three times as wide as
// high.
bool barShaped(const Rect& bounds);
}  // namespace WindowFilter

class WindowTracker {
 public:
  // Window-list read options.
  static constexpr uint32_t kListOptions =
      WindowListOption::onScreenOnly | WindowListOption::excludeDesktopElements;  // 17
  static constexpr uint32_t kSeatedListOptions = WindowListOption::onScreenOnly;   // 1

  // `mirrorHostPID` reports the pid of the running mirror host process, 0 while none runs.
  WindowTracker(WindowServer& windowServer, pid_t ownPID, std::function<pid_t()> mirrorHostPID = {});

  // Windows of the given processes, front to back, with a layer, a number, visible alpha and
  // non-degenerate bounds; with layerZeroOnly, layer-0 windows only. An empty set reads nothing.
  std::vector<WindowInfo> onScreenWindows(const std::set<pid_t>& ownedBy, bool layerZeroOnly) const;

  // True for windows of this process and of the mirror host (with no host running, pid 0 counts as
  // ours).
  bool isOurs(pid_t ownerPID) const;
  pid_t mirrorHostPID() const;
  pid_t ownPID() const { return ownPID_; }

  // One read of the list with the given options; empty when the window server gives none.
  std::vector<WindowListRecord> readList(uint32_t options) const;
  // Height of the main display, for converting window-server bounds to screen space.
  double mainDisplayHeight() const;
  // Window-server bounds to a screen-space frame.
  Rect screenFrame(const Rect& windowServerBounds, double mainDisplayHeight) const {
    return windowServerBounds.flipped(mainDisplayHeight);
  }

  WindowServer& windowServer() const { return windowServer_; }

 private:
  WindowServer& windowServer_;
  pid_t ownPID_;
  std::function<pid_t()> mirrorHostPID_;
};

}  // namespace corvane
