#include "platform/sim/sim_motion.h"

#include <nlohmann/json.hpp>

namespace corvane::sim {

bool SimMotion::parse(const nlohmann::json& description, SimMotion& motion, std::string& error) {
  auto it = description.find("motion");
  if (it == description.end()) return true;
  auto fail = [&](const std::string& path, const std::string& what) {
    error = "motion" + path + ": " + what;
    return false;
  };
  if (!it->is_object()) return fail("", "expected an object");
  for (auto member = it->begin(); member != it->end(); ++member) {
    const std::string& key = member.key();
    const bool number = member->is_number();
    const double value = number ? member->get<double>() : 0;
    if (key == "pointerRate") {
      if (!number || !(value >= 10 && value <= 1000)) return fail(".pointerRate", "expected events a second, 10 … 1000");
      motion.pointerRate = value;
    } else if (key == "windowListLatency" || key == "boundsLatency") {
      if (!number || !(value >= 0 && value <= 1)) return fail("." + key, "expected seconds, 0 … 1");
      (key == "windowListLatency" ? motion.windowListLatency : motion.boundsLatency) = value;
    } else {
      return fail("", "unknown member \"" + key + "\"");
    }
  }
  return true;
}

}  // namespace corvane::sim
