#include "lifecycle/required_corvane.h"

#include "base/log.h"
#include "lifecycle/login_services.h"
#include "platform/processes.h"

namespace corvane {

std::string keepAliveLabel(const std::string& bundleIdentifier) {
  return (bundleIdentifier.empty() ? std::string(kFallbackBundleIdentifier) : bundleIdentifier) + ".keepalive";
}

RequiredCorvane::RequiredCorvane(LoginServices* services, Processes& processes, LogSink& log,
                                 std::string bundleIdentifier)
    : services_(services), processes_(processes), log_(log), label_(keepAliveLabel(bundleIdentifier)) {}

void RequiredCorvane::install() {
  if (!services_) {
    log_.log("Corvane: this platform offers no service manager; Corvane cannot be kept running");
    return;
  }
  const std::string executable = processes_.executablePath();
  if (executable.empty()) return;
  std::string error;
  if (!services_->installKeepAlive(label_, executable, &error)) {
    log_.log("Corvane: could not write keepalive agent \u2014 " + error);
  }
}

void RequiredCorvane::remove() {
  if (services_) services_->removeKeepAlive(label_);
}

LaunchAtLogin::LaunchAtLogin(LoginServices* services, Processes& processes, LogSink& log)
    : services_(services), processes_(processes), log_(log) {}

bool LaunchAtLogin::setEnabled(bool enabled) {
  std::string error = "this platform offers no login items";
  if (services_ && services_->setLoginItem(enabled, processes_.executablePath(), &error)) return true;
  log_.log("Corvane: failed to update login item \u2014 " + error);
  return false;
}

}  // namespace corvane
