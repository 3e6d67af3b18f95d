// End to end: corvane-sim plays the bundled demo meeting and the report says what the share saw.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/virtual_dispatcher.h"
#include "platform/posix/posix_processes.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

class SimulatedMeetingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    out = fs::temp_directory_path() / ("corvane-meeting-" + std::to_string(::getpid()));
    fs::remove_all(out);
  }
  void TearDown() override { fs::remove_all(out); }

  CommandResult play(const std::string& scenario) {
    return processes.runCommand("/bin/sh", {"-c", std::string(CORVANE_SIM_EXE) + " " + scenario + " --out " +
                                                     out.string() + " 2>&1"});
  }

  VirtualDispatcher dispatcher;
  PosixProcesses processes{dispatcher};
  fs::path out;
};

TEST_F(SimulatedMeetingTest, TheDemoSharesNoProtectedPixelAndKeepsTheMeetingClear) {
  auto result = play(std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo.json");
  ASSERT_EQ(result.status, 0) << result.standardOutput;
  std::string error;
  auto text = readFileText((out / "report.json").string(), &error);
  ASSERT_TRUE(text) << error;
  json report = json::parse(*text);

  EXPECT_EQ(report["frames"].get<int>(), 14 * 60 + 1);
  EXPECT_EQ(report["leaks"]["steadyFrames"].get<int>(), 0) << report["leakSpans"].dump();
  EXPECT_EQ(report["frostedMeetingFrames"].get<int>(), 0);

  // The share starts at 2.0 s and ends at 10.0 s.
  const json& timeline = report["timeline"];
  ASSERT_EQ(timeline.size(), 2u) << timeline.dump();
  EXPECT_TRUE(timeline[0]["privacy"].get<bool>());
  EXPECT_GE(timeline[0]["t"].get<double>(), 2.0);
  EXPECT_LE(timeline[0]["t"].get<double>(), 2.25);
  EXPECT_FALSE(timeline[1]["privacy"].get<bool>());
  EXPECT_GE(timeline[1]["t"].get<double>(), 12.0);
  EXPECT_LE(timeline[1]["t"].get<double>(), 12.25);
  // Never less than the release delay after the detector last saw the share.
  const json& signal = report["shareSignal"];
  ASSERT_GE(signal.size(), 2u);
  EXPECT_GE(timeline[1]["t"].get<double>() - 10.0, 2.0 - 1e-9);

  for (const char* name : {"sharing", "slack-revealed", "covered-again"}) {
    EXPECT_TRUE(fs::exists(out / (std::string(name) + "-share.png"))) << name;
    EXPECT_TRUE(fs::exists(out / (std::string(name) + "-local.png"))) << name;
  }
  EXPECT_NE(result.standardOutput.find("0 steady"), std::string::npos) << result.standardOutput;
  EXPECT_EQ(report["leaks"]["unprobedFrames"].get<int>(), 0);
  // The run states its own speed.
  EXPECT_GT(report["speed"]["simulatedSecondsPerCpuSecond"].get<double>(), 0);
  EXPECT_GT(report["speed"]["cpuSeconds"].get<double>(), 0);
  EXPECT_NE(result.standardOutput.find("simulated seconds per CPU second"), std::string::npos) << result.standardOutput;
}

// Every display is probed and pictured. The new Slack window opens on the second display and shows
// for the moment before the next refresh frosts it; after that it stays covered.
TEST_F(SimulatedMeetingTest, EveryDisplayIsProbedAndPictured) {
  auto result = play(std::string(CORVANE_SOURCE_DIR) + "/scenarios/two-displays.json");
  ASSERT_EQ(result.status, 0) << result.standardOutput;
  std::string error;
  auto text = readFileText((out / "report.json").string(), &error);
  ASSERT_TRUE(text) << error;
  json report = json::parse(*text);

  EXPECT_EQ(report["leaks"]["steadyFrames"].get<int>(), 0) << report["leakSpans"].dump();
  EXPECT_EQ(report["leaks"]["unprobedFrames"].get<int>(), 0);
  EXPECT_GT(report["leaks"]["appearFrames"].get<int>(), 0) << "the new window on the second display is probed";
  EXPECT_LE(report["leaks"]["appearFrames"].get<int>(), 6);
  EXPECT_EQ(report["leakedPixelMs"].size(), 1u) << report["leakedPixelMs"].dump();
  EXPECT_TRUE(report["leakedPixelMs"].contains("102")) << report["leakedPixelMs"].dump();

  for (const char* name : {"sharing-share.png", "sharing-local.png", "sharing-share-2.png", "sharing-local-2.png"}) {
    EXPECT_TRUE(fs::exists(out / name)) << name;
  }
  ASSERT_EQ(report["pictures"][0]["otherDisplays"].size(), 1u);
  EXPECT_EQ(report["pictures"][0]["otherDisplays"][0]["display"].get<int>(), 2);
}

// A protected window on a display too large to draw: the share there is unknown, so the run says
// so and fails rather than reporting no leaks.
TEST_F(SimulatedMeetingTest, ADisplayThatCannotBeDrawnFailsTheRun) {
  fs::create_directories(out);
  const std::string path = (out / "huge.json").string();
  std::string error;
  ASSERT_TRUE(writeFileText(R"({"name": "huge", "duration": 1,
      "desktop": {
        "displays": [{"id": 1, "frame": [0, 0, 800, 600]}, {"id": 7, "frame": [800, 0, 40000, 600]}],
        "apps": [{"pid": 501, "bundleID": "com.tinyspeck.slackmacgap", "name": "Slack"}],
        "windows": [{"number": 101, "pid": 501, "bounds": [1000, 100, 400, 300]}]},
      "preferences": {"protectedApps": [{"bundleID": "com.tinyspeck.slackmacgap", "name": "Slack"}],
                      "autoDetectEnabled": false},
      "timeline": []})",
                            path, &error))
      << error;
  auto result = play(path);
  EXPECT_EQ(result.status, 1) << result.standardOutput;
  EXPECT_EQ(result.standardOutput.find("no protected pixel was ever shared"), std::string::npos) << result.standardOutput;
  // A loader that refuses such a display outright is just as honest; one that plays it must say
  // which samples went unprobed.
  if (fs::exists(out / "report.json")) {
    EXPECT_NE(result.standardOutput.find("could not be probed (display 7 is too large to draw)"), std::string::npos)
        << result.standardOutput;
    auto text = readFileText((out / "report.json").string(), &error);
    ASSERT_TRUE(text) << error;
    EXPECT_EQ(json::parse(*text)["leaks"]["unprobedFrames"].get<int>(), 61);
  }
}

TEST_F(SimulatedMeetingTest, BadScenarioInputNamesTheFileAndTheEvent) {
  fs::create_directories(out);
  const std::string path = (out / "broken.json").string();
  std::string error;
  ASSERT_TRUE(writeFileText(R"({"desktopFile": ")" + std::string(CORVANE_SOURCE_DIR) +
                                R"(/scenarios/demo-desktop.json", "duration": 2,
        "timeline": [{"at": 0.5, "event": "picture", "name": "ok"},
                     {"at": 1.0, "event": "startShare", "kind": "carrier-pigeon"}]})",
                            path, &error))
      << error;
  auto result = play(path);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.standardOutput.find(path), std::string::npos) << result.standardOutput;
  EXPECT_NE(result.standardOutput.find("timeline[1] (startShare at 1.00 s)"), std::string::npos) << result.standardOutput;
  EXPECT_NE(result.standardOutput.find("kind"), std::string::npos) << result.standardOutput;
  // Nothing ran: no report.
  EXPECT_FALSE(fs::exists(out / "report.json"));

  // An event that fits the format but not the desktop stops the run with the same precision.
  ASSERT_TRUE(writeFileText(R"({"desktopFile": ")" + std::string(CORVANE_SOURCE_DIR) +
                                R"(/scenarios/demo-desktop.json", "duration": 2,
        "timeline": [{"at": 1.0, "event": "closeWindow", "number": 4242}]})",
                            path, &error));
  result = play(path);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.standardOutput.find("timeline[0] (closeWindow at 1.00 s): no window 4242"), std::string::npos)
      << result.standardOutput;
}

}  // namespace
}  // namespace corvane
