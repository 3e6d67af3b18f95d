// Queries over the window server's window list. Nothing is cached between calls: every call reads
// a fresh list, once, and walks it once, since these run on every refresh tick and on input events.
// Within a refresh the queries share one read instead (see Snapshot): every question of that
// refresh is answered about the same moment, and the list is read once. Bundle identifiers are
// looked up by pid only for entries that already passed the cheap numeric filters.
//
// Frames are returned and compared in screen space (origin bottom-left of the main display, y up);
// the list's bounds are converted with the main display's height. Points passed in are in screen
// space too.
//
// Hub family of a window: when the owner's bundle identifier has a hub-family root (see
// Conferencing), every running process of that family; otherwise the owner alone. Two frames are
// twins when their centres are less than 48 points apart on each axis and their widths and heights
// differ by less than 80 points: a multi-process conferencing application draws one surface as such
// a pair of windows.
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

#include "base/geometry.h"
#include "platform/platform.h"
#include "platform/window_server.h"
#include "platform/workspace.h"
#include "settings/app_ref.h"
#include "windows/window_info.h"

namespace corvane {

class MeetingWindowClassifier;
class Screens;

// One window-list entry with the keys the queries read, each checked for presence and type.
struct WindowListRecord {
  std::optional<int64_t> number;
  std::optional<pid_t> ownerPID;
  std::optional<int64_t> layer;
  std::optional<double> alpha;
  std::optional<Rect> bounds;  // window-server space
  std::optional<std::string> title;  // absent when missing, not a string, or empty
  std::optional<int64_t> sharingState;

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

// A window found in front of another: its number and screen-space frame.
struct WindowInFront {
  int64_t number = 0;
  Rect frame;
  friend bool operator==(const WindowInFront&, const WindowInFront&) = default;
};

// The topmost window under a point.
struct WindowUnderPoint {
  int64_t number = 0;
  pid_t ownerPID = 0;
  int64_t layer = 0;
  friend bool operator==(const WindowUnderPoint&, const WindowUnderPoint&) = default;
};

// Twin frames: centres less than 48 points apart on each axis, sizes less than 80 points apart.
bool framesClose(const Rect& a, const Rect& b);

class WindowTracker {
 public:
  // Window-list read options.
  static constexpr uint32_t kListOptions =
      WindowListOption::onScreenOnly | WindowListOption::excludeDesktopElements;  // 17
  static constexpr uint32_t kSeatedListOptions = WindowListOption::onScreenOnly;   // 1

  // `mirrorHostPID` reports the pid of the running mirror host process, 0 while none runs.
  // `classifier` sorts the windows of hub applications in protectedWindows; without one the shared
  // classifier is used when start-up installed it, else hub windows are all frosted.
  WindowTracker(WindowServer& windowServer, Workspace& workspace, Screens& screens, pid_t ownPID,
                std::function<pid_t()> mirrorHostPID = {}, MeetingWindowClassifier* classifier = nullptr);
  // The ports of a backend; this process's pid from its processes port.
  explicit WindowTracker(const Platform& platform, std::function<pid_t()> mirrorHostPID = {},
                         MeetingWindowClassifier* classifier = nullptr);

  // The classifier is built over a tracker, so it is handed in after construction.
  void setClassifier(MeetingWindowClassifier* classifier) { classifier_ = classifier; }

  // One read of the window list (options 17) that the queries use while it lives, in place of
  // reading their own: the privacy controller holds one for each refresh. isSeated uses it too
  // (it would read with options 1, which adds only desktop elements; those lie behind every window
  // an overlay stands between). Snapshots nest; the innermost one is used. Not copyable; it must
  // not outlive the tracker.
  class Snapshot {
   public:
    explicit Snapshot(const WindowTracker& tracker);
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    // The entries as the window server gave them; none when it gave no list.
    const std::optional<std::vector<WindowListEntry>>& entries() const { return entries_; }

   private:
    friend class WindowTracker;
    const WindowTracker& tracker_;
    const Snapshot* outer_;
    std::optional<std::vector<WindowListEntry>> entries_;
    std::shared_ptr<const std::vector<WindowListRecord>> records_;
    // The running applications do not change within a refresh either: bundle identifiers and hub
    // families by pid, each looked up once.
    mutable std::map<pid_t, std::optional<std::string>> bundleIDs_;
    mutable std::map<pid_t, std::set<pid_t>> families_;
  };

  // Windows of the given processes, front to back, with a layer, a number, visible alpha and
  // non-degenerate bounds; with layerZeroOnly, layer-0 windows only. An empty set reads nothing.
  std::vector<WindowInfo> onScreenWindows(const std::set<pid_t>& ownedBy, bool layerZeroOnly) const;

  // The windows to frost for the protected applications, matched by bundle identifier or, failing
  // that, by display name (case-insensitively; an application without a bundle identifier is never
  // taken). Windows of a hub application go through the meeting-window classifier, which leaves
  // meeting windows out and may narrow a hub window to its chat sidebar; they get the stacking
  // window number of the family window (of the same level) that really carries their frame.
  //
  // Windows of every level from 0 up are taken: a protected application's floating panels,
  // utility windows, modal panels and pop-ups (a password manager's quick-access panel, a
  // save-password prompt, a call's mini window) show its content as much as its ordinary windows
  // do. Each carries its level; windows below level 0 (desktop pictures and the like) are left out.
  std::vector<WindowInfo> protectedWindows(const std::vector<AppRef>& apps) const;

  // The window server's frame (screen space) of an on-screen window, any owner; none when it is
  // not in the list.
  std::optional<Rect> windowFrame(int64_t number) const;

  // The window of the family whose position in the stacking order stands for a surface with frame
  // `matching`: the best match by overlap (at least half of the frame), size ratios and distance of
  // centres; the frontmost on ties. `fallback` when no window qualifies.
  int64_t stackingWindowNumber(const Rect& matching, const std::set<pid_t>& familyPIDs, int64_t fallback) const;

  // Whether `info` is what the user looks at in the frontmost application: its family's frontmost
  // substantial, not bar-shaped window is `info` (by number or stacking number).
  bool isFrontmostProtectedSurface(const WindowInfo& info) const;

  // Frames of foreign windows in front of `target` that overlap it (each whole frame, not the
  // overlap). This program's own windows, the window manager's, the Dock's large surfaces and the
  // target's family twins are left out, and so are windows that captures leave out (sharing type
  // none) and translucent windows (alpha below 1, which do not occlude what lies behind them): a
  // hole for them would show the share the target through it. Bundle filters apply when
  // `excludingBundleIDs` is non-empty or `includingBundleIDs` is given.
  std::vector<Rect> framesInFront(const WindowInfo& target, const std::set<std::string>& excludingBundleIDs,
                                  const std::optional<std::set<std::string>>& includingBundleIDs = std::nullopt) const;

  // The first window of the target's family in front of it, twins of its frame skipped.
  std::optional<WindowInFront> familyWindowInFront(const WindowInfo& target) const;

  // Whether overlay window `frost` stands directly in front of window `directlyAbove` (and, when
  // `below` is given, directly behind window `below`), with only this program's own windows in
  // between.
  bool isSeated(int64_t frost, int64_t directlyAbove, std::optional<int64_t> below = std::nullopt) const;

  // Whether a point lies in the Dock's reserved area of the screen that contains it.
  bool pointHitsDock(Point point) const;

  // The topmost foreign window under a point, below the Dock's layer.
  std::optional<WindowUnderPoint> windowUnderPoint(Point point) const;

  // True for windows of this process and of the mirror host (with no host running, pid 0 counts as
  // ours).
  bool isOurs(pid_t ownerPID) const;
  pid_t mirrorHostPID() const;
  pid_t ownPID() const { return ownPID_; }

  // One read of the list with the given options (the snapshot's, while one lives); empty when the
  // window server gives none.
  std::vector<WindowListRecord> readList(uint32_t options) const;
  // Height of the main display, for converting window-server bounds to screen space.
  double mainDisplayHeight() const;
  // Window-server bounds to a screen-space frame.
  Rect screenFrame(const Rect& windowServerBounds, double mainDisplayHeight) const {
    return windowServerBounds.flipped(mainDisplayHeight);
  }

  // The running application's bundle identifier; none for a process without one or not running.
  std::optional<std::string> bundleIdentifier(pid_t pid) const;
  // The hub family of a window owned by `ownerPID` (see above); always holds the owner.
  std::set<pid_t> familyOf(pid_t ownerPID) const;

  WindowServer& windowServer() const { return windowServer_; }
  Workspace& workspace() const { return workspace_; }

 private:
  // The snapshot's list while one lives, else a fresh read; null when the window server gives none.
  std::shared_ptr<const std::vector<WindowListRecord>> readListIfAny(uint32_t options) const;
  static std::shared_ptr<const std::vector<WindowListRecord>> records(
      const std::optional<std::vector<WindowListEntry>>& entries);
  // Which layers a query takes.
  enum class Layers { any, zeroOnly, zeroAndAbove };
  // The record as a window of one of `ownedBy` (see onScreenWindows), or none.
  std::optional<WindowInfo> ownedWindow(const WindowListRecord& r, const std::set<pid_t>& ownedBy, Layers layers,
                                        double height) const;
  MeetingWindowClassifier* classifier() const;

  WindowServer& windowServer_;
  Workspace& workspace_;
  Screens& screens_;
  pid_t ownPID_;
  std::function<pid_t()> mirrorHostPID_;
  MeetingWindowClassifier* classifier_;
  mutable const Snapshot* snapshot_ = nullptr;
};

}  // namespace corvane
