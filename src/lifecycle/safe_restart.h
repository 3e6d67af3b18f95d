// Restarting for an update only at a safe moment: never during a share or recording, a framebuffer
// share or while the microphone is in use, and only when the screen is locked or the user has been
// idle long enough.
//
// One object per process (shared()). It holds at most one pending restart action: schedule(action)
// replaces it, tests the moment at once and then every 30 seconds until the moment is safe; then it
// clears the action and the timer, sets isRestartingForUpdate and runs the action (normally
// relaunch()). The application's termination handler always lets the process quit while
// isRestartingForUpdate is set, even when the organisation requires it to keep running.
//
// isSafeMoment asks, in this order, and the first decisive answer wins: a share in progress (not
// safe); a framebuffer share, from a scan made at most every 0.09 seconds (not safe); the microphone
// in use (not safe); the screen locked (safe); otherwise safe when the user has been idle for at
// least the Double default "UpdateRestartIdleSeconds" (when it is greater than 0; 120 otherwise).
// An unknown idle time is not safe.
//
// relaunch() starts a detached shell that waits for this process to end (polling every 0.2
// seconds) and then executes the installed program again, and asks the application to quit. A
// second copy that the keep-alive service starts at the same time leaves at once (the
// single-instance guard), so the two never run together.
//
// Until configure() hands it the application's services nothing is ever safe and relaunch() fails.
//
// Threading: main thread. The timer runs on the main queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

class DefaultsStore;
class Dispatcher;
class LogSink;
class Processes;
class SessionState;
class Timer;

class SafeRestart {
 public:
  static constexpr double checkInterval = 30;
  static constexpr double framebufferScanInterval = 0.09;
  static constexpr double defaultIdleSeconds = 120;
  static constexpr const char* idleSecondsKey = "UpdateRestartIdleSeconds";

  struct Environment {
    Dispatcher& dispatcher;
    LogSink& log;
    Processes& processes;
    SessionState* session = nullptr;   // none: the screen counts as unlocked and the idle time as unknown
    DefaultsStore* defaults = nullptr;  // none: the idle threshold is 120 seconds
    std::function<bool()> framebufferShareScan;  // one fresh scan; none: no framebuffer share
    std::function<bool()> microphoneInUse;       // none: the microphone counts as unused
    std::function<void()> terminate;             // asks the application to quit
    std::string executablePath;                  // what the relauncher starts again
  };

  // The process-wide instance.
  static SafeRestart& shared();

  SafeRestart();
  ~SafeRestart();
  SafeRestart(const SafeRestart&) = delete;
  SafeRestart& operator=(const SafeRestart&) = delete;

  // Hands over the application's services (they must outlive the configuration); a pending action
  // stays pending. unconfigure() stops the timer and drops them.
  void configure(Environment environment);
  void unconfigure();

  // Set by the application at start: whether a share or recording is in progress.
  std::function<bool()> isSharing;
  bool isRestartingForUpdate() const { return restartingForUpdate_; }

  void schedule(std::function<void()> action);
  void relaunch();
  bool isSafeMoment();
  bool screenIsLocked() const;

  bool hasPending() const { return static_cast<bool>(pending_); }
  bool isTimerRunning() const;
  // The relauncher's shell script for a process id ("$0" is the program to start again).
  static std::string relauncherScript(long pid);

 private:
  void tick();
  void ensureTimer();

  std::unique_ptr<Environment> env_;
  bool restartingForUpdate_ = false;
  std::function<void()> pending_;
  std::optional<double> lastScanAt_;
  bool lastScanResult_ = false;
  std::unique_ptr<Timer> timer_;
  // Last: the timer's handler checks it.
  std::shared_ptr<SafeRestart*> alive_;
};

}  // namespace corvane
