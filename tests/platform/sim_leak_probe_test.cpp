// The leak probe counts, exactly, the share-view pixels where a watched window's own content shows.
#include "platform/sim/sim_leak_probe.h"

#include <gtest/gtest.h>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"

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

}  // namespace
}  // namespace corvane::sim
