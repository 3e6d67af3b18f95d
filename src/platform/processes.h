// Processes: this process's identity, launching the program's own executable in a helper role, and
// running a command to completion.
//
// Threading: any thread. A child's termination handler runs on the main queue.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvane {

struct LaunchRequest {
  std::vector<std::string> arguments;             // after the executable path
  std::map<std::string, std::string> environment;  // added to (or replacing) the inherited one
  bool pipeStandardInput = false;
  bool pipeStandardOutput = false;
  bool pipeStandardError = false;
};

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;  // does not terminate the child
  virtual pid_t processIdentifier() const = 0;
  virtual bool isRunning() const = 0;
  // Asks the child to end (SIGTERM).
  virtual void terminate() = 0;
  // Pipe ends on our side; -1 when not piped. The child process object owns them.
  virtual int standardInput() const = 0;
  virtual int standardOutput() const = 0;
  virtual int standardError() const = 0;
  // Closes our end of the child's standard input (the child sees end of file).
  virtual void closeStandardInput() = 0;
  // Called once, on the main queue, with the exit status (or 128 + signal).
  virtual void setTerminationHandler(std::function<void(int status)> handler) = 0;
};

struct CommandResult {
  int status = -1;  // exit status; -1 when the command could not be started
  std::string standardOutput;
};

class Processes {
 public:
  virtual ~Processes() = default;
  virtual pid_t currentProcessIdentifier() const = 0;
  // The process that this one acts for: the parent that launched this helper.
  virtual pid_t parentProcessIdentifier() const = 0;
  // Absolute path of the running executable.
  virtual std::string executablePath() const = 0;
  // Launches the program's own executable with the given arguments. Absent when it could not start.
  virtual std::unique_ptr<ChildProcess> launchSelf(const LaunchRequest& request) = 0;
  // Runs a program (looked up in PATH when not absolute) and waits for it to end.
  virtual CommandResult runCommand(const std::string& program, const std::vector<std::string>& arguments) = 0;
  // Starts a program (an absolute path) that outlives this process: in a session of its own, with
  // standard input from /dev/null, never waited for. False, with the reason, when it could not
  // start; a backend that cannot start programs this way always answers false.
  virtual bool startDetached(const std::string& program, const std::vector<std::string>& arguments,
                             std::string* error);
};

}  // namespace corvane
