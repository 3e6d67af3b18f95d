// End to end: corvane-sim plays the bundled drag scenarios (fast drags, also on a window server that
// sends no window notifications, resizes from every edge and corner, a drag onto a second display,
// applications moving their own windows) and the demo; the
// share never shows a protected pixel while windows move, and the frost reaches past a moving
// window by no more than one step of it (at the pointer's or the animation's rate) and a point.
#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

#include "app/scenario_play.h"

namespace corvane {
namespace {

using json = nlohmann::json;

class DragScenariosTest : public ScenarioPlayTest {};

TEST_F(DragScenariosTest, NothingProtectedShowsWhileWindowsMoveAndTheFrostLeadsByAStep) {
  struct Case {
    const char* name;
    double peakSpeed;  // points a second at the fastest moment of the fastest move
    double stepRate;   // pointer events (or animation steps) a second
  } cases[] = {
      // Eased moves peak at pi/2 times their mean speed.
      {"drag-fast", M_PI / 2 * 650 / 0.35, 125},
      // Without window notifications only the follower's own samples, prediction and lead help.
      {"drag-fast-without-notices", M_PI / 2 * 650 / 0.35, 125},
      {"drag-resize-edges", M_PI / 2 * 350 / 0.3, 125},
      {"drag-second-display", M_PI / 2 * 1300 / 0.7, 125},
      {"move-programmatic", M_PI / 2 * 700 / 0.25, 120},
      {"demo", M_PI / 2 * 156.5 / 1.0, 125},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const json r = report(std::string(c.name) + ".json");
    for (const char* kind : {"steadyFrames", "appearFrames", "motionFrames", "unprobedFrames"}) {
      EXPECT_EQ(r["leaks"][kind].get<int64_t>(), 0) << kind << " " << r["leakSpans"].dump();
    }
    const json& motion = r["motion"];
    EXPECT_GT(motion["samples"].get<int64_t>(), 20) << "the scenario moves protected windows";
    // The step the window takes at its fastest, the growth of the step before it, and a point,
    // each edge on whole points.
    const double step = c.peakSpeed / c.stepRate;
    EXPECT_LE(motion["overshootMaxPoints"].get<double>(), std::ceil(step * 1.25 + 1) + 1) << motion.dump();
  }
}

}  // namespace
}  // namespace corvane
