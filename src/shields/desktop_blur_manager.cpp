#include "shields/desktop_blur_manager.h"

#include <algorithm>

namespace corvane {

namespace {

constexpr uint64_t kAllSpacesStationary = ui::CollectionBehavior::canJoinAllSpaces |
                                          ui::CollectionBehavior::stationary | ui::CollectionBehavior::ignoresCycle |
                                          ui::CollectionBehavior::fullScreenAuxiliary;  // 337

void sendRect(MirrorHostClient& host, MirrorHostCommandKind kind, int64_t id, const Rect& r) {
  host.send(MirrorHostCommand{.cmd = kind, .id = id, .x = r.minX(), .y = r.minY(), .w = r.width(), .h = r.height()});
}

}  // namespace

// ---- DesktopBlurWindow --------------------------------------------------------------------------

DesktopBlurWindow::DesktopBlurWindow(ui::UserInterface& ui, const Rect& screenFrame, int64_t level)
    : ui::Panel(ui, screenFrame, ui::StyleMask::nonactivatingPanel, ui::BackingStoreType::buffered, false) {
  blur_ = &setContentView(std::make_unique<FrostedBlurView>(Rect(Point{}, screenFrame.size)));
  setOpaque(false);
  setBackgroundColor(ui::Color::clear());
  setHasShadow(false);
  setFloatingPanel(true);
  setBecomesKeyOnlyIfNeeded(true);
  setIgnoresMouseEvents(true);
  setSharingType(ui::SharingType::readWrite);
  setCollectionBehavior(kAllSpacesStationary);
  setLevel(level);  // after setFloatingPanel, which sets a level of its own
}

// ---- DesktopScreenMirror ------------------------------------------------------------------------

DesktopScreenMirror::DesktopScreenMirror(DisplayID id, int64_t plateLevel, MirrorHostClient& host,
                                         ShieldCapture::Dependencies deps)
    : displayID(id),
      level(plateLevel),
      host_(host),
      log_(deps.log),
      plate_(host, std::nullopt, plateLevel),
      capture_(deps, SharedFrameOwner::desktopMirror, id, "--capture-desktop",
               ShieldCapture::Wording{"Could not create desktop capture shm for display " + std::to_string(id),
                                      "Desktop capture helper failed to start: "}) {}

DesktopScreenMirror::~DesktopScreenMirror() { shutdown(); }

void DesktopScreenMirror::show(const Rect& frame, const Rect& captureRect, const std::vector<WindowID>& windowIDs) {
  if (stopped_) return;
  if (!(plate_.frame == frame)) {
    plate_.frame = frame;
    sendRect(host_, MirrorHostCommandKind::place, plate_.id, frame);
  }
  plate_.level = level;
  plate_.isVisible = true;
  host_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::show, .id = plate_.id, .level = level});
  if (exclusionUnconfirmed()) {
    if (!loggedExclusionFailure_) {
      loggedExclusionFailure_ = true;
      log_.log("Desktop mirror capture exclusion NOT confirmed on display " + std::to_string(displayID) +
               " \u2014 frost stays classic");
    }
    return;
  }
  loggedExclusionFailure_ = false;
  if (capture_.startIfNeeded(false) == ShieldCapture::Start::started) {
    plate_.sharedPath = capture_.frame()->path();
    host_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::shm, .id = plate_.id, .path = plate_.sharedPath});
  }
  if (ClearViewSharedFrame* frame = capture_.frame()) {
    frame->resume();
    frame->setDesktopCapture(windowIDs, captureRect);
  }
}

void DesktopScreenMirror::publish(const Rect& captureRect, const std::vector<WindowID>& windowIDs) {
  if (ClearViewSharedFrame* frame = capture_.frame()) frame->setDesktopCapture(windowIDs, captureRect);
}

void DesktopScreenMirror::hide() {
  capture_.pause();
  plate_.isVisible = false;
  plate_.frame = Rect::null();
  host_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::hide, .id = plate_.id});
}

void DesktopScreenMirror::shutdown() {
  if (stopped_) return;
  stopped_ = true;
  capture_.shutdown();
  plate_.destroy();
}

// ---- DesktopBlurManager -------------------------------------------------------------------------

DesktopBlurManager::DesktopBlurManager(Dependencies deps) : deps_(deps) {}

DesktopBlurManager::~DesktopBlurManager() {
  orderOutWindows();
  for (auto& [id, mirror] : mirrors_) mirror->shutdown();
}

std::vector<Rect> DesktopBlurManager::screenFrames() {
  std::vector<Rect> frames;
  for (const ScreenInfo& s : deps_.screens.screens()) frames.push_back(s.frame);
  return frames;
}

void DesktopBlurManager::orderOutWindows() {
  for (auto& window : windows_) {
    window->orderOut();
    window->close();
  }
  windows_.clear();
}

void DesktopBlurManager::setActive(bool on) {
  if (on) {
    if (active_ && screenFrames() == lastScreenFrames_) {
      if (!mirrorsSuppressed_) refreshSourcesIfNeeded();
      return;
    }
    active_ = true;
    rebuild();
    return;
  }
  if (!active_) return;
  orderOutWindows();
  for (auto& [id, mirror] : mirrors_) mirror->hide();
  active_ = false;
  lastScreenFrames_.clear();
}

void DesktopBlurManager::rebuild() {
  orderOutWindows();
  const std::vector<ScreenInfo> screens = deps_.screens.screens();
  for (const ScreenInfo& screen : screens) {
    if (!screen.displayID) continue;
    auto window = std::make_unique<DesktopBlurWindow>(deps_.ui, screen.frame, kFrostLevel);
    window->blur().setTintAlpha(tintAlpha_);
    window->blur().setBlurIntensity(blurIntensity_);
    window->blur().applyBlurIntensity(blurIntensity_);
    window->orderFrontRegardless();
    windows_.push_back(std::move(window));
  }
  for (auto it = mirrors_.begin(); it != mirrors_.end();) {
    const bool present = std::any_of(screens.begin(), screens.end(),
                                     [&](const ScreenInfo& s) { return s.displayID && *s.displayID == it->first; });
    if (present) {
      ++it;
      continue;
    }
    it->second->shutdown();
    it = mirrors_.erase(it);
  }
  lastScreenFrames_.clear();
  for (const ScreenInfo& s : screens) lastScreenFrames_.push_back(s.frame);
  if (!mirrorsSuppressed_) showMirrors();
}

Rect DesktopBlurManager::captureRect(DisplayID display) {
  // The shared frame's request is in window-server space, as the display's bounds already are.
  return deps_.windowServer.displayBounds(display);
}

void DesktopBlurManager::showMirrors() {
  if (!deps_.mirrorHost) return;
  const std::vector<WindowID> ids = desktopWindowIDs();
  for (const ScreenInfo& screen : deps_.screens.screens()) {
    if (!screen.displayID) continue;
    auto found = mirrors_.find(*screen.displayID);
    if (found == mirrors_.end()) {
      found = mirrors_
                  .emplace(*screen.displayID, std::make_unique<DesktopScreenMirror>(
                                                  *screen.displayID, kMirrorLevel, *deps_.mirrorHost,
                                                  ShieldCapture::Dependencies{deps_.processes,
                                                                              deps_.dispatcher.clock(), deps_.log}))
                  .first;
    }
    found->second->show(screen.frame, captureRect(*screen.displayID), ids);
  }
  lastSourceRefresh_ = deps_.dispatcher.clock().mediaTime();
}

void DesktopBlurManager::refreshSourcesIfNeeded() {
  const double now = deps_.dispatcher.clock().mediaTime();
  if (now - lastSourceRefresh_ < kSourceRefreshInterval) return;
  lastSourceRefresh_ = now;
  const std::vector<WindowID> ids = desktopWindowIDs();
  for (const ScreenInfo& screen : deps_.screens.screens()) {
    if (!screen.displayID) continue;
    auto found = mirrors_.find(*screen.displayID);
    if (found == mirrors_.end() || found->second->stopped() || found->second->exclusionUnconfirmed()) continue;
    if (found->second->capture().isRunning()) {
      found->second->publish(captureRect(*screen.displayID), ids);
    } else {
      // A helper that ended (or never started) is tried again, at most once a second.
      found->second->show(screen.frame, captureRect(*screen.displayID), ids);
    }
  }
}

std::vector<WindowID> DesktopBlurManager::desktopWindowIDs() {
  auto entries = deps_.windowServer.copyWindowInfo(WindowListOption::onScreenOnly, 0);
  if (!entries) return {};
  std::vector<std::pair<int64_t, WindowID>> kept;  // (layer, number), front to back
  for (const WindowListEntry& entry : *entries) {
    const auto number = asInteger(entry.number);
    const auto layer = asInteger(entry.layer);
    const auto owner = asString(entry.ownerName);
    if (!number || *number <= 0 || *number > int64_t(UINT32_MAX) || !layer || !owner) continue;
    bool desktop = false;
    if (*owner == "Finder") {
      desktop = *layer == kDesktopIconLevel;
    } else if (*owner == "Dock") {
      const std::string name = asString(entry.name).value_or("");
      desktop = name.starts_with("Wallpaper") && name.find("Offscreen") == std::string::npos;
    }
    if (desktop) kept.emplace_back(*layer, WindowID(*number));
  }
  // The helper draws the list front to back (the first entry on top): the icons before the picture.
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  // The request holds eight windows: with more, the picture (the back-most) keeps the last place.
  if (kept.size() > ClearViewSharedFrame::MaxCaptureWindows) {
    kept.erase(kept.begin() + (ClearViewSharedFrame::MaxCaptureWindows - 1), kept.end() - 1);
  }
  std::vector<WindowID> ids;
  for (const auto& [layer, number] : kept) ids.push_back(number);
  return ids;
}

void DesktopBlurManager::setTintAlpha(double alpha) {
  tintAlpha_ = alpha;
  for (auto& window : windows_) window->blur().setTintAlpha(alpha);
}

void DesktopBlurManager::setBlurIntensity(double strength) {
  blurIntensity_ = strength;
  for (auto& window : windows_) {
    window->blur().setBlurIntensity(strength);
    window->blur().applyBlurIntensity(strength);
  }
}

void DesktopBlurManager::setMirrorsSuppressed(bool suppressed) {
  if (suppressed == mirrorsSuppressed_) return;
  mirrorsSuppressed_ = suppressed;
  if (suppressed) {
    for (auto& [id, mirror] : mirrors_) mirror->hide();
  } else if (active_) {
    showMirrors();
  }
}

}  // namespace corvane
