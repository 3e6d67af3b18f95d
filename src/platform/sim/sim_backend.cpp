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

std::unique_ptr<Backend> makeSimBackend(std::string* error) {
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
