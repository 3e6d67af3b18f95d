// One refresh of the privacy controller with Privacy Mode on, over a busy desktop (80 windows of
// 20 applications, five of them protected, plus a Teams hub with a chat and a meeting window): its
// time as a ratio to one plain read of the window list in the same run, and the number of
// window-list reads each refresh makes (one: every question of a refresh is answered from the same
// read). A refresh is meant to cost at most 1% of a 60 Hz frame (167 microseconds).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "app/core_services.h"
#include "app/privacy_controller.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "bench_ratio.h"
#include "busy_desktop.h"
#include "platform/sim/sim_desktop.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"
#include "windows/window_tracker.h"

namespace {

using namespace corvane;

struct BusyMeeting {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  MemoryLog log;
  MemoryDefaultsStore defaults;
  Preferences prefs{defaults, dispatcher, log};
  std::unique_ptr<CoreServices> services;
  std::unique_ptr<PrivacyController> controller;

  BusyMeeting() {
    const bench::BusyDesktop busy = bench::furnishBusyDesktop(desktop);
    const std::vector<AppRef>& protectedApps = busy.protectedApps;
    sim::SimWindow meeting = busy.teamsChat;
    meeting.bounds = Rect(1500, 760, 500, 360);
    meeting.title = sim::SimTitle::of("Meeting with Design team | Microsoft Teams");
    desktop.addWindow(meeting);

    prefs.protectedApps.set(protectedApps);
    prefs.autoDetectEnabled.set(false);
    services = std::make_unique<CoreServices>(desktop.platform(), log);
    controller = std::make_unique<PrivacyController>(*services, prefs);
    controller->start();
    controller->setPrivacy(true, false);
    dispatcher.runUntilIdle();
  }
};

BusyMeeting& meeting() {
  static BusyMeeting m;
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

void Refresh(benchmark::State& state) {
  BusyMeeting& m = meeting();
  const uint64_t readsBefore = m.desktop.windowListReads();
  for (auto _ : state) {
    m.controller->refresh();
    // The overlays' window changes are committed at the end of the main queue's turn.
    m.dispatcher.runUntilIdle();
  }
  state.counters["windowListReadsPerRefresh"] =
      double(m.desktop.windowListReads() - readsBefore) / double(std::max<int64_t>(state.iterations(), 1));
  state.counters["overlays"] = double(m.controller->overlays().overlays().size());
}
BENCHMARK(Refresh);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter({std::make_pair(std::string("Refresh"), std::string("WindowListRead"))});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
