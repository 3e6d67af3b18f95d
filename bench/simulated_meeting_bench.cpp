// What corvane-sim spends on the demo meeting while the share is on, against drawing one share view
// of the same desktop at the same moment (the baseline, measured first in the same run):
//
//   DemoLeakProbe   the leak probe of one sample (what the share shows of the protected windows);
//   DemoSample      one whole sample: 1/60 s of the application's own work in virtual time (timers,
//                   detector polls, refreshes) and the runner's probe;
//   DemoWholeRun    the whole demo, 14 simulated seconds, pictures included.
//
// Each prints, as counters, its CPU time per iteration divided by the baseline's ("perShareView")
// and, for the sample and the whole run, the simulated seconds played per CPU second
// ("simSecondsPerCpuSecond"; a sample covers 1/60 s). CPU time, not wall time, because other work
// on these machines stretches wall time unevenly.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "bench_ratio.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_leak_probe.h"
#include "scenario.h"
#include "scenario_runner.h"

namespace {

using namespace corvane;

constexpr double kSamplePeriod = 1.0 / 60;
// By then the call has started, the share is on and the frost is in place.
constexpr double kDuringShare = 3.0;

double cpuNow() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string demoPath() { return std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo.json"; }

std::string freshDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) std::abort();
  return pattern;
}

// The demo played up to the share, then held there: the timeline stops before the share would end.
struct DemoDuringShare {
  std::string outDir = freshDirectory();
  simtool::Scenario scenario;
  std::unique_ptr<simtool::ScenarioPlayer> player;
  double t = kDuringShare;

  DemoDuringShare() {
    std::string error;
    auto loaded = simtool::loadScenario(demoPath(), &error);
    if (!loaded) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
    scenario = *loaded;
    std::erase_if(scenario.events, [](const simtool::ScenarioEvent& e) { return e.at > kDuringShare || e.kind == "picture"; });
    scenario.duration = 1e9;
    player = std::make_unique<simtool::ScenarioPlayer>(scenario, outDir);
    if (!player->start(&error) || !player->playUntil(t, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
  }
  ~DemoDuringShare() {
    player.reset();
    std::error_code ec;
    std::filesystem::remove_all(outDir, ec);
  }
};

DemoDuringShare& demo() {
  static DemoDuringShare d;
  return d;
}

double baselineSeconds = 0;  // CPU time of one share-view render of the demo during the share

// Runs `body` for the benchmark's iterations and returns the CPU seconds per iteration.
template <typename Body>
double timed(benchmark::State& state, Body&& body) {
  const double start = cpuNow();
  for (auto _ : state) body();
  return state.iterations() > 0 ? (cpuNow() - start) / double(state.iterations()) : 0;
}

void setRatios(benchmark::State& state, double perIteration, double simulatedSeconds) {
  if (baselineSeconds > 0) state.counters["perShareView"] = perIteration / baselineSeconds;
  if (simulatedSeconds > 0 && perIteration > 0) state.counters["simSecondsPerCpuSecond"] = simulatedSeconds / perIteration;
}

void DemoShareView(benchmark::State& state) {
  const sim::SimDesktop& desktop = demo().player->desktop();
  baselineSeconds = timed(state, [&] { benchmark::DoNotOptimize(desktop.renderShareView()); });
}
BENCHMARK(DemoShareView)->Unit(benchmark::kMillisecond);

void DemoLeakProbe(benchmark::State& state) {
  DemoDuringShare& d = demo();
  const std::set<WindowID> watched = d.player->mustNotBeSeen();
  if (watched.empty()) state.SkipWithError("nothing to probe: the demo's frost is not in force");
  sim::LeakReport report;
  const double each = timed(state, [&] {
    sim::countLeaks(d.player->desktop(), watched, report);
    benchmark::DoNotOptimize(report.leakedPixels);
  });
  if (!report.isClean()) state.SkipWithError("the demo leaks during the share");
  setRatios(state, each, 0);
}
BENCHMARK(DemoLeakProbe)->Unit(benchmark::kMillisecond);

void DemoSample(benchmark::State& state) {
  DemoDuringShare& d = demo();
  std::string error;
  const double each = timed(state, [&] {
    d.t += kSamplePeriod;
    if (!d.player->playUntil(d.t, &error)) std::abort();
  });
  setRatios(state, each, kSamplePeriod);
}
BENCHMARK(DemoSample)->Unit(benchmark::kMillisecond);

void DemoWholeRun(benchmark::State& state) {
  std::string error;
  auto scenario = simtool::loadScenario(demoPath(), &error);
  if (!scenario) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::string outDir = freshDirectory();
  const double each = timed(state, [&] {
    auto result = simtool::runScenario(*scenario, outDir);
    if (!result.ok) std::abort();
  });
  std::error_code ec;
  std::filesystem::remove_all(outDir, ec);
  setRatios(state, each, scenario->duration);
}
BENCHMARK(DemoWholeRun)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter({{"DemoLeakProbe", "DemoShareView"},
                                          {"DemoSample", "DemoShareView"},
                                          {"DemoWholeRun/iterations:1", "DemoShareView"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
