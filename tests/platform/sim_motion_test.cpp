// The simulated desktop's motion model: the window list trails a moving window by its latency
// while the private bounds query is current, drags keep the pointer's grip without drift, resizes
// take every edge and corner from just outside the window, and the "motion" description is
// checked.
#include "platform/sim/sim_motion.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_input.h"
#include "platform/sim/sim_private_window_server.h"

namespace corvane::sim {
namespace {

class SimMotionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop.launchApp({501, "com.example.editor", "Editor", ActivationPolicy::regular, 0x336699, false});
    SimWindow w;
    w.ownerPID = 501;
    w.bounds = Rect(100, 100, 600, 400);  // window-server space
    window = desktop.addWindow(w);
  }
  Rect listed() {
    auto entries = desktop.windowServer().copyWindowInfo(WindowListOption::onScreenOnly, 0);
    for (const auto& e : *entries) {
      if (e.number && std::get<int64_t>(*e.number) == int64_t(window)) return std::get<Rect>(*e.bounds);
    }
    return Rect::null();
  }
  Rect queried() {
    auto answer =
        desktop.privateWindowServer().getWindowBounds(SimPrivateWindowServer::kMainConnection, window);
    return answer && answer->status == 0 ? answer->bounds : Rect::null();
  }
  Point screen(double x, double y) { return Point{x, desktop.mainDisplayHeight() - y}; }

  VirtualDispatcher dispatcher;
  SimDesktop desktop{dispatcher};
  WindowID window = 0;
};

TEST_F(SimMotionTest, TheWindowListTrailsByItsLatencyWhileTheBoundsQueryIsCurrent) {
  SimMotion motion;
  motion.windowListLatency = SimMotion::kDisplayFrame;
  desktop.setMotion(motion);
  desktop.moveWindow(window, Point{150, 100});
  dispatcher.advance(0.005);
  desktop.moveWindow(window, Point{200, 100});
  EXPECT_EQ(listed(), Rect(100, 100, 600, 400)) << "a display frame late";
  EXPECT_EQ(queried(), Rect(200, 100, 600, 400));
  dispatcher.advance(0.013);
  EXPECT_EQ(listed(), Rect(150, 100, 600, 400));
  dispatcher.advance(0.005);
  EXPECT_EQ(listed(), Rect(200, 100, 600, 400));

  // The bounds query may lag too.
  motion.boundsLatency = 0.002;
  desktop.setMotion(motion);
  desktop.resizeWindow(window, Size{640, 400});
  EXPECT_EQ(queried(), Rect(200, 100, 600, 400));
  dispatcher.advance(0.002);
  EXPECT_EQ(queried(), Rect(200, 100, 640, 400));

  // By default the list is current.
  desktop.setMotion(SimMotion{});
  desktop.moveWindow(window, Point{10, 20});
  EXPECT_EQ(listed(), Rect(10, 20, 640, 400));
}

TEST_F(SimMotionTest, ADraggedWindowKeepsThePointersGripWithoutDrift) {
  const Point start = screen(400, 110);  // the title bar
  desktop.input().dragBegin(start);
  double x = start.x, y = start.y;
  for (int i = 0; i < 100; ++i) {
    x += 1.37;
    y -= 0.61;
    desktop.input().dragTo(Point{x, y});
  }
  desktop.input().dragEnd(Point{x, y});
  EXPECT_EQ(desktop.window(window)->bounds, Rect(std::round(100 + 137.0), std::round(100 + 61.0), 600, 400));
}

TEST_F(SimMotionTest, APressJustOutsideAnEdgeOrCornerResizesByThoseEdges) {
  // Window-server space: (100, 100) to (700, 500). Each press lands 2 points outside.
  struct Case {
    const char* grip;
    Point press;  // window-server space
    Rect expected;
  } cases[] = {
      {"left", {98, 300}, Rect(80, 100, 620, 400)},    {"right", {702, 300}, Rect(100, 100, 620, 400)},
      {"top", {400, 98}, Rect(100, 110, 600, 390)},    {"bottom", {400, 502}, Rect(100, 100, 600, 410)},
      {"topLeft", {98, 98}, Rect(80, 110, 620, 390)},  {"topRight", {702, 98}, Rect(100, 110, 620, 390)},
      {"bottomLeft", {98, 502}, Rect(80, 100, 620, 410)},
      {"bottomRight", {702, 502}, Rect(100, 100, 620, 410)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.grip);
    desktop.setBounds(window, Rect(100, 100, 600, 400));
    const Point from = screen(c.press.x, c.press.y);
    // Outwards sideways by 20, and by 10 downwards (window-server y) for the vertical edges.
    const double dx = (c.expected.width() > 600 && c.expected.minX() < 100) ? -20 : 20;
    desktop.input().drag(from, {Point{from.x + dx, from.y - 10}});
    EXPECT_EQ(desktop.window(window)->bounds, c.expected);
  }
  // A drag never makes the window smaller than 40 x 40.
  desktop.setBounds(window, Rect(100, 100, 600, 400));
  desktop.input().drag(screen(702, 502), {screen(0, 0)});
  EXPECT_EQ(desktop.window(window)->bounds, Rect(100, 100, 40, 40));
}

TEST(SimMotionDescription, ValuesAreReadAndBadOnesNamed) {
  VirtualDispatcher dispatcher;
  SimDesktop desktop(dispatcher);
  std::string error;
  ASSERT_TRUE(desktop.load(nlohmann::json::parse(R"({"motion": {"pointerRate": 250, "windowListLatency": 0.02,
                                                     "boundsLatency": 0.001}})"),
                           &error))
      << error;
  EXPECT_EQ(desktop.motion().pointerRate, 250);
  EXPECT_EQ(desktop.motion().windowListLatency, 0.02);
  EXPECT_EQ(desktop.motion().boundsLatency, 0.001);
  for (const char* bad : {R"({"motion": {"pointerRate": 5}})", R"({"motion": {"windowListLatency": -1}})",
                          R"({"motion": {"boundsLatency": "soon"}})", R"({"motion": {"speed": 1}})",
                          R"({"motion": []})"}) {
    EXPECT_FALSE(desktop.load(nlohmann::json::parse(bad), &error)) << bad;
    EXPECT_TRUE(error.starts_with("motion")) << error;
  }
  EXPECT_EQ(desktop.motion().pointerRate, 250) << "a refused description changes nothing";
}

}  // namespace
}  // namespace corvane::sim
