// Running applications and the frontmost application (the platform's shared workspace).
//
// Threading: main thread. Results are values the caller owns.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvane {

enum class ActivationPolicy : int { regular = 0, accessory = 1, prohibited = 2 };

struct RunningApplication {
  pid_t processIdentifier = 0;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> localizedName;
  ActivationPolicy activationPolicy = ActivationPolicy::regular;
  bool isTerminated = false;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  // Every running application, in launch order.
  virtual std::vector<RunningApplication> runningApplications() = 0;
  virtual std::optional<RunningApplication> frontmostApplication() = 0;
  // NSRunningApplication(processIdentifier:)
  virtual std::optional<RunningApplication> application(pid_t pid) = 0;
};

}  // namespace corvane
