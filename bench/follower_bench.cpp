// One tick interval of the geometry follower while the pointer drags 20 followed windows (each
// edge locked to the cursor: every tick predicts and moves 20 frost windows, and the sampler's
// share of the interval reads their bounds), as a ratio to one bounds query of the window server.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "bench_ratio.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "clearview/window_server_geometry.h"
#include "follow/geometry_follower.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_private_window_server.h"

namespace {

using namespace corvane;

constexpr int kWindows = 20;

struct Dragging {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  WindowServerGeometry geometry{&desktop.privateWindowServer(), desktop.windowServer()};
  MemoryLog log;
  Point cursor{400, 500};
  std::vector<WindowID> sources;
  std::unique_ptr<GeometryFollower> follower;
  size_t changes = 0;

  Dragging() {
    const pid_t app = desktop.launchApp(
        sim::SimApp{0, std::string("com.example.editor"), std::string("Editor"), ActivationPolicy::regular, 0x336699, false});
    std::vector<FollowerTarget> targets;
    const double h = desktop.mainDisplayHeight();
    for (int i = 0; i < kWindows; ++i) {
      const Rect frame(20.0 * i, 10.0 * i, 500, 350);  // window-server space
      sim::SimWindow source;
      source.ownerPID = app;
      source.bounds = frame;
      sim::SimWindow frost;
      frost.ownerPID = desktop.selfPID();
      frost.bounds = frame;
      const WindowID s = desktop.addWindow(source);
      const WindowID f = desktop.addWindow(frost);
      sources.push_back(s);
      targets.push_back(FollowerTarget{int64_t(s), int64_t(f), std::nullopt, frame.flipped(h), Rect()});
    }
    follower = std::make_unique<GeometryFollower>(
        GeometryFollower::Dependencies(dispatcher, geometry, [this] { return cursor; }, log));
    follower->setOnChanges([this](const std::vector<FollowerChange>& c) { changes += c.size(); });
    follower->publish(targets, {Rect(0, 0, 1512, 982)});
    follower->pointerDown(true);
    dispatcher.advance(0.01);
    // Every window moves with the cursor once: the first samples lock all their edges to it.
    cursor.x += 10;
    for (WindowID s : sources) {
      const Rect b = desktop.window(s)->bounds;
      desktop.moveWindow(s, Point{b.minX() + 10, b.minY()});
    }
    dispatcher.advance(0.01);
  }
};

void BoundsQuery(benchmark::State& state) {
  Dragging d;
  for (auto _ : state) benchmark::DoNotOptimize(d.geometry.bounds(int64_t(d.sources[7])));
}
BENCHMARK(BoundsQuery);

void FollowerTick(benchmark::State& state) {
  Dragging d;
  double direction = 1;
  for (auto _ : state) {
    // The hand goes on moving: every tick predicts 20 new frames.
    d.cursor.x += direction;
    direction = -direction;
    d.dispatcher.advance(GeometryFollower::tickInterval);
  }
  state.counters["predicted"] = double(d.follower->stats().predicted) / double(state.iterations());
}
BENCHMARK(FollowerTick);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter({std::make_pair(std::string("FollowerTick"), std::string("BoundsQuery"))});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
