// A simulated desktop with the capture helpers and the mirror host running in-process, for the
// notification shield's and the desktop frost's tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "mirrorhost/mirror_host_client.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_leak_probe.h"
#include "in_process_roles.h"

namespace corvane::shieldtest {

class ShieldDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    simtool::runCaptureHelpersInProcess(desktop);
    simtool::runMirrorHostInProcess(desktop, log);
    host = std::make_unique<MirrorHostClient>(desktop.processes(), dispatcher, log,
                                              MirrorHostClient::EventReading::polled);
  }

  // Pixels of `windows` that the share view shows unfrosted.
  uint64_t leaked(const std::set<WindowID>& windows) {
    sim::countLeaks(desktop, windows, leaks);
    return leaks.total();
  }
  // Whether the program's window `number` is on screen.
  bool onScreen(int64_t number) {
    const auto w = desktop.window(WindowID(number));
    return w && w->onScreen;
  }

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  MemoryLog log;
  std::unique_ptr<MirrorHostClient> host;
  sim::LeakReport leaks;
};

}  // namespace corvane::shieldtest
