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

  pid_t launch(const std::string& bundleID, const std::string& name) {
    return desktop.launchApp(sim::SimApp{0, bundleID, name, ActivationPolicy::regular, 0x405060, false});
  }

  BusyMeeting() {
    desktop.setDisplays({sim::SimDisplay{1, Rect(0, 0, 2560, 1440), 25, 70}});
    desktop.setSelfPID(desktop.launchApp(
        sim::SimApp{0, std::string("com.corvane.app"), std::string("Corvane"), ActivationPolicy::accessory, 0x333333, false}));
    std::vector<AppRef> protectedApps;
    for (int a = 0; a < 20; ++a) {
      const std::string bundleID = "com.example.app" + std::to_string(a);
      pid_t pid = launch(bundleID, "App " + std::to_string(a));
      if (a % 4 == 0) protectedApps.push_back(AppRef{bundleID, "App " + std::to_string(a)});
      for (int w = 0; w < 4; ++w) {
        sim::SimWindow window;
        window.ownerPID = pid;
        window.bounds = Rect(90.0 * w + 37 * a, 40.0 * w + 20 * a, 420, 300);
        window.title = sim::SimTitle::of("Document " + std::to_string(w));
        desktop.addWindow(window);
      }
    }
    pid_t teams = launch("com.microsoft.teams2", "Microsoft Teams");
    protectedApps.push_back(AppRef{"com.microsoft.teams2", "Microsoft Teams"});
    sim::SimWindow chat;
    chat.ownerPID = teams;
    chat.bounds = Rect(1500, 200, 700, 500);
    chat.title = sim::SimTitle::of("Chat | Microsoft Teams");
    desktop.addWindow(chat);
    sim::SimWindow meeting = chat;
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
