// The window tracker's queries for the privacy controller and the overlay manager, on the
// simulated desktop.
#include <gtest/gtest.h>

#include "hub_desktop.h"
#include "windows/window_tracker.h"

namespace corvane::hubtest {
namespace {

using Numbers = std::vector<int64_t>;
constexpr double H = 982;  // the main display's height

class QueriesTest : public HubDesktop {
 protected:
  void SetUp() override {
    HubDesktop::SetUp();
    desktop.setDisplays({sim::SimDisplay{1, Rect(0, 0, 1512, H), 25, 70}});
    launch(teams, kTeams, "Microsoft Teams");
    launch(teamsHelper, kTeams + ".helper", "Microsoft Teams Helper");
    launch(discord, kDiscord, "Discord");
    launch(slack, "com.tinyspeck.slackmacgap", "slack");
    launch(other, "com.apple.Safari", "Safari");
    launch(dock, "com.apple.dock", "Dock");
    launch(windowManager, "com.apple.WindowManager", "WindowManager");
    launch(self, "com.corvane.app", "Corvane");
    desktop.setSelfPID(self);
  }
  WindowID add(pid_t pid, Rect bounds, int64_t level = sim::Level::normal) {
    sim::SimWindow w;
    w.ownerPID = pid;
    w.bounds = bounds;
    w.level = level;
    return desktop.addWindow(w);
  }
  static Rect screen(Rect bounds) { return bounds.flipped(H); }

  const pid_t teams = 600, teamsHelper = 601, discord = 700, slack = 501, other = 800, dock = 310,
              windowManager = 320, self = 400;
};

TEST_F(QueriesTest, ProtectedWindowsFrostChatsKeepMeetingsClearAndNarrowHubsInACall) {
  const WindowID slackWindow = addWindow(slack, {40, 60, 700, 500}, "general");
  const WindowID chat = addWindow(teams, {820, 60, 650, 460}, "Chat | General | Microsoft Teams");
  const WindowID meeting = addWindow(teams, {820, 540, 400, 300}, "Meeting with Design team | Microsoft Teams");
  const WindowID hub = addWindow(discord, {10, 100, 1200, 800}, "General - Discord",
                                 {axGroup({axButton("Leave Voice Channel")})});
  launch(900, std::nullopt, "Slack");  // never taken: no bundle identifier
  addWindow(900, {0, 0, 300, 300}, "Slack");
  const std::vector<AppRef> apps = {{kTeams, "Microsoft Teams"}, {kDiscord, "Discord"}, {"com.slack", "Slack"}};

  desktop.resetCounters();
  auto first = tracker.protectedWindows(apps);
  EXPECT_EQ(desktop.windowListReads(), 1u);
  EXPECT_EQ(numbers(first), (Numbers{hub, chat, slackWindow}));  // groups front to back
  dispatcher.runUntilIdle();                                   // the queued walk finds the voice channel
  auto second = tracker.protectedWindows(apps);
  ASSERT_EQ(numbers(second), (Numbers{hub, chat, slackWindow}));
  EXPECT_EQ(second[0].frame.origin, (Point{10, H - 900}));
  EXPECT_DOUBLE_EQ(second[0].frame.width(), 408);  // 0.34 of its width: the chat sidebar
  EXPECT_EQ(second[0].frame.height(), 800);
  EXPECT_EQ(second[0].title, "General - Discord");
  EXPECT_EQ(second[1].frame, screen({820, 60, 650, 460}));
  for (const auto& w : second) EXPECT_EQ(w.stackingWindowNumber, w.windowNumber);
  (void)meeting;  // left clear

  EXPECT_TRUE(tracker.protectedWindows({}).empty());
  EXPECT_TRUE(tracker.protectedWindows({{"com.example.none", "None"}}).empty());
}

TEST_F(QueriesTest, StackingNumbersPreferTheBestOverlapAndTheFrontOnTies) {
  const Rect frame = screen({100, 100, 800, 600});
  const WindowID back = add(teamsHelper, {100, 100, 800, 600});
  const WindowID front = add(teams, {100, 100, 800, 600});
  add(teams, {100, 100, 300, 600});                          // overlaps less than half
  const WindowID closer = add(teamsHelper, {110, 100, 800, 600});  // overlaps fully, but off-centre
  EXPECT_EQ(tracker.stackingWindowNumber(frame, {teams, teamsHelper}, 7), int64_t(front));
  desktop.closeWindow(front);
  EXPECT_EQ(tracker.stackingWindowNumber(frame, {teams, teamsHelper}, 7), int64_t(back));
  EXPECT_EQ(tracker.stackingWindowNumber(screen({1000, 100, 400, 300}), {teams, teamsHelper}, 7), 7);
  EXPECT_EQ(tracker.stackingWindowNumber(screen({110, 100, 800, 600}), {teamsHelper}, 7), int64_t(closer));
  desktop.resetCounters();
  EXPECT_EQ(tracker.stackingWindowNumber(frame, {}, 7), 7);
  EXPECT_EQ(desktop.windowListReads(), 0u);
}

TEST_F(QueriesTest, FramesInFrontSkipTwinsOwnWindowsAndWhatIsBehind) {
  const WindowID target = add(teams, {100, 100, 800, 600});
  WindowInfo info{int64_t(target), teams, screen({100, 100, 800, 600}), int64_t(target), std::nullopt};
  add(other, {1200, 100, 200, 200});                      // behind the target
  desktop.raiseWindow(target);
  add(teamsHelper, {120, 110, 840, 620});                 // a twin of the target: its companion surface
  const WindowID sibling = add(teamsHelper, {100, 100, 1000, 700});  // larger: a real window in front
  const WindowID safari = add(other, {600, 400, 500, 400});
  add(self, {100, 100, 800, 600});                        // our own overlay
  add(windowManager, {0, 0, 1512, 982});
  add(dock, {0, 0, 1512, 982});
  const WindowID dockTile = add(dock, {300, 300, 150, 150});
  add(other, {900, 700, 600, 40});                        // bar-shaped
  add(other, {1000, 100, 200, 200});                      // no overlap

  EXPECT_EQ(tracker.framesInFront(info, {}),
            (std::vector<Rect>{screen({300, 300, 150, 150}), screen({600, 400, 500, 400}), screen({100, 100, 1000, 700})}));
  EXPECT_EQ(tracker.framesInFront(info, {"com.apple.Safari"}),
            (std::vector<Rect>{screen({300, 300, 150, 150}), screen({100, 100, 1000, 700})}));
  EXPECT_EQ(tracker.framesInFront(info, {}, std::set<std::string>{"com.apple.Safari"}),
            std::vector<Rect>{screen({600, 400, 500, 400})});
  // A window that captures leave out cuts no hole: the share would see the target through it.
  desktop.setSharingState(safari, WindowSharingState::none);
  EXPECT_EQ(tracker.framesInFront(info, {}),
            (std::vector<Rect>{screen({300, 300, 150, 150}), screen({100, 100, 1000, 700})}));
  desktop.setSharingState(safari, WindowSharingState::readOnly);
  (void)sibling;
  (void)safari;
  (void)dockTile;

  // A target too small to count as a surface still ends the walk: nothing behind it is in front.
  const WindowID small = add(slack, {200, 200, 60, 60});
  desktop.orderWindow(small, false, target);
  const WindowID behindSmall = add(other, {150, 150, 300, 300});
  desktop.orderWindow(behindSmall, false, small);
  WindowInfo smallInfo{int64_t(small), slack, screen({200, 200, 60, 60}), int64_t(small), std::nullopt};
  EXPECT_EQ(tracker.framesInFront(smallInfo, {}),
            (std::vector<Rect>{screen({100, 100, 1000, 700}), screen({120, 110, 840, 620}), info.frame}));
}

TEST_F(QueriesTest, FamilyWindowInFrontSkipsTwinsAndStopsAtTheTarget) {
  const WindowID target = add(teams, {100, 100, 800, 600});
  WindowInfo info{int64_t(target), teams, screen({100, 100, 800, 600}), int64_t(target), std::nullopt};
  EXPECT_EQ(tracker.familyWindowInFront(info), std::nullopt);
  add(teamsHelper, {120, 110, 820, 620});  // twin
  const WindowID sheet = add(teamsHelper, {300, 150, 400, 300});
  add(other, {100, 100, 800, 600});
  EXPECT_EQ(tracker.familyWindowInFront(info), (WindowInFront{sheet, screen({300, 150, 400, 300})}));
  info.stackingWindowNumber = sheet;  // the sheet carries the target in the stacking order
  EXPECT_EQ(tracker.familyWindowInFront(info), std::nullopt);
}

TEST_F(QueriesTest, SeatedOnlyWithOurOwnWindowsInBetween) {
  const WindowID target = add(slack, {100, 100, 800, 600});
  const WindowID mirror = add(self, {100, 100, 800, 600});
  const WindowID frost = add(self, {100, 100, 800, 600});
  EXPECT_TRUE(tracker.isSeated(frost, target));
  EXPECT_FALSE(tracker.isSeated(target, frost));  // the frost behind its target
  EXPECT_FALSE(tracker.isSeated(frost, 99999));
  const WindowID foreign = add(other, {0, 0, 100, 100});
  desktop.orderWindow(foreign, false, frost);
  EXPECT_FALSE(tracker.isSeated(frost, target));
  EXPECT_TRUE(tracker.isSeated(mirror, target));
  // Given `below`, the frost must stand directly behind it (the overlay manager then has put it
  // there on purpose, whatever lies between the frost and its target).
  const WindowID above = add(slack, {150, 150, 300, 200});
  EXPECT_TRUE(tracker.isSeated(frost, target, above));
  desktop.orderWindow(foreign, true, frost);
  EXPECT_FALSE(tracker.isSeated(frost, target, above));
  EXPECT_FALSE(tracker.isSeated(frost, target, target));
}

TEST_F(QueriesTest, PointerQueriesIgnoreTheDockAndOurOwnWindows) {
  // The Dock's strip is the bottom 70 points.
  EXPECT_TRUE(tracker.pointHitsDock({700, 30}));
  EXPECT_FALSE(tracker.pointHitsDock({700, 70}));
  EXPECT_FALSE(tracker.pointHitsDock({700, 500}));
  EXPECT_FALSE(tracker.pointHitsDock({-50, 30}));  // on no screen

  const WindowID safari = add(other, {100, 100, 800, 600});
  add(self, {100, 100, 800, 600}, sim::Level::floating);  // an overlay
  add(dock, {100, 100, 800, 600}, sim::Level::dock);
  const WindowID floating = add(slack, {600, 500, 300, 200}, sim::Level::floating);
  EXPECT_EQ(tracker.windowUnderPoint({200, H - 200}), (WindowUnderPoint{safari, other, 0}));
  EXPECT_EQ(tracker.windowUnderPoint({650, H - 550}), (WindowUnderPoint{floating, slack, 3}));
  EXPECT_EQ(tracker.windowUnderPoint({1400, 50}), std::nullopt);
}

TEST_F(QueriesTest, FrontmostProtectedSurfaceLooksAtTheFamilysFrontWindow) {
  const WindowID chat = add(teams, {100, 100, 800, 600});
  WindowInfo info{int64_t(chat), teams, screen({100, 100, 800, 600}), int64_t(chat), std::nullopt};
  desktop.activateApp(other);
  EXPECT_FALSE(tracker.isFrontmostProtectedSurface(info));
  desktop.activateApp(teamsHelper);  // the helper's activation counts for the family
  EXPECT_TRUE(tracker.isFrontmostProtectedSurface(info));
  add(teamsHelper, {200, 700, 600, 40});  // a bar in front does not count
  EXPECT_TRUE(tracker.isFrontmostProtectedSurface(info));
  const WindowID surface = add(teamsHelper, {100, 100, 800, 600});
  EXPECT_FALSE(tracker.isFrontmostProtectedSurface(info));
  info.stackingWindowNumber = surface;
  EXPECT_TRUE(tracker.isFrontmostProtectedSurface(info));
  desktop.setWindowListAvailable(false);
  EXPECT_FALSE(tracker.isFrontmostProtectedSurface(info));  // no list: only the owner itself
  desktop.activateApp(teams);
  EXPECT_TRUE(tracker.isFrontmostProtectedSurface(info));
}

TEST_F(QueriesTest, EveryQueryReadsTheListOnce) {
  const WindowID chat = addWindow(teams, {100, 100, 800, 600}, "Chat | General");
  addWindow(teams, {300, 300, 320, 200});
  addWindow(teamsHelper, {100, 100, 800, 600});
  addWindow(discord, {10, 100, 1200, 800}, "General - Discord");
  add(other, {0, 0, 500, 500});
  desktop.activateApp(teams);
  const WindowInfo target = info(chat);
  auto once = [&](const char* name, auto query) {
    desktop.resetCounters();
    query();
    EXPECT_EQ(desktop.windowListReads(), 1u) << name;
  };
  once("protectedWindows", [&] { tracker.protectedWindows({{kTeams, "Teams"}, {kDiscord, "Discord"}}); });
  once("stackingWindowNumber", [&] { tracker.stackingWindowNumber(target.frame, {teams, teamsHelper}, 0); });
  once("isFrontmostProtectedSurface", [&] { tracker.isFrontmostProtectedSurface(target); });
  once("framesInFront", [&] { tracker.framesInFront(target, {"x"}); });
  once("familyWindowInFront", [&] { tracker.familyWindowInFront(target); });
  once("isSeated", [&] { tracker.isSeated(1, 2); });
  once("windowUnderPoint", [&] { tracker.windowUnderPoint({10, 10}); });
  once("evaluateHubCall", [&] { classifier.evaluateHubCall(kTeams); });
}

TEST_F(QueriesTest, ProtectedWindowsTakeEveryLevelFromTheNormalOneUp) {
  const WindowID main = add(slack, {100, 100, 700, 500});
  const WindowID quick = add(slack, {200, 150, 400, 300}, sim::Level::floating);
  const WindowID prompt = add(slack, {250, 200, 300, 160}, sim::Level::modalPanel);
  const WindowID tool = add(slack, {900, 100, 260, 200}, sim::Level::utility);
  const WindowID menu = add(slack, {300, 260, 200, 240}, sim::Level::popUpMenu);
  add(slack, {0, 0, 1512, 982}, sim::Level::backstopMenu);  // below the normal level: left alone
  const auto windows = tracker.protectedWindows({{"com.tinyspeck.slackmacgap", "Slack"}});
  ASSERT_EQ(numbers(windows), (Numbers{menu, tool, prompt, quick, main}));
  EXPECT_EQ(windows[0].level, sim::Level::popUpMenu);
  EXPECT_EQ(windows[1].level, sim::Level::utility);
  EXPECT_EQ(windows[2].level, sim::Level::modalPanel);
  EXPECT_EQ(windows[3].level, sim::Level::floating);
  EXPECT_EQ(windows[4].level, 0);

  // An application chosen by its identifier on another platform is protected too.
  launch(502, "com.slack.Slack", "Slack beta");
  const WindowID flatpak = add(502, {900, 400, 400, 300});
  for (const char* id : {"com.tinyspeck.slackmacgap", "slack"}) {
    const Numbers protectedNow = numbers(tracker.protectedWindows({{id, "Slack for Linux"}}));
    EXPECT_EQ(protectedNow.size(), 6u) << id;
    EXPECT_NE(std::find(protectedNow.begin(), protectedNow.end(), flatpak), protectedNow.end()) << id;
  }
}

TEST_F(QueriesTest, TranslucentWindowsInFrontCutNoHole) {
  const WindowID target = add(slack, {100, 100, 800, 600});
  WindowInfo info{int64_t(target), slack, screen({100, 100, 800, 600}), int64_t(target), std::nullopt};
  const WindowID opaque = add(other, {600, 400, 500, 400});
  const WindowID glass = add(other, {150, 150, 300, 300});
  const WindowID noAlpha = add(other, {500, 120, 200, 200});
  desktop.setAlpha(glass, 0.5);
  sim::SimWindow spoiled = *desktop.window(noAlpha);
  desktop.closeWindow(noAlpha);
  spoiled.number = 0;
  spoiled.missingKeys = {"alpha"};
  desktop.addWindow(spoiled);
  EXPECT_EQ(tracker.framesInFront(info, {}), (std::vector<Rect>{screen({500, 120, 200, 200}), screen({600, 400, 500, 400})}))
      << "a window without an alpha counts as opaque";
  desktop.setAlpha(glass, 0.999);
  desktop.setAlpha(opaque, 0.999);
  EXPECT_EQ(tracker.framesInFront(info, {}), std::vector<Rect>{screen({500, 120, 200, 200})});
  desktop.setAlpha(glass, 1);
  EXPECT_EQ(tracker.framesInFront(info, {}), (std::vector<Rect>{screen({500, 120, 200, 200}), screen({150, 150, 300, 300})}));
}

TEST_F(QueriesTest, ASnapshotAnswersEveryQueryFromOneRead) {
  const WindowID chat = addWindow(teams, {100, 100, 800, 600}, "Chat | General");
  addWindow(teamsHelper, {100, 100, 800, 600});
  const WindowID safari = add(other, {0, 0, 500, 500});
  desktop.activateApp(teams);
  const WindowInfo target = info(chat);
  desktop.resetCounters();
  {
    const WindowTracker::Snapshot snapshot(tracker);
    ASSERT_TRUE(snapshot.entries().has_value());
    EXPECT_EQ(snapshot.entries()->size(), 3u);
    tracker.protectedWindows({{kTeams, "Teams"}});
    tracker.isFrontmostProtectedSurface(target);
    tracker.framesInFront(target, {"x"});
    tracker.familyWindowInFront(target);
    tracker.isSeated(1, 2);
    tracker.windowUnderPoint({10, 10});
    classifier.evaluateHubCall(kTeams);
    {
      const WindowTracker::Snapshot inner(tracker);
      tracker.framesInFront(target, {});
    }
    // One moment of the window server: what changes after the read is not seen.
    desktop.moveWindow(safari, {700, 0});
    EXPECT_EQ(tracker.windowFrame(safari), screen({0, 0, 500, 500}));
    EXPECT_EQ(tracker.windowFrame(123456), std::nullopt);
    EXPECT_EQ(desktop.windowListReads(), 2u) << "the snapshot and the inner one";
  }
  EXPECT_EQ(tracker.windowFrame(safari), screen({700, 0, 500, 500}));
  EXPECT_EQ(desktop.windowListReads(), 3u) << "without a snapshot, a fresh read";

  // A window server that gives no list: the snapshot holds none, and the queries take their
  // empty answers.
  desktop.setWindowListAvailable(false);
  const WindowTracker::Snapshot none(tracker);
  EXPECT_FALSE(none.entries().has_value());
  EXPECT_TRUE(tracker.protectedWindows({{kTeams, "Teams"}}).empty());
  EXPECT_EQ(tracker.windowFrame(safari), std::nullopt);
}

}  // namespace
}  // namespace corvane::hubtest
