// End to end: corvane-sim plays the Clear View scenarios and the report says what the user saw of
// each covered window (local fidelity, staleness of its live line) while the share saw frost, and
// how Clear View gives way where it cannot keep its mirrors out of captures.
#include <cmath>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/scenario_play.h"

namespace corvane {
namespace {

using json = nlohmann::json;

class ClearViewScenariosTest : public ScenarioPlayTest {
 protected:
  static const json& window(const json& report, int number) {
    return report["clearView"]["localFidelity"]["perWindow"][std::to_string(number)];
  }
  // The share of the window's content the user saw at time t (the sample nearest to it).
  static double seenAt(const json& report, int number, double t) {
    double best = -1, bestGap = 1e9;
    for (const json& sample : window(report, number)["samples"]) {
      const double gap = std::abs(sample[0].get<double>() - t);
      if (gap < bestGap) bestGap = gap, best = sample[1].get<double>();
    }
    return best;
  }
  static size_t logged(const json& report, const std::string& text) {
    size_t n = 0;
    for (const json& entry : report["clearViewLog"]) n += entry["line"].get<std::string>().find(text) != std::string::npos;
    return n;
  }
  static void expectNoLeak(const json& report) {
    for (const char* kind : {"steadyFrames", "appearFrames", "motionFrames"}) {
      EXPECT_EQ(report["leaks"][kind].get<int64_t>(), 0) << kind << " " << report["leakSpans"].dump();
    }
  }
};

TEST_F(ClearViewScenariosTest, DemoShowsTheUserLiveWindowsAndTheShareFrost) {
  const json report = this->report("demo.json");
  expectNoLeak(report);
  const json& fidelity = report["clearView"]["localFidelity"];
  EXPECT_GE(fidelity["minAtRest"].get<double>(), 0.99);
  for (int number : {101, 120, 140}) {
    SCOPED_TRACE(number);
    EXPECT_GE(window(report, number)["minAtRest"].get<double>(), 0.99);
    EXPECT_GT(window(report, number)["changesShown"].get<int64_t>(), 2);
  }
  const json& stale = report["clearView"]["staleFrames"];
  EXPECT_LE(stale["max"].get<int64_t>(), 2);
  EXPECT_EQ(stale["changesNotShown"].get<int64_t>(), 0);
  for (const json& p : report["pictures"]) {
    if (p["name"] == "sharing") {
      EXPECT_TRUE(p["clearViewStatus"].get<std::string>().starts_with("Live: 3/3 windows @")) << p.dump();
    }
  }
}

TEST_F(ClearViewScenariosTest, WithoutCaptureExclusionEveryoneSeesFrostAndTheLogSaysSoOnce) {
  const json report = this->report("clearview-no-exclusion.json");
  expectNoLeak(report);
  for (int number : {101, 120}) EXPECT_LT(window(report, number)["minAtRest"].get<double>(), 0.6) << number;
  EXPECT_EQ(report["clearView"]["statusLines"].back()["status"],
            "Capture exclusion not confirmed \u2014 showing classic frost to everyone");
  EXPECT_EQ(logged(report, "Capture exclusion NOT confirmed for mirror 101 (result -999)"), 1u);
  EXPECT_EQ(logged(report, "Capture exclusion NOT confirmed for mirror 120 (result -999)"), 1u);
}

TEST_F(ClearViewScenariosTest, ZoomFramebufferSharePausesMirrorsUntilItEnds) {
  const json report = this->report("clearview-zoom-framebuffer.json");
  expectNoLeak(report);
  for (int number : {101, 120}) {
    SCOPED_TRACE(number);
    EXPECT_GE(seenAt(report, number, 2.0), 0.99);
    EXPECT_LT(seenAt(report, number, 4.0), 0.6) << "frost for the user too";
    EXPECT_GE(seenAt(report, number, 6.5), 0.99) << "mirrors resumed";
  }
  EXPECT_EQ(logged(report, "Framebuffer share detected \u2014 mirrors paused, classic frost"), 1u);
  EXPECT_EQ(logged(report, "Framebuffer share ended \u2014 mirrors resume"), 1u);
  EXPECT_LE(report["clearView"]["staleFrames"]["max"].get<int64_t>(), 2);
}

TEST_F(ClearViewScenariosTest, KilledHelperRestartsNoSoonerThanOneSecondAfterItsStartAndNothingLeaks) {
  const json report = this->report("clearview-helper-killed.json");
  expectNoLeak(report);
  // Each start of Slack's helper, and each restart after a death, at least 1.0 s apart.
  std::vector<double> starts;
  for (const json& entry : report["clearViewLog"]) {
    if (entry["line"].get<std::string>().starts_with("Out-of-process capture started for window 101 ")) {
      starts.push_back(entry["t"].get<double>());
    }
  }
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_GE(starts[1] - starts[0], 1.0 - 1e-9);
  EXPECT_GE(starts[2] - starts[1], 1.0 - 1e-9);
  EXPECT_LT(starts[2], 3.0 + 0.2) << "restarted by the next refreshes, not much later";
  EXPECT_GE(window(report, 101)["minAtRest"].get<double>(), 0.99);
  EXPECT_LE(report["clearView"]["staleFrames"]["max"].get<int64_t>(), 2);
  // The 60 x 60 Huddle window: frost, never a mirror.
  EXPECT_LT(window(report, 102)["minAtRest"].get<double>(), 0.6);
  EXPECT_EQ(logged(report, "for window 102"), 0u);
}

}  // namespace
}  // namespace corvane
