#include <cstdlib>
#include <memory>
#include <string>

#include "base/virtual_dispatcher.h"
#include "platform/backend.h"
#include "platform/posix/curl_http_transport.h"
#include "platform/sim/sim_desktop.h"

namespace corvane {

namespace {

class SimBackend final : public Backend {
 public:
  SimBackend() : desktop(dispatcher), http(dispatcher) {}
  std::string name() const override { return "sim"; }
  // The organisation's server is a real one even on the simulated desktop.
  Platform platform() override {
    Platform platform = desktop.platform();
    platform.http = &http;
    return platform;
  }
  void runLive() override {
    desktop.setRealTimePacing(true);
    desktop.setSystemLogToStandardError(true);
  }

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop;
  CurlHttpTransport http;
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
