#include "app/privacy_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/core_services.h"
#include "base/virtual_dispatcher.h"
#include "platform/defaults_store.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_input.h"
#include "platform/sim/sim_leak_probe.h"
#include "platform/sim/sim_private_window_server.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"
#include "shields/dock_hider.h"

namespace corvane {
namespace {

constexpr pid_t kSecretPID = 501;
constexpr pid_t kOtherPID = 502;
const AppRef kSecret{"com.example.secret", "Secret"};

size_t countLines(const MemoryLog& log, std::string_view fragment) {
  const auto lines = log.lines();
  return size_t(std::count_if(lines.begin(), lines.end(),
                              [&](const std::string& l) { return l.find(fragment) != std::string::npos; }));
}

// The controller over a simulated desktop with one protected application (one window) and one
// other application in front, in virtual time.
class PrivacyControllerTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  sim::SimInput& input = desktop.input();
  MemoryDefaultsStore defaults;
  Preferences prefs{defaults, dispatcher, desktop.systemLog()};
  MemoryLog clearViewLog;
  CoreServices services{desktop.platform(), clearViewLog};
  std::unique_ptr<PrivacyController> controller;
  int stateChanges = 0;
  WindowID secretWindow = 0;
  WindowID otherWindow = 0;

  void SetUp() override {
    input.setListenAccessGranted(true);
    desktop.launchApp({desktop.selfPID(), "com.corvane.Corvane", "Corvane", ActivationPolicy::accessory, 0x202020, false});
    desktop.launchApp({kSecretPID, kSecret.bundleID, kSecret.name, ActivationPolicy::regular, 0xAA3333, false});
    desktop.launchApp({kOtherPID, "com.example.other", "Other", ActivationPolicy::regular, 0x33AA33, false});
    secretWindow = addWindow(kSecretPID, {100, 300, 500, 400});
    otherWindow = addWindow(kOtherPID, {800, 300, 400, 400});
    desktop.activateApp(kOtherPID);
    prefs.protectedApps.set({kSecret});
    prefs.autoDetectEnabled.set(false);
    dispatcher.runUntilIdle();
  }
  void TearDown() override { controller.reset(); }

  WindowID addWindow(pid_t pid, Rect frame) {
    sim::SimWindow w;
    w.ownerPID = pid;
    w.bounds = frame.flipped(desktop.mainDisplayHeight());
    return desktop.addWindow(w);
  }
  void start(bool autoDetect) {
    prefs.autoDetectEnabled.set(autoDetect);
    dispatcher.runUntilIdle();
    controller = std::make_unique<PrivacyController>(services, prefs);
    controller->onStateChange = [this] { ++stateChanges; };
    controller->start();
    dispatcher.runUntilIdle();
  }
  // Start-up without automatic detection: Privacy Mode simply on.
  void startOn() {
    start(false);
    controller->setPrivacy(true, false);
    dispatcher.runUntilIdle();
  }
  void hotKey(uint16_t key, bool pressed) {
    input.hotKey(key, PrivacyController::kHotKeyModifiers, pressed);
    dispatcher.runUntilIdle();
  }
  void tapHotKey(uint16_t key) {
    hotKey(key, true);
    hotKey(key, false);
  }
  void startShare() {
    desktop.startScreenWatcherShare();
    dispatcher.advance(0.5);
  }
  void stopShare() {
    desktop.stopScreenWatcherShare();
    dispatcher.advance(3);
  }
  bool frosted() const { return !controller->overlays().overlays().empty(); }
  bool active() const { return controller->isPrivacyActive(); }
  size_t preflights() const { return countLines(clearViewLog, "Cmd+Tab preflight"); }
};

// ---- State machine ------------------------------------------------------------------------------

TEST_F(PrivacyControllerTest, ManualOffHoldsForTheCurrentShareOnly) {
  start(true);
  EXPECT_FALSE(active());
  startShare();
  EXPECT_TRUE(active());
  EXPECT_TRUE(frosted());
  EXPECT_EQ(controller->manualOverrideActive(), std::nullopt);

  controller->togglePrivacy();
  EXPECT_FALSE(active());
  EXPECT_FALSE(frosted());
  EXPECT_EQ(controller->manualOverrideActive(), std::optional<bool>(false));
  dispatcher.advance(1);
  EXPECT_FALSE(active());

  stopShare();
  EXPECT_FALSE(active());
  EXPECT_EQ(controller->manualOverrideActive(), std::nullopt);

  startShare();
  EXPECT_TRUE(active());
  EXPECT_TRUE(frosted());
}

TEST_F(PrivacyControllerTest, ManualOnEndsWithTheShareThatFollows) {
  start(true);
  controller->togglePrivacy();
  EXPECT_TRUE(active());
  EXPECT_EQ(controller->manualOverrideActive(), std::optional<bool>(true));
  startShare();
  EXPECT_TRUE(active());
  stopShare();
  EXPECT_FALSE(active());
  EXPECT_EQ(controller->manualOverrideActive(), std::nullopt);
}

TEST_F(PrivacyControllerTest, SharesOnlyRefreshWhileAutomaticSwitchingIsOff) {
  prefs.blurDesktop.set(true);  // keeps the detector running
  start(false);
  const int before = stateChanges;
  startShare();
  ASSERT_TRUE(controller->detector().isSharing());
  EXPECT_FALSE(active());
  EXPECT_GT(stateChanges, before);

  // Switching automatic detection on acts on the share already in progress.
  prefs.autoDetectEnabled.set(true);
  dispatcher.runUntilIdle();
  EXPECT_TRUE(active());
  EXPECT_TRUE(frosted());
}

TEST_F(PrivacyControllerTest, StateChangeIsReportedOncePerChange) {
  start(false);
  const int before = stateChanges;
  controller->setPrivacy(true, false);
  controller->setPrivacy(true, false);
  controller->setPrivacy(true, true);
  EXPECT_EQ(stateChanges, before + 1);
  controller->setPrivacy(false, true);
  // The manual override now holds automatic switching back.
  controller->setPrivacy(true);
  EXPECT_FALSE(active());
  EXPECT_EQ(stateChanges, before + 2);
}

TEST_F(PrivacyControllerTest, RequiredPrivacyModeIgnoresManualOffButStillRecovers) {
  prefs.requireCorvane.set(true);
  startOn();
  tapHotKey(KeyCode::b);
  EXPECT_TRUE(active());
  controller->setPrivacy(false, true);
  EXPECT_TRUE(active());
  EXPECT_EQ(controller->manualOverrideActive(), std::nullopt);

  desktop.activateApp(kSecretPID);
  dispatcher.runUntilIdle();
  tapHotKey(KeyCode::r);
  ASSERT_EQ(controller->overlays().revealedBundleIDs().count(kSecret.bundleID), 1u);
  tapHotKey(KeyCode::b);
  EXPECT_TRUE(controller->overlays().revealedBundleIDs().empty());
  EXPECT_TRUE(active());
}

TEST_F(PrivacyControllerTest, ToggleFirstCoversRevealedApplicationThenTurnsOff) {
  startOn();
  desktop.activateApp(kSecretPID);
  dispatcher.runUntilIdle();
  int before = stateChanges;
  tapHotKey(KeyCode::r);
  ASSERT_EQ(controller->overlays().revealedBundleIDs().count(kSecret.bundleID), 1u);
  EXPECT_EQ(stateChanges, before + 1);

  before = stateChanges;
  tapHotKey(KeyCode::b);
  EXPECT_TRUE(active());
  EXPECT_TRUE(controller->overlays().revealedBundleIDs().empty());
  EXPECT_TRUE(frosted());
  EXPECT_EQ(stateChanges, before + 1);

  tapHotKey(KeyCode::b);
  EXPECT_FALSE(active());
  EXPECT_FALSE(frosted());
}

TEST_F(PrivacyControllerTest, RevealHotKeyActsOnlyWhileShieldsAreInForce) {
  start(false);
  desktop.activateApp(kSecretPID);
  dispatcher.runUntilIdle();
  tapHotKey(KeyCode::r);
  EXPECT_TRUE(controller->overlays().revealedBundleIDs().empty());

  controller->setPrivacy(true, false);
  hotKey(KeyCode::p, true);
  tapHotKey(KeyCode::r);
  hotKey(KeyCode::p, false);
  EXPECT_TRUE(controller->overlays().revealedBundleIDs().empty());

  // Not frontmost: nothing to reveal, nothing reported.
  desktop.activateApp(kOtherPID);
  dispatcher.runUntilIdle();
  const int before = stateChanges;
  tapHotKey(KeyCode::r);
  EXPECT_TRUE(controller->overlays().revealedBundleIDs().empty());
  EXPECT_EQ(stateChanges, before);
}

// ---- Peeking ------------------------------------------------------------------------------------

TEST_F(PrivacyControllerTest, PeekHotKeyFollowsTheKeys) {
  start(false);
  int before = stateChanges;
  hotKey(KeyCode::p, true);
  EXPECT_TRUE(controller->isPeeking());
  EXPECT_EQ(stateChanges, before + 1);
  EXPECT_FALSE(frosted());
  hotKey(KeyCode::p, false);
  EXPECT_FALSE(controller->isPeeking());
  EXPECT_EQ(stateChanges, before + 2);

  controller->setPrivacy(true, false);
  ASSERT_TRUE(frosted());
  before = stateChanges;
  hotKey(KeyCode::p, true);
  EXPECT_FALSE(frosted());
  EXPECT_TRUE(active());
  EXPECT_TRUE(controller->isRefreshing());
  dispatcher.advance(0.5);  // the timer's refreshes keep the shields lifted
  EXPECT_FALSE(frosted());
  hotKey(KeyCode::p, false);
  EXPECT_TRUE(frosted());
  EXPECT_EQ(stateChanges, before + 2);
}

TEST_F(PrivacyControllerTest, OverlappingTimedPeeksEndWithTheFirst) {
  startOn();
  const double t0 = dispatcher.mediaTime();
  const int before = stateChanges;
  controller->peekTemporarily(4);
  EXPECT_TRUE(controller->isPeeking());
  EXPECT_FALSE(frosted());
  dispatcher.advance(2);
  controller->peekTemporarily(4);
  EXPECT_EQ(stateChanges, before + 1);
  dispatcher.advanceTo(t0 + 3.95);
  EXPECT_TRUE(controller->isPeeking());
  dispatcher.advanceTo(t0 + 4.0);
  EXPECT_FALSE(controller->isPeeking());
  EXPECT_TRUE(frosted());
  dispatcher.advance(3);
  EXPECT_FALSE(controller->isPeeking());
  EXPECT_EQ(stateChanges, before + 2);
}

TEST_F(PrivacyControllerTest, PendingWorkAfterTheControllerIsGoneDoesNothing) {
  prefs.blurDesktop.set(true);
  startOn();
  controller->peekTemporarily(1);
  desktop.startScreenWatcherShare();
  input.hotKey(KeyCode::b, PrivacyController::kHotKeyModifiers, true);
  input.mouseUp({900, 500});
  controller.reset();
  dispatcher.advance(3);
  EXPECT_EQ(input.globalMonitorCount(), 0u);
  EXPECT_EQ(input.tapCount(), 0u);
}

// ---- The application switcher guard ----------------------------------------------------------------

TEST_F(PrivacyControllerTest, CommandTabPreparesOverlaysOnceUnlessCancelled) {
  startOn();
  ASSERT_TRUE(frosted());
  ASSERT_TRUE(controller->hasKeyEventTap());

  input.flagsChanged(ModifierFlag::command);
  input.keyDown(KeyCode::tab, ModifierFlag::command);
  EXPECT_TRUE(controller->appSwitcherArmed());
  input.keyDown(KeyCode::escape, ModifierFlag::command);
  EXPECT_FALSE(controller->appSwitcherArmed());
  input.flagsChanged(0);
  dispatcher.runUntilIdle();
  EXPECT_EQ(preflights(), 0u);

  // Command alone, and Tab without Command, arm nothing.
  input.flagsChanged(ModifierFlag::command);
  input.flagsChanged(0);
  input.keyDown(KeyCode::tab);
  EXPECT_FALSE(controller->appSwitcherArmed());
  dispatcher.runUntilIdle();
  EXPECT_EQ(preflights(), 0u);

  input.commandTab(kSecretPID, 2);
  EXPECT_EQ(preflights(), 1u);
  EXPECT_FALSE(controller->appSwitcherArmed());
  EXPECT_EQ(desktop.frontmostPID(), kSecretPID);
  dispatcher.runUntilIdle();
  EXPECT_EQ(preflights(), 1u);
}

TEST_F(PrivacyControllerTest, CommandTabIsIgnoredWhilePeeking) {
  startOn();
  hotKey(KeyCode::p, true);
  input.commandTab(kSecretPID, 1);
  EXPECT_FALSE(controller->appSwitcherArmed());
  EXPECT_EQ(preflights(), 0u);
}

TEST_F(PrivacyControllerTest, TimerMonitorsAndTapExistExactlyWhilePrivacyModeIsOn) {
  start(false);
  // The drawn blur rectangles' gesture and pointer monitors stay installed whatever the mode.
  const size_t globalBase = input.globalMonitorCount(), localBase = input.localMonitorCount();
  auto expectInstalled = [&](size_t n) {
    EXPECT_EQ(controller->isRefreshing(), n == 1);
    EXPECT_EQ(input.globalMonitorCount(), globalBase + n);
    EXPECT_EQ(input.localMonitorCount(), localBase + n);
    EXPECT_EQ(input.tapCount(), n);
    EXPECT_EQ(input.enabledTapCount(), n);
  };
  expectInstalled(0);
  desktop.resetCounters();
  dispatcher.advance(1);
  EXPECT_EQ(desktop.windowListReads(), 0u);

  for (int round = 0; round < 2; ++round) {
    controller->setPrivacy(true, true);
    expectInstalled(1);
    dispatcher.advance(0.05);  // between two ticks
    desktop.resetCounters();
    dispatcher.advance(1);
    EXPECT_EQ(desktop.windowListReads(), 10u);  // refreshed ten times a second, one read each

    controller->setPrivacy(false, true);
    expectInstalled(0);
    EXPECT_FALSE(controller->appSwitcherArmed());
    desktop.resetCounters();
    dispatcher.advance(1);
    EXPECT_EQ(desktop.windowListReads(), 0u);
  }
}

TEST_F(PrivacyControllerTest, GuardOffIsLoggedOnceUntilTheTapIsInstalled) {
  MemoryLog& log = clearViewLog;
  input.setListenAccessGranted(false);
  startOn();
  EXPECT_FALSE(controller->hasKeyEventTap());
  EXPECT_EQ(countLines(log, PrivacyController::kGuardOffLine), 1u);

  // Every retry fails quietly: a configuration pass, Privacy Mode off and on again.
  prefs.blurIntensity.set(0.5);
  dispatcher.runUntilIdle();
  controller->setPrivacy(false, true);
  controller->setPrivacy(true, true);
  EXPECT_EQ(countLines(log, PrivacyController::kGuardOffLine), 1u);

  // Permission granted; returning to the application turns the guard on.
  input.setListenAccessGranted(true);
  desktop.activateApp(desktop.selfPID());
  dispatcher.runUntilIdle();
  EXPECT_TRUE(controller->hasKeyEventTap());
  EXPECT_EQ(countLines(log, "Session key event tap installed (active); Cmd+Tab guard on"), 1u);

  // After a success, the next failure is logged again, with the preflight result when creation fails.
  input.setTapCreationFails(true);
  controller->setPrivacy(false, true);
  controller->setPrivacy(true, true);
  EXPECT_FALSE(controller->hasKeyEventTap());
  EXPECT_EQ(countLines(log, PrivacyController::kGuardOffLine), 2u);
  EXPECT_EQ(countLines(log, "Session key event tap creation failed (Input Monitoring preflight=true)"), 1u);
}

TEST_F(PrivacyControllerTest, TapSwitchedOffBySystemIsEnabledAgain) {
  startOn();
  input.disableTaps(true);
  EXPECT_EQ(input.enabledTapCount(), 1u);
  input.disableTaps(false);
  EXPECT_EQ(input.enabledTapCount(), 1u);
  input.commandTab(kSecretPID, 1);
  EXPECT_EQ(preflights(), 1u);
}

// ---- Refresh --------------------------------------------------------------------------------------

TEST_F(PrivacyControllerTest, OneRefreshReadsTheWindowListOnce) {
  // A hub among the protected applications (its windows go through the meeting-window classifier),
  // windows above the normal level and many protected windows: every question of one refresh is
  // answered from a single read, the framebuffer-share scan's included.
  desktop.launchApp({503, "com.microsoft.teams2", "Microsoft Teams", ActivationPolicy::regular, 0x5B5FC7, false});
  sim::SimWindow chat;
  chat.ownerPID = 503;
  chat.bounds = Rect(300, 100, 900, 600);
  chat.title = sim::SimTitle::of("Chat | Microsoft Teams");
  desktop.addWindow(chat);
  prefs.protectedApps.set({kSecret, AppRef{"com.microsoft.teams2", "Microsoft Teams"}});
  for (int i = 0; i < 12; ++i) addWindow(kSecretPID, {double(20 * i), double(100 + 10 * i), 300, 200});
  sim::SimWindow panel;
  panel.ownerPID = kSecretPID;
  panel.level = sim::Level::floating;
  panel.bounds = Rect(600, 200, 300, 200);
  desktop.addWindow(panel);
  desktop.activateApp(kSecretPID);
  startOn();
  dispatcher.advance(0.25);
  ASSERT_EQ(controller->overlays().overlays().size(), 15u);

  // The timer's refreshes, ten a second, each with a framebuffer scan due.
  desktop.resetCounters();
  dispatcher.advance(1.0);
  EXPECT_EQ(desktop.windowListReads(), 10u);
  // A refresh between two of them (no scan due).
  desktop.resetCounters();
  controller->refresh();
  EXPECT_EQ(desktop.windowListReads(), 1u);
  // Outside a refresh the queries read for themselves again.
  desktop.resetCounters();
  WindowInfo secret;
  secret.windowNumber = secretWindow;
  secret.ownerPID = kSecretPID;
  services.tracker.isFrontmostProtectedSurface(secret);
  EXPECT_EQ(desktop.windowListReads(), 1u);
}

TEST_F(PrivacyControllerTest, ANewProtectedWindowIsFrostedByTheNextTenthOfASecond) {
  startOn();
  dispatcher.advance(0.05);
  for (int round = 0; round < 3; ++round) {
    const WindowID fresh = addWindow(kSecretPID, {double(150 + 40 * round), 200, 300, 250});
    EXPECT_EQ(controller->overlays().overlay(fresh), nullptr) << "not before a refresh";
    dispatcher.advance(0.1);
    ASSERT_NE(controller->overlays().overlay(fresh), nullptr) << "round " << round;
    EXPECT_TRUE(controller->overlays().overlay(fresh)->isVisible());
  }
}

// The secret window frontmost, its frost at the front-frost level with holes for windows of another
// application that lie in front of it, between two of the timer's refreshes.
class WindowInFrontTest : public PrivacyControllerTest {
 protected:
  void SetUp() override {
    PrivacyControllerTest::SetUp();
    desktop.activateApp(kSecretPID);
  }
  // A window of the other application in front of the secret one, cut out of the frost.
  WindowID windowInFront(Rect frame) {
    const WindowID number = addWindow(kOtherPID, frame);
    dispatcher.advance(0.1);
    const OverlayWindow* frost = controller->overlays().overlay(secretWindow);
    EXPECT_NE(frost, nullptr);
    if (frost) {
      EXPECT_EQ(frost->level(), OverlayManager::frontFrostLevel);
      EXPECT_TRUE(std::find(frost->occlusions.begin(), frost->occlusions.end(), frame) != frost->occlusions.end());
    }
    // Half way to the timer's next refresh.
    dispatcher.advance(0.05);
    return number;
  }
  // Protected pixels the share shows once the change's notices and what they caused have run,
  // at the same instant.
  uint64_t leakedNow() {
    dispatcher.runUntilIdle();
    sim::LeakReport report;
    sim::countLeaks(desktop, {secretWindow}, report);
    EXPECT_TRUE(report.isComplete());
    return report.total();
  }
};

TEST_F(WindowInFrontTest, AWindowThatGoesAwayTakesItsHoleWithItAtOnce) {
  startOn();
  const WindowID closing = windowInFront({150, 350, 200, 150});
  const WindowID minimising = windowInFront({380, 350, 180, 150});
  const WindowID moving = windowInFront({150, 520, 200, 150});
  const WindowID resizing = windowInFront({380, 520, 180, 150});
  ASSERT_EQ(leakedNow(), 0u);

  desktop.closeWindow(closing);
  EXPECT_EQ(leakedNow(), 0u) << "closed";
  desktop.setMinimised(minimising, true);
  EXPECT_EQ(leakedNow(), 0u) << "minimised";
  desktop.moveWindow(moving, {900, 100});
  EXPECT_EQ(leakedNow(), 0u) << "moved away";
  desktop.resizeWindow(resizing, {60, 60});
  EXPECT_EQ(leakedNow(), 0u) << "made smaller";

  // Made see-through or left out of captures, a window in front no longer hides what is behind it.
  const WindowID fading = windowInFront({150, 350, 200, 150});
  desktop.setAlpha(fading, 0.5);
  EXPECT_EQ(leakedNow(), 0u) << "translucent";
  const WindowID unshared = windowInFront({380, 350, 180, 150});
  desktop.setSharingState(unshared, WindowSharingState::none);
  EXPECT_EQ(leakedNow(), 0u) << "left out of the share";
  const WindowID sinking = windowInFront({150, 520, 200, 150});
  desktop.orderWindow(sinking, false, 0);
  EXPECT_EQ(leakedNow(), 0u) << "sent to the back";

  // Its application quits: all its windows close together, and one refresh follows them.
  windowInFront({380, 520, 180, 150});
  desktop.resetCounters();
  desktop.quitApp(kOtherPID);
  EXPECT_EQ(leakedNow(), 0u) << "quit";
  EXPECT_EQ(desktop.windowListReads(), 1u);
}

TEST_F(WindowInFrontTest, OnlyOtherProcessesWindowsRefreshAndOnlyWhileTheShieldsAreInForce) {
  startOn();
  const WindowID front = windowInFront({150, 350, 200, 150});
  // A refresh moves and reorders the program's own windows; that alone starts no further refresh.
  controller->refresh();
  desktop.resetCounters();
  dispatcher.runUntilIdle();
  EXPECT_EQ(desktop.windowListReads(), 0u);

  // While peeking the shields are down: changes of other windows do not refresh.
  tapHotKey(KeyCode::p);  // press and release: the peek is over again
  hotKey(KeyCode::p, true);
  ASSERT_TRUE(controller->isPeeking());
  desktop.resetCounters();
  desktop.moveWindow(front, {160, 300});
  dispatcher.runUntilIdle();
  EXPECT_EQ(desktop.windowListReads(), 0u);
  hotKey(KeyCode::p, false);

  // Gone with the controller: the registration is dropped.
  EXPECT_EQ(desktop.privateWindowServer().registeredNotifyProcs(), 1);
  controller.reset();
  EXPECT_EQ(desktop.privateWindowServer().registeredNotifyProcs(), 0);
  desktop.closeWindow(front);
  dispatcher.runUntilIdle();
}

TEST_F(WindowInFrontTest, WithoutWindowNotificationsTheTimerClosesTheHole) {
  desktop.privateWindowServer().removeEntryPoint(PrivateEntryPoint::registerConnectionNotifyProc);
  startOn();
  EXPECT_EQ(desktop.privateWindowServer().registeredNotifyProcs(), 0);
  const WindowID front = windowInFront({150, 350, 200, 150});
  desktop.closeWindow(front);
  EXPECT_GT(leakedNow(), 0u) << "the stale hole shows the window behind until the next refresh";
  dispatcher.advance(0.06);
  EXPECT_EQ(leakedNow(), 0u);
}

TEST_F(PrivacyControllerTest, TheTapDemotesFrontFrostOnAForeignClickBeforeTheClickLands) {
  desktop.activateApp(kSecretPID);
  startOn();
  dispatcher.advance(0.1);
  ASSERT_TRUE(controller->hasKeyEventTap());
  OverlayWindow* frost = controller->overlays().overlay(secretWindow);
  ASSERT_NE(frost, nullptr);
  ASSERT_EQ(frost->level(), OverlayManager::frontFrostLevel);

  // The pointer goes down on the other application's window: the tap sees it first, at the head of
  // the session, so the frost is back at the normal level before any application has the click
  // (the monitors and the refresh come on a later turn of the main queue).
  input.mouseDown({1000, 500});
  EXPECT_EQ(frost->level(), 0);
  dispatcher.runUntilIdle();
  input.mouseUp({1000, 500});
  dispatcher.runUntilIdle();
  EXPECT_EQ(frost->level(), 0);

  // A Command-Tab hold (preflight) ends at once with such a click.
  desktop.activateApp(kSecretPID);
  dispatcher.advance(0.1);
  ASSERT_EQ(frost->level(), OverlayManager::frontFrostLevel);
  controller->overlays().preflightActivation("Cmd+Tab");
  ASSERT_GT(controller->overlays().appSwitchHoldDeadline(), 0);
  input.mouseDown({1000, 500});
  EXPECT_EQ(controller->overlays().appSwitchHoldDeadline(), 0);
  EXPECT_EQ(frost->level(), 0);
}

TEST_F(PrivacyControllerTest, PointerMovesDoNotRefreshButClicksDo) {
  startOn();
  dispatcher.runUntilIdle();
  desktop.resetCounters();
  for (int i = 0; i < 10; ++i) input.moveMouse({double(850 + i), 500});
  dispatcher.runUntilIdle();
  EXPECT_EQ(desktop.windowListReads(), 0u);
  input.mouseUp({900, 500});  // over the other application's window
  dispatcher.runUntilIdle();
  EXPECT_GE(desktop.windowListReads(), 1u);
}

// ---- Start, permission and queries ------------------------------------------------------------------

TEST_F(PrivacyControllerTest, PendingDockRestoreRunsAtStart) {
  defaults.set(applicationDomain, DockHider::kPendingRestore, true);
  start(false);
  const auto commands = desktop.commandsRun();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "/usr/bin/killall Dock"), 1);
  EXPECT_FALSE(DockHider(defaults, desktop.processes()).isRestorePending());
}

TEST_F(PrivacyControllerTest, NoDockRestoreWithoutTheMark) {
  start(false);
  EXPECT_TRUE(desktop.commandsRun().empty());
}

TEST_F(PrivacyControllerTest, InputMonitoringRequestOpensSettingsOnlyWhenRefused) {
  input.setListenAccessGranted(false);
  PrivacyController::requestInputMonitoringPermission(input, desktop.workspace());
  EXPECT_EQ(desktop.openedURLs(), (std::vector<std::string>{PrivacyController::kInputMonitoringURL}));
  input.setGrantListenAccessOnRequest(true);
  PrivacyController::requestInputMonitoringPermission(input, desktop.workspace());
  EXPECT_EQ(desktop.openedURLs().size(), 1u);
  EXPECT_EQ(input.listenAccessRequests(), 2);
}

TEST_F(PrivacyControllerTest, FrontmostProtectedAppIncludesHubFamily) {
  start(false);
  desktop.launchApp({601, "com.microsoft.teams2", "Teams", ActivationPolicy::regular, 0x4455AA, false});
  desktop.launchApp({602, "com.microsoft.teams2.meeting", "Teams Meeting", ActivationPolicy::regular, 0x4455AA, false});
  const AppRef teams{"com.microsoft.teams2", "Teams"};
  EXPECT_FALSE(controller->isFrontmostProtectedApp(kSecret));
  desktop.activateApp(kSecretPID);
  EXPECT_TRUE(controller->isFrontmostProtectedApp(kSecret));
  EXPECT_FALSE(controller->isFrontmostProtectedApp(teams));
  desktop.activateApp(602);
  EXPECT_TRUE(controller->isFrontmostProtectedApp(teams));
  EXPECT_FALSE(controller->isFrontmostProtectedApp(kSecret));
}

}  // namespace
}  // namespace corvane
