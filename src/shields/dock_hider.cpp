#include "shields/dock_hider.h"

#include "platform/defaults_store.h"
#include "platform/processes.h"

namespace corvane {

DockHider::DockHider(DefaultsStore& defaults, Processes& processes) : defaults_(defaults), processes_(processes) {}

bool DockHider::isRestorePending() {
  return defaults_.boolValue(applicationDomain, kPendingRestore).value_or(false);
}

void DockHider::restoreUserPrefs() {
  if (!defaults_.canOpen(kDockSuite)) return;

  if (auto autohide = defaults_.boolValue(applicationDomain, kBackupAutohide)) {
    defaults_.set(kDockSuite, "autohide", *autohide);
  }

  auto restoreOrRemove = [&](std::string_view hadKey, std::string_view valueKey, std::string_view dockKey) {
    auto value = defaults_.object(applicationDomain, valueKey);
    if (defaults_.boolValue(applicationDomain, hadKey).value_or(false) && value) {
      defaults_.set(kDockSuite, dockKey, *value);
    } else {
      defaults_.remove(kDockSuite, dockKey);
    }
  };
  restoreOrRemove(kBackupHadDelay, kBackupDelay, "autohide-delay");
  restoreOrRemove(kBackupHadModifier, kBackupModifier, "autohide-time-modifier");

  defaults_.synchronize(kDockSuite);
  clearBackup();
  relaunchDock();
}

void DockHider::clearBackup() {
  for (auto key : {kPendingRestore, kBackupAutohide, kBackupHadDelay, kBackupDelay, kBackupHadModifier,
                   kBackupModifier}) {
    defaults_.remove(applicationDomain, key);
  }
}

void DockHider::relaunchDock() { processes_.runCommand("/usr/bin/killall", {"Dock"}); }

}  // namespace corvane
