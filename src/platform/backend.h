// A backend: the owner of one set of platform ports. Executables choose a backend at start-up
// (see makeBackendFromEnvironment) and hand its Platform bundle to the core.
#pragma once

#include <memory>
#include <optional>
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

// The neutral selector, linked only into the executables. Environment variables that choose the
// backend:
//   CORVANE_BACKEND       "sim" runs on the simulated desktop, "x11" on the X server of DISPLAY;
//                         unset or empty: X11 when DISPLAY is set (and the X11 backend is built).
//   CORVANE_SIM_DESKTOP   path of the desktop description (JSON) the simulated desktop loads.
// Returns nothing, with a message for the user in *error, when no backend can be made.
std::unique_ptr<Backend> makeBackendFromEnvironment(std::string* error);

// The backend name the selector picks ("sim", "x11"), or nothing with a message in *error.
// `backend` and `display` are the variables' values (null when unset).
std::optional<std::string> chooseBackend(const char* backend, const char* display, bool x11Built, std::string* error);

// One factory per backend; each reads its own variables.
std::unique_ptr<Backend> makeSimBackend(std::string* error);
std::unique_ptr<Backend> makeX11Backend(std::string* error);

}  // namespace corvane
