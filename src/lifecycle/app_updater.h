// Updates on this platform: the system's package manager installs a new build over the running one,
// so there is no update framework to drive (no update controller, no checks of our own). What the
// application does is notice the new build and restart into it at a safe moment.
//
// The installed build: the build writes its build number, in decimal followed by a newline, to a
// small file "corvane.build" beside the executable, and the package installs it with the
// executable. Every 300 seconds and on every wake from sleep checkBundleOnDisk() reads that file
// from disk; a number greater than the running build stops the watch timer and asks SafeRestart to
// relaunch at the next safe moment. A missing or unreadable file, or one that does not hold a
// plain decimal number, changes nothing. Wakes keep checking after the timer has stopped (a later
// schedule replaces the earlier, equal action).
//
// isManagedByIT: the organisation forces the default "ManagedUpdates" to true, or the installation
// is a company deployment (the managed settings name the organisation's server) that the user
// cannot replace (the executable or its directory is not writable by the user).
//
// checkManually() (the status menu's "Check for Updates…") shows the "Updates are automatic" alert
// through the windows-and-views port; where the platform cannot show an alert, its text is logged.
//
// Threading: main thread. The timer and the wake observer hold the updater weakly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/observable.h"

namespace corvane {

class DefaultsStore;
class Dispatcher;
class LogSink;
class SafeRestart;
class SessionState;
class Timer;
namespace ui {
class UserInterface;
}

// The build number of this program, as the build writes it beside the executable.
int64_t runningBuildNumber();

class AppUpdater {
 public:
  static constexpr double watchInterval = 300;
  static constexpr const char* buildFileName = "corvane.build";
  static constexpr const char* managedUpdatesKey = "ManagedUpdates";
  // The managed default that names the organisation's server (see PolicyServer).
  static constexpr const char* companyServerKey = "PolicyServerURL";

  struct Dependencies {
    Dispatcher& dispatcher;
    LogSink& log;
    SafeRestart& safeRestart;
    DefaultsStore* defaults = nullptr;
    SessionState* session = nullptr;     // wakes; none: only the timer checks
    ui::UserInterface* ui = nullptr;     // the alert; none: it is logged
    std::string version;                 // currentVersion
    int64_t build = 0;                   // currentBuild
    std::string executablePath;          // the installed executable
    std::string buildFilePath;           // empty: buildFileName beside the executable
  };

  explicit AppUpdater(Dependencies dependencies);
  ~AppUpdater();
  AppUpdater(const AppUpdater&) = delete;
  AppUpdater& operator=(const AppUpdater&) = delete;

  // Starts the bundle watch: the 300-second timer and the wake observer.
  void start();
  void checkManually();
  void checkBundleOnDisk();

  bool isManagedByIT() const;
  const std::string& currentVersion() const { return deps_.version; }
  int64_t currentBuild() const { return deps_.build; }
  bool isWatching() const;
  const std::string& buildFilePath() const { return deps_.buildFilePath; }

  // The build number a build file holds: optional white space around one base-10 number. None for
  // a missing file, a file that is not a small regular file, or any other content.
  static std::optional<int64_t> readBuildFile(const std::string& path);
  // Whether the user may replace the installed program: the executable and its directory are
  // writable by the user.
  static bool canReplaceOwnInstallation(const std::string& executablePath);

 private:
  Dependencies deps_;
  Subscription wakeSubscription_;
  std::unique_ptr<Timer> watchTimer_;
  // Last: callbacks check it.
  std::shared_ptr<AppUpdater*> alive_;
};

}  // namespace corvane
