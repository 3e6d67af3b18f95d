// The simulated desktop's private window server and audio as a description sets them, and the
// window server's notifications of window changes.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_private_window_server.h"

namespace corvane::sim {
namespace {

using json = nlohmann::json;

TEST(SimSharesTest, DescriptionSetsAndResetsTheSignalsAndRejectsMistakes) {
  VirtualDispatcher dispatcher;
  SimDesktop desktop(dispatcher);
  EXPECT_EQ(desktop.platform().windowServerPrivate, &desktop.privateWindowServer());
  EXPECT_EQ(desktop.platform().audio, &desktop.audio());
  const json described = {
      {"apps", {{{"pid", 600}, {"bundleID", "com.microsoft.teams2"}}}},
      {"windowServer", {{"screenWatcher", true}, {"missingEntryPoints", {"SLSMoveWindow"}}}},
      {"audio", {{"microphoneInUse", true}, {"processes", {{{"pid", 600}, {"output", true}}}}}},
  };
  std::string error;
  ASSERT_TRUE(desktop.load(described, &error)) << error;
  EXPECT_EQ(desktop.privateWindowServer().isScreenWatcherPresent(), true);
  EXPECT_FALSE(desktop.privateWindowServer().has(PrivateEntryPoint::moveWindow));
  Audio& audio = desktop.audio();
  EXPECT_EQ(audio.isRunningOutput(*audio.processObject(600)), 1u);
  EXPECT_EQ(audio.isRunningSomewhere(*audio.defaultInputDevice()), 1u);

  for (const auto& [wrong, message] : std::initializer_list<std::pair<json, std::string>>{
           {{{"windowServer", {{"missingEntryPoints", {"SLSNoSuchCall"}}}}},
            "windowServer.missingEntryPoints[0]: expected an entry point name such as \"SLSIsScreenWatcherPresent\""},
           {{{"audio", {{"processes", {{{"pid", 7}}}}}}}, "audio.processes[0].pid: expected the pid of one of the applications"},
           {{{"audio", {{"speakers", true}}}}, "audio: unknown member \"speakers\""}}) {
    EXPECT_FALSE(desktop.load(wrong, &error));
    EXPECT_EQ(error, message);
  }
  EXPECT_EQ(desktop.privateWindowServer().isScreenWatcherPresent(), true) << "a failed load changes nothing";

  ASSERT_TRUE(desktop.load(json::object(), &error));
  EXPECT_EQ(desktop.privateWindowServer().isScreenWatcherPresent(), false);
  EXPECT_TRUE(desktop.privateWindowServer().has(PrivateEntryPoint::moveWindow));
  EXPECT_EQ(audio.processObject(600), kAudioObjectUnknown);
  EXPECT_EQ(audio.isRunningSomewhere(*audio.defaultInputDevice()), 0u);
}

TEST(SimSharesTest, WindowNotificationsReportWhatCanUncoverTheWindowsBehind) {
  VirtualDispatcher dispatcher;
  SimDesktop desktop(dispatcher);
  SimPrivateWindowServer& server = desktop.privateWindowServer();
  const pid_t app = desktop.launchApp({0, "com.example.app", "App", ActivationPolicy::regular, 0x336699, false});
  auto add = [&](Rect bounds) {
    SimWindow w;
    w.ownerPID = app;
    w.bounds = bounds;
    return desktop.addWindow(w);
  };
  const WindowID a = add({100, 100, 400, 300});
  const WindowID b = add({600, 100, 400, 300});

  EXPECT_EQ(server.registerConnectionNotifyProc(12345, [](const WindowNotice&) {})->status,
            WindowServerError::invalidConnection);
  std::vector<WindowNotice> seen;
  auto registered = server.registerConnectionNotifyProc(SimPrivateWindowServer::kMainConnection,
                                                        [&](const WindowNotice& n) { seen.push_back(n); });
  ASSERT_TRUE(registered && registered->status == WindowServerError::success);
  EXPECT_EQ(server.registeredNotifyProcs(), 1);

  // Each on a later turn of the main queue, at the same instant.
  const double before = dispatcher.mediaTime();
  desktop.setBounds(a, {120, 100, 300, 300});
  EXPECT_TRUE(seen.empty());
  dispatcher.runUntilIdle();
  EXPECT_EQ(dispatcher.mediaTime(), before);
  using N = WindowNotification;
  std::map<WindowID, pid_t> owners{{a, app}, {b, app}};
  auto kinds = [&] {
    std::vector<std::pair<N, WindowID>> out;
    for (const auto& n : seen) {
      EXPECT_EQ(n.ownerPID, owners[n.window]) << n.window;
      out.emplace_back(n.kind, n.window);
    }
    seen.clear();
    return out;
  };
  using Seen = std::vector<std::pair<N, WindowID>>;
  EXPECT_EQ(kinds(), (Seen{{N::moved, a}, {N::resized, a}}));

  // Changes that change nothing say nothing.
  desktop.moveWindow(a, {120, 100});
  desktop.setAlpha(a, 1.0);
  desktop.raiseWindow(b);
  desktop.setLevel(b, Level::normal);
  desktop.setTitle(a, SimTitle::of("Renamed"));
  dispatcher.runUntilIdle();
  EXPECT_EQ(kinds(), Seen{});

  desktop.setMinimised(a, true);
  desktop.setMinimised(a, false);
  desktop.setOnScreen(b, false);
  desktop.setAlpha(b, 0.5);
  desktop.setSharingState(b, WindowSharingState::none);
  desktop.setLevel(b, Level::floating);
  desktop.orderWindow(a, false, 0);
  dispatcher.runUntilIdle();
  EXPECT_EQ(kinds(), (Seen{{N::hidden, a}, {N::ordered, a}, {N::hidden, b}, {N::alphaChanged, b}, {N::sharingChanged, b},
                           {N::ordered, b}}))
      << "a was the only normal window on screen, so sending it back moved nothing";

  // Activation raises the application's windows that were behind another's.
  const pid_t other = desktop.launchApp({0, "com.example.other", "Other", ActivationPolicy::regular, 0x993366, false});
  SimWindow front;
  front.ownerPID = other;
  front.bounds = {0, 0, 800, 600};
  const WindowID c = desktop.addWindow(front);
  owners[c] = other;
  desktop.activateApp(app);
  dispatcher.runUntilIdle();
  EXPECT_EQ(kinds(), (Seen{{N::ordered, a}}));

  // Closing, also by quitting.
  desktop.closeWindow(b);
  desktop.quitApp(other);
  dispatcher.runUntilIdle();
  EXPECT_EQ(kinds(), (Seen{{N::destroyed, b}, {N::destroyed, c}}));

  // Dropped: nothing more arrives, also of what was already on its way.
  desktop.moveWindow(a, {0, 0});
  registered->registration.cancel();
  EXPECT_EQ(server.registeredNotifyProcs(), 0);
  dispatcher.runUntilIdle();
  EXPECT_TRUE(seen.empty());

  server.removeEntryPoint(PrivateEntryPoint::registerConnectionNotifyProc);
  EXPECT_FALSE(server.registerConnectionNotifyProc(SimPrivateWindowServer::kMainConnection, [](const WindowNotice&) {}));
}

}  // namespace
}  // namespace corvane::sim
