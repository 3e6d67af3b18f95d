// The leak probe counts, exactly, the share-view pixels where a watched window's own content shows.
#include "platform/sim/sim_leak_probe.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "overlay/overlay_manager.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_ui.h"
#include "windows/window_tracker.h"

namespace corvane::sim {
namespace {

class LeakProbeTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  SimDesktop desktop{dispatcher};

  void SetUp() override {
    desktop.launchApp({501, "com.example.secret", "Secret", ActivationPolicy::regular, 0x993333, false});
    desktop.launchApp({502, "com.example.other", "Other", ActivationPolicy::regular, 0x339933, false});
  }
  WindowID add(pid_t pid, Rect bounds) {
    SimWindow w;
    w.ownerPID = pid;
    w.bounds = bounds;
    return desktop.addWindow(w);
  }
};

TEST_F(LeakProbeTest, CountsWhatTheShareShowsOfWatchedWindows) {
  const WindowID secret = add(501, Rect(100, 100, 200, 100));
  const WindowID unwatched = add(502, Rect(600, 100, 50, 50));
  auto report = probeLeaks(desktop, {secret});
  EXPECT_EQ(report.leakedPixels.at(secret), 200u * 100u);
  EXPECT_FALSE(report.leakedPixels.contains(unwatched));
  EXPECT_EQ(report.total(), 20000u);

  // An opaque window in front hides what it covers; one of sharing type none does not, since the
  // share leaves it out.
  const WindowID cover = add(502, Rect(100, 100, 50, 100));
  EXPECT_EQ(probeLeaks(desktop, {secret}).leakedPixels.at(secret), 150u * 100u);
  desktop.setSharingState(cover, WindowSharingState::none);
  EXPECT_EQ(probeLeaks(desktop, {secret}).leakedPixels.at(secret), 200u * 100u);
  desktop.setSharingState(cover, WindowSharingState::readOnly);

  // A translucent window in front leaves the content legible; an almost opaque one does not.
  desktop.setAlpha(cover, 0.5);
  EXPECT_EQ(probeLeaks(desktop, {secret}).leakedPixels.at(secret), 200u * 100u);
  desktop.setAlpha(cover, 0.9);
  EXPECT_EQ(probeLeaks(desktop, {secret}).leakedPixels.at(secret), 150u * 100u);

  // Off the display, off screen, or kept out of captures: nothing leaks.
  desktop.setBounds(secret, Rect(1412, 100, 200, 100));
  EXPECT_EQ(probeLeaks(desktop, {secret}).leakedPixels.at(secret), 100u * 100u);
  desktop.setCaptureExcluded(secret, true);
  EXPECT_TRUE(probeLeaks(desktop, {secret}).isClean());
  desktop.setCaptureExcluded(secret, false);
  desktop.setMinimised(secret, true);
  EXPECT_TRUE(probeLeaks(desktop, {secret}).isClean());
}

TEST_F(LeakProbeTest, OverlappingWatchedWindowsCountTheFrontOne) {
  const WindowID back = add(501, Rect(0, 100, 100, 100));
  const WindowID front = add(501, Rect(50, 100, 100, 100));
  auto report = probeLeaks(desktop, {back, front});
  EXPECT_EQ(report.leakedPixels.at(front), 10000u);
  EXPECT_EQ(report.leakedPixels.at(back), 5000u);

  const PixelBuffer marked = report.highlighted();
  uint64_t red = 0;
  for (int y = 0; y < marked.height; ++y) {
    for (int x = 0; x < marked.width; ++x) {
      const uint8_t* p = marked.pixel(x, y);
      red += p[2] == 255 && p[1] == 0 && p[0] == 0;
    }
  }
  EXPECT_EQ(red, report.total());
  EXPECT_EQ(report.shareView.bytes, desktop.renderShareView().bytes);
}

// What drawing the whole share view of the main display records, counted per window.
std::map<WindowID, uint64_t> countedFromWholePicture(const SimDesktop& desktop, const std::set<WindowID>& watched) {
  VisibilityMap map;
  map.watched = watched;
  desktop.renderShareView(map);
  std::map<WindowID, uint64_t> counts;
  for (WindowID window : watched) counts[window] = 0;
  for (int y = 0; y < map.height; ++y) {
    for (int x = 0; x < map.width; ++x) {
      if (WindowID window = map.visibleAt(x, y)) ++counts[window];
    }
  }
  return counts;
}

// The probe counts without drawing, only over the watched windows' area, a band of rows at a time,
// reusing its map: none of that may change a count. Frost (blur, rounded masks with holes), windows
// in front, translucency and rounded corners all take part.
TEST_F(LeakProbeTest, CountingWithoutDrawingAgreesWithTheWholePicture) {
  desktop.launchApp({503, "com.example.front", "Front", ActivationPolicy::regular, 0x2E86AB, false});
  auto addRounded = [&](pid_t pid, Rect bounds, double radius) {
    SimWindow w;
    w.ownerPID = pid;
    w.bounds = bounds;
    w.cornerRadius = radius;
    return desktop.addWindow(w);
  };
  const WindowID tall = addRounded(501, Rect(40, 30, 700, 900), 16);    // taller than a band
  const WindowID square = addRounded(501, Rect(800, 100, 500, 400), 0);
  const WindowID bare = addRounded(502, Rect(900, 600, 400, 300), 10);  // watched, never frosted
  addRounded(503, Rect(600, 200, 400, 300), 16);                        // in front of two of them
  const WindowID glass = addRounded(503, Rect(100, 700, 300, 150), 0);
  desktop.setAlpha(glass, 0.5);

  WindowTracker tracker{desktop.platform()};
  MemoryLog log;
  OverlayManager manager(OverlayManager::Dependencies(desktop.ui(), tracker, desktop.workspace(), dispatcher.clock(), log));
  manager.update(tracker.protectedWindows({{"com.example.secret", "Secret"}}));
  dispatcher.runUntilIdle();
  ASSERT_EQ(manager.overlays().size(), 2u);

  const std::set<WindowID> watched{tall, square, bare};
  LeakReport report;
  countLeaks(desktop, watched, report);
  EXPECT_EQ(report.leakedPixels, countedFromWholePicture(desktop, watched));
  EXPECT_GT(report.leakedPixels.at(bare), 0u);
  EXPECT_TRUE(report.shareView.isEmpty()) << "counting draws no picture";

  // Counted again into the same report after the windows moved: nothing of the last count stays.
  desktop.moveWindow(bare, Point{60, 40});
  desktop.moveWindow(tall, Point{700, 60});
  manager.update(tracker.protectedWindows({{"com.example.secret", "Secret"}}));
  dispatcher.runUntilIdle();
  countLeaks(desktop, watched, report);
  EXPECT_EQ(report.leakedPixels, countedFromWholePicture(desktop, watched));
  countLeaks(desktop, {square}, report);
  EXPECT_EQ(report.leakedPixels, countedFromWholePicture(desktop, {square}));
  manager.shutdown();
}

TEST_F(LeakProbeTest, EveryDisplayIsProbed) {
  desktop.setDisplays({{1, Rect(0, 0, 1512, 982), 25, 0}, {2, Rect(1512, -200, 1280, 800), 25, 0}});
  const WindowID second = add(501, Rect(1600, 0, 200, 100));
  const WindowID across = add(502, Rect(1412, 500, 200, 100));  // half on each display
  const WindowID between = add(502, Rect(1600, 700, 100, 100));  // below the second display: on none
  auto report = probeLeaks(desktop, {second, across, between});
  EXPECT_TRUE(report.isComplete());
  EXPECT_EQ(report.leakedPixels.at(second), 200u * 100u);
  EXPECT_EQ(report.leakedPixels.at(across), 200u * 100u);
  EXPECT_EQ(report.leakedPixels.at(between), 0u);
  // The picture kept for a person is the main display's.
  EXPECT_EQ(report.shareView.width, 1512);

  // A display whose share view cannot be drawn is never reported clean while a watched window is
  // on it; the other displays are still counted.
  desktop.setDisplays({{1, Rect(0, 0, 1512, 982), 25, 0}, {2, Rect(1512, 0, 40000, 800), 25, 0}});
  const WindowID onMain = add(501, Rect(100, 100, 10, 10));
  report = probeLeaks(desktop, {second, onMain});
  EXPECT_EQ(report.unprobedDisplays, std::vector<DisplayID>{2});
  EXPECT_FALSE(report.isClean());
  EXPECT_EQ(report.leakedPixels.at(onMain), 100u);
  desktop.closeWindow(second);
  EXPECT_TRUE(probeLeaks(desktop, {second}).isClean()) << "nothing watched lies on the large display";
}

}  // namespace
}  // namespace corvane::sim
