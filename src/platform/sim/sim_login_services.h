// Login services on the simulated desktop: nothing is written anywhere; what is installed is
// recorded, for tests and scenarios to read.
//
// Threading: main thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lifecycle/login_services.h"

namespace corvane::sim {

class SimLoginServices final : public LoginServices {
 public:
  bool installKeepAlive(const std::string& label, const std::string& executablePath, std::string* error) override;
  void removeKeepAlive(const std::string& label) override;
  bool setLoginItem(bool enabled, const std::string& executablePath, std::string* error) override;

  // Installed keep-alive services: label -> executable.
  const std::map<std::string, std::string>& keepAlive() const { return keepAlive_; }
  // The executable started at login, when the login item is enabled.
  const std::optional<std::string>& loginItem() const { return loginItem_; }
  // Every call, in order ("install LABEL", "remove LABEL", "login on", "login off").
  const std::vector<std::string>& calls() const { return calls_; }
  // Makes the next calls fail with this reason (empty: succeed again).
  void setFailure(std::string reason) { failure_ = std::move(reason); }

 private:
  std::map<std::string, std::string> keepAlive_;
  std::optional<std::string> loginItem_;
  std::vector<std::string> calls_;
  std::string failure_;
};

}  // namespace corvane::sim
