// Revealing (showing a window or an application to the meeting, and covering it again) and the
// activation fast paths, which move frost between refreshes so that it moves before the window
// server shows a newly active application.
#include <algorithm>

#include "overlay/overlay_manager.h"
#include "windows/conferencing.h"
#include "windows/window_tracker.h"

namespace corvane {

namespace {

// The key under which an application's processes count as one application: a hub's own
// identifier, or the hub a helper belongs to; none for anything else.
std::optional<std::string> familyKey(const std::string& bundleID) {
  if (Conferencing::isHub(bundleID)) return bundleID;
  return Conferencing::hubFamilyParent(bundleID);
}

// Equal, or the same family key (each falling back to the identifier itself).
bool sameApplication(const std::string& a, const std::string& b) {
  return a == b || familyKey(a).value_or(a) == familyKey(b).value_or(b);
}

// Both have a family key, and the keys are equal.
bool sameFamily(const std::string& a, const std::string& b) {
  const auto ka = familyKey(a);
  const auto kb = familyKey(b);
  return ka && kb && *ka == *kb;
}

}  // namespace

std::set<std::string> OverlayManager::identityKeys(const std::string& bundleID) const {
  std::set<std::string> keys{bundleID};
  if (auto root = Conferencing::hubFamilyRoot(bundleID)) keys.insert(*root);
  return keys;
}

bool OverlayManager::isAppRevealed(const AppRef& app) const {
  for (const std::string& key : identityKeys(app.bundleID)) {
    if (revealedBundleIDs_.contains(key)) return true;
  }
  return false;
}

bool OverlayManager::isOwnerRevealed(pid_t pid) const {
  if (revealedBundleIDs_.empty()) return false;
  const std::optional<std::string> bundleID = tracker_.bundleIdentifier(pid);
  if (!bundleID) return false;
  for (const std::string& key : identityKeys(*bundleID)) {
    if (revealedBundleIDs_.contains(key)) return true;
  }
  return false;
}

bool OverlayManager::isRevealed(int64_t key, const OverlayWindow& overlay) const {
  return revealedWindowNumbers_.contains(key) || overlay.content().isRevealed();
}

WindowInfo OverlayManager::record(int64_t key, const OverlayWindow& overlay, std::optional<pid_t> fallbackPID) const {
  WindowInfo info;
  info.windowNumber = key;
  info.ownerPID = overlay.ownerPID.value_or(fallbackPID.value_or(0));
  info.frame = overlay.frame();
  info.stackingWindowNumber = overlay.stackingWindowNumber;
  info.level = overlay.sourceLevel;
  return info;
}

// ---- Revealing --------------------------------------------------------------------------------

void OverlayManager::setAppRevealed(const AppRef& app, bool revealed) {
  for (const std::string& key : identityKeys(app.bundleID)) {
    if (revealed) {
      revealedBundleIDs_.insert(key);
    } else {
      revealedBundleIDs_.erase(key);
    }
  }
  for (auto& [key, o] : overlays_) {
    if (!o->ownerPID) continue;
    const std::optional<std::string> bundleID = tracker_.bundleIdentifier(*o->ownerPID);
    if (!bundleID || !sameApplication(*bundleID, app.bundleID)) continue;
    if (revealed) {
      revealedWindowNumbers_.insert(key);
      o->setRevealed(true, false);
      if (clearViewActive_) {
        o->orderOutWindowOnly();
        o->occlusions.clear();
        o->applyOcclusionMask();
        if (mirrors_ && mirrors_->hasMirror(key)) mirrors_->hidePlate(key);
      }
    } else {
      revealedWindowNumbers_.erase(key);
      o->setRevealed(false, false);
      if (clearViewActive_) o->orderFrontRegardless();
    }
  }
}

std::optional<std::string> OverlayManager::toggleRevealForFrontmostApp(const std::vector<AppRef>& apps) {
  const std::optional<RunningApplication> front = workspace_.frontmostApplication();
  if (!front || !front->bundleIdentifier) return std::nullopt;
  const std::string& frontID = *front->bundleIdentifier;
  const std::string frontRoot = Conferencing::hubFamilyRoot(frontID).value_or(frontID);
  for (const AppRef& app : apps) {
    if (app.bundleID != frontID && Conferencing::hubFamilyRoot(app.bundleID).value_or(app.bundleID) != frontRoot) {
      continue;
    }
    setAppRevealed(app, !isAppRevealed(app));
    return app.name;
  }
  return std::nullopt;
}

void OverlayManager::resetAllRevealed() {
  revealedWindowNumbers_.clear();
  revealedBundleIDs_.clear();
  for (auto& [key, o] : overlays_) {
    const bool wasRevealed = o->content().isRevealed();
    o->chip().orderOut();
    o->content().controlButton().setHidden(o->clearViewMode());
    o->setIgnoresMouseEvents(o->clearViewMode());
    o->content().resetRevealState();
    o->applyClearViewPresentation();
    if (wasRevealed) {
      o->orderFrontRegardless();
      o->displayIfNeeded();
    }
  }
}

// ---- Activation fast paths ------------------------------------------------------------------------

void OverlayManager::fastPathAppActivated(pid_t pid) {
  appSwitchHoldDeadline_ = 0;
  fastPath(pid, true);
}

void OverlayManager::fastPathAppDeactivated(pid_t pid) { fastPath(pid, false); }

void OverlayManager::fastPath(pid_t pid, bool activated) {
  const std::optional<std::string> pidBundle = tracker_.bundleIdentifier(pid);
  OverlayMirrors* mirrors = liveMirrors();
  for (auto& [key, o] : overlays_) {
    if (revealedWindowNumbers_.contains(key)) continue;
    bool matches = !o->ownerPID || *o->ownerPID == pid;
    if (!matches) {
      const std::optional<std::string> ownerBundle = tracker_.bundleIdentifier(*o->ownerPID);
      matches = ownerBundle && pidBundle && sameFamily(*ownerBundle, *pidBundle);
    }
    if (!matches) continue;
    const WindowInfo info = record(key, *o, pid);
    applyZOrder(*o, info, activated && tracker_.isFrontmostProtectedSurface(info));
    o->place(o->frame());
    o->occlusions = tracker_.framesInFront(info, captureInvisibleForegroundApps());
    o->applyOcclusionMask();
    if (mirrors && mirrors->hasMirror(key)) mirrors->attach(key, *o);
  }
  refreshFrostHoles();
}

void OverlayManager::refreshFrostHoles() {
  if (!clearViewActive_) return;
  OverlayMirrors* mirrors = liveMirrors();
  for (auto& [key, o] : overlays_) {
    if (isRevealed(key, *o)) continue;
    o->occlusions = tracker_.framesInFront(record(key, *o), captureInvisibleForegroundApps());
    o->applyOcclusionMask();
    if (mirrors && mirrors->hasMirror(key)) mirrors->attach(key, *o);
  }
}

void OverlayManager::preflightActivation(const std::string& reason,
                                         const std::function<bool(int64_t, const OverlayWindow&)>& matching) {
  if (!clearViewActive_ || overlays_.empty()) return;
  appSwitchHoldDeadline_ = clock_.mediaTime() + appSwitchHold;
  OverlayMirrors* mirrors = liveMirrors();
  int count = 0;
  for (auto& [key, o] : overlays_) {
    if (isRevealed(key, *o) || o->sourceLevel != 0 || (matching && !matching(key, *o))) continue;
    o->occlusions.clear();
    o->applyOcclusionMask();
    applyZOrder(*o, record(key, *o), true);
    if (mirrors && mirrors->hasMirror(key)) mirrors->attach(key, *o);
    ++count;
  }
  ui_.flush();
  clearViewLog_.log(reason + " preflight: floated " + std::to_string(count) + " frost(s)");
}

void OverlayManager::preDemoteForForeignClick(Point point) {
  if (overlays_.empty()) return;
  if (clearViewActive_ && tracker_.pointHitsDock(point)) {
    // Any Dock click may bring a protected application forward.
    preflightActivation("Dock");
    return;
  }
  const std::optional<WindowUnderPoint> hit = tracker_.windowUnderPoint(point);
  if (!hit) return;
  auto sameFamilyAsHit = [&](const OverlayWindow& o) {
    return Conferencing::isSameHubFamily(workspace_, o.ownerPID.value_or(hit->ownerPID), hit->ownerPID);
  };
  const bool ours = std::any_of(overlays_.begin(), overlays_.end(), [&](const auto& entry) {
    const auto& [key, o] = entry;
    return key == hit->number || o->stackingWindowNumber == hit->number || sameFamilyAsHit(*o);
  });

  if (!ours) {
    // A click on a foreign window: it comes forward, so every floated frost goes back down at once.
    appSwitchHoldDeadline_ = 0;
    OverlayMirrors* mirrors = liveMirrors();
    for (auto& [key, o] : overlays_) {
      if (o->level() != frontFrostLevel || isRevealed(key, *o)) continue;
      applyZOrder(*o, record(key, *o), false);
      if (mirrors && mirrors->hasMirror(key)) mirrors->attach(key, *o);
    }
    ui_.flush();
    return;
  }
  if (clearViewActive_) {
    preflightActivation("click", [&](int64_t, const OverlayWindow& o) { return sameFamilyAsHit(o); });
    return;
  }
  for (auto& [key, o] : overlays_) {
    if (key != hit->number && o->stackingWindowNumber != hit->number) continue;
    if (!isRevealed(key, *o) && o->level() != frontFrostLevel) applyZOrder(*o, record(key, *o), true);
    break;
  }
}

}  // namespace corvane
