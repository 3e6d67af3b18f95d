#include "platform/posix/posix_processes.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"

namespace corvane {
namespace {

// Child processes are real: these helpers wait for them in real time, bounded.
constexpr auto kPatience = std::chrono::seconds(10);

std::string readToEnd(int fd) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[256];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, size_t(n));
  }
  return text;
}

// Runs the main queue's due work until `done` holds (the reaper posts from its own thread).
bool runUntil(VirtualDispatcher& dispatcher, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    dispatcher.runUntilIdle();
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool closesOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

class PosixProcessesTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  PosixProcesses processes{dispatcher};

  // Launches `program`, closes its input and collects its output and termination status.
  struct Outcome {
    std::string output;
    std::vector<int> statuses;
  };
  Outcome talkTo(ChildProcess& child, const std::string& input) {
    Outcome outcome;
    child.setTerminationHandler([&outcome](int status) { outcome.statuses.push_back(status); });
    if (!input.empty()) {
      EXPECT_EQ(::write(child.standardInput(), input.data(), input.size()), ssize_t(input.size()));
    }
    child.closeStandardInput();
    outcome.output = readToEnd(child.standardOutput());
    EXPECT_TRUE(runUntil(dispatcher, [&] { return !outcome.statuses.empty(); }));
    return outcome;
  }
};

TEST_F(PosixProcessesTest, RunCommandCapturesOutputAndStatus) {
  CommandResult hi = processes.runCommand("/bin/sh", {"-c", "echo hi"});
  EXPECT_EQ(hi.status, 0);
  EXPECT_EQ(hi.standardOutput, "hi\n");
  CommandResult viaPath = processes.runCommand("sh", {"-c", "printf out; exit 3"});
  EXPECT_EQ(viaPath.status, 3);
  EXPECT_EQ(viaPath.standardOutput, "out");
  EXPECT_EQ(processes.runCommand("sh", {"-c", "kill -TERM $$"}).status, 128 + SIGTERM);
  EXPECT_EQ(processes.runCommand("cat", {}).standardOutput, "") << "reads no input of ours";
  EXPECT_EQ(processes.runCommand("/nonexistent/program", {}).status, -1);
}

TEST_F(PosixProcessesTest, LaunchedChildTalksThroughPipesAndItsEndArrivesOnTheMainQueueOnce) {
  EXPECT_EQ(processes.executablePath(), PosixProcesses::runningExecutablePath());
  processes.setExecutablePath("/bin/cat");
  LaunchRequest request;
  request.pipeStandardInput = true;
  request.pipeStandardOutput = true;
  request.pipeStandardError = true;
  auto child = processes.launchSelf(request);
  ASSERT_TRUE(child);
  EXPECT_GT(child->processIdentifier(), 0);
  EXPECT_TRUE(child->isRunning());
  for (int fd : {child->standardInput(), child->standardOutput(), child->standardError()}) {
    EXPECT_GT(fd, 2);
    EXPECT_TRUE(closesOnExec(fd));
  }

  Outcome outcome = talkTo(*child, "hello\nworld\n");
  EXPECT_EQ(outcome.output, "hello\nworld\n");
  EXPECT_EQ(outcome.statuses, std::vector<int>{0});
  EXPECT_FALSE(child->isRunning());
  EXPECT_EQ(child->standardInput(), -1);
  dispatcher.advance(1);
  EXPECT_EQ(outcome.statuses.size(), 1u);
}

TEST_F(PosixProcessesTest, TerminateEndsTheChildWithTheSignalStatus) {
  auto child = processes.launch("/bin/sleep", LaunchRequest{{"30"}, {}, false, false, false});
  ASSERT_TRUE(child);
  std::vector<int> statuses;
  child->setTerminationHandler([&](int status) { statuses.push_back(status); });
  child->terminate();
  ASSERT_TRUE(runUntil(dispatcher, [&] { return !statuses.empty(); }));
  EXPECT_EQ(statuses, std::vector<int>{128 + SIGTERM});
  child->terminate();  // an ended child is not signalled again
}

TEST_F(PosixProcessesTest, EnvironmentAdditionsAndArgumentsReachTheChild) {
  LaunchRequest request;
  request.arguments = {"-c", "printf '%s|%s|%s' \"$CORVANE_TEST_VALUE\" \"$HOME\" \"$1\"", "sh", "one arg"};
  request.environment = {{"CORVANE_TEST_VALUE", "from test"}, {"HOME", "/tmp/replaced"}};
  request.pipeStandardInput = true;
  request.pipeStandardOutput = true;
  auto child = processes.launch("sh", request);
  ASSERT_TRUE(child);
  Outcome outcome = talkTo(*child, "");
  EXPECT_EQ(outcome.output, "from test|/tmp/replaced|one arg");
}

TEST_F(PosixProcessesTest, HandlerSetAfterTheEndStillArrivesOnTheMainQueue) {
  auto child = processes.launch("/bin/sh", LaunchRequest{{"-c", "exit 7"}, {}, false, false, false});
  ASSERT_TRUE(child);
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (child->isRunning() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_FALSE(child->isRunning());
  std::vector<int> statuses;
  child->setTerminationHandler([&](int status) { statuses.push_back(status); });
  EXPECT_TRUE(statuses.empty()) << "only on the main queue";
  ASSERT_TRUE(runUntil(dispatcher, [&] { return !statuses.empty(); }));
  EXPECT_EQ(statuses, std::vector<int>{7});
}

TEST_F(PosixProcessesTest, AProgramThatCannotStartIsAbsent) {
  processes.setExecutablePath("/nonexistent/corvane");
  EXPECT_FALSE(processes.launchSelf(LaunchRequest{{}, {}, true, true, true}));
  EXPECT_FALSE(processes.launch("corvane-no-such-program", LaunchRequest{}));
}

TEST(SimDesktopProcesses, LaunchSelfStartsTheRealExecutable) {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop(dispatcher);
  desktop.setExecutablePath("/bin/cat");
  EXPECT_EQ(desktop.processes().executablePath(), "/bin/cat");
  LaunchRequest request;
  request.pipeStandardInput = true;
  request.pipeStandardOutput = true;
  auto child = desktop.processes().launchSelf(request);
  ASSERT_TRUE(child);
  std::vector<int> statuses;
  child->setTerminationHandler([&](int status) { statuses.push_back(status); });
  ASSERT_EQ(::write(child->standardInput(), "ping", 4), 4);
  child->closeStandardInput();
  EXPECT_EQ(readToEnd(child->standardOutput()), "ping");
  ASSERT_TRUE(runUntil(dispatcher, [&] { return !statuses.empty(); }));
  EXPECT_EQ(statuses, std::vector<int>{0});
}

}  // namespace
}  // namespace corvane
