#include "clearview/screen_recording_permission.h"

namespace corvane {

bool ScreenRecordingPermission::openSystemSettings(Workspace& workspace) {
  return workspace.openURL(kSettingsURL) || workspace.openURL(kSettingsFallbackURL);
}

bool ScreenRecordingPermission::relaunchApp(Processes& processes, Application& application, Dispatcher& dispatcher) {
  // A new instance: the executable without a role flag starts the menu-bar application.
  if (!processes.launchSelf(LaunchRequest{})) return false;
  dispatcher.main().async([&application] { application.terminate(); });
  return true;
}

}  // namespace corvane
