// The busy desktop the refresh benchmarks run over: one 2560 x 1440 display, Corvane itself, 20
// applications of 4 overlapping windows each (every fourth application protected) and a Teams
// hub with its chat window (protected).
#pragma once

#include <string>
#include <vector>

#include "platform/sim/sim_desktop.h"
#include "settings/app_ref.h"

namespace corvane::bench {

struct BusyDesktop {
  std::vector<AppRef> protectedApps;
  pid_t teamsPID = 0;
  sim::SimWindow teamsChat;
};

inline BusyDesktop furnishBusyDesktop(sim::SimDesktop& desktop) {
  auto launch = [&desktop](const std::string& bundleID, const std::string& name) {
    return desktop.launchApp(sim::SimApp{0, bundleID, name, ActivationPolicy::regular, 0x405060, false});
  };
  desktop.setDisplays({sim::SimDisplay{1, Rect(0, 0, 2560, 1440), 25, 70}});
  desktop.setSelfPID(desktop.launchApp(
      sim::SimApp{0, std::string("com.corvane.app"), std::string("Corvane"), ActivationPolicy::accessory, 0x333333, false}));
  BusyDesktop result;
  for (int a = 0; a < 20; ++a) {
    const std::string bundleID = "com.example.app" + std::to_string(a);
    pid_t pid = launch(bundleID, "App " + std::to_string(a));
    if (a % 4 == 0) result.protectedApps.push_back(AppRef{bundleID, "App " + std::to_string(a)});
    for (int w = 0; w < 4; ++w) {
      sim::SimWindow window;
      window.ownerPID = pid;
      window.bounds = Rect(90.0 * w + 37 * a, 40.0 * w + 20 * a, 420, 300);
      window.title = sim::SimTitle::of("Document " + std::to_string(w));
      desktop.addWindow(window);
    }
  }
  result.teamsPID = launch("com.microsoft.teams2", "Microsoft Teams");
  result.protectedApps.push_back(AppRef{"com.microsoft.teams2", "Microsoft Teams"});
  result.teamsChat.ownerPID = result.teamsPID;
  result.teamsChat.bounds = Rect(1500, 200, 700, 500);
  result.teamsChat.title = sim::SimTitle::of("Chat | Microsoft Teams");
  desktop.addWindow(result.teamsChat);
  return result;
}

}  // namespace corvane::bench
