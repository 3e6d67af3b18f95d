#include "platform/sim/sim_helpers.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/posix_processes.h"

namespace corvane::sim {

namespace {

// A pipe for a helper that runs in this process: the ordinary pipe, made roomy.
bool makeHelperPipe(int fds[2]) {
  if (!makePipe(fds)) return false;
  // Helper and reader share one thread in virtual time: a roomy pipe keeps a helper that writes
  // more than the reader has taken yet from blocking it.
  ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
  return true;
}

}  // namespace

// Ends are indexed 0 standard input, 1 standard output, 2 standard error. `ours` are the
// launching side's ends (the write end of standard input, the read ends of the others), `theirs`
// the helper's; -1 where the stream is not piped.
struct InProcessLauncher::Run {
  std::mutex mutex;
  Dispatcher* dispatcher = nullptr;  // null once the launcher is gone: no more handlers
  pid_t pid = 0;
  std::vector<std::string> arguments;
  bool running = true;
  int status = 0;
  bool delivered = false;
  std::function<void(int)> handler;
  std::unique_ptr<InProcessHelper> helper;
  int ours[3] = {-1, -1, -1};
  int theirs[3] = {-1, -1, -1};

  ~Run() {
    for (int& fd : ours) closeFD(fd);
    for (int& fd : theirs) closeFD(fd);
  }

  // Called with the lock held, once the helper has ended: hands the status to the handler on a
  // later turn of the main queue.
  void postHandler(const std::shared_ptr<Run>& self) {
    if (!handler || delivered || !dispatcher) return;
    delivered = true;
    dispatcher->main().async([self, handler = handler, status = status] {
      (void)self;
      handler(status);
    });
  }

  // Ends the helper with `status`. From inside the helper (exit) the helper object is destroyed on
  // a later turn; from outside (terminate) at once, so that none of its work runs afterwards.
  static void end(const std::shared_ptr<Run>& run, int status, bool fromInside) {
    std::unique_ptr<InProcessHelper> helper;
    {
      std::lock_guard<std::mutex> lock(run->mutex);
      if (!run->running) return;
      run->running = false;
      run->status = status;
      helper = std::move(run->helper);
      run->postHandler(run);
    }
    if (!fromInside) {
      helper.reset();
      std::lock_guard<std::mutex> lock(run->mutex);
      for (int& fd : run->theirs) closeFD(fd);
      return;
    }
    std::shared_ptr<InProcessHelper> later(std::move(helper));
    Dispatcher* dispatcher = nullptr;
    {
      std::lock_guard<std::mutex> lock(run->mutex);
      dispatcher = run->dispatcher;
    }
    auto finish = [run, later]() mutable {
      later.reset();
      std::lock_guard<std::mutex> lock(run->mutex);
      for (int& fd : run->theirs) closeFD(fd);
    };
    if (dispatcher) {
      dispatcher->main().async(std::move(finish));
    } else {
      finish();
    }
  }
};

namespace {

using Run = InProcessLauncher::Run;

class InProcessChild final : public ChildProcess {
 public:
  explicit InProcessChild(std::shared_ptr<Run> run) : run_(std::move(run)) {}

  // Like a real child, the helper keeps running. Its output then goes nowhere (not into a pipe
  // that nobody reads, which would block it), and its standard input ends.
  ~InProcessChild() override {
    std::lock_guard<std::mutex> lock(run_->mutex);
    closeFD(run_->ours[0]);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (int i = 1; i < 3; ++i) {
      if (run_->theirs[i] >= 0 && null >= 0) ::dup3(null, run_->theirs[i], O_CLOEXEC);
      closeFD(run_->ours[i]);
    }
    if (null >= 0) ::close(null);
  }

  pid_t processIdentifier() const override { return run_->pid; }
  bool isRunning() const override {
    std::lock_guard<std::mutex> lock(run_->mutex);
    return run_->running;
  }
  void terminate() override { Run::end(run_, 128 + SIGTERM, false); }
  int standardInput() const override { return end(0); }
  int standardOutput() const override { return end(1); }
  int standardError() const override { return end(2); }
  void closeStandardInput() override {
    std::lock_guard<std::mutex> lock(run_->mutex);
    closeFD(run_->ours[0]);
  }
  void setTerminationHandler(std::function<void(int status)> handler) override {
    std::lock_guard<std::mutex> lock(run_->mutex);
    run_->handler = std::move(handler);
    run_->delivered = false;
    if (!run_->running) run_->postHandler(run_);
  }

 private:
  int end(int i) const {
    std::lock_guard<std::mutex> lock(run_->mutex);
    return run_->ours[i];
  }
  std::shared_ptr<Run> run_;
};

}  // namespace

InProcessLauncher::InProcessLauncher(Dispatcher& dispatcher, std::function<Platform()> platform)
    : dispatcher_(dispatcher), platform_(std::move(platform)) {}

InProcessLauncher::~InProcessLauncher() {
  std::vector<std::shared_ptr<Run>> runs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    runs.swap(runs_);
  }
  for (const auto& run : runs) {
    {
      std::lock_guard<std::mutex> lock(run->mutex);
      run->dispatcher = nullptr;
    }
    Run::end(run, 128 + SIGTERM, false);
  }
}

void InProcessLauncher::setRole(const std::string& flag, InProcessRole role) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (role) {
    roles_[flag] = std::move(role);
  } else {
    roles_.erase(flag);
  }
}

bool InProcessLauncher::hasRole(const std::string& flag) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return roles_.count(flag) != 0;
}

std::optional<std::string> InProcessLauncher::roleFlagFor(const std::vector<std::string>& arguments) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& a : arguments) {
    if (roles_.count(a)) return a;
  }
  return std::nullopt;
}

size_t InProcessLauncher::runningCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const auto& run : runs_) {
    std::lock_guard<std::mutex> runLock(run->mutex);
    if (run->running) ++count;
  }
  return count;
}

std::unique_ptr<ChildProcess> InProcessLauncher::launch(const LaunchRequest& request) {
  InProcessRole role;
  auto run = std::make_shared<Run>();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& a : request.arguments) {
      if (auto it = roles_.find(a); it != roles_.end()) {
        role = it->second;
        break;
      }
    }
    if (!role) return nullptr;
    run->pid = nextPID_++;
    run->arguments = request.arguments;
    // Forget helpers that have ended.
    runs_.erase(std::remove_if(runs_.begin(), runs_.end(),
                               [](const std::shared_ptr<Run>& r) {
                                 std::lock_guard<std::mutex> runLock(r->mutex);
                                 return !r->running;
                               }),
                runs_.end());
  }
  run->dispatcher = &dispatcher_;
  const bool piped[3] = {request.pipeStandardInput, request.pipeStandardOutput, request.pipeStandardError};
  for (int i = 0; i < 3; ++i) {
    if (!piped[i]) continue;
    int fds[2];
    if (!makeHelperPipe(fds)) return nullptr;  // the Run closes what was made
    // Standard input: the helper reads fds[0]; the others: the helper writes fds[1].
    run->theirs[i] = i == 0 ? fds[0] : fds[1];
    run->ours[i] = i == 0 ? fds[1] : fds[0];
  }

  std::weak_ptr<Run> weak = run;
  InProcessHelperContext context{request.arguments, platform_(), run->theirs[0] >= 0 ? run->theirs[0] : 0,
                                 run->theirs[1] >= 0 ? run->theirs[1] : 1, run->theirs[2] >= 0 ? run->theirs[2] : 2,
                                 [weak](int status) {
                                   if (auto r = weak.lock()) Run::end(r, status, true);
                                 }};
  std::unique_ptr<InProcessHelper> helper = role(std::move(context));
  {
    std::lock_guard<std::mutex> lock(run->mutex);
    if (run->running) {
      if (!helper) return nullptr;
      run->helper = std::move(helper);
    }
    // A helper that exited while it started (a missing file, a stop already asked for) is a child
    // that has already ended: its status reaches the termination handler.
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    runs_.push_back(run);
  }
  return std::make_unique<InProcessChild>(run);
}

size_t InProcessLauncher::kill(const std::vector<std::string>& arguments, int signal) {
  std::vector<std::shared_ptr<Run>> matching;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& run : runs_) {
      std::lock_guard<std::mutex> runLock(run->mutex);
      if (run->running && run->arguments == arguments) matching.push_back(run);
    }
  }
  for (const auto& run : matching) Run::end(run, 128 + signal, false);
  return matching.size();
}

}  // namespace corvane::sim
