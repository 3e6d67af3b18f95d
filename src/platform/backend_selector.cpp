// The neutral backend selector: maps the environment's choice to a backend factory. Linked only
// into the executables, so the core never depends on a backend.
#include <cstdlib>
#include <string>

#include "platform/backend.h"

namespace corvane {

std::optional<std::string> chooseBackend(const char* backend, const char* display, bool x11Built, std::string* error) {
  const std::string name = backend ? backend : "";
  const std::string known = x11Built ? "sim, x11" : "sim";
  if (name == "sim" || (name == "x11" && x11Built)) return name;
  if (name == "x11") {
    if (error) *error = "corvane: this build has no X11 backend (the xcb development packages were missing)";
    return std::nullopt;
  }
  if (!name.empty()) {
    if (error) *error = "corvane: unknown backend \"" + name + "\" in CORVANE_BACKEND (known: " + known + ")";
    return std::nullopt;
  }
  if (display && *display && x11Built) return std::string("x11");
  if (error) {
    *error =
        "corvane: no window server backend is available: DISPLAY is not set" +
        std::string(x11Built ? "" : " (and this build has no X11 backend)") +
        ".\n"
        "Run Corvane on an X11 desktop, or on the simulated desktop instead:\n"
        "  CORVANE_BACKEND=sim CORVANE_SIM_DESKTOP=scenarios/demo-desktop.json corvane [ARGS]\n"
        "or play a scenario with corvane-sim (see README.md).";
  }
  return std::nullopt;
}

std::unique_ptr<Backend> makeBackendFromEnvironment(std::string* error) {
#ifdef CORVANE_HAVE_X11
  constexpr bool x11Built = true;
#else
  constexpr bool x11Built = false;
#endif
  auto name = chooseBackend(std::getenv("CORVANE_BACKEND"), std::getenv("DISPLAY"), x11Built, error);
  if (!name) return nullptr;
  if (*name == "sim") return makeSimBackend(error);
#ifdef CORVANE_HAVE_X11
  return makeX11Backend(error);
#else
  return nullptr;
#endif
}

}  // namespace corvane
