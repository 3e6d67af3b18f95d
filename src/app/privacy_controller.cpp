#include "app/privacy_controller.h"

#include <algorithm>
#include <cstdlib>

#include "follow/geometry_follower.h"
#include "mirrorhost/mirror_host_client.h"
#include "overlay/window_mirror_set.h"
#include "platform/application.h"
#include "platform/defaults_store.h"
#include "platform/processes.h"
#include "platform/ui.h"
#include "platform/unavailable.h"
#include "platform/window_server_private.h"
#include "platform/workspace.h"
#include "settings/preferences.h"
#include "shields/dock_hider.h"
#include "windows/conferencing.h"

namespace corvane {

namespace {

constexpr uint64_t kCommand = ModifierFlag::command;

// Unlock lines of the geometry follower: the environment variable CORVANE_FOLLOWER_DEBUG (any
// value), else the user default "FollowerDebug".
bool followerDebug(Preferences& prefs) {
  std::optional<bool> userDefault;
  if (auto value = prefs.defaults().object(applicationDomain, "FollowerDebug")) {
    if (auto flag = value->get<bool>()) userDefault = *flag;
  }
  return GeometryFollower::debugSwitch(std::getenv("CORVANE_FOLLOWER_DEBUG") != nullptr, userDefault);
}

OverlayManager::Dependencies overlayDependencies(CoreServices& services, ui::UserInterface& ui, Preferences& prefs) {
  OverlayManager::Dependencies deps(ui, services.tracker, services.platform.workspace, services.platform.clock,
                                    services.clearViewLog);
  deps.geometry = &services.geometry;
  deps.titleBarChrome = &services.titleBarChrome;
  deps.makeFollower = [&services, &prefs] { return services.makeGeometryFollower(followerDebug(prefs)); };
  // Clear View: mirrors over the mirror host that start-up installed; classic frost without one.
  if (MirrorHostClient* client = MirrorHostClient::shared()) {
    const WindowTracker& tracker = services.tracker;
    deps.mirrors = std::make_unique<WindowMirrorSet>(
        WindowMirror::Dependencies{*client, services.platform.processes, services.platform.clock,
                                   services.clearViewLog, services.sharedFrameDirectory},
        ui, [&tracker](int64_t plate, int64_t overlay) { return tracker.isSeated(plate, overlay); });
  }
  return deps;
}

}  // namespace

double tintAlphaForStrength(double strength) { return strength <= 0 ? 0.15 : 0.15 + 0.35 * std::min(strength, 1.0); }

PrivacyController::Fallbacks::Fallbacks(const Platform& platform) {
  if (!platform.input) {
    input = std::make_unique<UnavailableInput>();
    platform.systemLog.log("Corvane: this platform offers no input monitoring; running without the Cmd+Tab guard, "
                           "hot keys and pointer refreshes");
  }
  if (!platform.ui) {
    ui = std::make_unique<UnavailableUserInterface>(platform.dispatcher);
    platform.systemLog.log("Corvane: this platform offers no user interface; running without overlays");
  }
}

PrivacyController::PrivacyController(CoreServices& services, Preferences& preferences)
    : fallbacks_(services.platform),
      services_(services),
      prefs_(preferences),
      input_(services.platform.input ? *services.platform.input : *fallbacks_.input),
      log_(services.platform.systemLog),
      alive_(std::make_shared<PrivacyController*>(this)) {
  overlays_ = std::make_unique<OverlayManager>(
      overlayDependencies(services, services.platform.ui ? *services.platform.ui : *fallbacks_.ui, preferences));
  blurRects_ = std::make_unique<BlurRectManager>(services.platform.ui ? *services.platform.ui : *fallbacks_.ui, input_,
                                                 services.platform.clock);
  detector_ = std::make_unique<ShareDetector>(
      services.platform.dispatcher,
      ShareDetector::Sources{services.platform.workspace, services.screenCapture, services.framebufferShare,
                             services.callAudio, services.hubCallSource});
  hotkeys_ = std::make_unique<HotKeyManager>(input_);
  ui::UserInterface& userInterface = services.platform.ui ? *services.platform.ui : *fallbacks_.ui;
  desktopBlur_ = std::make_unique<DesktopBlurManager>(DesktopBlurManager::Dependencies{
      services.platform.dispatcher, services.platform.windowServer, services.platform.screens,
      services.platform.processes, userInterface, services.clearViewLog, MirrorHostClient::shared()});
  notificationShield_ = std::make_unique<NotificationShield>(NotificationShield::Dependencies{
      services.platform.dispatcher, services.platform.windowServer, services.platform.workspace,
      services.platform.screens, services.platform.processes, userInterface, services.clearViewLog,
      MirrorHostClient::shared()});
}

PrivacyController::~PrivacyController() {
  *alive_ = nullptr;
  if (blurRects_) blurRects_->onChange = nullptr;
  cancellables_.clear();
  stopRefreshing();
  if (detector_) {
    detector_->onChange = nullptr;
    detector_->onReadyChange = nullptr;
    detector_->stop();
  }
}

void PrivacyController::onMain(std::function<void(PrivacyController&)> work) {
  std::weak_ptr<PrivacyController*> weak = alive_;
  services_.platform.dispatcher.main().async([weak, work = std::move(work)] {
    auto alive = weak.lock();
    if (alive && *alive) work(**alive);
  });
}

void PrivacyController::notifyStateChange() {
  if (onStateChange) onStateChange();
}

// ---- Start ------------------------------------------------------------------------------------

void PrivacyController::start() {
  if (started_) return;
  started_ = true;
  const Platform& platform = services_.platform;

  // 1. A Dock change of an earlier run still waits to be undone.
  DockHider dock(prefs_.defaults(), platform.processes);
  if (dock.isRestorePending()) dock.restoreUserPrefs();

  // 2-3. Share detection.
  std::weak_ptr<PrivacyController*> weak = alive_;
  detector_->onChange = [this](bool sharing) { onMain([sharing](PrivacyController& c) { c.handleDetection(sharing); }); };
  detector_->onReadyChange = [weak](bool) {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->notifyStateChange();
  };

  // 4.
  configureFromPreferences();

  // 5. Hot keys: toggle, peek while held, reveal the frontmost protected application.
  hotkeys_->registerHotKey({KeyCode::b, kHotKeyModifiers}, [this](bool pressed) {
    if (!pressed) return;
    onMain([](PrivacyController& c) { c.togglePrivacy(); });
  });
  hotkeys_->registerHotKey({KeyCode::p, kHotKeyModifiers}, [this](bool pressed) {
    onMain([pressed](PrivacyController& c) { c.setPeeking(pressed); });
  });
  hotkeys_->registerHotKey({KeyCode::r, kHotKeyModifiers}, [this](bool pressed) {
    if (!pressed) return;
    onMain([](PrivacyController& c) {
      if (!c.shieldsInForce()) return;
      if (c.overlays_->toggleRevealForFrontmostApp(c.prefs_.protectedApps())) {
        c.refresh();
        c.notifyStateChange();
      }
    });
  });

  // 6. Drawn blur rectangles.
  blurRects_->onChange = [weak] {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->notifyStateChange();
  };
  blurRects_->start();
  applyBlurRectAppearance();

  // 7. Preference changes: a configuration pass and a refresh once the new value is stored.
  cancellables_.push_back(prefs_.subscribeWillChangeOnMain([weak] {
    auto alive = weak.lock();
    if (!alive || !*alive) return;
    (*alive)->configureFromPreferences();
    (*alive)->refresh();
  }));

  // 8. Notifications.
  cancellables_.push_back(platform.workspace.addObserver(
      WorkspaceNotification::didActivateApplication, [weak](const std::optional<RunningApplication>& app) {
        auto alive = weak.lock();
        if (!alive || !*alive || !app) return;
        PrivacyController& c = **alive;
        if (c.detector_->enabled) c.detector_->poll();
        if (c.shieldsInForce()) {
          c.overlays_->fastPathAppActivated(app->processIdentifier);
          c.refresh();
        }
      }));
  cancellables_.push_back(platform.workspace.addObserver(
      WorkspaceNotification::didDeactivateApplication, [weak](const std::optional<RunningApplication>& app) {
        auto alive = weak.lock();
        if (!alive || !*alive) return;
        PrivacyController& c = **alive;
        if (!c.shieldsInForce()) return;
        if (app) c.overlays_->fastPathAppDeactivated(app->processIdentifier);
        c.refresh();
      }));
  cancellables_.push_back(platform.workspace.addObserver(WorkspaceNotification::activeSpaceDidChange,
                                                         [weak](const std::optional<RunningApplication>&) {
                                                           auto alive = weak.lock();
                                                           if (alive && *alive) (*alive)->refresh();
                                                         }));
  cancellables_.push_back(platform.application.addObserver(ApplicationNotification::didBecomeActive, [weak] {
    auto alive = weak.lock();
    if (!alive || !*alive) return;
    (*alive)->overlays_->setClearViewActive(true);
    (*alive)->syncAppSwitcherTap();
  }));
  cancellables_.push_back(platform.application.addObserver(ApplicationNotification::didChangeScreenParameters, [weak] {
    auto alive = weak.lock();
    if (alive && *alive && (*alive)->desktopBlur_->active()) (*alive)->desktopBlur_->rebuild();
  }));
  observeWindowChanges();
}

void PrivacyController::observeWindowChanges() {
  WindowServerPrivate* server = services_.platform.windowServerPrivate;
  if (!server || !server->has(PrivateEntryPoint::registerConnectionNotifyProc) ||
      !server->has(PrivateEntryPoint::mainConnectionID)) {
    return;  // the timer alone keeps the holes in step
  }
  const auto connection = server->mainConnectionID();
  if (!connection) return;
  std::weak_ptr<PrivacyController*> weak = alive_;
  auto registered = server->registerConnectionNotifyProc(*connection, [weak](const WindowNotice& notice) {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->windowChanged(notice);
  });
  if (registered && registered->status == WindowServerError::success) {
    cancellables_.push_back(std::move(registered->registration));
  }
}

void PrivacyController::windowChanged(const WindowNotice& notice) {
  // The program's own windows change with every refresh; only other processes' windows can
  // uncover something behind a hole.
  if (!shieldsInForce() || noticeRefreshPending_ ||
      notice.ownerPID == services_.platform.processes.currentProcessIdentifier()) {
    return;
  }
  noticeRefreshPending_ = true;
  onMain([](PrivacyController& c) {
    c.noticeRefreshPending_ = false;
    if (c.shieldsInForce()) c.refresh();
  });
}

// ---- Configuration ----------------------------------------------------------------------------

void PrivacyController::configureFromPreferences() {
  const double strength = prefs_.blurIntensity();
  const double tint = tintAlphaForStrength(strength);
  overlays_->setTintAlpha(tint);
  overlays_->setBlurIntensity(strength);
  overlays_->setClearViewActive(true);
  desktopBlur_->setTintAlpha(tint);
  desktopBlur_->setBlurIntensity(strength);
  notificationShield_->setTintAlpha(tint);
  applyBlurRectAppearance();

  std::vector<std::string> triggers;
  for (const auto& app : prefs_.triggerApps()) triggers.push_back(app.bundleID);
  detector_->setTriggerBundleIDs(std::move(triggers));

  const bool autoDetect = prefs_.autoDetectEnabled();
  const bool wantDetector = autoDetect || prefs_.blurDesktop();
  const bool justTurnedOn = autoDetect && !autoDetectWasOn_;
  autoDetectWasOn_ = autoDetect;
  if (wantDetector != detector_->enabled) {
    detector_->enabled = wantDetector;
    if (wantDetector) {
      detector_->start();
    } else {
      detector_->stop();
    }
  }
  if (justTurnedOn && detector_->isSharing()) handleDetection(true);
  syncAppSwitcherTap();
}

void PrivacyController::applyBlurRectAppearance() {
  const double strength = prefs_.blurIntensity();
  blurRects_->setTintAlpha(tintAlphaForStrength(strength));
  blurRects_->setBlurIntensity(strength);
  blurRects_->applyAppearance();
}

// ---- Refresh ----------------------------------------------------------------------------------

bool PrivacyController::framebufferShareCheck(const WindowTracker::Snapshot& snapshot) {
  return services_.framebufferShare.throttledScan(snapshot.entries());
}

void PrivacyController::refresh() {
  overlays_->handleDumpRequestIfNeeded();
  if (!shieldsInForce()) {
    overlays_->clear();
    desktopBlur_->setActive(false);
    notificationShield_->setActive(false);
    return;
  }
  // One read of the window list, shared by every question this refresh asks of it.
  const WindowTracker::Snapshot snapshot(services_.tracker);
  MirrorHostClient* host = MirrorHostClient::shared();
  if (host && overlays_->clearViewActive()) host->startIfNeeded();
  // A host running under the identity that Zoom's framebuffer share leaves out needs no pause.
  const bool suppressed = host && host->hidesFromZoom() ? false : framebufferShareCheck(snapshot);
  overlays_->setMirrorsSuppressed(suppressed);
  desktopBlur_->setMirrorsSuppressed(suppressed);
  notificationShield_->setMirrorsSuppressed(suppressed);
  overlays_->update(services_.tracker.protectedWindows(prefs_.protectedApps()));
  desktopBlur_->setActive(prefs_.blurDesktop() && detector_->isSharing());
  notificationShield_->setActive(true);
}

void PrivacyController::startRefreshing() {
  if (refreshTimer_) return;
  std::weak_ptr<PrivacyController*> weak = alive_;
  refreshTimer_ = services_.platform.dispatcher.makeTimer(services_.platform.dispatcher.main(), [weak] {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->refresh();
  });
  refreshTimer_->schedule(kRefreshInterval, kRefreshInterval);
  globalMouseMonitor_ = input_.addGlobalMonitor(kPointerEventMask, [weak](const InputEvent& event) {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->handleGlobalPointerEvent(event);
  });
  localMouseMonitor_ = input_.addLocalMonitor(kPointerEventMask, [weak](const InputEvent& event) -> std::optional<InputEvent> {
    auto alive = weak.lock();
    if (!alive || !*alive) return event;
    PrivacyController& c = **alive;
    c.overlays_->updateMouseHandling(c.input_.mouseLocation());
    if (event.type == EventType::leftMouseUp) {
      if (auto* follower = c.overlays_->follower()) follower->pointerDown(false);
    } else if (event.type == EventType::leftMouseDown && !c.keyEventTap_) {
      c.handlePointerDown(c.input_.mouseLocation());
    }
    return event;
  });
  syncAppSwitcherTap();
}

void PrivacyController::stopRefreshing() {
  refreshTimer_.reset();
  globalMouseMonitor_.reset();
  localMouseMonitor_.reset();
  stopAppSwitchGuard();
}

void PrivacyController::stopAppSwitchGuard() {
  keyEventTap_.reset();
  appSwitcherArmed_ = false;
}

// ---- Pointer ----------------------------------------------------------------------------------

void PrivacyController::handlePointerDown(Point location) {
  if (!overlays_->overlays().empty()) {
    if (auto* follower = overlays_->follower()) follower->pointerDown(true);
  }
  overlays_->preDemoteForForeignClick(location);
  notificationShield_->pointerDown(location);
}

void PrivacyController::handleGlobalPointerEvent(const InputEvent& event) {
  overlays_->updateMouseHandling(input_.mouseLocation());
  if (event.type == EventType::leftMouseDragged) return;
  if (event.type == EventType::leftMouseUp) {
    if (auto* follower = overlays_->follower()) follower->pointerDown(false);
  } else if (event.type == EventType::leftMouseDown && !keyEventTap_) {
    handlePointerDown(input_.mouseLocation());
  }
  if (event.type != EventType::mouseMoved) onMain([](PrivacyController& c) { c.refresh(); });
}

// ---- Command-Tab guard --------------------------------------------------------------------------

void PrivacyController::syncAppSwitcherTap() {
  if (!refreshTimer_) {
    stopAppSwitchGuard();
    return;
  }
  if (keyEventTap_) return;
  if (installKeyEventTap()) {
    didLogGuardOff_ = false;
  } else if (!didLogGuardOff_) {
    didLogGuardOff_ = true;
    services_.clearViewLog.log(kGuardOffLine);
  }
}

bool PrivacyController::installKeyEventTap() {
  if (keyEventTap_) return true;
  if (!input_.preflightListenEventAccess()) return false;
  std::weak_ptr<PrivacyController*> weak = alive_;
  auto tap = input_.createEventTap(
      EventTapLocation::session, EventTapPlacement::headInsert, EventTapOptions::defaultTap, kTapEventMask,
      [weak](uint32_t type, const InputEvent& event) -> std::optional<InputEvent> {
        auto alive = weak.lock();
        if (!alive || !*alive) return event;
        return (*alive)->handleTapEvent(type, event);
      });
  if (!tap) {
    services_.clearViewLog.log(std::string("Session key event tap creation failed (Input Monitoring preflight=") +
             (input_.preflightListenEventAccess() ? "true" : "false") + ")");
    return false;
  }
  keyEventTap_ = std::move(tap);
  keyEventTap_->addToMainRunLoop();
  keyEventTap_->setEnabled(true);
  services_.clearViewLog.log("Session key event tap installed (active); Cmd+Tab guard on");
  return true;
}

std::optional<InputEvent> PrivacyController::handleTapEvent(uint32_t type, const InputEvent& event) {
  if (type == EventType::tapDisabledByTimeout || type == EventType::tapDisabledByUserInput) {
    if (keyEventTap_) keyEventTap_->setEnabled(true);
    return event;
  }
  if (type == EventType::leftMouseDown) {
    handlePointerDown(input_.mouseLocation());
  } else {
    handleGlobalKeyEvent(event);
  }
  return event;
}

void PrivacyController::handleGlobalKeyEvent(const InputEvent& event) {
  if (!shieldsInForce()) return;
  const bool commandHeld = (event.modifierFlags & kCommand) != 0;
  if (event.type == EventType::flagsChanged) {
    if (commandHeld) return;
    if (appSwitcherArmed_) overlays_->preflightActivation("Cmd+Tab");
    appSwitcherArmed_ = false;
  } else if (event.type == EventType::keyDown) {
    if (event.keyCode == KeyCode::escape && appSwitcherArmed_) {
      appSwitcherArmed_ = false;
    } else if (event.keyCode == KeyCode::tab && commandHeld) {
      appSwitcherArmed_ = true;
    }
  }
}

// ---- State machine ------------------------------------------------------------------------------

void PrivacyController::apply(bool on) {
  if (isPrivacyActive_ == on) return;
  isPrivacyActive_ = on;
  overlays_->resetAllRevealed();
  if (on) {
    startRefreshing();
  } else {
    stopRefreshing();
  }
  refresh();
  notifyStateChange();
}

void PrivacyController::setPrivacy(bool on, bool isManual) {
  if (isManual) {
    if (on) {
      manualOverrideActive_ = true;
    } else {
      if (prefs_.requireCorvane()) return;
      manualOverrideActive_ = false;
    }
    apply(on);
    return;
  }
  if (manualOverrideActive_) return;
  apply(on);
}

void PrivacyController::togglePrivacy() {
  if (isPrivacyActive_ && (!overlays_->revealedWindowNumbers().empty() || !overlays_->revealedBundleIDs().empty())) {
    overlays_->resetAllRevealed();
    refresh();
    notifyStateChange();
    return;
  }
  const bool target = manualOverrideActive_ ? !*manualOverrideActive_ : !isPrivacyActive_;
  setPrivacy(target, true);
}

void PrivacyController::handleDetection(bool sharing) {
  if (!prefs_.autoDetectEnabled()) {
    refresh();
    notifyStateChange();
    return;
  }
  if (sharing && (!manualOverrideActive_ || *manualOverrideActive_)) {
    setPrivacy(true);
    return;
  }
  manualOverrideActive_.reset();
  setPrivacy(sharing);
}

void PrivacyController::setPeeking(bool peeking) {
  if (isPeeking_ == peeking) return;
  isPeeking_ = peeking;
  refresh();
  notifyStateChange();
}

void PrivacyController::peekTemporarily(double seconds) {
  if (!isPeeking_) setPeeking(true);
  std::weak_ptr<PrivacyController*> weak = alive_;
  services_.platform.dispatcher.main().asyncAfter(seconds, [weak] {
    auto alive = weak.lock();
    if (alive && *alive && (*alive)->isPeeking_) (*alive)->setPeeking(false);
  });
}

bool PrivacyController::isFrontmostProtectedApp(const AppRef& app) {
  Workspace& workspace = services_.platform.workspace;
  auto frontmost = workspace.frontmostApplication();
  if (!frontmost) return false;
  auto running = workspace.application(frontmost->processIdentifier);
  if (!running || !running->bundleIdentifier) return false;
  const std::string& bundleID = *running->bundleIdentifier;
  if (bundleID == app.bundleID) return true;
  auto root = [](const std::string& id) { return Conferencing::hubFamilyRoot(id).value_or(id); };
  return root(bundleID) == root(app.bundleID);
}

void PrivacyController::requestInputMonitoringPermission(Input& input, Workspace& workspace) {
  if (input.requestListenEventAccess()) return;
  if (!workspace.openURL(kInputMonitoringURL)) workspace.openURL(kInputMonitoringFallbackURL);
}

}  // namespace corvane
