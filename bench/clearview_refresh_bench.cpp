// One refresh of the privacy controller with Privacy Mode and Clear View on, over a busy desktop
// (80 windows of 20 applications, five of them protected, plus a Teams hub), every covered window
// with a live mirror: its capture helper and the mirror host run in-process on the virtual clock.
// Its time as a ratio to one plain read of the window list in the same run, and, as counters, how
// many commands each refresh sends the mirror host once nothing changes (meant to be none) and how
// many mirrors show a live frame.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/core_services.h"
#include "app/privacy_controller.h"
#include "base/files.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "bench_ratio.h"
#include "busy_desktop.h"
#include "in_process_roles.h"
#include "mirrorhost/mirror_host_client.h"
#include "platform/sim/sim_desktop.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"
#include "windows/window_tracker.h"

namespace {

using namespace corvane;

struct LiveMirrors {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  MemoryLog log;
  MemoryDefaultsStore defaults;
  Preferences prefs{defaults, dispatcher, log};
  PrivateDirectory frames{std::filesystem::temp_directory_path().string(), "corvane-bench-frames-"};
  std::unique_ptr<MirrorHostClient> client;
  std::unique_ptr<CoreServices> services;
  std::unique_ptr<PrivacyController> controller;

  LiveMirrors() {
    const std::vector<AppRef> protectedApps = bench::furnishBusyDesktop(desktop).protectedApps;

    simtool::runCaptureHelpersInProcess(desktop);
    simtool::runMirrorHostInProcess(desktop, log);
    client = std::make_unique<MirrorHostClient>(desktop.processes(), dispatcher, log,
                                                MirrorHostClient::EventReading::polled);
    MirrorHostClient::install(client.get());
    prefs.protectedApps.set(protectedApps);
    prefs.autoDetectEnabled.set(false);
    services = std::make_unique<CoreServices>(desktop.platform(), log);
    services->sharedFrameDirectory = frames.path();
    controller = std::make_unique<PrivacyController>(*services, prefs);
    controller->start();
    controller->setPrivacy(true, false);
    // A second of refreshes: helpers start, the host confirms every exclusion, frames arrive.
    dispatcher.advance(1.0);
    dispatcher.runUntilIdle();
  }
  ~LiveMirrors() {
    controller.reset();
    services.reset();
    MirrorHostClient::install(nullptr);
  }

  int liveMirrors() const {
    int live = 0;
    for (const auto& [id, plate] : client->plates()) live += plate->hasFrame && plate->isVisible;
    return live;
  }
};

LiveMirrors& meeting() {
  static LiveMirrors m;
  return m;
}

void WindowListRead(benchmark::State& state) {
  WindowServer& server = meeting().desktop.windowServer();
  for (auto _ : state) {
    auto list = server.copyWindowInfo(WindowTracker::kListOptions, 0);
    benchmark::DoNotOptimize(list);
  }
}
BENCHMARK(WindowListRead);

void ClearViewRefresh(benchmark::State& state) {
  LiveMirrors& m = meeting();
  const uint64_t commandsBefore = m.client->commandsSent();
  for (auto _ : state) {
    m.controller->refresh();
    m.dispatcher.runUntilIdle();
  }
  const double iterations = double(std::max<int64_t>(state.iterations(), 1));
  state.counters["hostCommandsPerRefresh"] = double(m.client->commandsSent() - commandsBefore) / iterations;
  state.counters["liveMirrors"] = double(m.liveMirrors());
  state.counters["overlays"] = double(m.controller->overlays().overlays().size());
}
BENCHMARK(ClearViewRefresh);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter({std::make_pair(std::string("ClearViewRefresh"), std::string("WindowListRead"))});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
