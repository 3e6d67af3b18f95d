// Reading a desktop description (scenarios/README.md) into a world.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/sim/sim_world.h"

namespace corvane::sim {

// Desktop descriptions and scenarios nest no deeper than this (an accessibility tree of 64 levels
// fits well inside); a file read as either is refused when it does.
constexpr size_t kMaxDescriptionDepth = 256;
// Coordinates and sizes of displays and windows, in points, lie within +-kMaxCoordinate; a display
// is at most kMaxPictureSide points on a side, so that every display can be drawn.
constexpr double kMaxCoordinate = 1000000;

// Builds `world` from the description. On failure returns false and sets `error` to a message
// that names the element and what is wrong with it ("windows[3].bounds: expected [x, y, width,
// height]"); `world` is then in no particular state.
bool loadWorld(const nlohmann::json& description, World& world, std::string& error);

// One application or window in the same form as in a description, checked against `world` (a pid
// or window number already in use, an unknown owner). `path` names the element in messages.
bool readAppDescription(const nlohmann::json& description, const World& world, const std::string& path, SimApp& app,
                        std::string& error);
bool readWindowDescription(const nlohmann::json& description, const World& world, const std::string& path,
                           SimWindow& window, std::string& error);

}  // namespace corvane::sim
