// Drawing the share view of a 1512 x 982 desktop whose protected windows are frosted (a real blur of
// what lies behind each overlay), and probing it for leaks, as ratios to drawing the same desktop
// without frost. Later scenario runs sample the share view 60 times per simulated second.
#include <benchmark/benchmark.h>

#include <memory>

#include "bench_ratio.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "overlay/overlay_manager.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_leak_probe.h"
#include "platform/sim/sim_ui.h"
#include "windows/window_tracker.h"

namespace {

using namespace corvane;

struct FrostedDesktop {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  WindowTracker tracker{desktop.platform()};
  MemoryLog log;
  std::unique_ptr<OverlayManager> manager;
  std::vector<AppRef> apps{{"com.example.editor", "Editor"}, {"com.example.notes", "Notes"}};

  explicit FrostedDesktop(bool frost) {
    const pid_t editor = desktop.launchApp({501, "com.example.editor", "Editor", ActivationPolicy::regular, 0x7A3E9D, false});
    const pid_t notes = desktop.launchApp({502, "com.example.notes", "Notes", ActivationPolicy::regular, 0xC9A227, false});
    const pid_t browser = desktop.launchApp({503, "com.example.browser", "Browser", ActivationPolicy::regular, 0x2E86AB, false});
    auto add = [&](pid_t pid, Rect frame) {
      sim::SimWindow w;
      w.ownerPID = pid;
      w.cornerRadius = 16;
      w.bounds = frame.flipped(982);
      desktop.addWindow(w);
    };
    add(editor, Rect(40, 330, 640, 470));
    add(editor, Rect(520, 60, 520, 360));
    add(notes, Rect(760, 420, 560, 420));
    add(browser, Rect(980, 80, 480, 300));
    desktop.activateApp(notes);
    add(browser, Rect(1080, 560, 380, 260));
    if (!frost) return;
    manager = std::make_unique<OverlayManager>(
        OverlayManager::Dependencies(desktop.ui(), tracker, desktop.workspace(), dispatcher.clock(), log));
    manager->update(tracker.protectedWindows(apps));
    dispatcher.runUntilIdle();
  }
};

FrostedDesktop& plain() {
  static FrostedDesktop d(false);
  return d;
}
FrostedDesktop& frosted() {
  static FrostedDesktop d(true);
  return d;
}

void ShareViewWithoutFrost(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(plain().desktop.renderShareView());
}
BENCHMARK(ShareViewWithoutFrost)->Unit(benchmark::kMillisecond);

void ShareViewWithFrost(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(frosted().desktop.renderShareView());
}
BENCHMARK(ShareViewWithFrost)->Unit(benchmark::kMillisecond);

void LeakProbe(benchmark::State& state) {
  FrostedDesktop& d = frosted();
  std::set<WindowID> watched;
  for (const WindowInfo& w : d.tracker.protectedWindows(d.apps)) watched.insert(WindowID(w.windowNumber));
  sim::LeakReport report;  // reused, as a sampler does
  for (auto _ : state) {
    sim::countLeaks(d.desktop, watched, report);
    benchmark::DoNotOptimize(report.leakedPixels);
  }
}
BENCHMARK(LeakProbe)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter({{"ShareViewWithFrost", "ShareViewWithoutFrost"},
                                          {"LeakProbe", "ShareViewWithoutFrost"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
