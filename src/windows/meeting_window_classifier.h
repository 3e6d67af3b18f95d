// Meeting windows versus chat windows of hub conferencing applications.
//
// For the windows of a hub (see Conferencing) the classifier tells stage windows (meeting and call
// windows, compact call overlays and sharing bars, left clear) from chat and hub windows (frosted
// when the application is protected), and whether a hub is in a call at all (so that it turns
// Privacy Mode on only during a call). The cheap title and size tests come first; only when they do
// not decide does it walk the window's accessibility tree, bounded, looking for call controls
// ("leave", "hang up", "mute", ...). It is asked many times a second, so every answer is cached for
// a short while: resolved titles 2 s (failed look-ups 0.2 s), walk results 30 s when a call control
// was found and 2 s when none was, and a hub's call state 0.5 s for as long as the set of its
// on-screen windows stays the same.
//
// Frost planning (windowsToProtect) never walks synchronously: it answers from the cache and
// queues one walk on the main queue, which runs after the current work; requests that arrive while
// a walk is queued are dropped and retried by the next caller. Only evaluateHubCall walks at once.
//
// The classifier also watches hub applications for new windows and title changes, so that the
// share detector can re-evaluate at once.
//
// Media time comes from the dispatcher's clock. Threading: main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

#include "base/dispatch.h"
#include "platform/accessibility.h"
#include "windows/window_info.h"

namespace corvane {

class WindowTracker;

class MeetingWindowClassifier {
 public:
  // A walk result for one window.
  struct CacheEntry {
    bool indicatesCall = false;
    double expiresAt = 0;
  };
  struct TitleEntry {
    std::string title;  // empty: the look-up failed
    double expiresAt = 0;
  };
  struct HubCallEntry {
    bool inCall = false;
    bool visual = false;
    std::vector<int64_t> fingerprint;  // the family's on-screen window numbers, ascending
    double expiresAt = 0;
  };
  struct HubCall {
    bool inCall = false;
    bool visual = false;  // the call shows in one of the application's windows
    friend bool operator==(const HubCall&, const HubCall&) = default;
  };
  // Whether the hub application's processes take or play call audio.
  using AudioCallTest = std::function<bool(const std::string& bundleID)>;

  static constexpr double hubCacheTTL = 2.0;      // a resolved title; a walk that found no call control
  static constexpr double stageCacheTTL = 30.0;   // a walk that found a call control
  static constexpr double hubCallCacheTTL = 0.5;  // a hub's call state
  static constexpr double titleMissTTL = 0.2;     // a failed title look-up
  static constexpr int walkElementLimit = 400;
  static constexpr int walkDepthLimit = 16;
  // A change reported by a watched application is reported again this much later, when the
  // application has finished building the window.
  static constexpr double chromeChangeRepeatDelay = 0.15;
  // Windows wider than this may be a hub window showing a call inside itself.
  static constexpr double sidebarMinWindowWidth = 700;
  static constexpr size_t cachePruneSize = 256;

  // `accessibility` may be null (a platform without it): the classifier then works as though
  // access was not granted.
  MeetingWindowClassifier(const WindowTracker& tracker, Accessibility* accessibility, Dispatcher& dispatcher);
  ~MeetingWindowClassifier();
  MeetingWindowClassifier(const MeetingWindowClassifier&) = delete;
  MeetingWindowClassifier& operator=(const MeetingWindowClassifier&) = delete;

  // The process-wide instance installed at start-up. Calling shared() before installShared() is a
  // programming error and aborts.
  static MeetingWindowClassifier& shared();
  static bool hasShared();
  // Installs the instance (null removes it) and returns the one it replaces.
  static std::unique_ptr<MeetingWindowClassifier> installShared(std::unique_ptr<MeetingWindowClassifier> classifier);

  // The audio evidence evaluateHubCall falls back on when no call shows in a window. Until one is
  // set there is no audio evidence.
  void setHubHasActiveCall(AudioCallTest test);

  // The windows of one hub process (front to back) to frost: stage windows are left out; when there
  // is none, a wide hub window that shows a call inside itself keeps only its left sidebar.
  std::vector<WindowInfo> windowsToProtect(const std::vector<WindowInfo>& windows, const std::string& bundleID);
  // Whether a window of the hub is a meeting or call window. An untitled window beside a window
  // with a hub title is the application's call window.
  bool isStageWindow(const WindowInfo& info, const std::string& bundleID, const std::vector<WindowInfo>& siblings);
  // Whether the window shows call chrome; walks at once only with allowSyncWalk, else answers from
  // the cache and queues a walk.
  bool indicatesCall(const WindowInfo& info, const std::string& bundleID, bool allowSyncWalk);
  // Whether the hub application is in a call, and whether the call shows in a window.
  HubCall evaluateHubCall(const std::string& bundleID);

  // The window's title: its own, else the accessibility title (both cached).
  std::optional<std::string> resolvedTitle(const WindowInfo& info);
  // The accessibility title of a window, cached; absent without access.
  std::optional<std::string> title(pid_t pid, int64_t windowNumber, const Rect& frame);
  // The accessibility element of a window (see AccessibilityWindow), enabling manual accessibility
  // once per process first.
  std::optional<AXUIElement> axWindow(pid_t pid, int64_t windowNumber, const Rect& frame);
  // Queues one walk of the window on the main queue, unless a walk is already queued, access is not
  // granted or the window's walk result is still cached.
  void queueClassify(const WindowInfo& info);

  // ---- Change watch ----
  // Watches the hubs among `bundleIDs` (each once, in order); `onChange` runs on the main queue
  // after each new window or title change of any of their processes, and once more 0.15 s later.
  void watchCallChrome(const std::vector<std::string>& bundleIDs, std::function<void()> onChange);
  // Brings the observers in line with the watched applications' running processes. Does nothing
  // without access.
  void syncChromeObservers();
  void removeChromeObservers();
  void setOnChromeChange(std::function<void()> onChange) { onChromeChange_ = std::move(onChange); }
  void setWatchingBundleIDs(std::vector<std::string> bundleIDs) { watchingBundleIDs_ = std::move(bundleIDs); }
  const std::vector<std::string>& watchingBundleIDs() const { return watchingBundleIDs_; }
  // The processes currently observed.
  std::set<pid_t> observedPIDs() const;

  bool isWalkInFlight() const { return axWalkInFlight_; }

 private:
  double now() const;
  bool isTrusted() const;
  // Drops expired entries once the caches have grown, so closed windows do not pile up.
  void pruneCaches();
  std::optional<std::string> bundleIdentifier(pid_t pid) const;
  const CacheEntry* validCallEntry(int64_t windowNumber) const;
  void cacheWalkResult(int64_t windowNumber, bool indicatesCall);
  // A depth-first search for call controls, at most walkElementLimit elements (counted in
  // `visited`) and walkDepthLimit deep; menus are never entered.
  bool walkForHangUp(AXUIElement element, int depth, int& visited);
  bool walkWindow(AXUIElement window);
  void classifyNow(const WindowInfo& info);
  bool siblingLooksLikeMeeting(const std::vector<WindowInfo>& windows);
  bool hubHasVisualCallUncached(const std::vector<WindowInfo>& familyWindows, const std::string& bundleID);
  void noteChromeChange();
  void reportChromeChange();

  const WindowTracker& tracker_;
  Accessibility* accessibility_;
  Dispatcher& dispatcher_;
  AudioCallTest hubHasActiveCall_;

  std::map<int64_t, TitleEntry> titleCache_;
  std::map<int64_t, CacheEntry> callCache_;
  std::map<std::string, HubCallEntry> hubCallCache_;
  std::set<pid_t> axEnabledPIDs_;
  bool axWalkInFlight_ = false;
  std::map<pid_t, std::unique_ptr<AXObserver>> chromeObservers_;
  std::vector<std::string> watchingBundleIDs_;
  std::function<void()> onChromeChange_;

  // Tasks and observer callbacks hold this weakly; declared last, so it goes first.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace corvane
