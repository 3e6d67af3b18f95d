// The on-screen window list over a busy desktop of 200 windows, as a ratio to copying the same
// window list.
#include <benchmark/benchmark.h>

#include <set>
#include <string>

#include "bench_ratio.h"
#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "windows/window_tracker.h"

namespace {

using namespace corvane;

struct BusyDesktop {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  std::set<pid_t> protectedPIDs;

  BusyDesktop() {
    desktop.setDisplays({sim::SimDisplay{1, Rect(0, 0, 2560, 1440), 25, 70}});
    desktop.setSelfPID(desktop.launchApp(sim::SimApp{0, std::string("com.corvane.app"), std::string("Corvane"),
                                                     ActivationPolicy::accessory, 0x333333, false}));
    for (int a = 0; a < 20; ++a) {
      pid_t pid = desktop.launchApp(sim::SimApp{0, "com.example.app" + std::to_string(a), "App " + std::to_string(a),
                                                ActivationPolicy::regular, uint32_t(0x102030 * (a + 1)), false});
      if (a % 2 == 0) protectedPIDs.insert(pid);
      for (int w = 0; w < 10; ++w) {
        sim::SimWindow window;
        window.ownerPID = pid;
        window.bounds = Rect(40.0 * w + a, 30.0 * w + 2 * a, 300 + 10 * w, 200 + 8 * a);
        window.title = sim::SimTitle::of("Window " + std::to_string(w));
        window.level = (w == 9) ? sim::Level::floating : sim::Level::normal;
        desktop.addWindow(window);
      }
    }
  }
};

BusyDesktop& busy() {
  static BusyDesktop d;
  return d;
}

void CopyWindowList(benchmark::State& state) {
  auto list = busy().desktop.windowServer().copyWindowInfo(WindowTracker::kListOptions, 0);
  for (auto _ : state) {
    auto copy = *list;
    benchmark::DoNotOptimize(copy);
  }
  state.counters["entries"] = double(list->size());
}
BENCHMARK(CopyWindowList);

void OnScreenWindows(benchmark::State& state) {
  BusyDesktop& d = busy();
  WindowTracker tracker(d.desktop.platform());
  size_t found = 0;
  for (auto _ : state) {
    auto windows = tracker.onScreenWindows(d.protectedPIDs, false);
    found = windows.size();
    benchmark::DoNotOptimize(windows);
  }
  state.counters["windows"] = double(found);
}
BENCHMARK(OnScreenWindows);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter({std::make_pair(std::string("OnScreenWindows"), std::string("CopyWindowList"))});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
