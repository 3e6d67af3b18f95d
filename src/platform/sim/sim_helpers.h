// Helper roles run in-process on the simulated desktop.
//
// The program launches copies of itself in helper roles (capture loops, the mirror host). On the
// simulated desktop a role may instead be registered to run inside the launching process: the
// launcher then hands the role the desktop's own ports (the same world and the same virtual-time
// dispatcher) and real pipes for the standard streams that were asked for, and returns a child
// process object that behaves like a real child's (pid, running state, terminate, pipe ends, a
// termination handler with the exit status). Helpers of roles that are not registered are launched
// as real processes, as before.
//
// Because everything runs on the virtual clock, a scenario with helpers plays the same way every
// time. A helper must not block: it does its work in tasks on the dispatcher's queues.
//
// Threading: launch and registration on the driving thread; a helper's exit may be called from any
// of the dispatcher's queues. Termination handlers run on the main queue.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/dispatch.h"
#include "platform/platform.h"
#include "platform/processes.h"

namespace corvane::sim {

// What a helper run in-process is handed.
struct InProcessHelperContext {
  std::vector<std::string> arguments;  // the launch's arguments (after the executable path)
  Platform platform;                   // the desktop's ports
  // The helper's ends of its standard streams: a pipe's end when the launch asked for a pipe,
  // otherwise this process's own 0, 1 and 2. The launcher owns and closes them after the helper ends.
  int standardInput = 0;
  int standardOutput = 1;
  int standardError = 2;
  // The helper ends with this status (like exit()). Only the first call counts; the helper object
  // is destroyed on a later turn of the main queue, never from inside the call.
  std::function<void(int status)> exit;
};

// A running helper. Destroying it stops its work (it is destroyed when it exits, when the child is
// terminated and when the desktop goes).
class InProcessHelper {
 public:
  virtual ~InProcessHelper() = default;
};

// Starts the role. Returning null means the helper could not start: the launch yields no child.
using InProcessRole = std::function<std::unique_ptr<InProcessHelper>(InProcessHelperContext context)>;

class InProcessLauncher {
 public:
  // `platform` gives the ports handed to helpers; `dispatcher` runs termination handlers.
  InProcessLauncher(Dispatcher& dispatcher, std::function<Platform()> platform);
  // Destroys every helper still running (their termination handlers are not called).
  ~InProcessLauncher();
  InProcessLauncher(const InProcessLauncher&) = delete;
  InProcessLauncher& operator=(const InProcessLauncher&) = delete;

  // Registers (or, with an empty role, removes) the role started by `flag`, e.g. "--capture-loop".
  void setRole(const std::string& flag, InProcessRole role);
  bool hasRole(const std::string& flag) const;
  // The registered role whose flag comes first among the arguments, if any.
  std::optional<std::string> roleFlagFor(const std::vector<std::string>& arguments) const;
  // Launches the request's role in-process. Null when no registered flag is among the arguments,
  // when a pipe cannot be made or when the role does not start.
  std::unique_ptr<ChildProcess> launch(const LaunchRequest& request);
  // Helpers running now.
  size_t runningCount() const;
  // Kills the running helpers launched with exactly these arguments, as a signal would: each ends at
  // once with status 128 + `signal`. How many there were.
  size_t kill(const std::vector<std::string>& arguments, int signal);

  struct Run;  // one helper's state, shared with its child object

 private:
  Dispatcher& dispatcher_;
  std::function<Platform()> platform_;
  mutable std::mutex mutex_;
  std::map<std::string, InProcessRole> roles_;
  std::vector<std::shared_ptr<Run>> runs_;
  pid_t nextPID_ = 60000;  // helpers' process identifiers, apart from the world's applications
};

}  // namespace corvane::sim
