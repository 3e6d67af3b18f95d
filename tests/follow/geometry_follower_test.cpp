// The geometry follower in virtual time over the simulated window server: locks from the pointer
// and prediction, resizes, lost locks, mirrors that cross a screen edge, publishing during a drag,
// the leading edge, linger and the summary line, and a platform without the private calls.
#include "follow/geometry_follower.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/virtual_dispatcher.h"
#include "clearview/window_server_geometry.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_private_window_server.h"

namespace corvane {
namespace {

constexpr double H = 982;  // the main display's height

class GeometryFollowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop.launchApp({501, "com.tinyspeck.slackmacgap", "Slack", ActivationPolicy::regular, 0x4A154B, false});
    source = add(501, Rect(100, 200, 600, 400));
    frost = add(desktop.selfPID(), Rect(100, 200, 600, 400));
  }

  // A window at `frame` (screen space).
  WindowID add(pid_t pid, Rect frame) {
    sim::SimWindow w;
    w.ownerPID = pid;
    w.bounds = frame.flipped(H);
    return desktop.addWindow(w);
  }
  Rect frameOf(WindowID number) { return desktop.window(number)->bounds.flipped(H); }
  void setFrame(WindowID number, Rect frame) { desktop.setBounds(number, frame.flipped(H)); }

  GeometryFollower& make(bool debugUnlocks = false) {
    GeometryFollower::Dependencies deps(dispatcher, geometry, [this] { return cursor; }, log);
    deps.debugUnlocks = debugUnlocks;
    follower = std::make_unique<GeometryFollower>(std::move(deps));
    // As the overlay manager does: a resize places the frost on the main thread.
    follower->setOnChanges([this](const std::vector<FollowerChange>& c) {
      for (const FollowerChange& change : c) {
        if (change.kind == FollowerChange::Kind::resized) setFrame(frost, change.frostFrame);
      }
      changes.insert(changes.end(), c.begin(), c.end());
    });
    return *follower;
  }
  void publish(std::optional<int64_t> mirror = std::nullopt, std::vector<Rect> screens = {Rect(0, 0, 1512, 982)}) {
    FollowerTarget t;
    t.source = source;
    t.frost = frost;
    t.mirror = mirror;
    t.frame = frameOf(source);
    t.mirrorFrame = mirror ? GeometryFollower::onScreenFrame(t.frame, screens) : Rect();
    follower->publish({t}, screens);
  }
  // The user's hand: the cursor moves by (dx, dy) and the window server moves the window with it.
  void dragBy(double dx, double dy) {
    cursor = Point{cursor.x + dx, cursor.y + dy};
    setFrame(source, frameOf(source).offsetBy(dx, dy));
  }
  void advance(double seconds) { dispatcher.advance(seconds); }
  GeometryFollower::Target target() { return follower->targets().at(0); }
  int count(FollowerChange::Kind kind) {
    int n = 0;
    for (const auto& c : changes) n += c.kind == kind && c.source == int64_t(source);
    return n;
  }

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  WindowServerGeometry geometry{&desktop.privateWindowServer(), desktop.windowServer()};
  MemoryLog log;
  Point cursor{400, 590};  // in the title bar
  WindowID source = 0, frost = 0;
  std::unique_ptr<GeometryFollower> follower;
  std::vector<FollowerChange> changes;
};

TEST_F(GeometryFollowerTest, ATitleBarDragLocksEveryEdgeAndTheFrostMovesWithTheCursorBeforeTheWindowServerSaysSo) {
  make();
  publish();
  follower->pointerDown(true);
  advance(0.01);
  EXPECT_TRUE(follower->isActive());
  dragBy(12, -5);
  advance(0.01);
  auto t = target();
  ASSERT_TRUE(t.lock);
  EXPECT_TRUE(t.lock->minX && t.lock->maxX && t.lock->minY && t.lock->maxY);
  EXPECT_EQ(follower->stats().locks, 1);

  // The cursor runs ahead of the bounds the window server reports: the frost follows the cursor.
  const Rect before = frameOf(source);
  cursor = Point{cursor.x + 20, cursor.y};
  advance(GeometryFollower::tickInterval);
  const Rect predicted = before.offsetBy(20, 0);
  EXPECT_EQ(target().frame, predicted);
  EXPECT_GE(follower->stats().predicted, 1);
  EXPECT_TRUE(frameOf(frost).contains(predicted)) << frameOf(frost);
  EXPECT_GT(count(FollowerChange::Kind::moved), 0);
}

TEST_F(GeometryFollowerTest, AResizeByTheRightEdgeLocksOnlyThatEdgeAndIsNeverTakenForAMove) {
  make();
  cursor = Point{700, 400};
  publish();
  follower->pointerDown(true);
  advance(0.01);
  cursor.x += 30;
  setFrame(source, Rect(100, 200, 630, 400));
  advance(0.01);
  auto t = target();
  ASSERT_TRUE(t.lock);
  EXPECT_TRUE(t.lock->maxX);
  EXPECT_FALSE(t.lock->minX || t.lock->minY || t.lock->maxY);

  changes.clear();
  cursor.x += 25;
  advance(GeometryFollower::tickInterval);
  EXPECT_EQ(target().frame, Rect(100, 200, 655, 400));
  EXPECT_GE(follower->stats().predictedResizes, 1);
  EXPECT_EQ(follower->stats().predicted, 0);
  EXPECT_GT(count(FollowerChange::Kind::resized), 0);
  EXPECT_EQ(count(FollowerChange::Kind::moved), 0);
}

TEST_F(GeometryFollowerTest, ASampleTheLockCannotExplainDropsTheLockAndIsAppliedAsSampled) {
  make(/*debugUnlocks=*/true);
  publish();
  follower->pointerDown(true);
  advance(0.01);
  dragBy(15, 0);
  advance(0.01);
  ASSERT_TRUE(target().lock);
  // The window stops (it met a screen edge) while the cursor goes on; once the cursor's recent
  // span no longer holds where the window implies it, the lock goes.
  cursor.x += 60;
  advance(0.1);
  EXPECT_FALSE(target().lock);
  EXPECT_EQ(target().frame, frameOf(source)) << "back where the window really is";
  bool logged = false;
  for (const auto& line : log.lines()) logged |= line.starts_with("Follower unlock " + std::to_string(source) + ":");
  EXPECT_TRUE(logged);
}

TEST_F(GeometryFollowerTest, AMirrorFollowsAndItsClippedSizeChangeAtAScreenEdgeComesBackAsAResize) {
  const WindowID mirror = add(desktop.selfPID(), Rect(100, 200, 600, 400));
  make();
  publish(int64_t(mirror));
  follower->poke();
  advance(0.01);
  // Within the screen the mirror is moved with the frost.
  setFrame(source, Rect(150, 200, 600, 400));
  advance(0.01);
  EXPECT_EQ(frameOf(mirror), Rect(150, 200, 600, 400));
  EXPECT_EQ(count(FollowerChange::Kind::resized), 0);
  // Across the right edge its visible part shrinks: moved and resized for it in the same tick.
  changes.clear();
  setFrame(source, Rect(1100, 200, 600, 400));
  advance(0.01);
  EXPECT_EQ(count(FollowerChange::Kind::moved), 1);
  EXPECT_EQ(count(FollowerChange::Kind::resized), 1);
  EXPECT_EQ(target().mirrorFrame, Rect(1100, 200, 412, 400));
}

TEST_F(GeometryFollowerTest, OnScreenFrameClipsToTheFirstScreenItMeets) {
  const std::vector<Rect> screens = {Rect(0, 0, 1000, 800), Rect(1000, 0, 800, 600)};
  struct Case {
    Rect frame;
    std::vector<Rect> screens;
    Rect expected;
  } cases[] = {
      {Rect(-50, 10, 200, 100), {}, Rect(-50, 10, 200, 100)},               // no screens
      {Rect(900, 100, 300, 200), screens, Rect(900, 100, 100, 200)},        // the first one met
      {Rect(3000, 100, 300, 200), screens, Rect(3000, 100, 300, 200)},      // none met: unclipped
      {Rect(990, 100, 300, 200), screens, Rect(990, 100, 300, 200)},        // a 10-point sliver: kept whole
      {Rect(1500, 500, 400, 400), {screens[1]}, Rect(1500, 500, 300, 100)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GeometryFollower::onScreenFrame(c.frame, c.screens), c.expected) << c.frame;
  }
}

TEST_F(GeometryFollowerTest, PublishingDuringADragKeepsTheFollowersOwnFrameAndLock) {
  make();
  publish();
  follower->pointerDown(true);
  advance(0.01);
  dragBy(10, 0);
  advance(0.01);
  cursor.x += 30;  // predicted, not yet reported
  advance(GeometryFollower::tickInterval);
  const auto before = target();
  ASSERT_TRUE(before.lock);
  // A refresh publishes what the window list still says.
  FollowerTarget stale{int64_t(source), int64_t(frost), std::nullopt, Rect(100, 200, 600, 400), Rect()};
  follower->publish({stale}, {Rect(0, 0, 1512, 982)});
  advance(0);
  EXPECT_EQ(target().frame, before.frame);
  EXPECT_TRUE(target().lock);
  // With the button up, a target of another size is taken as published.
  follower->pointerDown(false);
  stale.frame = Rect(100, 200, 500, 300);
  follower->publish({stale}, {});
  advance(0);
  EXPECT_EQ(target().frame, Rect(100, 200, 500, 300));
  EXPECT_FALSE(target().lock);
}

// The frost reaches past an edge moving outwards by its expected next step plus a point, not past
// a trailing edge, is one point wider on every side under the pressed button, and goes back to the
// window's frame when the follower stops. A jump of an application's window gets no lead.
TEST_F(GeometryFollowerTest, TheLeadingEdgeRunsOneStepAheadAndNothingElseOvershoots) {
  make();
  publish();
  follower->pointerDown(true);
  advance(0.01);
  EXPECT_EQ(frameOf(frost), Rect(99, 199, 602, 402)) << "pressed: one point on every side";

  double previous = 0;
  for (double step : {4.0, 6.0, 8.0, 8.0}) {
    dragBy(step, 0);
    advance(0.008);
    const Rect w = frameOf(source);
    const Rect f = frameOf(frost);
    EXPECT_TRUE(f.contains(w));
    // From rest the next step is expected three times as long as the first.
    const double growth = previous > 0 ? step - previous : 2 * step;
    EXPECT_LE(f.maxX() - w.maxX(), step + growth + 1 + 1) << "a step, its growth and a point, whole";
    EXPECT_GE(f.maxX() - w.maxX(), step + 1);
    EXPECT_LE(w.minX() - f.minX(), 1) << "the trailing edge";
    EXPECT_LE(f.maxY() - w.maxY(), 1) << "edges that do not move";
    previous = step;
  }
  // The window jumps ahead by a step before the next tick: the frost still covers it.
  setFrame(source, frameOf(source).offsetBy(9, 0));
  EXPECT_TRUE(frameOf(frost).contains(frameOf(source)));

  follower->pointerDown(false);
  advance(1.0);
  EXPECT_FALSE(follower->isActive());
  EXPECT_EQ(frameOf(frost), frameOf(source)) << "back to the window's own frame";

  // An application places its window elsewhere: followed, without a lead.
  follower->poke();
  advance(0.01);
  setFrame(source, frameOf(source).offsetBy(0, -60));
  advance(0.01);
  EXPECT_EQ(frameOf(frost), frameOf(source));
}

TEST_F(GeometryFollowerTest, ItLingersHalfASecondAndLogsOneSummaryOnlyWhenSomethingMoved) {
  make();
  publish();
  // A poke with nothing moving: it runs for the linger and stops without a line.
  follower->poke();
  advance(0.3);
  EXPECT_TRUE(follower->isActive());
  advance(0.25);
  EXPECT_FALSE(follower->isActive());
  EXPECT_TRUE(log.lines().empty());

  // The button held: it never stops on its own; released, it stops 0.5 s after the last change.
  follower->pointerDown(true);
  advance(2.0);
  EXPECT_TRUE(follower->isActive());
  dragBy(20, 0);
  advance(0.01);
  follower->pointerDown(false);
  advance(0.45);
  EXPECT_TRUE(follower->isActive());
  advance(0.1);
  EXPECT_FALSE(follower->isActive());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.lines()[0].starts_with("Follower: ")) << log.lines()[0];
  EXPECT_NE(log.lines()[0].find("1 sampled moves"), std::string::npos) << log.lines()[0];

  // stop() ends a run at once.
  follower->pointerDown(true);
  advance(0.01);
  follower->stop();
  advance(0);
  EXPECT_FALSE(follower->isActive());
}

TEST_F(GeometryFollowerTest, WithoutThePrivateCallsItNeverStarts) {
  for (PrivateEntryPoint missing : {PrivateEntryPoint::moveWindow, PrivateEntryPoint::getWindowBounds}) {
    SCOPED_TRACE(static_cast<int>(missing));
    desktop.privateWindowServer().reset();
    desktop.privateWindowServer().removeEntryPoint(missing);
    WindowServerGeometry without(&desktop.privateWindowServer(), desktop.windowServer());
    changes.clear();
    GeometryFollower f(GeometryFollower::Dependencies(dispatcher, without, [this] { return cursor; }, log));
    f.setOnChanges([this](const std::vector<FollowerChange>& c) { changes.insert(changes.end(), c.begin(), c.end()); });
    f.publish({FollowerTarget{int64_t(source), int64_t(frost), std::nullopt, frameOf(source), Rect()}}, {});
    f.pointerDown(true);
    advance(0.01);
    dragBy(30, 0);
    advance(0.05);
    EXPECT_FALSE(f.isActive());
    EXPECT_TRUE(changes.empty());
  }
}

TEST(GeometryFollowerSwitch, TheEnvironmentVariableWinsOverTheUserDefault) {
  EXPECT_TRUE(GeometryFollower::debugSwitch(true, false));
  EXPECT_TRUE(GeometryFollower::debugSwitch(false, true));
  EXPECT_FALSE(GeometryFollower::debugSwitch(false, std::nullopt));
}

}  // namespace
}  // namespace corvane
