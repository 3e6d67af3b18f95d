// A backend: the owner of one set of platform ports. Executables choose a backend at start-up
// (see makeBackendFromEnvironment) and hand its Platform bundle to the core.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace corvane {

class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::string name() const = 0;
  // Valid for the life of the backend.
  virtual Platform platform() = 0;
  // The program runs live on this backend (the application, or a helper process serving a peer):
  // its time follows the real clock, its event loop waits for work instead of returning when
  // nothing is due, and its system log also goes to standard error. A backend on a real window
  // server does so anyway.
  virtual void runLive() {}
};

// Environment variables that choose the backend:
//   CORVANE_BACKEND       "sim" runs on the simulated desktop (the only backend so far).
//   CORVANE_SIM_DESKTOP   path of the desktop description (JSON) the simulated desktop loads.
// Returns nothing, with a message for the user in *error, when no backend can be made.
std::unique_ptr<Backend> makeBackendFromEnvironment(std::string* error);

}  // namespace corvane
