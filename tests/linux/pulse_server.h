// A private sound server for tests: PulseAudio with two null devices (an output and an input),
// reached through its own socket, which PULSE_SERVER names for the test program and its children.
// It runs as the test program's user (root included), outside the user's session, and never
// touches the user's own server. Streams are started with pacat and parecord.
//
// Without pulseaudio on the machine, shared() gives nothing and a reason to skip; the bootstrap
// installs it. Waiting for the server is bounded.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace corvane::pulse::test {

inline bool programOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    if (access((dirs.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// Polls `done` until it holds or `seconds` of wall time pass (the server works in its own time).
inline bool eventually(const std::function<bool()>& done, double seconds = 10) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A process started with the test program's environment, its output thrown away; ended (SIGTERM)
// and reaped when destroyed.
class Process {
 public:
  explicit Process(const std::vector<std::string>& argv, char** env = environ) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), env) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() { stop(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  pid_t pid() const { return pid_; }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
};

class PulseServer {
 public:
  // The one server of the test program, started on first use; null with a reason when it cannot
  // run (a reason beginning with "FAIL: " means it is installed but did not start).
  static PulseServer* shared(std::string* reason) {
    static std::unique_ptr<PulseServer> server;
    static std::string why;
    static bool tried = false;
    if (!tried) {
      tried = true;
      if (!programOnPath("pulseaudio") || !programOnPath("parecord") || !programOnPath("pacat")) {
        why = "pulseaudio and pulseaudio-utils are not installed (scripts/bootstrap installs them): skipped";
      } else {
        server.reset(new PulseServer);
        if (!server->start()) {
          why = "FAIL: the test's PulseAudio server did not start (see " + server->logPath() + ")";
          server.reset();
        }
      }
    }
    if (!server && reason) *reason = why;
    return server.get();
  }

  ~PulseServer() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  bool running() const { return process_ != nullptr; }
  std::string logPath() const { return dir_ + "/server.log"; }

  // Ends the server (its clients see it go away).
  void stop() { process_.reset(); }

  // Starts it (again) on the same socket; true once it answers.
  bool start() {
    stop();
    ::unlink(socket_.c_str());
    const std::string home = "HOME=" + dir_, runtime = "XDG_RUNTIME_DIR=" + dir_ + "/runtime",
                      config = "XDG_CONFIG_HOME=" + dir_ + "/config", path = std::string("PATH=") + std::getenv("PATH");
    std::vector<char*> env = {const_cast<char*>(home.c_str()), const_cast<char*>(runtime.c_str()),
                              const_cast<char*>(config.c_str()), const_cast<char*>(path.c_str()), nullptr};
    const std::string conf = dir_ + "/server.pa";
    // --system=no: a server of this user's own, root included.
    std::vector<std::string> argv = {"sh", "-c",
                                     "exec pulseaudio --system=no --daemonize=no --exit-idle-time=-1 --use-pid-file=no "
                                     "--disable-shm=yes -n -F '" + conf + "' >>'" + logPath() + "' 2>&1"};
    process_ = std::make_unique<Process>(argv, env.data());
    if (!eventually([&] { return answers(); })) {
      stop();
      return false;
    }
    return true;
  }

 private:
  PulseServer() {
    char pattern[] = "/tmp/corvane-pulse-XXXXXX";
    dir_ = mkdtemp(pattern) ? pattern : "/tmp/corvane-pulse";
    mkdir((dir_ + "/runtime").c_str(), 0700);
    mkdir((dir_ + "/config").c_str(), 0700);
    socket_ = dir_ + "/native";
    std::ofstream(dir_ + "/server.pa") << "load-module module-null-sink sink_name=speaker\n"
                                          "load-module module-null-sink sink_name=microphone\n"
                                          "set-default-sink speaker\n"
                                          "set-default-source microphone.monitor\n"
                                          "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                                              socket_ + "\n";
    setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
  }

  bool answers() const {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
  }

  std::string dir_;
  std::string socket_;
  std::unique_ptr<Process> process_;
};

}  // namespace corvane::pulse::test
