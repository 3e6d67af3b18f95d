// Real processes on a POSIX system: spawning programs with optional pipes, reaping them, and
// running commands to completion.
//
// Each launched child has a reaper thread that waits for it to end and posts the termination
// handler to the main queue of the dispatcher given at construction. The dispatcher must outlive
// this object; once this object is gone, children that end later are still reaped but their
// handlers are no longer posted.
//
// Threading: any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/dispatch.h"
#include "platform/processes.h"

namespace corvane {

// Closes `fd` when open and marks it closed (-1).
void closeFD(int& fd);
// A pipe whose ends are close-on-exec and never one of the standard descriptors, so wiring a
// child's 0, 1 and 2 cannot overwrite another pipe end even when our own standard streams are
// closed. False (nothing left open) when it cannot be made.
bool makePipe(int fds[2]);

class PosixProcesses final : public Processes {
 public:
  // An empty executable path means the running executable.
  explicit PosixProcesses(Dispatcher& dispatcher, std::string executablePath = {});
  ~PosixProcesses() override;
  PosixProcesses(const PosixProcesses&) = delete;
  PosixProcesses& operator=(const PosixProcesses&) = delete;

  pid_t currentProcessIdentifier() const override;
  pid_t parentProcessIdentifier() const override;
  std::string executablePath() const override;
  std::unique_ptr<ChildProcess> launchSelf(const LaunchRequest& request) override;
  CommandResult runCommand(const std::string& program, const std::vector<std::string>& arguments) override;
  // Forks twice, so that the program is no child of ours (init reaps it) and leads a session of its
  // own; an exec failure comes back through a close-on-exec pipe.
  bool startDetached(const std::string& program, const std::vector<std::string>& arguments,
                     std::string* error) override;

  // Points launchSelf() at another program; empty: the running executable again.
  void setExecutablePath(std::string path);
  // Launches `program` (an absolute path, or looked up in PATH) with the request's arguments,
  // environment and pipes. Absent when it could not start.
  std::unique_ptr<ChildProcess> launch(const std::string& program, const LaunchRequest& request);

  // The running executable (/proc/self/exe resolved); empty when it cannot be read.
  static std::string runningExecutablePath();

  struct Context;  // shared with reaper threads

 private:
  std::shared_ptr<Context> context_;
  mutable std::mutex mutex_;
  std::string executablePath_;
};

}  // namespace corvane
