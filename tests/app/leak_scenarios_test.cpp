// End to end: corvane-sim plays the bundled leak scenarios (windows above the normal level,
// translucent windows in front, window corners and many holes, the softest frost, windows in front
// that go away) and the report says the share never showed a protected pixel once the frost had
// settled.
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

class LeakScenariosTest : public ::testing::Test {
 protected:
  void SetUp() override {
    out = fs::temp_directory_path() / ("corvane-leak-scenarios-" + std::to_string(::getpid()));
    fs::remove_all(out);
  }
  void TearDown() override { fs::remove_all(out); }

  // Plays scenarios/NAME.json and returns its report.
  json play(const std::string& name) {
    const std::string scenario = std::string(CORVANE_SOURCE_DIR) + "/scenarios/" + name + ".json";
    auto result = processes.runCommand(
        "/bin/sh", {"-c", std::string(CORVANE_SIM_EXE) + " " + scenario + " --out " + out.string() + " 2>&1"});
    EXPECT_EQ(result.status, 0) << result.standardOutput;
    std::string error;
    auto text = readFileText((out / "report.json").string(), &error);
    EXPECT_TRUE(text) << error;
    return text ? json::parse(*text) : json::object();
  }
  static int64_t category(const json& report, const char* name) { return report["leaks"][name].get<int64_t>(); }
  static bool leaked(const json& report, int window) {
    return report["leakedPixelMs"].contains(std::to_string(window));
  }

  VirtualDispatcher dispatcher;
  PosixProcesses processes{dispatcher};
  fs::path out;
};

TEST_F(LeakScenariosTest, PanelsAndPopUpsOfProtectedApplicationsAreFrostedAtTheirOwnLevel) {
  const json report = play("leak-elevated-panels");
  EXPECT_EQ(category(report, "steadyFrames"), 0) << report["leakSpans"].dump();
  // The probe watches them: the prompt, the generator and the menu show until the next refresh
  // (at most 0.1 s, six samples each) frosts them, and only then.
  for (int window : {670, 680, 690}) EXPECT_TRUE(leaked(report, window)) << window;
  EXPECT_GT(category(report, "appearFrames"), 0);
  EXPECT_LE(category(report, "appearFrames"), 3 * 7);
  EXPECT_LE(category(report, "motionFrames"), 7) << "the quick-access panel's move";
}

TEST_F(LeakScenariosTest, TranslucentWindowsInFrontCutNoHole) {
  const json report = play("leak-translucent-front");
  EXPECT_EQ(category(report, "steadyFrames"), 0) << report["leakSpans"].dump();
  EXPECT_LE(category(report, "appearFrames"), 7);
  EXPECT_LE(category(report, "motionFrames"), 7);
}

TEST_F(LeakScenariosTest, SquareCornersAndManyRoundedHolesLeaveNothingUncovered) {
  const json report = play("leak-corners");
  EXPECT_EQ(category(report, "steadyFrames"), 0) << report["leakSpans"].dump();
  EXPECT_EQ(category(report, "motionFrames"), 0);
  EXPECT_LE(category(report, "appearFrames"), 7);
}

TEST_F(LeakScenariosTest, TheSoftestFrostStillHidesTheTitles) {
  const json report = play("leak-weak-frost");
  EXPECT_EQ(category(report, "steadyFrames"), 0) << report["leakSpans"].dump();
  EXPECT_EQ(category(report, "motionFrames"), 0);
  EXPECT_LE(category(report, "appearFrames"), 7);
}

TEST_F(LeakScenariosTest, AHoleGoesWithTheWindowInFrontBeforeTheNextFrame) {
  // Closed, minimised, moved away, its application quit: each between two of the timer's
  // refreshes, so a hole that waited for the next one would show Slack for about five samples.
  const json report = play("leak-front-window-closes");
  EXPECT_EQ(category(report, "steadyFrames"), 0) << report["leakSpans"].dump();
  EXPECT_EQ(category(report, "appearFrames"), 0);
  EXPECT_EQ(category(report, "motionFrames"), 0);
  EXPECT_FALSE(leaked(report, 850));
  ASSERT_EQ(report["timeline"].size(), 1u);
  EXPECT_TRUE(report["timeline"][0]["privacy"].get<bool>()) << "the probe watched the whole run";
}

}  // namespace
}  // namespace corvane
