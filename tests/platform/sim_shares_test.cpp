// The simulated desktop's private window server and audio as a description sets them.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace corvane::sim
