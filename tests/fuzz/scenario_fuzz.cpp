// Fuzz target: a corvane-sim scenario, from raw bytes through the scenario loader and, when it
// loads, the simulated desktop it describes.
//
// Besides crashes, hangs and sanitizer reports it checks that an accepted scenario's name cannot
// lead its output directory out of out/, and that every process id and window number it names
// fits the type it becomes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "scenario.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  // A directory that does not exist, so a relative "desktopFile" finds nothing.
  auto scenario = simtool::loadScenarioText(text, "/nonexistent/corvane-fuzz/scenario.json", &error);
  if (!scenario) {
    if (error.empty()) std::abort();
    return 0;
  }
  const std::string& name = scenario->name;
  if (name.empty() || name.find('/') != std::string::npos || name.front() == '.') std::abort();
  for (const auto& event : scenario->events) {
    for (const char* key : {"pid", "to"}) {
      if (event.fields.contains(key) && (event.fields[key].get<int64_t>() < 1 || event.fields[key].get<int64_t>() > INT32_MAX))
        std::abort();
    }
    if (event.fields.contains("number") &&
        (event.fields["number"].get<int64_t>() < 1 || event.fields["number"].get<int64_t>() > int64_t(UINT32_MAX)))
      std::abort();
  }
  static VirtualDispatcher dispatcher;
  static sim::SimDesktop desktop(dispatcher);
  (void)desktop.load(scenario->desktop, &error);
  return 0;
}
