// Reading a desktop description (scenarios/README.md) into a world.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/sim/sim_world.h"

namespace corvane::sim {

// Builds `world` from the description. On failure returns false and sets `error` to a message
// that names the element and what is wrong with it ("windows[3].bounds: expected [x, y, width,
// height]"); `world` is then in no particular state.
bool loadWorld(const nlohmann::json& description, World& world, std::string& error);

}  // namespace corvane::sim
