#include "windows/meeting_window_classifier.h"

#include <gtest/gtest.h>

#include "hub_desktop.h"

namespace corvane::hubtest {
namespace {

using Numbers = std::vector<int64_t>;
using HubCall = MeetingWindowClassifier::HubCall;

class ClassifierTest : public HubDesktop {
 protected:
  void SetUp() override {
    HubDesktop::SetUp();
    launch(teams, kTeams, "Microsoft Teams");
    launch(discord, kDiscord, "Discord");
  }
  // A Teams window whose title decides nothing, so only its tree can.
  WindowID plainTeamsWindow(std::vector<sim::SimAXElement> tree) {
    return addWindow(teams, {100, 100, 1000, 700}, "Microsoft Teams", std::move(tree));
  }
  bool walks(std::vector<sim::SimAXElement> tree) {
    return classifier.indicatesCall(info(plainTeamsWindow(std::move(tree))), kTeams, /*allowSyncWalk=*/true);
  }

  const pid_t teams = 600;
  const pid_t discord = 700;
};

TEST_F(ClassifierTest, TitlesDecideWithoutAnyWalk) {
  const WindowID meeting = addWindow(teams, {100, 100, 1000, 700}, "Meeting | Standup");
  const WindowID chat = addWindow(teams, {100, 100, 1000, 700}, "Chat | Standup", {axButton("Leave")});
  const WindowID untitled = addWindow(teams, {200, 200, 1000, 700});
  const WindowID calendar = addWindow(teams, {50, 50, 1000, 700}, "Calendar | Calendar | Microsoft Teams");

  EXPECT_TRUE(classifier.isStageWindow(info(meeting), kTeams, {}));
  EXPECT_FALSE(classifier.isStageWindow(info(chat), kTeams, {}));  // a hub title wins over a Leave button
  EXPECT_TRUE(classifier.isStageWindow(info(untitled), kTeams, {info(untitled), info(calendar)}));
  EXPECT_FALSE(classifier.isStageWindow(info(untitled), kTeams, {info(untitled)}));
  EXPECT_FALSE(classifier.isStageWindow(info(meeting), "com.tinyspeck.slackmacgap", {}));
  EXPECT_EQ(numbers(classifier.windowsToProtect({info(meeting), info(chat), info(calendar)}, kTeams)),
            (Numbers{chat, calendar}));
  EXPECT_EQ(ax.attributeReads("AXChildren"), 0u);
  EXPECT_FALSE(classifier.isWalkInFlight());
}

TEST_F(ClassifierTest, ControlLabelsAreTrimmedLowerCasedAndCutAtASeparator) {
  EXPECT_TRUE(walks({axButton("Leave (\u2318\u21e7H)")}));
  EXPECT_FALSE(walks({axButton("Mute \u2013 Ctrl+Shift+M")}));  // an en dash is no separator
  EXPECT_TRUE(walks({axButton("Mute \u2014 Ctrl+Shift+M")}));
  EXPECT_TRUE(walks({axGroup({axButton("  HANG UP\n")})}));
  EXPECT_TRUE(walks({axButton("L\u00c4MNA")}));
  EXPECT_FALSE(walks({axButton("(Leave)")}));  // nothing before the cut: the whole label counts
  EXPECT_FALSE(walks({axButton("Leave the team")}));
  sim::SimAXElement roleless;
  roleless.description = "Raise hand \u00b7 R";
  EXPECT_TRUE(walks({roleless}));
  sim::SimAXElement byIdentifier = axElement("AXCheckBox");
  byIdentifier.identifier = "leave-call-button";
  EXPECT_TRUE(walks({byIdentifier}));
  // Only controls (or role-less elements) are read, and menus are never entered.
  EXPECT_FALSE(walks({axElement("AXStaticText", "Leave")}));
  EXPECT_FALSE(walks({axElement("AXMenuItem", "Leave")}));
  EXPECT_FALSE(walks({axElement("AXMenu", {}, {axButton("Leave")})}));
  EXPECT_FALSE(walks({axElement("AXMenuBar", {}, {axButton("Leave")})}));
}

TEST_F(ClassifierTest, WalksStopAtFourHundredElementsAndDepthSixteen) {
  // The window counts as the first element.
  std::vector<sim::SimAXElement> flat(398, axElement("AXStaticText"));
  flat.push_back(axButton("Leave"));
  EXPECT_TRUE(walks(flat));
  flat.insert(flat.begin(), axElement("AXStaticText"));
  ax.resetCounters();
  EXPECT_FALSE(walks(flat));
  EXPECT_EQ(ax.attributeReads("AXRole") - 1, 400u);  // one more read finds the Accessibility window

  auto nested = [](int groups) {
    sim::SimAXElement e = axButton("End call");
    for (int i = 0; i < groups; ++i) e = axGroup({e});
    return e;
  };
  EXPECT_TRUE(walks({nested(15)}));  // the button at depth 16
  EXPECT_FALSE(walks({nested(16)}));
}

TEST_F(ClassifierTest, WalkResultsLastThirtySecondsWhenPositiveAndTwoWhenNegative) {
  const WindowID w = plainTeamsWindow({axButton("Leave")});
  EXPECT_TRUE(classifier.indicatesCall(info(w), kTeams, true));
  setTree(w, {});
  dispatcher.advance(29.9);
  EXPECT_TRUE(classifier.indicatesCall(info(w), kTeams, true));
  dispatcher.advance(0.2);
  EXPECT_FALSE(classifier.indicatesCall(info(w), kTeams, true));
  setTree(w, {axButton("Leave")});
  dispatcher.advance(1.9);
  EXPECT_FALSE(classifier.indicatesCall(info(w), kTeams, true));
  dispatcher.advance(0.2);
  EXPECT_TRUE(classifier.indicatesCall(info(w), kTeams, true));
}

TEST_F(ClassifierTest, AccessibilityTitlesLastTwoSecondsAndMissesAFifthOfASecond) {
  const WindowID w = addWindow(teams, {100, 100, 1000, 700});
  const Rect frame = info(w).frame;
  sim::SimAXWindow d;
  d.title = "Chat | General";
  ax.setWindow(w, d);
  EXPECT_EQ(classifier.title(teams, w, frame), "Chat | General");
  d.title = "Meeting | Standup";
  ax.setWindow(w, d);
  dispatcher.advance(1.9);
  EXPECT_EQ(classifier.title(teams, w, frame), "Chat | General");
  dispatcher.advance(0.2);
  EXPECT_EQ(classifier.title(teams, w, frame), "Meeting | Standup");

  const WindowID untitled = addWindow(teams, {300, 300, 900, 600});
  EXPECT_EQ(classifier.title(teams, untitled, info(untitled).frame), std::nullopt);
  d.title = "Calls | History";
  ax.setWindow(untitled, d);
  dispatcher.advance(0.19);
  EXPECT_EQ(classifier.title(teams, untitled, info(untitled).frame), std::nullopt);
  dispatcher.advance(0.02);
  EXPECT_EQ(classifier.title(teams, untitled, info(untitled).frame), "Calls | History");
}

TEST_F(ClassifierTest, WindowsAreMatchedByNumberOrByAFrameWithinTwentyFourPoints) {
  const WindowID w = plainTeamsWindow({});
  sim::SimAXWindow d;
  d.publishesWindowNumber = false;
  d.frame = Rect(123, 100, 1023, 700);
  ax.setWindow(w, d);
  EXPECT_TRUE(classifier.axWindow(teams, w, info(w).frame).has_value());
  d.frame = Rect(100, 100, 1024, 700);
  ax.setWindow(w, d);
  EXPECT_FALSE(classifier.axWindow(teams, w, info(w).frame).has_value());
  // "AXManualAccessibility" went to the process once.
  EXPECT_EQ(ax.manualAccessibilitySets(teams), 1u);
}

TEST_F(ClassifierTest, EmbeddedWebTreesAppearOnceManualAccessibilityIsSet) {
  ax.setApp(teams, sim::SimAXApp{true, {}});
  EXPECT_TRUE(walks({axGroup({axButton("Leave")})}));
  EXPECT_TRUE(ax.manualAccessibilityEnabled(teams));
}

TEST_F(ClassifierTest, WithoutTrustOnlyTitlesAndSizesDecide) {
  ax.setTrusted(false);
  const WindowID overlay = addWindow(teams, {900, 600, 300, 200});
  const WindowID hub = addWindow(teams, {50, 50, 1000, 700}, "Chat | General");
  const WindowID plain = plainTeamsWindow({axButton("Leave")});
  const WindowID untitled = addWindow(teams, {300, 300, 900, 600});
  sim::SimAXWindow d;
  d.title = "Meeting | Standup";
  ax.setWindow(untitled, d);

  EXPECT_TRUE(classifier.isStageWindow(info(overlay), kTeams, {}));
  EXPECT_FALSE(classifier.isStageWindow(info(plain), kTeams, {}));
  EXPECT_FALSE(classifier.indicatesCall(info(plain), kTeams, true));
  EXPECT_EQ(classifier.title(teams, untitled, info(untitled).frame), std::nullopt);
  EXPECT_TRUE(classifier.isStageWindow(info(untitled), kTeams, {info(untitled), info(hub)}));  // beside a hub
  EXPECT_EQ(ax.attributeReads(), 0u);
  EXPECT_FALSE(classifier.isWalkInFlight());
  EXPECT_EQ(dispatcher.pendingCount(), 0u);
}

TEST_F(ClassifierTest, FrostPlanningQueuesOneWalkAtATime) {
  const WindowID a = plainTeamsWindow({axButton("Leave")});
  const WindowID b = plainTeamsWindow({axButton("Mute")});
  const std::vector<WindowInfo> windows = {info(a), info(b)};
  EXPECT_EQ(numbers(classifier.windowsToProtect(windows, kTeams)), (Numbers{a, b}));
  EXPECT_TRUE(classifier.isWalkInFlight());
  EXPECT_EQ(ax.attributeReads("AXChildren"), 0u);  // never walks synchronously
  dispatcher.runUntilIdle();
  EXPECT_FALSE(classifier.isWalkInFlight());
  EXPECT_EQ(numbers(classifier.windowsToProtect(windows, kTeams)), (Numbers{b}));  // b's request was dropped
  dispatcher.runUntilIdle();
  EXPECT_EQ(numbers(classifier.windowsToProtect(windows, kTeams)), Numbers{});

  // A classifier gone before its walk runs does nothing.
  auto gone = std::make_unique<MeetingWindowClassifier>(tracker, &ax, dispatcher);
  gone->queueClassify(info(plainTeamsWindow({axButton("Leave")})));
  gone.reset();
  const uint64_t reads = ax.attributeReads();
  dispatcher.runUntilIdle();
  EXPECT_EQ(ax.attributeReads(), reads);
}

TEST_F(ClassifierTest, AHubWindowInACallKeepsOnlyItsSidebarFrosted) {
  for (auto [width, kept] : {std::pair{1200.0, 408.0}, {800.0, 272.0}, {1500.0, 448.0}, {690.0, 690.0}}) {
    SCOPED_TRACE(width);
    const WindowID w = addWindow(discord, {10, 100, width, 800}, "General - Discord", {axButton("Disconnect")});
    EXPECT_EQ(classifier.windowsToProtect({info(w)}, kDiscord), std::vector<WindowInfo>{info(w)});
    dispatcher.runUntilIdle();
    const auto narrowed = classifier.windowsToProtect({info(w)}, kDiscord);
    ASSERT_EQ(narrowed.size(), 1u);
    WindowInfo expected = info(w);
    EXPECT_DOUBLE_EQ(narrowed[0].frame.width(), kept);
    expected.frame.size.width = narrowed[0].frame.width();
    EXPECT_EQ(narrowed[0], expected);  // same origin, height, numbers and title
    desktop.closeWindow(w);
  }
  // Beside a stage window (the compact call overlay) the hub window is frosted whole.
  const WindowID hub = addWindow(discord, {10, 100, 1200, 800}, "General - Discord", {axButton("Disconnect")});
  const WindowID overlay = addWindow(discord, {900, 600, 300, 200});
  EXPECT_EQ(classifier.windowsToProtect({info(overlay), info(hub)}, kDiscord), std::vector<WindowInfo>{info(hub)});
}

TEST_F(ClassifierTest, HubCallStateIsCachedForHalfASecondPerSetOfWindows) {
  EXPECT_EQ(classifier.evaluateHubCall(kTeams), HubCall{});  // no audio evidence until the detector is wired
  int audioAsks = 0;
  classifier.setHubHasActiveCall([&](const std::string& id) {
    ++audioAsks;
    return id == kTeams;
  });
  addWindow(teams, {100, 100, 1000, 700}, "Chat | General");
  EXPECT_EQ(classifier.evaluateHubCall(kTeams), (HubCall{true, false}));
  dispatcher.advance(0.4);
  EXPECT_EQ(classifier.evaluateHubCall(kTeams), (HubCall{true, false}));
  EXPECT_EQ(audioAsks, 1);
  dispatcher.advance(0.2);
  classifier.evaluateHubCall(kTeams);
  EXPECT_EQ(audioAsks, 2);
  // A new window of the family forces a fresh evaluation at once.
  launch(601, kTeams + ".helper", "Microsoft Teams Helper");
  addWindow(601, {400, 300, 320, 200});
  EXPECT_EQ(classifier.evaluateHubCall(kTeams), (HubCall{true, true}));
  EXPECT_EQ(classifier.evaluateHubCall("us.zoom.xos"), HubCall{});
}

TEST_F(ClassifierTest, UntitledMeetingBesideAChatWindowIsAVisualCall) {
  addWindow(teams, {100, 100, 1000, 700}, "Chat | General");
  addWindow(teams, {200, 150, 900, 650});
  EXPECT_EQ(classifier.evaluateHubCall(kTeams), (HubCall{true, true}));
}

TEST_F(ClassifierTest, WatchReportsNewWindowsAndTitleChangesTwice) {
  launch(601, kTeams + ".helper", "Microsoft Teams Helper");
  launch(602, kTeams + ".notificationcenter", "Microsoft Teams Notifications");
  int changes = 0;
  classifier.watchCallChrome({kTeams, "com.tinyspeck.slackmacgap", kTeams}, [&] { ++changes; });
  EXPECT_EQ(classifier.watchingBundleIDs(), std::vector<std::string>{kTeams});
  EXPECT_EQ(classifier.observedPIDs(), (std::set<pid_t>{600, 601}));

  const WindowID w = addWindow(601, {100, 100, 1000, 700}, "Chat | General");
  EXPECT_EQ(changes, 0);  // delivered on the main queue
  dispatcher.runUntilIdle();
  EXPECT_EQ(changes, 1);
  dispatcher.advance(0.14);
  EXPECT_EQ(changes, 1);
  dispatcher.advance(0.02);
  EXPECT_EQ(changes, 2);

  // A change empties the hub call cache even though the set of windows stayed the same.
  int audioAsks = 0;
  classifier.setHubHasActiveCall([&](const std::string&) {
    ++audioAsks;
    return false;
  });
  classifier.evaluateHubCall(kTeams);
  desktop.setTitle(w, sim::SimTitle::of("Chat | Random"));
  dispatcher.runUntilIdle();
  classifier.evaluateHubCall(kTeams);
  EXPECT_EQ(audioAsks, 2);
  EXPECT_EQ(changes, 3);

  desktop.quitApp(601);
  classifier.syncChromeObservers();
  EXPECT_EQ(classifier.observedPIDs(), std::set<pid_t>{600});
  classifier.removeChromeObservers();
  EXPECT_EQ(ax.attachedObserverCount(), 0u);
  dispatcher.advance(1);
  const int before = changes;
  addWindow(teams, {100, 100, 1000, 700}, "Chat | General");
  dispatcher.advance(1);
  EXPECT_EQ(changes, before);
}

TEST_F(ClassifierTest, WatchNeedsTrustAndDiesWithTheClassifier) {
  ax.setTrusted(false);
  classifier.watchCallChrome({kTeams}, [] {});
  EXPECT_TRUE(classifier.observedPIDs().empty());
  ax.setTrusted(true);

  int changes = 0;
  auto owned = std::make_unique<MeetingWindowClassifier>(tracker, &ax, dispatcher);
  owned->watchCallChrome({kTeams}, [&] {
    ++changes;
    owned.reset();  // the callback destroys its caller; the repeat 0.15 s later finds it gone
  });
  addWindow(teams, {100, 100, 1000, 700});
  dispatcher.runUntilIdle();
  EXPECT_EQ(owned, nullptr);
  addWindow(teams, {100, 100, 1000, 700});
  dispatcher.advance(1);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(ax.observerCount(), 0u);
}

}  // namespace
}  // namespace corvane::hubtest
