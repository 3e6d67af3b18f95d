// The X11 backend on a virtual X server with a window manager, against an xcb round trip
// measured in the same run: reading the window list with 50 client windows, one refresh of the
// privacy controller with 10 protected windows, and the time from a window manager's move of a
// protected window to the frost being in place in the root window's image (what a share records).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "app/core_services.h"
#include "app/privacy_controller.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "bench_ratio.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_desktop.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"
#include "x11/x11_fixture.h"
#include "x11/x11_wm.h"

namespace corvane::x11 {
namespace {

constexpr uint32_t kSecret[2] = {0xc0ffee, 0x7a0b1c};
constexpr uint32_t kPlain[2] = {0x123456, 0x654321};

// 40 plain windows and 10 protected ones, with the whole application running over them.
struct Desktop {
  Desktop() {
    for (int i = 0; i < 50; ++i) {
      const bool secret = i % 5 == 0;
      char geometry[64];
      std::snprintf(geometry, sizeof geometry, "160x120+%d+%d", 20 + (i % 10) * 90, 20 + (i / 10) * 120);
      apps.push_back(std::make_unique<test::TestApp>(secret ? "SecretApp" : "PlainApp", "Window " + std::to_string(i),
                                                     geometry, secret ? kSecret[0] : kPlain[0],
                                                     secret ? kSecret[1] : kPlain[1]));
    }
    std::string error;
    desktop = X11Desktop::open(dispatcher, nullptr, log, &error);
    if (!desktop) return;
    desktop->setDefaultsStore(&defaults);
    preferences = std::make_unique<Preferences>(defaults, dispatcher, log);
    // Without a desktop entry the identifier is the window's class.
    preferences->protectedApps.set({{"SecretApp", "Secret"}});
    preferences->autoDetectEnabled.set(false);
    services = std::make_unique<CoreServices>(desktop->platform(), log);
    controller = std::make_unique<PrivacyController>(*services, *preferences);
    controller->start();
    controller->setPrivacy(true, true);
    test::waitFor([&] {
      step();
      return leaks() == 0;
    }, 20);
  }
  ~Desktop() {
    controller.reset();
    services.reset();
  }
  void step() {
    desktop->connection().roundTrip();
    desktop->processEvents();
    dispatcher.advance(PrivacyController::kRefreshInterval);
  }
  size_t leaks() {
    desktop->connection().roundTrip();
    WindowServer& ws = desktop->platform().windowServer;
    auto image = ws.captureDisplay(ws.mainDisplayID());
    return image ? test::countColor(*image, kSecret, 2) : SIZE_MAX;
  }

  std::vector<std::unique_ptr<test::TestApp>> apps;
  VirtualDispatcher dispatcher;
  MemoryLog log;
  MemoryDefaultsStore defaults;
  std::unique_ptr<X11Desktop> desktop;
  std::unique_ptr<Preferences> preferences;
  std::unique_ptr<CoreServices> services;
  std::unique_ptr<PrivacyController> controller;
};

Desktop* shared() {
  static std::unique_ptr<Desktop> d = [] {
    std::string reason;
    if (!test::VirtualX::shared(&reason)) {
      std::fprintf(stderr, "x11_bench: %s\n", reason.c_str());
      return std::unique_ptr<Desktop>();
    }
    auto desktop = std::make_unique<Desktop>();
    return desktop->desktop ? std::move(desktop) : std::unique_ptr<Desktop>();
  }();
  return d.get();
}

void RoundTrip(benchmark::State& state) {
  Desktop* d = shared();
  if (!d) return state.SkipWithError("no virtual X server");
  for (auto _ : state) benchmark::DoNotOptimize(d->desktop->connection().roundTrip());
}

void WindowList(benchmark::State& state) {
  Desktop* d = shared();
  if (!d) return state.SkipWithError("no virtual X server");
  WindowServer& ws = d->desktop->platform().windowServer;
  for (auto _ : state) {
    auto list = ws.copyWindowInfo(WindowListOption::onScreenOnly, 0);
    benchmark::DoNotOptimize(list);
  }
}

void RefreshTenProtected(benchmark::State& state) {
  Desktop* d = shared();
  if (!d) return state.SkipWithError("no virtual X server");
  for (auto _ : state) {
    d->controller->refresh();
    d->dispatcher.advance(0);  // the overlays' commits
  }
}

// From the window manager's move of a protected window to a share with no pixel of it.
void FrostAfterMove(benchmark::State& state) {
  Desktop* d = shared();
  if (!d) return state.SkipWithError("no virtual X server");
  test::TestApp& secret = *d->apps.front();
  int step = 0;
  for (auto _ : state) {
    const int x = 300 + (step++ % 2) * 200;
    test::moveByWindowManager(d->desktop->connection().xcb(), secret.window, x, 500);
    test::waitFor([&] {
      auto o = test::clientOrigin(d->desktop->connection().xcb(), secret.window);
      return o && int(o->x) == x;
    });
    if (!test::waitFor([&] {
          d->desktop->connection().roundTrip();
          d->desktop->processEvents();
          d->dispatcher.advance(0);
          if (d->leaks() == 0) return true;
          d->dispatcher.advance(PrivacyController::kRefreshInterval);
          return false;
        })) {
      state.SkipWithError("the frost did not follow");
      break;
    }
  }
}

BENCHMARK(RoundTrip)->Unit(benchmark::kMicrosecond);
BENCHMARK(WindowList)->Unit(benchmark::kMicrosecond);
BENCHMARK(RefreshTenProtected)->Unit(benchmark::kMicrosecond);
BENCHMARK(FrostAfterMove)->Unit(benchmark::kMicrosecond)->Iterations(10);

}  // namespace
}  // namespace corvane::x11

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter({{"WindowList", "RoundTrip"},
                                          {"RefreshTenProtected", "RoundTrip"},
                                          {"FrostAfterMove/iterations:10", "RoundTrip"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
