#include "lifecycle/app_updater.h"

#include <unistd.h>

#include <charconv>

#include "base/dispatch.h"
#include "base/files.h"
#include "base/format.h"
#include "base/localization.h"
#include "base/log.h"
#include "lifecycle/safe_restart.h"
#include "platform/defaults_store.h"
#include "platform/session_state.h"
#include "platform/ui.h"

#ifndef CORVANE_BUILD_NUMBER
#error "the build defines CORVANE_BUILD_NUMBER"
#endif

namespace corvane {

namespace {

// A build file holds one short line; anything larger is not one.
constexpr size_t kMaxBuildFileBytes = 64;

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

int64_t runningBuildNumber() { return CORVANE_BUILD_NUMBER; }

AppUpdater::AppUpdater(Dependencies dependencies)
    : deps_(std::move(dependencies)), alive_(std::make_shared<AppUpdater*>(this)) {
  if (deps_.buildFilePath.empty()) deps_.buildFilePath = directoryOf(deps_.executablePath) + "/" + buildFileName;
}

AppUpdater::~AppUpdater() {
  *alive_ = nullptr;
  watchTimer_.reset();
}

void AppUpdater::start() {
  std::weak_ptr<AppUpdater*> weak = alive_;
  auto check = [weak] {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->checkBundleOnDisk();
  };
  watchTimer_ = deps_.dispatcher.makeTimer(deps_.dispatcher.main(), check);
  watchTimer_->schedule(watchInterval, watchInterval);
  if (deps_.session) wakeSubscription_ = deps_.session->addWakeObserver(check);
}

bool AppUpdater::isWatching() const { return watchTimer_ && watchTimer_->isScheduled(); }

std::optional<int64_t> AppUpdater::readBuildFile(const std::string& path) {
  std::string error;
  auto text = readFileText(path, &error, kMaxBuildFileBytes);
  if (!text) return std::nullopt;
  std::string_view digits(*text);
  while (!digits.empty() && isSpace(digits.front())) digits.remove_prefix(1);
  while (!digits.empty() && isSpace(digits.back())) digits.remove_suffix(1);
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 10);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

void AppUpdater::checkBundleOnDisk() {
  auto installed = readBuildFile(deps_.buildFilePath);
  if (!installed || *installed <= deps_.build) return;
  watchTimer_.reset();
  deps_.log.log("Corvane: build " + std::to_string(*installed) + " is installed (running build " +
                std::to_string(deps_.build) + ")");
  SafeRestart& restart = deps_.safeRestart;
  restart.schedule([&restart] { restart.relaunch(); });
}

bool AppUpdater::canReplaceOwnInstallation(const std::string& executablePath) {
  return ::access(executablePath.c_str(), W_OK) == 0 && ::access(directoryOf(executablePath).c_str(), W_OK) == 0;
}

bool AppUpdater::isManagedByIT() const {
  DefaultsStore* defaults = deps_.defaults;
  if (!defaults) return false;
  if (defaults->isForced(managedUpdatesKey) && defaults->boolValue(applicationDomain, managedUpdatesKey) == true) {
    return true;
  }
  if (defaults->isForced(companyServerKey)) return !canReplaceOwnInstallation(deps_.executablePath);
  return false;
}

void AppUpdater::checkManually() {
  // No update controller on this platform: the package manager keeps the program current.
  ui::Alert alert;
  alert.messageText = localized("Updates are automatic", "Managed updates alert title");
  alert.informativeText =
      isManagedByIT()
          ? format(localized("Your organization keeps Corvane up to date. You have version %@.", "Managed updates alert body"),
                   {FormatArg(deps_.version)})
          : format(localized("You have Corvane %@.", "Updates unavailable alert body"), {FormatArg(deps_.version)});
  alert.buttons = {localized("OK", "Generic OK button")};
  if (deps_.ui && deps_.ui->runModalAlert(alert)) return;
  deps_.log.log("Corvane: " + alert.messageText + " \u2014 " + alert.informativeText);
}

}  // namespace corvane
