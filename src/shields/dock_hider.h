// Recovery of the user's Dock auto-hide preferences.
//
// While the Dock is hidden for a share, the application's own defaults keep a copy of the user's
// Dock settings and a pending-restore mark. If the application ended before putting them back, the
// next start finds the mark and restores them: the user's values go back into the Dock's suite and
// the Dock is restarted so that it reads them.
//
// Threading: main thread.
#pragma once

#include <string_view>

namespace corvane {

class DefaultsStore;
class Processes;

class DockHider {
 public:
  static constexpr std::string_view kDockSuite = "com.apple.dock";
  static constexpr std::string_view kPendingRestore = "dockHidePendingRestore";
  static constexpr std::string_view kBackupAutohide = "dockHideBackupAutohide";
  static constexpr std::string_view kBackupHadDelay = "dockHideBackupHadDelay";
  static constexpr std::string_view kBackupDelay = "dockHideBackupDelay";
  static constexpr std::string_view kBackupHadModifier = "dockHideBackupHadModifier";
  static constexpr std::string_view kBackupModifier = "dockHideBackupModifier";

  DockHider(DefaultsStore& defaults, Processes& processes);

  // Whether a Dock change of an earlier run still waits to be undone.
  bool isRestorePending();
  // Puts the user's values back into the Dock's suite, clears the backup and restarts the Dock.
  // Does nothing when the Dock's suite cannot be opened (the mark stays for the next start).
  void restoreUserPrefs();
  // Removes the backup keys and the mark from the application's defaults.
  void clearBackup();
  // Restarts the Dock; a failure to start the command is ignored.
  void relaunchDock();

 private:
  DefaultsStore& defaults_;
  Processes& processes_;
};

}  // namespace corvane
