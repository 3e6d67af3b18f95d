// corvane-sim: plays a scenario on the simulated desktop and writes what the share saw.
//
//   corvane-sim SCENARIO.json [--out DIR]
//
// The whole application (preferences, privacy controller, share detector, overlays) runs on the
// simulated desktop in virtual time while the scenario's timeline plays. The share view is sampled
// 60 times per simulated second with the leak probe. DIR (default out/NAME) receives report.json
// and the pictures the scenario asks for.
#include <iostream>
#include <string>
#include <vector>

#include "scenario.h"
#include "scenario_runner.h"

namespace {

int usage(const std::string& message) {
  if (!message.empty()) std::cerr << "corvane-sim: " << message << "\n";
  std::cerr << "usage: corvane-sim SCENARIO.json [--out DIR]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvane::simtool;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string scenarioPath;
  std::string outDir;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--out") {
      if (i + 1 >= args.size()) return usage("--out needs a directory");
      outDir = args[++i];
    } else if (args[i] == "-h" || args[i] == "--help") {
      return usage("");
    } else if (!args[i].empty() && args[i][0] == '-') {
      return usage("unknown option " + args[i]);
    } else if (scenarioPath.empty()) {
      scenarioPath = args[i];
    } else {
      return usage("only one scenario may be given");
    }
  }
  if (scenarioPath.empty()) return usage("no scenario given");

  std::string error;
  auto scenario = loadScenario(scenarioPath, &error);
  if (!scenario) {
    std::cerr << "corvane-sim: " << error << "\n";
    return 1;
  }
  if (outDir.empty()) outDir = "out/" + scenario->name;
  RunResult result = runScenario(*scenario, outDir);
  if (!result.ok) {
    std::cout << result.summary;
    std::cerr << "corvane-sim: " << result.error << "\n";
    return 1;
  }
  std::cout << result.summary;
  return 0;
}
