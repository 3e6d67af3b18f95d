#include "platform/posix/posix_processes.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <system_error>
#include <thread>

extern char** environ;

namespace corvane {

struct PosixProcesses::Context {
  std::mutex mutex;
  Dispatcher* dispatcher = nullptr;  // null once the PosixProcesses is gone

  void postToMain(std::function<void()> work) {
    std::lock_guard<std::mutex> lock(mutex);
    if (dispatcher) dispatcher->main().async(std::move(work));
  }
};

namespace {

using Context = PosixProcesses::Context;

int statusFromWait(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

struct Pipes {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};

  void closeChildEnds() {
    closeFD(in[0]);
    closeFD(out[1]);
    closeFD(err[1]);
  }
  void closeAll() {
    closeChildEnds();
    closeFD(in[1]);
    closeFD(out[0]);
    closeFD(err[0]);
  }
};

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& additions) {
  std::vector<std::string> env;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string text(*entry);
    if (additions.count(text.substr(0, text.find('=')))) continue;
    env.push_back(std::move(text));
  }
  for (const auto& [key, value] : additions) env.push_back(key + "=" + value);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// Starts `program` (a path, or a name looked up in PATH). The child gets an empty signal mask and
// the default SIGPIPE action whatever this process uses. Without a standard input pipe, the child
// reads /dev/null when `nullInput` is set and inherits ours otherwise.
bool spawn(const std::string& program, const LaunchRequest& request, bool nullInput, Pipes& pipes,
           pid_t& pid) {
  if (program.empty()) return false;
  if ((request.pipeStandardInput && !makePipe(pipes.in)) ||
      (request.pipeStandardOutput && !makePipe(pipes.out)) ||
      (request.pipeStandardError && !makePipe(pipes.err))) {
    pipes.closeAll();
    return false;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipes.in[0] >= 0) {
    posix_spawn_file_actions_adddup2(&actions, pipes.in[0], STDIN_FILENO);
  } else if (nullInput) {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (pipes.out[1] >= 0) posix_spawn_file_actions_adddup2(&actions, pipes.out[1], STDOUT_FILENO);
  if (pipes.err[1] >= 0) posix_spawn_file_actions_adddup2(&actions, pipes.err[1], STDERR_FILENO);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t noSignals;
  sigemptyset(&noSignals);
  posix_spawnattr_setsigmask(&attributes, &noSignals);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argStrings;
  argStrings.reserve(request.arguments.size() + 1);
  argStrings.push_back(program);
  argStrings.insert(argStrings.end(), request.arguments.begin(), request.arguments.end());
  std::vector<std::string> envStrings = mergedEnvironment(request.environment);
  std::vector<char*> argv = pointers(argStrings);
  std::vector<char*> envp = pointers(envStrings);

  int rc = program.find('/') != std::string::npos
               ? posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data())
               : posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  pipes.closeChildEnds();
  if (rc != 0) {
    pipes.closeAll();
    return false;
  }
  return true;
}

// What a child process object and its reaper thread share.
struct ChildState {
  std::mutex mutex;
  pid_t pid = 0;
  bool exited = false;
  int status = -1;
  bool delivered = false;
  std::function<void(int)> handler;
  std::shared_ptr<Context> context;
};

// With the state's mutex held: collects the child's end if it has come (waiting for it when
// `flags` has no WNOHANG). Reaping only under the mutex means that terminate(), which signals
// under the same mutex, can never hit a pid the system has handed to another process. Returns
// true when this call saw the end.
bool collectExit(ChildState& state, int flags) {
  if (state.exited) return false;
  int raw = 0;
  pid_t r;
  do {
    r = ::waitpid(state.pid, &raw, flags);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  state.exited = true;
  // r < 0: someone else reaped it (ECHILD); its status is unknown.
  state.status = r == state.pid ? statusFromWait(raw) : -1;
  return true;
}

void deliver(const std::shared_ptr<ChildState>& state) {
  std::function<void(int)> handler;
  int status;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->delivered || !state->exited || !state->handler) return;
    state->delivered = true;
    handler = std::move(state->handler);
    state->handler = nullptr;
    status = state->status;
  }
  handler(status);
}

void postDelivery(const std::shared_ptr<ChildState>& state) {
  state->context->postToMain([state] { deliver(state); });
}

// The reaper: waits (without reaping) until the child ends, then reaps it under the mutex.
void reap(std::shared_ptr<ChildState> state) {
  siginfo_t info{};
  int r;
  do {
    r = ::waitid(P_PID, id_t(state->pid), &info, WEXITED | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  bool ended;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    ended = collectExit(*state, 0);
  }
  if (ended) postDelivery(state);
}

class PosixChild final : public ChildProcess {
 public:
  PosixChild(std::shared_ptr<ChildState> state, const Pipes& pipes)
      : state_(std::move(state)), in_(pipes.in[1]), out_(pipes.out[0]), err_(pipes.err[0]) {}
  ~PosixChild() override {
    closeFD(in_);
    closeFD(out_);
    closeFD(err_);
    // Whoever set the handler is going away with this object.
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->handler = nullptr;
  }
  PosixChild(const PosixChild&) = delete;
  PosixChild& operator=(const PosixChild&) = delete;

  pid_t processIdentifier() const override { return state_->pid; }

  bool isRunning() const override {
    bool ended;
    bool running;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      ended = collectExit(*state_, WNOHANG);
      running = !state_->exited;
    }
    if (ended) postDelivery(state_);
    return running;
  }

  void terminate() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->exited) ::kill(state_->pid, SIGTERM);
  }

  int standardInput() const override { return in_; }
  int standardOutput() const override { return out_; }
  int standardError() const override { return err_; }
  void closeStandardInput() override { closeFD(in_); }

  void setTerminationHandler(std::function<void(int status)> handler) override {
    bool ended;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      state_->handler = std::move(handler);
      ended = state_->exited && !state_->delivered;
    }
    if (ended) postDelivery(state_);
  }

 private:
  std::shared_ptr<ChildState> state_;
  int in_;
  int out_;
  int err_;
};

}  // namespace

void closeFD(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A pipe whose ends are close-on-exec and never one of the standard descriptors, so wiring a
// child's 0, 1 and 2 cannot overwrite another pipe end even when our own standard streams are
// closed.
bool makePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 3) continue;
    int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
    ::close(fds[i]);
    fds[i] = moved;
  }
  if (fds[0] < 0 || fds[1] < 0) {
    closeFD(fds[0]);
    closeFD(fds[1]);
    return false;
  }
  return true;
}

PosixProcesses::PosixProcesses(Dispatcher& dispatcher, std::string executablePath)
    : context_(std::make_shared<Context>()), executablePath_(std::move(executablePath)) {
  context_->dispatcher = &dispatcher;
}

PosixProcesses::~PosixProcesses() {
  std::lock_guard<std::mutex> lock(context_->mutex);
  context_->dispatcher = nullptr;
}

pid_t PosixProcesses::currentProcessIdentifier() const { return ::getpid(); }
pid_t PosixProcesses::parentProcessIdentifier() const { return ::getppid(); }


std::string PosixProcesses::runningExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || size_t(n) >= sizeof buffer) return {};
  return std::string(buffer, size_t(n));
}

std::string PosixProcesses::executablePath() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!executablePath_.empty()) return executablePath_;
  }
  return runningExecutablePath();
}

void PosixProcesses::setExecutablePath(std::string path) {
  std::lock_guard<std::mutex> lock(mutex_);
  executablePath_ = std::move(path);
}

std::unique_ptr<ChildProcess> PosixProcesses::launchSelf(const LaunchRequest& request) {
  return launch(executablePath(), request);
}

std::unique_ptr<ChildProcess> PosixProcesses::launch(const std::string& program, const LaunchRequest& request) {
  Pipes pipes;
  pid_t pid = 0;
  if (!spawn(program, request, false, pipes, pid)) return nullptr;
  auto state = std::make_shared<ChildState>();
  state->pid = pid;
  state->context = context_;
  try {
    std::thread(reap, state).detach();
  } catch (const std::system_error&) {
    // No reaper: isRunning() still notices the end and then posts the handler.
  }
  return std::make_unique<PosixChild>(std::move(state), pipes);
}

bool PosixProcesses::startDetached(const std::string& program, const std::vector<std::string>& arguments,
                                   std::string* error) {
  auto fail = [error](std::string reason) {
    if (error) *error = std::move(reason);
    return false;
  };
  if (program.empty() || program.front() != '/') return fail("not an absolute path: " + program);
  // Everything the children need is made before the fork: after it only async-signal-safe calls.
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envStrings = mergedEnvironment({});
  std::vector<char*> argv = pointers(argStrings);
  std::vector<char*> envp = pointers(envStrings);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return fail(std::strerror(errno));
  const pid_t child = ::fork();
  if (child < 0) {
    const int e = errno;
    ::close(report[0]);
    ::close(report[1]);
    return fail(std::strerror(e));
  }
  if (child == 0) {
    ::close(report[0]);
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) {
      if (grandchild < 0) {
        const int e = errno;
        (void)!::write(report[1], &e, sizeof e);
      }
      ::_exit(0);
    }
    const int null = ::open("/dev/null", O_RDONLY);
    if (null > 0) {
      ::dup2(null, STDIN_FILENO);
      ::close(null);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &defaultAction, nullptr);
    ::execve(program.c_str(), argv.data(), envp.data());
    const int e = errno;
    (void)!::write(report[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int childError = 0;
  ssize_t n;
  while ((n = ::read(report[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n == ssize_t(sizeof childError)) return fail(std::strerror(childError));
  return true;
}

CommandResult PosixProcesses::runCommand(const std::string& program, const std::vector<std::string>& arguments) {
  CommandResult result;
  LaunchRequest request;
  request.arguments = arguments;
  request.pipeStandardOutput = true;
  Pipes pipes;
  pid_t pid = 0;
  if (!spawn(program, request, true, pipes, pid)) return result;

  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(pipes.out[0], buffer, sizeof buffer);
    if (n > 0) {
      result.standardOutput.append(buffer, size_t(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  pipes.closeAll();

  int raw = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &raw, 0);
  } while (r < 0 && errno == EINTR);
  result.status = r == pid ? statusFromWait(raw) : -1;
  return result;
}

}  // namespace corvane
