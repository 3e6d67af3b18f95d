#include <cstdlib>
#include <memory>
#include <string>

#include "base/virtual_dispatcher.h"
#include "platform/backend.h"
#include "platform/sim/sim_desktop.h"

namespace corvane {

namespace {

class SimBackend final : public Backend {
 public:
  SimBackend() : desktop(dispatcher) {}
  std::string name() const override { return "sim"; }
  Platform platform() override { return desktop.platform(); }
  void runLive() override {
    desktop.setRealTimePacing(true);
    desktop.setSystemLogToStandardError(true);
  }

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop;
};

}  // namespace

std::unique_ptr<Backend> makeBackendFromEnvironment(std::string* error) {
  const char* backend = std::getenv("CORVANE_BACKEND");
  std::string name = backend ? backend : "";
  if (name.empty()) {
    if (error) {
      *error =
          "corvane: no window server backend is available on this system yet.\n"
          "Run Corvane on the simulated desktop instead:\n"
          "  CORVANE_BACKEND=sim CORVANE_SIM_DESKTOP=scenarios/demo-desktop.json corvane [ARGS]\n"
          "or play a scenario with corvane-sim (see README.md).";
    }
    return nullptr;
  }
  if (name != "sim") {
    if (error) *error = "corvane: unknown backend \"" + name + "\" in CORVANE_BACKEND (known: sim)";
    return nullptr;
  }
  const char* desktopPath = std::getenv("CORVANE_SIM_DESKTOP");
  if (!desktopPath || !*desktopPath) {
    if (error) *error = "corvane: CORVANE_BACKEND=sim needs CORVANE_SIM_DESKTOP, the path of a desktop description";
    return nullptr;
  }
  auto sim = std::make_unique<SimBackend>();
  std::string loadError;
  if (!sim->desktop.loadFile(desktopPath, &loadError)) {
    if (error) *error = "corvane: cannot load the simulated desktop: " + loadError;
    return nullptr;
  }
  return sim;
}

}  // namespace corvane
