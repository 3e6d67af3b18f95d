#include "windows/window_tracker.h"

#include <gtest/gtest.h>

#include "platform/screens.h"
#include "platform/workspace.h"

namespace corvane {
namespace {

// A window server that hands out a fixed list, so each entry's keys can be spoiled precisely.
class ListWindowServer final : public WindowServer {
 public:
  std::optional<std::vector<WindowListEntry>> list = std::vector<WindowListEntry>{};
  Rect mainBounds{0, 0, 1440, 900};
  int reads = 0;
  std::vector<uint32_t> optionsSeen;

  std::optional<std::vector<WindowListEntry>> copyWindowInfo(uint32_t options, WindowID) override {
    ++reads;
    optionsSeen.push_back(options);
    return list;
  }
  DisplayID mainDisplayID() override { return 1; }
  std::vector<DisplayID> activeDisplays() override { return {1}; }
  Rect displayBounds(DisplayID d) override { return d == 1 ? mainBounds : Rect::null(); }
  std::optional<PixelBuffer> createWindowImage(Rect, WindowID, uint32_t) override { return std::nullopt; }
  std::optional<PixelBuffer> captureDisplay(DisplayID) override { return std::nullopt; }
};

// No running applications and no screens: the list readers need neither.
class EmptyWorkspace final : public Workspace {
 public:
  std::vector<RunningApplication> runningApplications() override { return {}; }
  std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
  std::optional<RunningApplication> application(pid_t) override { return std::nullopt; }
  Subscription addObserver(WorkspaceNotification, Observer) override { return {}; }
  bool openURL(const std::string&) override { return false; }
};

class NoScreens final : public Screens {
 public:
  std::vector<ScreenInfo> screens() override { return {}; }
  std::optional<ScreenInfo> mainScreen() override { return std::nullopt; }
};

WindowListEntry entry(int64_t number, int32_t pid, Rect bounds, int64_t layer = 0) {
  WindowListEntry e;
  e.number = number;
  e.ownerPID = int64_t(pid);
  e.layer = layer;
  e.alpha = 1.0;
  e.bounds = bounds;
  e.isOnscreen = true;
  return e;
}

class WindowTrackerTest : public ::testing::Test {
 protected:
  ListWindowServer server;
  EmptyWorkspace workspace;
  NoScreens screens;
  WindowTracker tracker{server, workspace, screens, /*ownPID=*/400};
};

TEST_F(WindowTrackerTest, EmptyOwnerSetReadsNothing) {
  server.list->push_back(entry(1, 501, {0, 0, 500, 400}));
  EXPECT_TRUE(tracker.onScreenWindows({}, false).empty());
  EXPECT_EQ(server.reads, 0);
}

TEST_F(WindowTrackerTest, ReadsOnceWithOnScreenExcludingDesktopAndKeepsListOrder) {
  server.list->push_back(entry(3, 501, {0, 0, 500, 400}));
  server.list->push_back(entry(9, 777, {0, 0, 500, 400}));
  server.list->push_back(entry(1, 501, {10, 10, 300, 200}));
  server.list->push_back(entry(2, 502, {10, 10, 300, 200}));
  auto windows = tracker.onScreenWindows({501, 502}, true);
  EXPECT_EQ(server.reads, 1);
  EXPECT_EQ(server.optionsSeen, std::vector<uint32_t>{17});
  ASSERT_EQ(windows.size(), 3u);
  EXPECT_EQ(windows[0].windowNumber, 3);
  EXPECT_EQ(windows[1].windowNumber, 1);
  EXPECT_EQ(windows[2].windowNumber, 2);
  for (const auto& w : windows) EXPECT_EQ(w.stackingWindowNumber, w.windowNumber);
}

TEST_F(WindowTrackerTest, FramesAreFlippedToScreenSpace) {
  server.mainBounds = Rect(0, 0, 1512, 982);
  server.list->push_back(entry(5, 501, {100, 50, 800, 600}));
  auto windows = tracker.onScreenWindows({501}, false);
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].frame, Rect(100, 982 - (50 + 600), 800, 600));
}

TEST_F(WindowTrackerTest, AlphaThreshold) {
  auto faint = entry(1, 501, {0, 0, 200, 200});
  faint.alpha = 0.01;
  auto visible = entry(2, 501, {0, 0, 200, 200});
  visible.alpha = 0.011;
  auto noAlpha = entry(3, 501, {0, 0, 200, 200});
  noAlpha.alpha.reset();
  auto zero = entry(4, 501, {0, 0, 200, 200});
  zero.alpha = int64_t(0);  // an integral number still reads as a double
  server.list = {faint, visible, noAlpha, zero};
  auto windows = tracker.onScreenWindows({501}, false);
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0].windowNumber, 2);
  EXPECT_EQ(windows[1].windowNumber, 3);
}

TEST_F(WindowTrackerTest, DegenerateSizes) {
  server.list = {entry(1, 501, {0, 0, 1, 300}), entry(2, 501, {0, 0, 1.5, 300}),
                 entry(3, 501, {0, 0, 300, 1}), entry(4, 501, {0, 0, 2, 2})};
  auto windows = tracker.onScreenWindows({501}, false);
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0].windowNumber, 2);
  EXPECT_EQ(windows[1].windowNumber, 4);
}

TEST_F(WindowTrackerTest, LayerRules) {
  server.list = {entry(1, 501, {0, 0, 300, 300}, 3), entry(2, 501, {0, 0, 300, 300}, 0)};
  auto noLayer = entry(3, 501, {0, 0, 300, 300});
  noLayer.layer.reset();
  server.list->push_back(noLayer);
  EXPECT_EQ(tracker.onScreenWindows({501}, false).size(), 2u);
  auto layerZero = tracker.onScreenWindows({501}, true);
  ASSERT_EQ(layerZero.size(), 1u);
  EXPECT_EQ(layerZero[0].windowNumber, 2);
}

TEST_F(WindowTrackerTest, MissingOrWrongTypedKeysSkipTheEntry) {
  auto noNumber = entry(1, 501, {0, 0, 300, 300});
  noNumber.number.reset();
  auto stringPID = entry(2, 501, {0, 0, 300, 300});
  stringPID.ownerPID = std::string("501");
  auto badBounds = entry(3, 501, {0, 0, 300, 300});
  badBounds.bounds = std::string("{{0, 0}, {300, 300}}");
  auto fractionalLayer = entry(4, 501, {0, 0, 300, 300});
  fractionalLayer.layer = 0.5;
  auto stringAlpha = entry(5, 501, {0, 0, 300, 300});
  stringAlpha.alpha = std::string("0");  // unreadable alpha counts as absent
  auto hugePID = entry(6, 501, {0, 0, 300, 300});
  hugePID.ownerPID = int64_t(501) + (int64_t(1) << 32);  // does not fit a pid
  server.list = {noNumber, stringPID, badBounds, fractionalLayer, stringAlpha, hugePID};
  auto windows = tracker.onScreenWindows({501}, false);
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].windowNumber, 5);
}

TEST_F(WindowTrackerTest, TitleIsAbsentWhenMissingEmptyOrNotAString) {
  auto titled = entry(1, 501, {0, 0, 300, 300});
  titled.name = std::string("general — Slack");
  auto empty = entry(2, 501, {0, 0, 300, 300});
  empty.name = std::string("");
  auto number = entry(3, 501, {0, 0, 300, 300});
  number.name = int64_t(42);
  auto missing = entry(4, 501, {0, 0, 300, 300});
  server.list = {titled, empty, number, missing};
  auto windows = tracker.onScreenWindows({501}, false);
  ASSERT_EQ(windows.size(), 4u);
  EXPECT_EQ(windows[0].title, std::optional<std::string>("general — Slack"));
  for (size_t i = 1; i < 4; ++i) EXPECT_FALSE(windows[i].title.has_value()) << i;
}

TEST_F(WindowTrackerTest, MissingListYieldsNothing) {
  server.list.reset();
  EXPECT_TRUE(tracker.onScreenWindows({501}, false).empty());
  EXPECT_TRUE(tracker.readList(WindowTracker::kListOptions).empty());
}

TEST(WindowFilters, SubstantialAndBarShapedBoundaries) {
  EXPECT_FALSE(WindowFilter::substantial({0, 0, 80, 500}));
  EXPECT_TRUE(WindowFilter::substantial({0, 0, 80.5, 80.5}));
  // A floating sharing bar.
  EXPECT_TRUE(WindowFilter::barShaped({0, 0, 600, 40}));
  EXPECT_TRUE(WindowFilter::barShaped({0, 0, 240, 28}));
  EXPECT_FALSE(WindowFilter::barShaped({0, 0, 239, 40}));
  EXPECT_FALSE(WindowFilter::barShaped({0, 0, 600, 27}));
  EXPECT_FALSE(WindowFilter::barShaped({0, 0, 600, 141}));
  // Exactly three times as wide is not bar-shaped; just over is.
  EXPECT_FALSE(WindowFilter::barShaped({0, 0, 300, 100}));
  EXPECT_TRUE(WindowFilter::barShaped({0, 0, 300.5, 100}));
}

TEST(WindowFilters, NotOursUsesTheMirrorHostSeam) {
  ListWindowServer server;
  EmptyWorkspace workspace;
  NoScreens screens;
  pid_t host = 0;
  WindowTracker tracker(server, workspace, screens, 400, [&] { return host; });
  EXPECT_TRUE(tracker.isOurs(400));
  EXPECT_TRUE(tracker.isOurs(0));  // no host running: pid 0 counts as ours
  EXPECT_FALSE(tracker.isOurs(900));
  host = 900;
  EXPECT_TRUE(tracker.isOurs(900));
  EXPECT_FALSE(tracker.isOurs(0));
}

}  // namespace
}  // namespace corvane
