// The Screen Recording permission that Clear View's capture helpers need: where the user grants it,
// and a relaunch of the application so that a permission granted while it runs takes effect.
//
// Threading: main thread.
#pragma once

#include "base/dispatch.h"
#include "platform/application.h"
#include "platform/processes.h"
#include "platform/workspace.h"

namespace corvane {

class ScreenRecordingPermission {
 public:
  static constexpr const char* kSettingsURL =
      "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";
  static constexpr const char* kSettingsFallbackURL =
      "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?Privacy_ScreenCapture";

  // Opens the permission's settings page; the second address when the first cannot be opened.
  // False when neither could.
  static bool openSystemSettings(Workspace& workspace);
  // Starts a new instance of the application and, on a later turn of the main queue, terminates
  // this one. False, with this instance left running, when the new one could not start.
  static bool relaunchApp(Processes& processes, Application& application, Dispatcher& dispatcher);
};

}  // namespace corvane
