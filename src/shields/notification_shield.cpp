#include "shields/notification_shield.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace corvane {

namespace {

constexpr uint64_t kAllSpacesStationary = ui::CollectionBehavior::canJoinAllSpaces |
                                          ui::CollectionBehavior::stationary | ui::CollectionBehavior::ignoresCycle |
                                          ui::CollectionBehavior::fullScreenAuxiliary;  // 337

bool hasArea(const Rect& r) { return !r.isNull() && r.width() > 0 && r.height() > 0; }

std::string wholeNumber(double v) { return std::to_string(std::llround(v)); }

}  // namespace

// ---- NotificationFrostWindow --------------------------------------------------------------------

NotificationFrostWindow::NotificationFrostWindow(ui::UserInterface& ui, int64_t level)
    : ui::Panel(ui, Rect::zero(), ui::StyleMask::nonactivatingPanel, ui::BackingStoreType::buffered, false) {
  blur_ = &setContentView(std::make_unique<FrostedBlurView>(Rect::zero()));
  setOpaque(false);
  setBackgroundColor(ui::Color::clear());
  setHasShadow(false);
  setHidesOnDeactivate(false);
  setBecomesKeyOnlyIfNeeded(true);
  setIgnoresMouseEvents(true);
  setSharingType(ui::SharingType::readWrite);
  setCollectionBehavior(kAllSpacesStationary);
  setLevel(level);
  blur_->setBlurIntensity(1.0);
  blur_->applyBlurIntensity(1.0);
  blur_->setCornerRadius(kCornerRadius);
  setTintAlpha(tintAlpha_);
}

void NotificationFrostWindow::setTintAlpha(double alpha) {
  tintAlpha_ = alpha;
  blur_->setTintAlpha(std::max(alpha, kMinimumTint));
}

// ---- NotificationGuard ----------------------------------------------------------------------

NotificationGuard::NotificationGuard(NotificationShield& shield, WindowID id, int64_t layer)
    : windowID(id),
      plateLevel(layer + 2),
      shield_(shield),
      frost_(std::make_unique<NotificationFrostWindow>(shield.deps_.ui, layer + 1)),
      capture_(ShieldCapture::Dependencies{shield.deps_.processes, shield.deps_.dispatcher.clock(), shield.deps_.log},
               SharedFrameOwner::notificationGuard, id, "--capture-notifications",
               ShieldCapture::Wording{"Could not create notification capture shm for window " + std::to_string(id),
                                      "Notification capture helper failed to start: "}) {
  if (shield.deps_.mirrorHost) plate_ = std::make_unique<MirrorPlate>(*shield.deps_.mirrorHost, std::nullopt, plateLevel);
}

NotificationGuard::~NotificationGuard() { shutdown(); }

Rect NotificationGuard::screenRect(const Rect& r) const {
  return Rect(r.minX(), shield_.mainDisplayHeight() - r.maxY(), r.width(), r.height());
}

void NotificationGuard::publishRequest() {
  if (ClearViewSharedFrame* frame = capture_.frame(); frame && !covered_.isNull()) {
    frame->setDesktopCapture({windowID}, covered_);
  }
}

void NotificationGuard::cover(const Rect& windowBounds) {
  if (stopped_) return;
  const Rect area = shield_.bannerArea(windowBounds);
  if (!hasArea(area)) return;
  column_ = NotificationShield::column(area);
  const double now = shield_.deps_.dispatcher.clock().mediaTime();
  ClearViewSharedFrame* frame = capture_.frame();

  Rect target = covered_;
  if (!showing_) {
    shownAt_ = now;
    shaped_ = false;
    settled_ = false;
    drawn_ = Rect::null();
    lastContentSequence_ = frame ? frame->contentBounds().sequence : 0;
    target = column_;
  } else if (frame) {
    const ContentBounds content = frame->contentBounds();
    if (content.sequence != lastContentSequence_) {
      lastContentSequence_ = content.sequence;
      if (!content.rect.isNull()) {
        Rect r = content.rect.standardized().insetBy(-NotificationShield::kPadding, -NotificationShield::kPadding);
        r.size.height += NotificationShield::kStackPadding;  // downwards: the stack below the banner
        r = r.intersection(column_);
        if (hasArea(r)) {
          drawn_ = drawn_.isNull() ? r : drawn_.unionWith(r);
          if (!shaped_) {
            shaped_ = true;
            target = Rect(column_.minX(), r.minY(), column_.width(), r.height());
          } else {
            target = covered_.isNull() ? r : covered_.unionWith(r);
          }
        }
      }
    }
  }
  if (showing_ && !settled_ && !drawn_.isNull() && now - shownAt_ >= NotificationShield::kSettleSeconds) {
    settled_ = true;
    target = drawn_;
  }
  if (target.isNull()) return;
  apply(target);

  if (showing_ && capture_.isRunning()) return;
  if (!showing_) {
    showing_ = true;
    ++shows_;
    frost_->orderFrontRegardless();
  }
  startHelperIfNeeded();
  if (ClearViewSharedFrame* f = capture_.frame()) {
    publishRequest();
    f->resume();
  }
  syncPlate();
}

void NotificationGuard::apply(const Rect& rect) {
  if (rect == covered_) return;
  covered_ = rect;
  const Rect onScreen = screenRect(rect);
  frost_->setFrame(onScreen, true);
  publishRequest();
  if (plate_ && !(plate_->frame == onScreen)) {
    plate_->frame = onScreen;
    shield_.deps_.mirrorHost->send(MirrorHostCommand{.cmd = MirrorHostCommandKind::place,
                                                     .id = plate_->id,
                                                     .x = onScreen.minX(),
                                                     .y = onScreen.minY(),
                                                     .w = onScreen.width(),
                                                     .h = onScreen.height()});
  }
}

void NotificationGuard::startHelperIfNeeded() {
  const auto started = capture_.startIfNeeded(!showing_, [this](ClearViewSharedFrame& frame) {
    if (!covered_.isNull()) frame.setDesktopCapture({windowID}, covered_);
    lastContentSequence_ = frame.contentBounds().sequence;
  });
  if (started != ShieldCapture::Start::started || !plate_) return;
  plate_->sharedPath = capture_.frame()->path();
  shield_.deps_.mirrorHost->send(
      MirrorHostCommand{.cmd = MirrorHostCommandKind::shm, .id = plate_->id, .path = plate_->sharedPath});
}

void NotificationGuard::syncPlate() {
  if (!plate_) return;
  const bool excluded = !plate_->exclusionResult || *plate_->exclusionResult == 0;
  // The plate shows the banner only while the frost is up: a plate left over a banner that is gone
  // would show the user its last frame.
  if (showing_ && mirrorAllowed && excluded && capture_.frame()) {
    if (!plateShown_) {
      const Rect onScreen = screenRect(covered_);
      if (!(plate_->frame == onScreen)) {
        plate_->frame = onScreen;
        shield_.deps_.mirrorHost->send(MirrorHostCommand{.cmd = MirrorHostCommandKind::place,
                                                         .id = plate_->id,
                                                         .x = onScreen.minX(),
                                                         .y = onScreen.minY(),
                                                         .w = onScreen.width(),
                                                         .h = onScreen.height()});
      }
      plate_->level = plateLevel;
      plate_->isVisible = true;
      shield_.deps_.mirrorHost->send(
          MirrorHostCommand{.cmd = MirrorHostCommandKind::show, .id = plate_->id, .level = plateLevel});
      plateShown_ = true;
    }
  } else if (plateShown_) {
    plate_->isVisible = false;
    shield_.deps_.mirrorHost->send(MirrorHostCommand{.cmd = MirrorHostCommandKind::hide, .id = plate_->id});
    plateShown_ = false;
  }
  if (!excluded && !loggedExclusionFailure_) {
    loggedExclusionFailure_ = true;
    shield_.deps_.log.log("Notification plate capture exclusion NOT confirmed \u2014 banners stay frosted");
  }
}

std::string NotificationGuard::diagnostics() const {
  std::string covered = "none";
  if (!covered_.isNull()) {
    covered = wholeNumber(covered_.minX()) + "," + wholeNumber(covered_.minY()) + " " + wholeNumber(covered_.width()) +
              "x" + wholeNumber(covered_.height());
  }
  return "nc=" + std::to_string(windowID) + " showing=" + (showing_ ? "1" : "0") + " shows=" + std::to_string(shows_) +
         " covered=" + covered + " plate=" + (plateShown_ ? "1" : "0") + " " +
         (plate_ ? plate_->diagnostics() : std::string("plate=none"));
}

void NotificationGuard::conceal() {
  if (!showing_) return;
  const double now = shield_.deps_.dispatcher.clock().mediaTime();
  shield_.deps_.log.log("Notification shield down after " + wholeNumber((now - shownAt_) * 1000) +
                        " ms: " + diagnostics() + " plateFrame=" + (plate_ && !plate_->frame.isNull() ? "1" : "0"));
  showing_ = false;
  covered_ = Rect::null();
  drawn_ = Rect::null();
  frost_->orderOut();
  capture_.pause();
  if (plateShown_) {
    plate_->isVisible = false;
    plate_->frame = Rect::null();
    shield_.deps_.mirrorHost->send(MirrorHostCommand{.cmd = MirrorHostCommandKind::hide, .id = plate_->id});
    plateShown_ = false;
  }
}

void NotificationGuard::widenToColumn() {
  if (!showing_) return;
  const auto bounds = shield_.onScreenBounds(windowID);
  if (!bounds) return;
  const Rect area = shield_.bannerArea(*bounds);
  if (!hasArea(area)) return;
  const Rect wide = NotificationShield::column(area);
  apply(covered_.isNull() ? wide : covered_.unionWith(wide));
}

void NotificationGuard::shutdown() {
  if (stopped_) return;
  conceal();
  stopped_ = true;
  capture_.shutdown();
  if (plate_) plate_->destroy();
  frost_->close();
}

// ---- NotificationShield -----------------------------------------------------------------------

NotificationShield::NotificationShield(Dependencies deps) : deps_(deps) {}

NotificationShield::~NotificationShield() {
  *alive_ = nullptr;
  shutdown();
}

double NotificationShield::mainDisplayHeight() {
  const auto main = deps_.screens.mainScreen();
  return main ? main->frame.height() : 0;
}

Rect NotificationShield::bannerArea(const Rect& bounds) {
  const Rect b = bounds.standardized();
  const double height = mainDisplayHeight();
  for (const ScreenInfo& screen : deps_.screens.screens()) {
    const Rect frame = screen.frame.standardized();
    const Rect top(frame.minX(), height - frame.maxY(), frame.width(), frame.height());  // window-server space
    if (!top.intersects(b)) continue;
    // The menu bar's band along the screen's top edge: whatever part of the window lies in it is
    // left to the menu bar, and nothing below it.
    const double menuBar = std::max(frame.maxY() - screen.visibleFrame.standardized().maxY(), 0.0);
    const double minY = std::max(b.minY(), top.minY() + menuBar);
    if (minY >= b.maxY()) return Rect::null();
    return Rect(b.minX(), minY, b.width(), b.maxY() - minY);
  }
  return b;
}

Rect NotificationShield::column(const Rect& area) {
  const Rect a = area.standardized();
  return Rect(a.maxX() - kColumnWidth, a.minY(), kColumnWidth, a.height()).intersection(a);
}

void NotificationShield::setActive(bool on) {
  if (on == active_) return;
  active_ = on;
  if (on) {
    discover();
    startTimer();
    return;
  }
  timer_.reset();
  for (auto& [id, guard] : guardians_) guard->conceal();
}

void NotificationShield::startTimer() {
  if (timer_) return;
  std::weak_ptr<NotificationShield*> weak = alive_;
  timer_ = deps_.dispatcher.makeTimer(deps_.dispatcher.main(), [weak] {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->tick();
  });
  timer_->schedule(0, kTickInterval, 0.001);
}

std::optional<Rect> NotificationShield::onScreenBounds(WindowID window) {
  auto entries = deps_.windowServer.copyWindowInfo(WindowListOption::includingWindow, window);
  if (!entries) return std::nullopt;
  for (const WindowListEntry& entry : *entries) {
    const auto number = asInteger(entry.number);
    if (number && *number != int64_t(window)) continue;
    if (asBool(entry.isOnscreen).value_or(false)) return asBounds(entry.bounds);
    return std::nullopt;
  }
  return std::nullopt;
}

void NotificationShield::tick() {
  if (deps_.dispatcher.clock().mediaTime() - lastDiscovery_ >= kDiscoveryInterval) discover();
  for (auto& [id, guard] : guardians_) {
    if (const auto bounds = onScreenBounds(id)) {
      guard->cover(*bounds);
    } else {
      guard->conceal();
    }
  }
}

void NotificationShield::discover() {
  lastDiscovery_ = deps_.dispatcher.clock().mediaTime();
  std::set<pid_t> pids;
  for (const RunningApplication& app : deps_.workspace.runningApplications()) {
    if (!app.isTerminated && app.bundleIdentifier == kNotificationBundleID) pids.insert(app.processIdentifier);
  }
  if (pids.empty()) return;
  auto entries = deps_.windowServer.copyWindowInfo(WindowListOption::all, 0);
  if (!entries) return;
  std::map<WindowID, int64_t> found;
  for (const WindowListEntry& entry : *entries) {
    const auto number = asInteger(entry.number);
    const auto owner = asInteger(entry.ownerPID);
    const auto layer = asInteger(entry.layer);
    const auto bounds = asBounds(entry.bounds);
    if (!number || *number <= 0 || *number > int64_t(UINT32_MAX) || !owner || !pids.contains(pid_t(*owner)) ||
        !layer || *layer < kDockLevel || !bounds) {
      continue;
    }
    const Rect b = bounds->standardized();
    if (b.width() < kMinimumSide || b.height() < kMinimumSide) continue;
    found.emplace(WindowID(*number), *layer);
  }
  for (auto it = guardians_.begin(); it != guardians_.end();) {
    if (found.contains(it->first)) {
      ++it;
      continue;
    }
    it->second->shutdown();
    it = guardians_.erase(it);
  }
  for (const auto& [id, layer] : found) {
    if (guardians_.contains(id)) continue;
    auto guard = std::make_unique<NotificationGuard>(*this, id, layer);
    guard->frost().setTintAlpha(tintAlpha_);
    guard->mirrorAllowed = !mirrorsSuppressed_;
    guardians_.emplace(id, std::move(guard));
  }
}

void NotificationShield::pointerDown(Point p) {
  if (!active_) return;
  for (const ScreenInfo& screen : deps_.screens.screens()) {
    const Rect frame = screen.frame.standardized();
    if (!frame.contains(p)) continue;
    // Above the visible frame (the menu bar), near the right end: the clock and the notification
    // centre, where a click may expand the banners.
    if (p.y > screen.visibleFrame.standardized().maxY() && p.x >= frame.maxX() - kMenuBarClickWidth) {
      for (auto& [id, guard] : guardians_) guard->widenToColumn();
    }
    return;
  }
}

void NotificationShield::setTintAlpha(double alpha) {
  tintAlpha_ = alpha;
  for (auto& [id, guard] : guardians_) guard->frost().setTintAlpha(alpha);
}

void NotificationShield::setMirrorsSuppressed(bool suppressed) {
  mirrorsSuppressed_ = suppressed;
  for (auto& [id, guard] : guardians_) {
    guard->mirrorAllowed = !suppressed;
    guard->syncPlate();
  }
}

void NotificationShield::shutdown() {
  timer_.reset();
  active_ = false;
  for (auto& [id, guard] : guardians_) guard->shutdown();
}

}  // namespace corvane
