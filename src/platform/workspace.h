// Running applications and the frontmost application (the platform's shared workspace).
//
// Threading: main thread. Results are values the caller owns.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "base/observable.h"

namespace corvane {

enum class ActivationPolicy : int { regular = 0, accessory = 1, prohibited = 2 };

enum class WorkspaceNotification {
  didActivateApplication,    // names the application now active
  didDeactivateApplication,  // names the application that was active
  activeSpaceDidChange,      // names none
  didHideApplication,        // names the application the user hid
  didUnhideApplication,      // names the application shown again
};

struct RunningApplication {
  pid_t processIdentifier = 0;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> localizedName;
  ActivationPolicy activationPolicy = ActivationPolicy::regular;
  bool isTerminated = false;
  bool isHidden = false;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  // Every running application, in launch order.
  virtual std::vector<RunningApplication> runningApplications() = 0;
  virtual std::optional<RunningApplication> frontmostApplication() = 0;
  // NSRunningApplication(processIdentifier:)
  virtual std::optional<RunningApplication> application(pid_t pid) = 0;

  // Notifications reach observers on the main queue, on a later turn than the change behind them
  // (the window server has already acted by then). The application may be absent.
  using Observer = std::function<void(const std::optional<RunningApplication>& application)>;
  [[nodiscard]] virtual Subscription addObserver(WorkspaceNotification name, Observer observer) = 0;
  // Opens a URL (a settings page, a web page) with whatever handles it; false when nothing could.
  virtual bool openURL(const std::string& url) = 0;
};

}  // namespace corvane
