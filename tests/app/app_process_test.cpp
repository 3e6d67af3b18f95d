// The real executable as a user starts it: the live application on the simulated desktop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "settings/settings_test_support.h"

namespace corvane {
namespace {

struct Child {
  pid_t pid = -1;
  int errorOutput = -1;  // the read end of its standard error
};

// Starts `corvane` with these extra environment variables, its standard error on a pipe.
Child startCorvane(const std::vector<std::string>& environment) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const auto& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    ::dup2(fds[1], 2);
    ::close(fds[0]);
    ::close(fds[1]);
    ::execl(CORVANE_EXE, CORVANE_EXE, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  return {pid, fds[0]};
}

// Reads the child's standard error until `line` has appeared or it is closed; what was read.
std::string readUntil(int fd, const std::string& line) {
  std::string text;
  char buffer[256];
  while (text.find(line) == std::string::npos) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, size_t(n));
  }
  return text;
}

int exitStatus(pid_t pid, int options = 0) {
  int status = 0;
  const pid_t done = ::waitpid(pid, &status, options);
  if (done != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(AppProcessTest, SecondCopyLeavesAtOnceAndTheFirstRunsUntilSigterm) {
  testing::TempDir runtime;
  const std::vector<std::string> environment = {
      "CORVANE_BACKEND=sim", "CORVANE_SIM_DESKTOP=" + std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo-desktop.json",
      "XDG_RUNTIME_DIR=" + runtime.path(), "XDG_CONFIG_HOME=" + runtime / "config",
      "CORVANE_POLICY_PATH=" + runtime / "no-policy.json", "CORVANE_MANAGED_PLIST=" + runtime / "no-managed.plist"};
  Child first = startCorvane(environment);
  ASSERT_GT(first.pid, 0);
  // It holds the lock once it says that it runs.
  std::string log = readUntil(first.errorOutput, "Corvane: running\n");
  ASSERT_NE(log.find("Corvane: running"), std::string::npos) << log;

  Child second = startCorvane(environment);
  ASSERT_GT(second.pid, 0);
  EXPECT_EQ(readUntil(second.errorOutput, "\n"), "") << "the second copy leaves quietly";
  EXPECT_EQ(exitStatus(second.pid), 0);
  ::close(second.errorOutput);

  EXPECT_EQ(exitStatus(first.pid, WNOHANG), -1) << "the first copy keeps running";
  ::kill(first.pid, SIGTERM);
  log += readUntil(first.errorOutput, "Corvane: stopped\n");
  EXPECT_EQ(exitStatus(first.pid), 0);
  ::close(first.errorOutput);
  EXPECT_NE(log.find("Corvane: stopping on SIGTERM"), std::string::npos) << log;
  EXPECT_NE(log.find("Corvane: stopped"), std::string::npos) << log;
}

}  // namespace
}  // namespace corvane
