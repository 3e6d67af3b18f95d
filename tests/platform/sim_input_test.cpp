#include "platform/sim/sim_input.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"

namespace corvane::sim {
namespace {

constexpr uint64_t kKeyMask = eventMaskBit(EventType::keyDown) | eventMaskBit(EventType::flagsChanged);
constexpr uint64_t kClickMask = eventMaskBit(EventType::leftMouseDown) | eventMaskBit(EventType::leftMouseUp);

class SimInputTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  SimDesktop desktop{dispatcher};
  SimInput& input = desktop.input();
  std::vector<std::string> seen;

  void SetUp() override { input.setListenAccessGranted(true); }

  pid_t launch(pid_t pid, const std::string& name) {
    return desktop.launchApp({pid, "com.example." + name, name, ActivationPolicy::regular, 0x336699, false});
  }
  // A window at a screen-space frame.
  WindowID addWindow(pid_t pid, Rect frame) {
    SimWindow w;
    w.ownerPID = pid;
    w.bounds = frame.flipped(desktop.mainDisplayHeight());
    return desktop.addWindow(w);
  }
  // An installed, enabled tap that records what it sees and passes it on through `filter`.
  std::unique_ptr<EventTap> makeTap(uint64_t mask, std::string name,
                                    std::function<std::optional<InputEvent>(const InputEvent&)> filter = {}) {
    auto tap = input.createEventTap(EventTapLocation::session, EventTapPlacement::headInsert, EventTapOptions::defaultTap,
                                    mask, [this, name, filter](uint32_t type, const InputEvent& e) -> std::optional<InputEvent> {
                                      seen.push_back(name + ":" + std::to_string(type) + ":" + std::to_string(e.keyCode));
                                      return filter ? filter(e) : std::optional<InputEvent>(e);
                                    });
    if (tap) {
      tap->addToMainRunLoop();
      tap->setEnabled(true);
    }
    return tap;
  }
  std::unique_ptr<EventMonitor> makeGlobal(uint64_t mask, std::string name) {
    return input.addGlobalMonitor(mask, [this, name](const InputEvent& e) {
      seen.push_back(name + ":" + std::to_string(e.type) + ":" + std::to_string(e.keyCode));
    });
  }
  std::unique_ptr<EventMonitor> makeLocal(uint64_t mask, std::string name,
                                          std::function<std::optional<InputEvent>(const InputEvent&)> filter = {}) {
    return input.addLocalMonitor(mask, [this, name, filter](const InputEvent& e) -> std::optional<InputEvent> {
      seen.push_back(name + ":" + std::to_string(e.type) + ":" + std::to_string(e.keyCode));
      return filter ? filter(e) : std::optional<InputEvent>(e);
    });
  }
};

using Seen = std::vector<std::string>;

// ---- Taps ------------------------------------------------------------------------------------

TEST_F(SimInputTest, TapSeesEventAtOnceAndMonitorsOnALaterTurn) {
  launch(501, "editor");
  desktop.activateApp(501);
  dispatcher.runUntilIdle();
  auto tap = makeTap(kKeyMask, "tap");
  auto monitor = makeGlobal(kKeyMask, "global");

  input.keyDown(KeyCode::a);
  EXPECT_EQ(seen, (Seen{"tap:10:0"}));
  dispatcher.runUntilIdle();
  EXPECT_EQ(seen, (Seen{"tap:10:0", "global:10:0"}));
}

TEST_F(SimInputTest, TapThatDropsOrAltersTheEventDecidesWhatMonitorsGet) {
  launch(501, "editor");
  desktop.activateApp(501);
  dispatcher.runUntilIdle();
  auto tap = makeTap(kKeyMask, "tap", [](const InputEvent& e) -> std::optional<InputEvent> {
    if (e.keyCode == KeyCode::escape) return std::nullopt;
    InputEvent changed = e;
    changed.keyCode = KeyCode::s;
    return changed;
  });
  auto monitor = makeGlobal(kKeyMask, "global");

  input.keyDown(KeyCode::escape);
  dispatcher.runUntilIdle();
  EXPECT_EQ(seen, (Seen{"tap:10:53"}));

  seen.clear();
  input.keyDown(KeyCode::a);
  dispatcher.runUntilIdle();
  EXPECT_EQ(seen, (Seen{"tap:10:0", "global:10:1"}));
}

TEST_F(SimInputTest, TapSeesNothingUntilInRunLoopAndEnabledNorOutsideItsMask) {
  auto tap = input.createEventTap(EventTapLocation::session, EventTapPlacement::headInsert, EventTapOptions::defaultTap,
                                  eventMaskBit(EventType::keyDown), [this](uint32_t type, const InputEvent& e) {
                                    seen.push_back(std::to_string(type));
                                    return std::optional<InputEvent>(e);
                                  });
  ASSERT_TRUE(tap);
  input.keyDown(KeyCode::a);
  tap->setEnabled(true);
  input.keyDown(KeyCode::a);  // enabled, but its source is not on the run loop
  EXPECT_TRUE(seen.empty());
  tap->addToMainRunLoop();
  input.flagsChanged(ModifierFlag::command);  // not in its mask
  EXPECT_TRUE(seen.empty());
  input.keyDown(KeyCode::a);
  EXPECT_EQ(seen, (Seen{"10"}));
  EXPECT_EQ(input.enabledTapCount(), 1u);

  tap.reset();
  EXPECT_EQ(input.tapCount(), 0u);
  input.keyDown(KeyCode::a);
  EXPECT_EQ(seen, (Seen{"10"}));
}

TEST_F(SimInputTest, TapsNeedListenAccessAndWorkingCreation) {
  input.setListenAccessGranted(false);
  EXPECT_FALSE(input.preflightListenEventAccess());
  EXPECT_EQ(makeTap(kKeyMask, "tap"), nullptr);
  input.setListenAccessGranted(true);
  input.setTapCreationFails(true);
  EXPECT_EQ(makeTap(kKeyMask, "tap"), nullptr);
  input.setTapCreationFails(false);
  EXPECT_NE(makeTap(kKeyMask, "tap"), nullptr);

  input.setListenAccessGranted(false);
  EXPECT_FALSE(input.requestListenEventAccess());
  input.setGrantListenAccessOnRequest(true);
  EXPECT_TRUE(input.requestListenEventAccess());
  EXPECT_TRUE(input.preflightListenEventAccess());
  EXPECT_EQ(input.listenAccessRequests(), 2);
}

TEST_F(SimInputTest, DisabledTapsHearOfItAndStayOffUntilReenabled) {
  auto tap = makeTap(kKeyMask, "tap");
  auto idle = input.createEventTap(EventTapLocation::session, EventTapPlacement::headInsert,
                                   EventTapOptions::defaultTap, kKeyMask, [this](uint32_t type, const InputEvent& e) {
                                     seen.push_back("idle:" + std::to_string(type));
                                     return std::optional<InputEvent>(e);
                                   });
  input.disableTaps(true);
  EXPECT_EQ(seen, (Seen{"tap:" + std::to_string(EventType::tapDisabledByTimeout) + ":0"}));
  EXPECT_FALSE(tap->isEnabled());
  EXPECT_EQ(input.enabledTapCount(), 0u);

  seen.clear();
  input.keyDown(KeyCode::a);
  EXPECT_TRUE(seen.empty());
  tap->setEnabled(true);
  input.disableTaps(false);
  EXPECT_EQ(seen, (Seen{"tap:" + std::to_string(EventType::tapDisabledByUserInput) + ":0"}));
}

// ---- Monitors --------------------------------------------------------------------------------

TEST_F(SimInputTest, GlobalMonitorsGetOtherApplicationsEventsLocalOnesOurs) {
  launch(desktop.selfPID(), "self");
  launch(501, "editor");
  const WindowID foreign = addWindow(501, {100, 100, 300, 200});
  const WindowID own = addWindow(desktop.selfPID(), {600, 100, 300, 200});
  ASSERT_NE(foreign, 0u);
  ASSERT_NE(own, 0u);
  auto global = makeGlobal(kKeyMask | kClickMask, "global");
  auto local = makeLocal(kKeyMask | kClickMask, "local");

  desktop.activateApp(501);
  dispatcher.runUntilIdle();
  input.keyDown(KeyCode::a);
  input.mouseUp({700, 200});  // over our own window
  dispatcher.runUntilIdle();
  EXPECT_EQ(seen, (Seen{"global:10:0", "local:2:0"}));

  seen.clear();
  desktop.activateApp(desktop.selfPID());
  dispatcher.runUntilIdle();
  input.keyDown(KeyCode::a);
  input.mouseUp({200, 200});  // over the editor's window
  dispatcher.runUntilIdle();
  EXPECT_EQ(seen, (Seen{"local:10:0", "global:2:0"}));
}

TEST_F(SimInputTest, LocalMonitorsChainTheEventAndCanSwallowIt) {
  launch(desktop.selfPID(), "self");
  desktop.activateApp(desktop.selfPID());
  dispatcher.runUntilIdle();
  auto first = makeLocal(kKeyMask, "first", [](const InputEvent& e) -> std::optional<InputEvent> {
    if (e.keyCode == KeyCode::escape) return std::nullopt;
    InputEvent changed = e;
    changed.keyCode = KeyCode::d;
    return changed;
  });
  auto second = makeLocal(kKeyMask, "second");

  input.keyDown(KeyCode::a);
  input.keyDown(KeyCode::escape);
  dispatcher.runUntilIdle();
  // The second monitor gets what the first one returned; a swallowed event goes no further.
  EXPECT_EQ(seen, (Seen{"first:10:0", "second:10:2", "first:10:53"}));
}

TEST_F(SimInputTest, RemovedMonitorMissesEventsAlreadyOnTheirWay) {
  launch(501, "editor");
  desktop.activateApp(501);
  dispatcher.runUntilIdle();
  auto monitor = makeGlobal(kKeyMask, "global");
  EXPECT_EQ(input.globalMonitorCount(), 1u);
  input.keyDown(KeyCode::a);
  monitor.reset();
  EXPECT_EQ(input.globalMonitorCount(), 0u);
  dispatcher.runUntilIdle();
  EXPECT_TRUE(seen.empty());
}

TEST_F(SimInputTest, ClickOnAnotherApplicationActivatesItAtOnce) {
  launch(501, "editor");
  launch(502, "viewer");
  addWindow(502, {100, 100, 300, 200});
  desktop.activateApp(501);
  dispatcher.runUntilIdle();
  input.click({200, 200});
  EXPECT_EQ(desktop.frontmostPID(), 502);
}

// ---- The application switcher ------------------------------------------------------------------

TEST_F(SimInputTest, CommandTabActivatesTargetAtCommandReleaseAndTellsObserversLater) {
  launch(501, "editor");
  launch(502, "viewer");
  desktop.activateApp(501);
  dispatcher.runUntilIdle();
  std::vector<pid_t> activated;
  Subscription observer = desktop.workspace().addObserver(
      WorkspaceNotification::didActivateApplication, [&](const std::optional<RunningApplication>& app) {
        if (app) activated.push_back(app->processIdentifier);
      });
  // The tap writes down which application is frontmost when each event reaches it.
  auto tap = input.createEventTap(EventTapLocation::session, EventTapPlacement::headInsert, EventTapOptions::defaultTap,
                                  kKeyMask, [&](uint32_t type, const InputEvent& e) {
                                    seen.push_back(std::to_string(type) + "@" + std::to_string(*desktop.frontmostPID()));
                                    return std::optional<InputEvent>(e);
                                  });
  tap->addToMainRunLoop();
  tap->setEnabled(true);

  input.commandTab(502, 2);
  EXPECT_EQ(seen, (Seen{"12@501", "10@501", "10@501", "12@501"}));
  EXPECT_EQ(desktop.frontmostPID(), 502);
  EXPECT_TRUE(activated.empty());
  EXPECT_EQ(input.currentModifierFlags() & ModifierFlag::command, 0u);
  dispatcher.runUntilIdle();
  EXPECT_EQ(activated, (std::vector<pid_t>{502}));

  // Command alone, later, activates nothing.
  input.flagsChanged(ModifierFlag::command);
  input.flagsChanged(0);
  EXPECT_EQ(desktop.frontmostPID(), 502);
}

TEST_F(SimInputTest, EscapeClosesTheSwitcherAfterTheTapSawItAndReleasingCommandThenActivatesNothing) {
  launch(501, "editor");
  launch(502, "viewer");
  desktop.activateApp(501);
  dispatcher.runUntilIdle();
  auto tap = makeTap(kKeyMask, "tap");
  auto monitor = makeGlobal(kKeyMask, "global");

  input.commandTab(502, 1, /*releaseCommand=*/false);
  EXPECT_NE(input.currentModifierFlags() & ModifierFlag::command, 0u) << "the switcher is still up";
  EXPECT_EQ(desktop.frontmostPID(), 501);
  input.keyDown(KeyCode::escape, input.currentModifierFlags());
  input.modifierKey(ModifierFlag::command, false);
  EXPECT_EQ(desktop.frontmostPID(), 501) << "cancelled";
  EXPECT_EQ(seen, (Seen{"tap:12:55", "tap:10:48", "tap:10:53", "tap:12:55"}));
  dispatcher.runUntilIdle();
  EXPECT_EQ(seen, (Seen{"tap:12:55", "tap:10:48", "tap:10:53", "tap:12:55", "global:12:55", "global:10:48",
                        "global:10:53", "global:12:55"}));

  // Without Escape the same sequence switches.
  input.commandTab(502, 1, false);
  input.modifierKey(ModifierFlag::command, false);
  EXPECT_EQ(desktop.frontmostPID(), 502);
}

TEST_F(SimInputTest, ModifierKeysAloneAreFlagsChangedEventsWithTheirKeyAndTheNewFlags) {
  std::vector<std::pair<uint16_t, uint64_t>> flags;
  auto tap = input.createEventTap(EventTapLocation::session, EventTapPlacement::headInsert, EventTapOptions::defaultTap,
                                  kKeyMask, [&](uint32_t type, const InputEvent& e) {
                                    if (type == EventType::flagsChanged) flags.emplace_back(e.keyCode, e.modifierFlags);
                                    return std::optional<InputEvent>(e);
                                  });
  tap->addToMainRunLoop();
  tap->setEnabled(true);
  input.modifierKey(ModifierFlag::shift, true);
  input.modifierKey(ModifierFlag::option, true);
  input.modifierKey(ModifierFlag::shift, false);
  input.modifierKey(ModifierFlag::control, true);
  input.modifierKey(ModifierFlag::control, false);
  input.modifierKey(ModifierFlag::option, false);
  using F = std::vector<std::pair<uint16_t, uint64_t>>;
  const uint64_t shift = ModifierFlag::shift, option = ModifierFlag::option, control = ModifierFlag::control;
  EXPECT_EQ(flags, (F{{KeyCode::shift, shift}, {KeyCode::option, shift | option}, {KeyCode::shift, option},
                      {KeyCode::control, option | control}, {KeyCode::control, option}, {KeyCode::option, 0}}));
  EXPECT_EQ(input.currentModifierFlags(), 0u);
}

// ---- Hot keys ----------------------------------------------------------------------------------

TEST_F(SimInputTest, HotKeysReachHandlersOnALaterTurnOnlyWhenRegistered) {
  std::vector<std::pair<uint32_t, uint32_t>> events;  // kind, id
  auto handler = input.installEventHandler({{fourCharCode("keyb"), HotKeyEventKind::pressed}},
                                           [&](const HotKeyEvent* e) {
                                             events.emplace_back(e->kind, e->directObject ? e->directObject->id : 0);
                                             return 0;
                                           });
  auto key = input.registerEventHotKey(KeyCode::b, 0x1900, EventHotKeyID{fourCharCode("TEST"), 7});
  ASSERT_TRUE(key);
  input.reserveHotKeyElsewhere(KeyCode::r, 0x1900);
  EXPECT_EQ(input.registerEventHotKey(KeyCode::r, 0x1900, EventHotKeyID{fourCharCode("TEST"), 8}), nullptr);

  input.hotKey(KeyCode::b, 0x1900, true);
  input.hotKey(KeyCode::b, 0x1900, false);  // the handler did not ask for releases
  input.hotKey(KeyCode::r, 0x1900, true);
  input.hotKey(KeyCode::b, 0x0100, true);
  EXPECT_TRUE(events.empty());
  dispatcher.runUntilIdle();
  EXPECT_EQ(events, (std::vector<std::pair<uint32_t, uint32_t>>{{HotKeyEventKind::pressed, 7}}));

  key.reset();
  input.hotKey(KeyCode::b, 0x1900, true);
  dispatcher.runUntilIdle();
  EXPECT_EQ(events.size(), 1u);
}

}  // namespace
}  // namespace corvane::sim
