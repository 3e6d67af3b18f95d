// Login services on a freedesktop.org desktop: a systemd user unit keeps the application running,
// an XDG autostart entry starts it at login.
//
// Keep-alive: "<label>.service" in $XDG_CONFIG_HOME/systemd/user/ runs the executable with
// Restart=always, so systemd starts it again 4 seconds after it ends, whatever the reason, and
// never gives up. When a copy already runs, the one systemd starts leaves at once (single
// instance) and is tried again 4 seconds later: that is the watch for a copy that has gone away.
// The unit is enabled and started with `systemctl --user` when that command exists (its exit
// status is not examined: enabling what is enabled is harmless). Removing disables the unit,
// stops it (unless this very process runs under it: stopping would end it), deletes the file and
// reloads systemd.
//
// Login item: "corvane.desktop" in $XDG_CONFIG_HOME/autostart/, deleted to disable.
//
// Files are written atomically (a new file renamed over the old). Executable paths that the file
// formats cannot carry (control characters; for the autostart entry also quotes, backquotes,
// dollars and backslashes) are refused with a clear error.
//
// Threading: main thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lifecycle/login_services.h"

namespace corvane {

class Processes;

class XdgLoginServices final : public LoginServices {
 public:
  // The environment variable the unit sets for the process it runs (the label is its value).
  static constexpr const char* kUnitMarker = "CORVANE_KEEPALIVE_UNIT";

  // $XDG_CONFIG_HOME, else $HOME/.config; nothing when neither is set.
  static std::optional<std::string> standardConfigHome();

  // Commands go through `processes`; files live under `configHome`.
  XdgLoginServices(Processes& processes, std::string configHome);

  std::string unitPath(const std::string& label) const;
  std::string autostartPath() const;
  // The files' contents for an executable; nothing, with the reason, when it cannot be written.
  static std::optional<std::string> unitText(const std::string& label, const std::string& executablePath,
                                             std::string* error);
  static std::optional<std::string> autostartText(const std::string& executablePath, std::string* error);

  bool installKeepAlive(const std::string& label, const std::string& executablePath, std::string* error) override;
  void removeKeepAlive(const std::string& label) override;
  bool setLoginItem(bool enabled, const std::string& executablePath, std::string* error) override;

 private:
  int systemctl(const std::vector<std::string>& arguments);

  Processes& processes_;
  std::string configHome_;
};

}  // namespace corvane
