// End to end: corvane-sim plays the bundled leak scenarios (windows above the normal level,
// translucent windows in front, window corners and many holes, the softest frost, windows in front
// that go away) and the report says the share never showed a protected pixel once the frost had
// settled.
#include <string>

#include <nlohmann/json.hpp>

#include "app/scenario_play.h"

namespace corvane {
namespace {

using json = nlohmann::json;

class LeakScenariosTest : public ScenarioPlayTest {
 protected:
  // Plays scenarios/NAME.json and returns its report.
  json play(const std::string& name) { return report(name + ".json"); }
  static int64_t category(const json& report, const char* name) { return report["leaks"][name].get<int64_t>(); }
  static bool leaked(const json& report, int window) {
    return report["leakedPixelMs"].contains(std::to_string(window));
  }
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

// Translucent windows in front of the frontmost protected window cut no hole; square-cornered and
// barely rounded windows and more than ten holes leave no corner uncovered; the softest frost still
// hides the titles. Only the first moves a window.
TEST_F(LeakScenariosTest, TranslucentFrontsCornersManyHolesAndTheSoftestFrostLeaveNothingSteady) {
  struct Case {
    const char* name;
    int64_t maxMotionFrames;
  };
  for (const Case& c : {Case{"leak-translucent-front", 7}, Case{"leak-corners", 0}, Case{"leak-weak-frost", 0}}) {
    SCOPED_TRACE(c.name);
    const json report = play(c.name);
    EXPECT_EQ(category(report, "steadyFrames"), 0) << report["leakSpans"].dump();
    EXPECT_LE(category(report, "appearFrames"), 7);
    EXPECT_LE(category(report, "motionFrames"), c.maxMotionFrames);
  }
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
