// The bundled meeting with banners and the desktop frost, played end to end through corvane-sim.
#include <gtest/gtest.h>

#include "scenario_play.h"

namespace corvane {
namespace {

using ShieldScenarios = ScenarioPlayTest;

TEST_F(ShieldScenarios, BannersAndTheDesktopNeverReachTheShareWhileTheUserStillSeesThem) {
  std::string output;
  const auto report = this->report("meeting-shields.json", &output);
  ASSERT_TRUE(report.contains("leaks")) << output;
  // Three banners: at rest, during a Command-Tab, during a drag.
  EXPECT_EQ(report["leaks"]["notificationFrames"], 0) << output;
  EXPECT_EQ(report["leaks"]["desktopFrames"], 0) << output;
  EXPECT_EQ(report["leaks"]["steadyFrames"], 0) << output;
  ASSERT_TRUE(report["clearView"]["desktopFidelity"].is_number()) << report["clearView"].dump();
  EXPECT_GE(report["clearView"]["desktopFidelity"].get<double>(), 0.99);
  ASSERT_TRUE(report["clearView"]["notificationFidelity"].is_number()) << report["clearView"].dump();
  EXPECT_GE(report["clearView"]["notificationFidelity"].get<double>(), 0.99);
  for (const char* picture : {"banner-share.png", "banner-local.png", "desktop-share.png", "desktop-local.png"}) {
    EXPECT_TRUE(std::filesystem::exists(out / picture)) << picture;
  }
}

}  // namespace
}  // namespace corvane
