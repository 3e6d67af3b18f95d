#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/virtual_dispatcher.h"
#include "clearview/window_server_capture_exclusion.h"
#include "clearview/window_server_geometry.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_private_window_server.h"

namespace corvane {
namespace {

using E = PrivateEntryPoint;

class WindowServerWrappersTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  sim::SimPrivateWindowServer& server = desktop.privateWindowServer();

  void SetUp() override { desktop.setDisplays({sim::SimDisplay{1, {0, 0, 1440, 1000}, 25, 0}}); }
  WindowID add(Rect bounds) {
    sim::SimWindow w;
    w.ownerPID = desktop.selfPID();
    w.bounds = bounds;
    return desktop.addWindow(w);
  }
};

TEST_F(WindowServerWrappersTest, BoundsAreFlippedToScreenSpaceOnAQueryConnectionOfTheirOwn) {
  const WindowID w = add({100, 50, 800, 600});
  WindowServerGeometry g(&server, desktop.windowServer());
  EXPECT_EQ(g.bounds(w), Rect(100, 1000 - 650, 800, 600));
  EXPECT_EQ(g.bounds(w), Rect(100, 350, 800, 600));
  EXPECT_EQ(server.callCount(E::newConnection), 1u) << "resolved once";

  const uint64_t queries = server.callCount(E::getWindowBounds);
  EXPECT_FALSE(g.bounds(0));
  EXPECT_FALSE(g.bounds(int64_t(1) << 32)) << "not cut down to some other 32-bit number";
  EXPECT_EQ(server.callCount(E::getWindowBounds), queries) << "the window server is not asked";
  EXPECT_FALSE(g.bounds(9999)) << "an unknown window";
  desktop.resizeWindow(w, {1, 300});
  EXPECT_FALSE(g.bounds(w)) << "not wider than 1 point";
}

TEST_F(WindowServerWrappersTest, MovePlacesTheTopLeftCornerAndMissingEntryPointsDisableWhatNeedsThem) {
  const WindowID w = add({0, 0, 400, 300});
  EXPECT_TRUE(WindowServerGeometry(&server, desktop.windowServer()).move(w, {100, 200}, 300));
  EXPECT_EQ(desktop.window(w)->bounds.origin, (Point{100, 500}));

  server.setNewConnectionStatus(WindowServerError::failure);
  EXPECT_TRUE(WindowServerGeometry(&server, desktop.windowServer()).bounds(w)) << "on the main connection";
  server.removeEntryPoint(E::moveWindow);
  WindowServerGeometry withoutMove(&server, desktop.windowServer());
  EXPECT_FALSE(withoutMove.move(w, {0, 0}, 300));
  EXPECT_TRUE(withoutMove.canQueryBounds());
  server.removeEntryPoint(E::mainConnectionID);
  EXPECT_FALSE(WindowServerGeometry(&server, desktop.windowServer()).bounds(w));
  EXPECT_FALSE(WindowServerGeometry(nullptr, desktop.windowServer()).bounds(w));
}

TEST_F(WindowServerWrappersTest, ConnectionIsResolvedOnceAcrossThreads) {
  const WindowID w = add({10, 10, 300, 200});
  WindowServerGeometry g(&server, desktop.windowServer());
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 50; ++j) EXPECT_TRUE(g.bounds(w) && g.move(w, {10, 10}, 200));
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(server.callCount(E::newConnection), 1u);
}

TEST_F(WindowServerWrappersTest, CaptureExclusionReportsTheWindowServersAnswer) {
  const WindowID w = add({0, 0, 400, 300});
  WindowServerCaptureExclusion exclusion(&server);
  EXPECT_EQ(exclusion.apply(w), WindowServerError::success);
  EXPECT_FALSE(desktop.windowServer().createWindowImage(Rect::null(), w, 0)) << "captures leave it out";

  const WindowID refused = add({0, 0, 400, 300});
  server.refuseCaptureExclusion(refused, true);
  EXPECT_EQ(exclusion.apply(refused), WindowServerError::failure);
  EXPECT_TRUE(desktop.windowServer().createWindowImage(Rect::null(), refused, 0));
  EXPECT_NE(exclusion.apply(0), WindowServerError::success);

  server.removeEntryPoint(E::setWindowTags);
  EXPECT_FALSE(exclusion.apply(w));
  server.restoreEntryPoint(E::setWindowTags);
  server.removeEntryPoint(E::mainConnectionID);
  EXPECT_FALSE(exclusion.apply(w));
  EXPECT_FALSE(WindowServerCaptureExclusion(nullptr).apply(w));
}

}  // namespace
}  // namespace corvane
