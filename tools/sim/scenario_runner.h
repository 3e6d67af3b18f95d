// Plays a scenario: the whole application (preferences, privacy controller, share detector,
// overlays) on the simulated desktop in virtual time, sampling what the share records 60 times per
// simulated second with the leak probe.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "scenario.h"

namespace corvane::simtool {

struct RunResult {
  bool ok = false;
  std::string error;       // names the file and the event when !ok
  nlohmann::json report;   // written to report.json
  std::string summary;     // a few lines for a person
};

// Writes the pictures the scenario asks for and report.json into `outDir`.
RunResult runScenario(const Scenario& scenario, const std::string& outDir);

}  // namespace corvane::simtool
