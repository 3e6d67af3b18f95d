#include "platform/sim/sim_login_services.h"

namespace corvane::sim {

bool SimLoginServices::installKeepAlive(const std::string& label, const std::string& executablePath,
                                        std::string* error) {
  calls_.push_back("install " + label);
  if (!failure_.empty()) {
    if (error) *error = failure_;
    return false;
  }
  keepAlive_[label] = executablePath;
  return true;
}

void SimLoginServices::removeKeepAlive(const std::string& label) {
  calls_.push_back("remove " + label);
  keepAlive_.erase(label);
}

bool SimLoginServices::setLoginItem(bool enabled, const std::string& executablePath, std::string* error) {
  calls_.push_back(enabled ? "login on" : "login off");
  if (!failure_.empty()) {
    if (error) *error = failure_;
    return false;
  }
  if (enabled) {
    loginItem_ = executablePath;
  } else {
    loginItem_.reset();
  }
  return true;
}

}  // namespace corvane::sim
