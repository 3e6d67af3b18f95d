// How motion reaches the program on the simulated desktop, as on the reference platform:
// - the pointer reports `pointerRate` events a second while a button is held and it moves (a drag
//   or a resize by the pointer moves or resizes the window at each event);
// - the window list reports each window's bounds as they were `windowListLatency` seconds ago: on
//   the reference platform one display frame (kDisplayFrame), so that it trails a moving window.
//   The default is 0 (a current list), which the program's hole cutting still relies on: with a
//   late list, the hole of a window in front that moves away lags it by that long;
// - the private bounds query reports them as they were `boundsLatency` seconds ago (live by
//   default);
// - the share view is composed from the bounds at the instant it is drawn.
// A desktop description sets these in its "motion" member.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace corvane::sim {

struct SimMotion {
  static constexpr double kDisplayFrame = 1.0 / 60;
  double pointerRate = 125;
  double windowListLatency = 0;
  double boundsLatency = 0;

  // Reads the "motion" member of a desktop description, if any. False with a message naming the
  // element on an error.
  static bool parse(const nlohmann::json& description, SimMotion& motion, std::string& error);
};

}  // namespace corvane::sim
