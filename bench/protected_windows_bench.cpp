// protectedWindows on a busy desktop (80 on-screen windows; Slack, 1Password, a Teams hub family of
// three processes with six windows, a Discord hub window in a call), as a ratio to one plain read of
// the same window list. The classifier's caches are warm, as they are between refresh ticks.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_ratio.h"
#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_accessibility.h"
#include "platform/sim/sim_desktop.h"
#include "windows/meeting_window_classifier.h"
#include "windows/window_tracker.h"

namespace {

using namespace corvane;

sim::SimAXElement button(std::string title) {
  sim::SimAXElement e;
  e.role = "AXButton";
  e.title = std::move(title);
  return e;
}

struct BusyDesktop {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  WindowTracker tracker{desktop.platform()};
  MeetingWindowClassifier classifier{tracker, &desktop.accessibility(), dispatcher};
  std::vector<AppRef> apps = {{"com.tinyspeck.slackmacgap", "Slack"},
                              {"com.1password.1password", "1Password"},
                              {"com.microsoft.teams2", "Microsoft Teams"},
                              {"com.hnc.Discord", "Discord"}};
  size_t onScreen = 0;

  pid_t launch(std::string bundleID, std::string name) {
    return desktop.launchApp(
        sim::SimApp{0, std::move(bundleID), std::move(name), ActivationPolicy::regular, 0x405060, false});
  }
  WindowID add(pid_t pid, Rect bounds, std::string title, std::vector<sim::SimAXElement> tree = {}) {
    sim::SimWindow w;
    w.ownerPID = pid;
    w.bounds = bounds;
    if (!title.empty()) w.title = sim::SimTitle::of(std::move(title));
    const WindowID number = desktop.addWindow(w);
    if (!tree.empty()) {
      sim::SimAXWindow ax;
      ax.children = std::move(tree);
      desktop.accessibility().setWindow(number, std::move(ax));
    }
    ++onScreen;
    return number;
  }

  BusyDesktop() {
    tracker.setClassifier(&classifier);
    desktop.setDisplays({sim::SimDisplay{1, Rect(0, 0, 2560, 1440), 25, 70}});
    desktop.setSelfPID(launch("com.corvane.app", "Corvane"));
    const pid_t slack = launch("com.tinyspeck.slackmacgap", "Slack");
    const pid_t onePassword = launch("com.1password.1password", "1Password");
    const pid_t teams = launch("com.microsoft.teams2", "Microsoft Teams");
    const pid_t helper = launch("com.microsoft.teams2.helper", "Microsoft Teams");
    const pid_t renderer = launch("com.microsoft.teams2.renderer", "Microsoft Teams");
    const pid_t discord = launch("com.hnc.Discord", "Discord");
    add(slack, {40, 60, 900, 700}, "general - Slack");
    add(slack, {980, 60, 600, 500}, "Huddle - Slack");
    add(onePassword, {40, 800, 600, 400}, "All Items - 1Password");
    add(teams, {700, 100, 1100, 800}, "Chat | General | Microsoft Teams");
    add(teams, {760, 160, 1000, 700}, "Calendar | Calendar | Microsoft Teams");
    add(teams, {1900, 900, 400, 300}, "Meeting | Standup", {button("Mute"), button("Leave")});
    add(helper, {720, 120, 1080, 780}, "");
    add(helper, {1300, 300, 500, 400}, "Chat | Design | Microsoft Teams");
    add(renderer, {700, 100, 1100, 800}, "");
    add(discord, {100, 200, 1200, 800}, "General - Discord", {button("Disconnect")});
    for (int a = 0; onScreen < 80; ++a) {
      const pid_t pid = launch("com.example.app" + std::to_string(a), "App " + std::to_string(a));
      for (int w = 0; w < 10 && onScreen < 80; ++w) {
        add(pid, Rect(30.0 * w + 7 * a, 25.0 * w + 5 * a, 400 + 20 * w, 300 + 10 * a), "Document " + std::to_string(w));
      }
    }
    // Warm the caches: one refresh queues the walks, the main queue runs them.
    for (int i = 0; i < 8; ++i) {
      tracker.protectedWindows(apps);
      dispatcher.runUntilIdle();
    }
  }
};

BusyDesktop& busy() {
  static BusyDesktop d;
  return d;
}

void ReadWindowList(benchmark::State& state) {
  WindowServer& server = busy().desktop.windowServer();
  size_t entries = 0;
  for (auto _ : state) {
    auto list = server.copyWindowInfo(WindowTracker::kListOptions, 0);
    entries = list->size();
    benchmark::DoNotOptimize(list);
  }
  state.counters["entries"] = double(entries);
}
BENCHMARK(ReadWindowList);

void ProtectedWindows(benchmark::State& state) {
  BusyDesktop& d = busy();
  size_t found = 0;
  for (auto _ : state) {
    auto windows = d.tracker.protectedWindows(d.apps);
    found = windows.size();
    benchmark::DoNotOptimize(windows);
  }
  state.counters["windows"] = double(found);
}
BENCHMARK(ProtectedWindows);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter({std::make_pair(std::string("ProtectedWindows"), std::string("ReadWindowList"))});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
