// A newer build installed while Corvane runs, played through corvane-sim: the restart waits for a
// safe moment.
#include <gtest/gtest.h>

#include "scenario_play.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

using json = nlohmann::json;

class UpdateScenarioTest : public ScenarioPlayTest {
 protected:
  // The times at which a relauncher was started.
  static std::vector<double> relaunchTimes(const json& report) {
    std::vector<double> times;
    for (const auto& r : report["updates"]["relaunches"]) times.push_back(r["t"].get<double>());
    return times;
  }
  json playTimeline(const json& timeline, double duration) {
    testing::TempDir dir;
    const json scenario = {{"desktopFile", std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo-desktop.json"},
                           {"preferences", {{"protectedApps", json::array()}, {"autoDetectEnabled", true}}},
                           {"duration", duration},
                           {"timeline", timeline}};
    testing::writeFile(dir / "update.json", scenario.dump());
    auto result = play(dir / "update.json");
    EXPECT_EQ(result.status, 0) << result.standardOutput;
    return readReport();
  }
};

TEST_F(UpdateScenarioTest, ABuildInstalledDuringAShareRestartsOnlyOnceTheShareIsOverAndTheUserIdle) {
  const json r = report("update-during-share.json");
  EXPECT_EQ(relaunchTimes(r), std::vector<double>{94.0}) << r["updates"].dump();
  EXPECT_TRUE(r["updates"]["restartingForUpdate"].get<bool>());
  const auto& relaunch = r["updates"]["relaunches"][0];
  EXPECT_EQ(relaunch["program"], "/bin/sh");
  EXPECT_NE(relaunch["arguments"][1].get<std::string>().find("exec \"$0\""), std::string::npos);
}

TEST_F(UpdateScenarioTest, SafeMomentsAsTheUserLivesThem) {
  struct Row {
    const char* what;
    json timeline;
    double duration;
    std::vector<double> relaunches;
  };
  const std::vector<Row> rows = {
      {"a locked screen restarts at once, even with recent input",
       json::array({json{{"at", 1}, {"event", "installBuild"}, {"build", 7}},
                    json{{"at", 2}, {"event", "userInput"}},
                    json{{"at", 2}, {"event", "screenLock"}, {"locked", true}},
                    json{{"at", 3}, {"event", "wake"}}}),
       6, {3.0}},
      {"the microphone blocks a locked screen; the 30-second check restarts once it is free",
       json::array({json{{"at", 1}, {"event", "microphone"}, {"inUse", true}},
                    json{{"at", 1}, {"event", "screenLock"}, {"locked", true}},
                    json{{"at", 1}, {"event", "installBuild"}, {"build", 7}},
                    json{{"at", 2}, {"event", "wake"}},
                    json{{"at", 20}, {"event", "microphone"}, {"inUse", false}}}),
       40, {32.0}},
      {"the running build installed again never restarts",
       json::array({json{{"at", 1}, {"event", "installBuild"}, {"build", 1}},
                    json{{"at", 1}, {"event", "screenLock"}, {"locked", true}},
                    json{{"at", 2}, {"event", "wake"}}}),
       5, {}},
      {"without a wake the 300-second watch finds the build",
       json::array({json{{"at", 1}, {"event", "installBuild"}, {"build", 3}},
                    json{{"at", 1}, {"event", "screenLock"}, {"locked", true}}}),
       305, {300.0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const json r = playTimeline(row.timeline, row.duration);
    EXPECT_EQ(relaunchTimes(r), row.relaunches) << r["updates"].dump();
  }
}

TEST_F(UpdateScenarioTest, CheckForUpdatesSaysUpdatesAreAutomatic) {
  const json r = playTimeline(json::array({json{{"at", 1}, {"event", "chooseMenuItem"}, {"title", "Check for Updates\u2026"}}}), 2);
  ASSERT_EQ(r["updates"]["alerts"].size(), 1u);
  EXPECT_EQ(r["updates"]["alerts"][0]["message"], "Updates are automatic");
  EXPECT_EQ(r["updates"]["alerts"][0]["informative"], "You have Corvane 0.1.0.");
}

}  // namespace
}  // namespace corvane
