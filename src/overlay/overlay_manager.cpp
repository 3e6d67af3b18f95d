#include "overlay/overlay_manager.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "base/format.h"
#include "clearview/window_server_geometry.h"
#include "windows/title_bar_chrome.h"
#include "windows/window_tracker.h"

namespace corvane {

const std::set<std::string>& OverlayManager::captureInvisibleForegroundApps() {
  static const std::set<std::string> apps = {"us.zoom.xos", "us.zoom.CptHost", "com.obsproject.obs-studio"};
  return apps;
}

OverlayManager::OverlayManager(Dependencies d)
    : ui_(d.ui),
      tracker_(d.tracker),
      workspace_(d.workspace),
      clock_(d.clock),
      clearViewLog_(d.clearViewLog),
      geometry_(d.geometry),
      titleBarChrome_(d.titleBarChrome),
      mirrors_(std::move(d.mirrors)),
      makeFollower_(std::move(d.makeFollower)),
      dumpDirectory_(std::move(d.dumpDirectory)) {}

OverlayManager::~OverlayManager() {
  alive_.reset();
  if (follower_) follower_->stop();
}

OverlayWindow* OverlayManager::overlay(int64_t windowNumber) const {
  auto it = overlays_.find(windowNumber);
  return it == overlays_.end() ? nullptr : it->second.get();
}

OverlayFollower* OverlayManager::follower() {
  if (!follower_ && makeFollower_) {
    follower_ = makeFollower_();
    if (follower_) {
      follower_->setOnChanges([this, alive = std::weak_ptr<bool>(alive_)](const std::vector<FollowerChange>& changes) {
        if (!alive.expired()) applyFollowerChanges(changes);
      });
    }
  }
  return follower_.get();
}

OverlayMirrors* OverlayManager::liveMirrors() const {
  return clearViewActive_ && !mirrorsSuppressed_ ? mirrors_.get() : nullptr;
}

// ---- The refresh ------------------------------------------------------------------------------

void OverlayManager::update(const std::vector<WindowInfo>& windows) {
  const double now = clock_.mediaTime();
  std::set<int64_t> seen;
  bool poke = false;
  OverlayFollower* follower = this->follower();

  for (const WindowInfo& w : windows) {
    seen.insert(w.windowNumber);
    OverlayWindow& o = overlay(w);
    o.missingSince.reset();

    // The window server's live frame, while the list may lag behind a drag. A frame the classifier
    // narrowed to a hub window's sidebar moves with the window and stays narrowed.
    WindowInfo info = w;
    if (geometry_) {
      if (auto live = geometry_->bounds(w.windowNumber); live && *live != w.frame) {
        const std::optional<Rect> listed = tracker_.windowFrame(w.windowNumber);
        info.frame = listed && *listed != w.frame ? followLiveBounds(w.frame, *listed, *live) : *live;
      }
    }

    const bool tracked = o.trackedFrame != Rect::zero();
    const bool steered = tracked && follower && follower->isActive();
    if (tracked && o.trackedFrame != info.frame && !steered) poke = true;
    // The follower runs but its frost no longer covers the window (an application moved it
    // between two of the follower's samples): it is poked to catch up at once.
    if (steered && geometry_ && o.trackedFrame != info.frame) {
      const std::optional<Rect> frost = geometry_->bounds(o.windowNumber());
      if (!frost || !frost->contains(info.frame)) poke = true;
    }

    o.setPreventsSourceOcclusion(clearViewActive_);
    const bool revealed = revealedWindowNumbers_.contains(w.windowNumber) || isOwnerRevealed(w.ownerPID);

    bool held = false;
    bool frontmost = false;
    int64_t level = info.level;
    o.sourceLevel = info.level;
    if (info.level != 0) {
      // Above the normal level: its own level, never the front-frost one (which lies below it).
    } else if (clearViewActive_ && now < appSwitchHoldDeadline_ && o.level() == frontFrostLevel) {
      held = true;
      frontmost = true;
      level = frontFrostLevel;
    } else if (tracker_.isFrontmostProtectedSurface(info)) {
      frontmost = true;
      level = frontFrostLevel;
    }
    if (o.level() != level) o.setLevel(level);

    o.stackingWindowNumber = info.stackingWindowNumber;
    if (!clearViewActive_ && o.ownerPID) {
      o.content().setTrailingChromeMinX(
          titleBarChrome_ ? titleBarChrome_->trailingClusterMinX(*o.ownerPID, w.windowNumber, info.frame)
                          : std::nullopt);
    }
    if (revealed != o.content().isRevealed()) o.setRevealed(revealed, false);

    if (clearViewActive_ && o.content().isRevealed()) {
      // The share sees the real window: the overlay leaves the screen (its chip is left alone).
      o.orderOutWindowOnly();
      o.occlusions.clear();
      o.applyOcclusionMask();
    } else {
      std::vector<Rect> holes;
      if (!steered) {
        o.place(info.frame, tracker_.windowFrame(o.windowNumber()));
        if (!held) holes = tracker_.framesInFront(info, captureInvisibleForegroundApps());
      }
      o.occlusions = std::move(holes);
      o.applyOcclusionMask();
      applyZOrder(o, info, frontmost);
      if (!o.clearViewMode() && o.content().isRevealed() && o.chip().isVisible()) {
        o.chip().setLevel(o.level());
        o.chip().order(ui::WindowOrderingMode::above, o.windowNumber());
      }
      o.updateMouseHandling(ui_.mouseLocation());
    }

    if (OverlayMirrors* mirrors = liveMirrors()) {
      mirrors->syncMirror(info, o, !steered);
      o.setClearViewMode(mirrors->hasMirror(w.windowNumber) && mirrors->plateHasFrame(w.windowNumber));
    } else {
      o.setClearViewMode(false);
    }
  }

  // Windows missing from this refresh keep their overlay for the grace period.
  std::vector<int64_t> departed;
  for (auto& [key, o] : overlays_) {
    if (seen.contains(key)) continue;
    if (!o->missingSince) o->missingSince = now;
    if (now - *o->missingSince < disappearanceGrace) continue;
    departed.push_back(key);
  }
  for (int64_t key : departed) {
    auto node = overlays_.extract(key);
    node.mapped()->orderOut();
    revealedWindowNumbers_.erase(key);
    removeMirror(key);
  }
  if (mirrors_) {
    for (int64_t key : mirrors_->mirroredWindowNumbers()) {
      if (!seen.contains(key) && !overlays_.contains(key)) removeMirror(key);
    }
  }
  publishFollowerTargets();
  if (poke && follower) follower->poke();
}

OverlayWindow& OverlayManager::overlay(const WindowInfo& w) {
  OverlayWindow* o = overlay(w.windowNumber);
  if (!o) {
    // A window its application re-created (a torn-off tab, a window rebuilt after a mode change)
    // adopts the frost of the one it replaces, without a flash and keeping its revealed state.
    for (auto it = overlays_.begin(); it != overlays_.end(); ++it) {
      OverlayWindow& candidate = *it->second;
      if (!candidate.missingSince || !candidate.ownerPID || *candidate.ownerPID != w.ownerPID) continue;
      if (!framesClose(candidate.frame(), w.frame)) continue;
      const int64_t key = it->first;
      auto node = overlays_.extract(it);
      removeMirror(key);
      if (revealedWindowNumbers_.erase(key)) revealedWindowNumbers_.insert(w.windowNumber);
      node.mapped()->missingSince.reset();
      node.key() = w.windowNumber;
      o = overlays_.insert(std::move(node)).position->second.get();
      break;
    }
  }
  if (!o) {
    auto created = std::make_unique<OverlayWindow>(ui_);
    created->content().setTintAlpha(tintAlpha_);
    created->content().setBlurIntensity(blurIntensity_);
    created->content().applyBlurIntensity(blurIntensity_);
    created->setClearViewMode(false);
    o = overlays_.emplace(w.windowNumber, std::move(created)).first->second.get();
  }
  o->ownerPID = w.ownerPID;
  o->stackingWindowNumber = w.stackingWindowNumber;
  o->onRevealStateChange = [this, alive = std::weak_ptr<bool>(alive_), number = w.windowNumber](bool revealed) {
    if (alive.expired()) return;
    if (revealed) {
      revealedWindowNumbers_.insert(number);
    } else {
      revealedWindowNumbers_.erase(number);
    }
  };
  return *o;
}

void OverlayManager::applyZOrder(OverlayWindow& o, const WindowInfo& info, bool isFrontmost) {
  OverlayMirrors* mirrors = liveMirrors();
  const bool plate = mirrors && mirrors->hasMirror(info.windowNumber);
  if (info.level != 0) {
    // A window above the normal level: its frost stands at that level, directly above it (floating
    // it to the front-frost level would put it behind the window).
    if (o.isFloatingPanel()) o.setFloatingPanel(false);
    if (o.level() != info.level) o.setLevel(info.level);
    if (o.isVisible() && tracker_.isSeated(o.windowNumber(), info.stackingWindowNumber)) return;
    o.order(ui::WindowOrderingMode::above, info.stackingWindowNumber);
    return;
  }
  if (isFrontmost) {
    if (o.level() != frontFrostLevel) {
      if (plate) mirrors->floatPlate(info.windowNumber, o, frontFrostLevel);
      o.setFloatingPanel(true);
      o.setLevel(frontFrostLevel);
    } else if (plate && o.isVisible() && tracker_.isSeated(o.windowNumber(), info.stackingWindowNumber)) {
      // Already in its place: ordering it again would put it in front of its own mirror until the
      // mirror host raises the plate again, and the user would see frost meanwhile.
      return;
    }
    o.order(ui::WindowOrderingMode::above, info.stackingWindowNumber);
    if (!plate) o.orderFrontRegardless();
    return;
  }
  if (o.isFloatingPanel()) o.setFloatingPanel(false);
  if (o.level() != 0) o.setLevel(0);
  const std::optional<WindowInFront> family = tracker_.familyWindowInFront(info);
  // Already in its place: nothing to ask of the window server (within a refresh the answer comes
  // from the refresh's one read of the list).
  const std::optional<int64_t> below = family ? std::optional<int64_t>(family->number) : std::nullopt;
  if (o.isVisible() && tracker_.isSeated(o.windowNumber(), info.stackingWindowNumber, below)) return;
  o.order(ui::WindowOrderingMode::above, info.stackingWindowNumber);
  if (family) o.order(ui::WindowOrderingMode::below, family->number);
}

Rect OverlayManager::followLiveBounds(const Rect& narrowed, const Rect& listed, const Rect& live) {
  const Rect n = narrowed.standardized();
  const Rect l = listed.standardized();
  const Rect v = live.standardized();
  // One axis: the narrowed span [a0, a1] of the listed span [l0, l1], moved onto the live [v0, v1].
  auto follow = [](double a0, double a1, double l0, double l1, double v0, double v1) {
    const bool lowOnEdge = a0 == l0;
    const bool highOnEdge = a1 == l1;
    if (lowOnEdge && highOnEdge) return std::pair{v0, v1};
    if (lowOnEdge) return std::pair{v0, v0 + (a1 - a0)};
    if (highOnEdge) return std::pair{v1 - (a1 - a0), v1};
    return std::pair{a0 + (v0 - l0), a1 + (v0 - l0)};
  };
  const auto [x0, x1] = follow(n.minX(), n.maxX(), l.minX(), l.maxX(), v.minX(), v.maxX());
  const auto [y0, y1] = follow(n.minY(), n.maxY(), l.minY(), l.maxY(), v.minY(), v.maxY());
  const Rect moved(x0, y0, std::max(0.0, x1 - x0), std::max(0.0, y1 - y0));
  const Rect inside = moved.intersection(v);
  return inside.isNull() ? moved : inside;
}

// ---- Mirrors and the follower --------------------------------------------------------------------

void OverlayManager::removeMirror(int64_t windowNumber) {
  if (mirrors_ && mirrors_->hasMirror(windowNumber)) mirrors_->removeMirror(windowNumber);
}

void OverlayManager::removeAllMirrors() {
  if (mirrors_) mirrors_->removeAllMirrors();
}

void OverlayManager::pauseAllMirrors() {
  if (mirrors_) mirrors_->pauseAllMirrors();
}

Rect OverlayManager::onScreenFrame(const Rect& frame, const std::vector<Rect>& screens,
                                   const std::optional<Rect>& main) {
  std::optional<Rect> screen;
  for (const Rect& s : screens) {
    if (s.intersects(frame)) {
      screen = s;
      break;
    }
  }
  if (!screen) screen = main;
  if (!screen) return frame;
  const Rect visible = screen->intersection(frame);
  if (!visible.isNull() && visible.width() > 16 && visible.height() > 16) return visible;
  return frame;
}

Rect OverlayManager::onScreenFrame(const Rect& frame) const {
  std::vector<Rect> frames;
  for (const ScreenInfo& s : ui_.screens()) frames.push_back(s.frame);
  const std::optional<Rect> main = frames.empty() ? std::nullopt : std::optional<Rect>(frames.front());
  return onScreenFrame(frame, frames, main);
}

void OverlayManager::publishFollowerTargets() {
  OverlayFollower* follower = this->follower();
  if (!follower) return;
  std::vector<FollowerTarget> targets;
  for (const auto& [key, o] : overlays_) {
    if (!o->isVisible() || isRevealed(key, *o) || o->missingSince || o->trackedFrame == Rect::zero()) continue;
    FollowerTarget target;
    target.source = key;
    target.frost = o->windowNumber();
    target.frame = o->trackedFrame;
    target.mirrorFrame = mirrors_ && mirrors_->plateIsVisible(key) ? onScreenFrame(o->trackedFrame) : Rect::zero();
    targets.push_back(target);
  }
  std::vector<Rect> screens;
  for (const ScreenInfo& s : ui_.screens()) screens.push_back(s.frame);
  follower->publish(std::move(targets), std::move(screens));
}

void OverlayManager::applyFollowerChanges(const std::vector<FollowerChange>& changes) {
  bool placed = false;
  for (const FollowerChange& change : changes) {
    OverlayWindow* o = overlay(change.source);
    if (change.kind == FollowerChange::Kind::moved) {
      if (o) {
        o->trackedFrame = change.frame;
        if (!o->occlusions.empty()) {
          o->occlusions.clear();
          o->applyOcclusionMask();
        }
      }
      if (mirrors_ && mirrors_->hasMirror(change.source)) {
        mirrors_->followMoved(change.source, change.frame, change.mirrorFrame);
      }
      continue;
    }
    if (o && o->isVisible() && !isRevealed(change.source, *o)) {
      // The frost may reach a little past a leading edge; the window's own frame stays the one
      // tracked (and published back to the follower).
      o->place(change.frostFrame == Rect::zero() ? change.frame : change.frostFrame);
      o->trackedFrame = change.frame;
      placed = true;
    }
    if (mirrors_ && mirrors_->hasMirror(change.source)) {
      mirrors_->followResized(change.source, change.frame, onScreenFrame(change.frame));
    }
  }
  if (placed) ui_.flush();
}

// ---- Lifecycle and properties ----------------------------------------------------------------------

void OverlayManager::clear() {
  if (follower_) follower_->stop();
  if (clearViewActive_) {
    pauseAllMirrors();
  } else {
    removeAllMirrors();
  }
  for (auto& [key, o] : overlays_) o->orderOut();
  overlays_.clear();
  revealedWindowNumbers_.clear();
  revealedBundleIDs_.clear();
}

void OverlayManager::shutdown() {
  if (follower_) follower_->stop();
  removeAllMirrors();
  for (auto& [key, o] : overlays_) o->orderOut();
  overlays_.clear();
  revealedWindowNumbers_.clear();
  revealedBundleIDs_.clear();
}

void OverlayManager::updateMouseHandling(Point location) {
  for (auto& [key, o] : overlays_) o->updateMouseHandling(location);
}

void OverlayManager::setTintAlpha(double alpha) {
  tintAlpha_ = alpha;
  for (auto& [key, o] : overlays_) o->content().setTintAlpha(alpha);
}

void OverlayManager::setBlurIntensity(double strength) {
  blurIntensity_ = strength;
  for (auto& [key, o] : overlays_) {
    o->content().setBlurIntensity(strength);
    o->content().applyBlurIntensity(strength);
  }
}

void OverlayManager::setClearViewActive(bool active) {
  if (clearViewActive_ == active) return;
  clearViewActive_ = active;
  for (auto& [key, o] : overlays_) o->setPreventsSourceOcclusion(active);
  resetAllRevealed();
  if (!active) {
    for (auto& [key, o] : overlays_) {
      o->setClearViewMode(false);
      o->setPreventsSourceOcclusion(false);
    }
    removeAllMirrors();
  }
}

void OverlayManager::setMirrorsSuppressed(bool suppressed) {
  if (mirrorsSuppressed_ == suppressed) return;
  mirrorsSuppressed_ = suppressed;
  if (suppressed) {
    pauseAllMirrors();
    for (auto& [key, o] : overlays_) o->setClearViewMode(false);
    clearViewLog_.log("Framebuffer share detected \u2014 mirrors paused, classic frost");
  } else {
    clearViewLog_.log("Framebuffer share ended \u2014 mirrors resume");
  }
}

std::optional<std::string> OverlayManager::clearViewStatus() const {
  if (!clearViewActive_) return std::nullopt;
  if (mirrorsSuppressed_) {
    return "Zoom is sharing and the mirror host is not running under Zoom's identity \u2014 frost shown to "
           "everyone, you included, until that share ends";
  }
  const std::vector<MirrorStatus> plates = mirrors_ ? mirrors_->statuses() : std::vector<MirrorStatus>{};
  if (std::any_of(plates.begin(), plates.end(),
                  [](const MirrorStatus& p) { return p.exclusionResult && *p.exclusionResult != 0; })) {
    return "Capture exclusion not confirmed \u2014 showing classic frost to everyone";
  }
  if (plates.empty()) return "No protected windows open yet";
  const auto live = std::count_if(plates.begin(), plates.end(), [](const MirrorStatus& p) { return p.hasFrame; });
  if (live == 0) return format("Waiting for first frame (%d windows)", {int64_t(plates.size())});
  double sum = 0;
  int rated = 0;
  for (const MirrorStatus& p : plates) {
    if (p.hasFrame && p.presentationFPS > 0) {
      sum += p.presentationFPS;
      ++rated;
    }
  }
  const double fps = rated ? sum / rated : 0;
  return format("Live: %d/%d windows @ %.0f fps \u2014 share sees frost", {int64_t(live), int64_t(plates.size()), fps});
}

}  // namespace corvane
