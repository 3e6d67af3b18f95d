#include "platform/sim/sim_helpers.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"

namespace corvane {
namespace {

using sim::InProcessHelper;
using sim::InProcessHelperContext;

// Everything a test helper did, kept beyond its life.
struct Trace {
  std::vector<std::string> arguments;
  int ticks = 0;
  bool destroyed = false;
  pid_t parent = 0;
};

// Writes "tick N\n" to its standard output once a second of virtual time, and exits with status 5
// after the third tick (0 ticks: at start, with status 1, as a helper with a missing file does).
class TickHelper final : public InProcessHelper {
 public:
  TickHelper(InProcessHelperContext context, std::shared_ptr<Trace> trace, int exitAfter, size_t padding)
      : context_(std::move(context)), trace_(std::move(trace)), exitAfter_(exitAfter), padding_(padding) {
    trace_->arguments = context_.arguments;
    trace_->parent = context_.platform.processes.parentProcessIdentifier();
    queue_ = context_.platform.dispatcher.makeSerialQueue("tick", QoS::normal);
    if (exitAfter_ == 0) {
      context_.exit(1);
      return;
    }
    schedule();
  }
  ~TickHelper() override { trace_->destroyed = true; }

 private:
  void schedule() {
    queue_->asyncAfter(1.0, [this] {
      const std::string line = std::string(padding_, '.') + "tick " + std::to_string(++trace_->ticks) + "\n";
      if (::write(context_.standardOutput, line.data(), line.size()) < 0) ADD_FAILURE() << "write";
      if (trace_->ticks == exitAfter_) {
        context_.exit(5);
        return;
      }
      schedule();
    });
  }
  InProcessHelperContext context_;
  std::shared_ptr<Trace> trace_;
  int exitAfter_;
  size_t padding_;
  std::unique_ptr<DispatchQueue> queue_;
};

std::string readAvailable(int fd) {
  std::string text;
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  char buffer[256];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
  ::fcntl(fd, F_SETFL, flags);
  return text;
}

class InProcessHelpersTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  std::unique_ptr<sim::SimDesktop> desktop = std::make_unique<sim::SimDesktop>(dispatcher);
  std::shared_ptr<Trace> trace = std::make_shared<Trace>();
  std::vector<int> statuses;

  void SetUp() override {
    desktop->setExecutablePath("/bin/true");
    desktop->runInProcess("--tick", [this](InProcessHelperContext c) -> std::unique_ptr<InProcessHelper> {
      // The flag may stand anywhere; its arguments follow it.
      const size_t i = size_t(std::find(c.arguments.begin(), c.arguments.end(), "--tick") - c.arguments.begin());
      const int exitAfter = i + 1 < c.arguments.size() ? std::stoi(c.arguments[i + 1]) : 3;
      if (exitAfter < 0) return nullptr;
      const size_t padding = i + 2 < c.arguments.size() ? size_t(std::stoul(c.arguments[i + 2])) : 0;
      return std::make_unique<TickHelper>(std::move(c), trace, exitAfter, padding);
    });
  }
  std::unique_ptr<ChildProcess> launch(std::vector<std::string> arguments) {
    LaunchRequest request;
    request.arguments = std::move(arguments);
    request.pipeStandardOutput = true;
    auto child = desktop->processes().launchSelf(request);
    if (child) child->setTerminationHandler([this](int status) { statuses.push_back(status); });
    return child;
  }
};

TEST_F(InProcessHelpersTest, ARegisteredRoleRunsOnTheVirtualClockWithRealPipesAndReportsItsStatus) {
  auto child = launch({"--tick", "3"});
  ASSERT_TRUE(child);
  EXPECT_EQ(trace->arguments, (std::vector<std::string>{"--tick", "3"}));
  EXPECT_EQ(trace->parent, desktop->selfPID());
  EXPECT_NE(child->processIdentifier(), desktop->selfPID());
  EXPECT_TRUE(child->isRunning());
  EXPECT_EQ(desktop->inProcessLauncher().runningCount(), 1u);

  dispatcher.advance(2.5);
  EXPECT_EQ(readAvailable(child->standardOutput()), "tick 1\ntick 2\n");
  EXPECT_TRUE(statuses.empty());
  dispatcher.advance(1.0);
  EXPECT_FALSE(child->isRunning());
  EXPECT_EQ(statuses, std::vector<int>{5});
  EXPECT_TRUE(trace->destroyed);
  EXPECT_EQ(readAvailable(child->standardOutput()), "tick 3\n");
  dispatcher.advance(10);
  EXPECT_EQ(trace->ticks, 3);
}

TEST_F(InProcessHelpersTest, TerminatingStopsTheHelperAtOnceAndExitsDuringStartAreReported) {
  auto child = launch({"--tick", "100"});
  ASSERT_TRUE(child);
  dispatcher.advance(1.5);
  child->terminate();
  EXPECT_TRUE(trace->destroyed) << "none of its work runs after terminate";
  dispatcher.advance(5);
  EXPECT_EQ(trace->ticks, 1);
  EXPECT_EQ(statuses, std::vector<int>{143});

  statuses.clear();
  auto early = launch({"x", "--tick", "0"});
  ASSERT_TRUE(early) << "a helper that exits while starting is a child that has ended";
  dispatcher.runUntilIdle();
  EXPECT_FALSE(early->isRunning());
  EXPECT_EQ(statuses, std::vector<int>{1});

  EXPECT_FALSE(launch({"--tick", "-1"})) << "a role that cannot start gives no child, never the executable";
}

TEST_F(InProcessHelpersTest, UnregisteredRolesStartTheExecutableAndDroppedOrOrphanedHelpersAreSafe) {
  auto real = launch({"--other"});
  ASSERT_TRUE(real);
  EXPECT_GE(real->processIdentifier(), 1);
  EXPECT_LT(real->processIdentifier(), 60000) << "a real process of /bin/true";
  EXPECT_EQ(desktop->inProcessLauncher().runningCount(), 0u);
  // The real child ends whenever it likes: keep its status out of the counts below.
  real->setTerminationHandler([](int) {});

  // A child object dropped while its helper runs: the helper goes on, and its output (more than a
  // pipe holds) goes nowhere instead of blocking the one thread everything runs on.
  {
    auto dropped = launch({"--tick", "1000", std::to_string(3 << 20)});
    ASSERT_TRUE(dropped);
  }
  dispatcher.advance(3);
  EXPECT_EQ(trace->ticks, 3);

  // The desktop going ends its helpers without calling handlers.
  auto running = launch({"--tick", "1000"});
  ASSERT_TRUE(running);
  const size_t before = statuses.size();
  desktop.reset();
  EXPECT_TRUE(trace->destroyed);
  dispatcher.advance(5);
  EXPECT_EQ(statuses.size(), before);
}

}  // namespace
}  // namespace corvane
