// Plays a scenario: the whole application (preferences, privacy controller, share detector,
// overlays) on the simulated desktop in virtual time, sampling what the share records 60 times per
// simulated second with the leak probe.
#pragma once

#include <memory>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/window_server.h"

#include "scenario.h"

namespace corvane::sim {
class SimDesktop;
}

namespace corvane::simtool {

struct RunResult {
  bool ok = false;
  std::string error;       // names the file and the event when !ok (also when the run played but
                           // some samples could not be probed: then report and summary are set)
  nlohmann::json report;   // written to report.json
  std::string summary;     // a few lines for a person
};

// Writes the pictures the scenario asks for and report.json into `outDir`.
RunResult runScenario(const Scenario& scenario, const std::string& outDir);

class Runner;

// The same run taken one step at a time, for measuring what a sample costs: start, then play up
// to any time. (It writes pictures and settings into `outDir` as a run does, but no report.)
class ScenarioPlayer {
 public:
  ScenarioPlayer(const Scenario& scenario, std::string outDir);
  ~ScenarioPlayer();
  ScenarioPlayer(const ScenarioPlayer&) = delete;
  ScenarioPlayer& operator=(const ScenarioPlayer&) = delete;

  // Loads the desktop and starts the application; false, with `error` set, on failure.
  bool start(std::string* error);
  // Plays the events and takes the samples up to `t` seconds after the start.
  bool playUntil(double t, std::string* error);
  const sim::SimDesktop& desktop() const;
  // The windows whose content the share must not show now (what each sample probes).
  std::set<WindowID> mustNotBeSeen();

 private:
  std::unique_ptr<Runner> runner_;
};

}  // namespace corvane::simtool
