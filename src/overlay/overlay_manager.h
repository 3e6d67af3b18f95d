// The overlay manager: on every refresh of the privacy controller it decides which frost overlay
// covers which protected window, where each overlay stands, at which window level and in which
// place of the stacking order, which parts of it are cut away because a foreign window lies in
// front, which windows the user has shown to the meeting and, while Clear View is on, which window
// gets a mirror. Everything the share must not see passes through it.
//
// One overlay per covered window, keyed by the covered window's number. An overlay lives from the
// first refresh that lists its window until 1.5 s after the last one that did (a window that is
// briefly missing from the list keeps its frost), or until a window that its application re-created
// (same process, centre within 48 points, size within 80 points) adopts it: the new window keeps the
// frost without a flash, and its revealed state.
//
// Overlays of the window the user works in stand at the front-frost level (2); all others at level
// 0, directly above their source window and below the first window of the same application in
// front of it (a sheet, an inspector), so that they never frost the application's own companion
// windows. A protected window above the normal level (a floating panel, a utility window, a modal
// panel, a pop-up) gets its frost at its own level, directly above it, whatever is frontmost: the
// front-frost level lies below it.
//
// The reveal and activation operations (showing a window or an application to the meeting, and
// moving frost before the window server shows a newly active application) are in
// overlay_reveal.cpp. Media time comes from the clock.
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

#include "base/clock.h"
#include "base/log.h"
#include "overlay/overlay_follower.h"
#include "overlay/overlay_mirrors.h"
#include "overlay/overlay_window.h"
#include "platform/ui.h"
#include "platform/workspace.h"
#include "settings/app_ref.h"
#include "windows/window_info.h"

namespace corvane {

class TitleBarChrome;
class WindowServerGeometry;
class WindowTracker;

class OverlayManager {
 public:
  static constexpr int64_t frontFrostLevel = corvane::frontFrostLevel;
  // Seconds an overlay survives after its window vanished from the list.
  static constexpr double disappearanceGrace = 1.5;
  // Seconds that preflightActivation keeps floated overlays at the front-frost level.
  static constexpr double appSwitchHold = 0.35;
  // Applications whose windows never cut holes in an overlay (they stay out of captures anyway).
  static const std::set<std::string>& captureInvisibleForegroundApps();

  struct Dependencies {
    Dependencies(ui::UserInterface& ui, const WindowTracker& tracker, Workspace& workspace, const Clock& clock,
                 LogSink& clearViewLog)
        : ui(ui), tracker(tracker), workspace(workspace), clock(clock), clearViewLog(clearViewLog) {}

    ui::UserInterface& ui;
    const WindowTracker& tracker;
    Workspace& workspace;
    const Clock& clock;
    // Clear View lines.
    LogSink& clearViewLog;
    // Live bounds of a window from the window server; null: the window list's frames are used.
    WindowServerGeometry* geometry = nullptr;
    // Where a covered window's trailing title-bar controls begin; null: never known.
    TitleBarChrome* titleBarChrome = nullptr;
    // The Clear View side; null: classic frost only.
    std::unique_ptr<OverlayMirrors> mirrors;
    // Makes the geometry follower on first use; empty: no follower.
    std::function<std::unique_ptr<OverlayFollower>()> makeFollower;
    // Where the diagnostic dump's trigger file and output directory live.
    std::string dumpDirectory = "/tmp";
  };

  explicit OverlayManager(Dependencies dependencies);
  ~OverlayManager();
  OverlayManager(const OverlayManager&) = delete;
  OverlayManager& operator=(const OverlayManager&) = delete;

  // ---- Refresh ------------------------------------------------------------------------------
  // The per-refresh pass over the protected windows (front to back).
  void update(const std::vector<WindowInfo>& windows);
  // Privacy Mode is not in force: every overlay down, the revealed sets emptied (mirrors are paused
  // and kept while Clear View is on, removed otherwise).
  void clear();
  // Application termination: everything down, mirrors removed.
  void shutdown();
  // Passes the mouse location (screen space) to every overlay.
  void updateMouseHandling(Point location);
  // When the trigger file exists, writes the diagnostic dump (see diagnostic_dump.h).
  void handleDumpRequestIfNeeded();
  // Moves the dump's trigger file and output directory elsewhere (the simulated meeting's output).
  void setDumpDirectory(std::string directory) { dumpDirectory_ = std::move(directory); }
  // One line for the status menu and the settings; none while Clear View is off.
  std::optional<std::string> clearViewStatus() const;

  // ---- Reveal and activation (overlay_reveal.cpp) -------------------------------------------
  void setAppRevealed(const AppRef& app, bool revealed);
  bool isAppRevealed(const AppRef& app) const;
  // Reveals or covers again the frontmost application when it is one of `apps`; its name, or none.
  std::optional<std::string> toggleRevealForFrontmostApp(const std::vector<AppRef>& apps);
  void resetAllRevealed();
  void fastPathAppActivated(pid_t pid);
  void fastPathAppDeactivated(pid_t pid);
  void refreshFrostHoles();
  // Floats every unrevealed overlay that `matching` accepts (all without one) to the front-frost
  // level for 0.35 s, while Clear View is on. Reasons: "Cmd+Tab", "Dock", "click".
  void preflightActivation(const std::string& reason,
                           const std::function<bool(int64_t key, const OverlayWindow& overlay)>& matching = {});
  // A pointer went down at `point` (screen space), before the click reaches any application.
  void preDemoteForForeignClick(Point point);

  // ---- Properties -----------------------------------------------------------------------------
  double tintAlpha() const { return tintAlpha_; }
  void setTintAlpha(double alpha);
  double blurIntensity() const { return blurIntensity_; }
  void setBlurIntensity(double strength);
  bool clearViewActive() const { return clearViewActive_; }
  void setClearViewActive(bool active);
  bool mirrorsSuppressed() const { return mirrorsSuppressed_; }
  void setMirrorsSuppressed(bool suppressed);
  // The geometry follower, made on first use; null without a way to make one.
  OverlayFollower* follower();

  // ---- State ----------------------------------------------------------------------------------
  const std::map<int64_t, std::unique_ptr<OverlayWindow>>& overlays() const { return overlays_; }
  OverlayWindow* overlay(int64_t windowNumber) const;
  const std::set<int64_t>& revealedWindowNumbers() const { return revealedWindowNumbers_; }
  const std::set<std::string>& revealedBundleIDs() const { return revealedBundleIDs_; }
  double appSwitchHoldDeadline() const { return appSwitchHoldDeadline_; }

  // The geometry follower's changes of one tick (its change callback).
  void applyFollowerChanges(const std::vector<FollowerChange>& changes);

  // The covered frame of a window that the classifier narrowed (`narrowed`, a part of `listed`, the
  // window list's frame), moved with the window to its live bounds `live`: each edge of the
  // narrowed frame that lies on an edge of the listed frame follows that edge of the live bounds;
  // an inner edge keeps its distance from the opposite edge (a sidebar keeps its width). The
  // result stays within the live bounds.
  static Rect followLiveBounds(const Rect& narrowed, const Rect& listed, const Rect& live);

  // The first screen frame that meets `frame`, intersected with it when that is wider and higher
  // than 16 points; `frame` itself otherwise (or without screens).
  static Rect onScreenFrame(const Rect& frame, const std::vector<Rect>& screens, const std::optional<Rect>& main);

 private:
  OverlayWindow& overlay(const WindowInfo& window);
  void applyZOrder(OverlayWindow& overlay, const WindowInfo& info, bool isFrontmost);
  void publishFollowerTargets();
  void removeMirror(int64_t windowNumber);
  void removeAllMirrors();
  void pauseAllMirrors();
  // The mirror side while mirrors may show: Clear View on and not suppressed.
  OverlayMirrors* liveMirrors() const;
  Rect onScreenFrame(const Rect& frame) const;


  // Reveal helpers (overlay_reveal.cpp).
  std::set<std::string> identityKeys(const std::string& bundleID) const;
  bool isOwnerRevealed(pid_t pid) const;
  bool isRevealed(int64_t key, const OverlayWindow& overlay) const;
  WindowInfo record(int64_t key, const OverlayWindow& overlay, std::optional<pid_t> fallbackPID = std::nullopt) const;
  void fastPath(pid_t pid, bool activated);

  ui::UserInterface& ui_;
  const WindowTracker& tracker_;
  Workspace& workspace_;
  const Clock& clock_;
  LogSink& clearViewLog_;
  WindowServerGeometry* geometry_;
  TitleBarChrome* titleBarChrome_;
  std::unique_ptr<OverlayMirrors> mirrors_;
  std::function<std::unique_ptr<OverlayFollower>()> makeFollower_;
  std::string dumpDirectory_;

  std::map<int64_t, std::unique_ptr<OverlayWindow>> overlays_;
  std::set<int64_t> revealedWindowNumbers_;
  std::set<std::string> revealedBundleIDs_;
  double appSwitchHoldDeadline_ = 0;
  bool clearViewActive_ = false;
  bool mirrorsSuppressed_ = false;
  double tintAlpha_ = 0.3;
  double blurIntensity_ = 0.5;
  std::unique_ptr<OverlayFollower> follower_;
  // Callbacks handed to overlays and the follower hold the manager through this; declared last.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace corvane
