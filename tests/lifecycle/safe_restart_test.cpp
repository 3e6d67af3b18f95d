#include "lifecycle/safe_restart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "platform/posix/posix_processes.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_session.h"
#include "settings/memory_defaults_store.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

// The world a restart looks at: a share, a framebuffer share, the microphone, the session.
struct SafeRestartFixture : ::testing::Test {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  MemoryDefaultsStore defaults;
  MemoryLog log;
  bool sharing = false;
  bool framebufferShare = false;
  bool microphone = false;
  int scans = 0;
  int terminations = 0;
  SafeRestart restart;

  void SetUp() override {
    restart.isSharing = [this] { return sharing; };
    restart.configure(environment(desktop.processes()));
  }
  SafeRestart::Environment environment(Processes& processes) {
    return SafeRestart::Environment{dispatcher, log, processes, &desktop.session(), &defaults,
                                    [this] {
                                      ++scans;
                                      return framebufferShare;
                                    },
                                    [this] { return microphone; }, [this] { ++terminations; }, "/opt/corvane/corvane"};
  }
};

TEST_F(SafeRestartFixture, SafeMomentAsksInOrderAndTheFirstDecisiveAnswerWins) {
  struct Row {
    const char* what;
    bool sharing, framebuffer, microphone;
    std::optional<PlistValue> lockValue;
    double idle;
    std::optional<PlistValue> threshold;
    bool safe;
  };
  const std::vector<Row> rows = {
      {"a share blocks even a locked, idle screen", true, false, false, PlistValue(true), 1e6, {}, false},
      {"a framebuffer share blocks", false, true, false, PlistValue(true), 1e6, {}, false},
      {"the microphone blocks", false, false, true, PlistValue(true), 1e6, {}, false},
      {"a locked screen is safe at once", false, false, false, PlistValue(true), 0, {}, true},
      {"the lock key must be a Boolean", false, false, false, PlistValue("true"), 0, {}, false},
      {"idle below the default 120 s", false, false, false, {}, 119.9, {}, false},
      {"idle at the default 120 s", false, false, false, {}, 120, {}, true},
      {"a configured threshold", false, false, false, {}, 20, PlistValue(20.0), true},
      {"below a configured threshold", false, false, false, {}, 19.5, PlistValue(20), false},
      {"0 means 120", false, false, false, {}, 60, PlistValue(0.0), false},
      {"a negative number means 120", false, false, false, {}, 120, PlistValue(-5.0), true},
      {"a threshold of another type means 120", false, false, false, {}, 100, PlistValue("10"), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    dispatcher.advance(1);  // past the scan cache
    sharing = row.sharing;
    framebufferShare = row.framebuffer;
    microphone = row.microphone;
    desktop.session().setDictionaryValue(row.lockValue);
    desktop.session().setIdleSeconds(row.idle);
    if (row.threshold) {
      defaults.set(applicationDomain, SafeRestart::idleSecondsKey, *row.threshold);
    } else {
      defaults.remove(applicationDomain, SafeRestart::idleSecondsKey);
    }
    const int scansBefore = scans;
    EXPECT_EQ(restart.isSafeMoment(), row.safe);
    EXPECT_EQ(scans - scansBefore, row.sharing ? 0 : 1) << "a share is decisive before any scan";
  }
  // Without a session dictionary the screen counts as unlocked.
  desktop.session().setScreenLocked(true);
  desktop.session().setIdleSeconds(0);
  desktop.session().setDictionaryAvailable(false);
  EXPECT_FALSE(restart.screenIsLocked());
  EXPECT_FALSE(restart.isSafeMoment());
}

TEST_F(SafeRestartFixture, FramebufferScansWithin90MillisecondsReuseTheFirstResult) {
  desktop.session().setScreenLocked(true);
  framebufferShare = true;
  EXPECT_FALSE(restart.isSafeMoment());
  framebufferShare = false;  // the share ended, but the cached scan still says it runs
  dispatcher.advance(0.05);
  EXPECT_FALSE(restart.isSafeMoment());
  EXPECT_EQ(scans, 1);
  dispatcher.advance(0.045);
  EXPECT_TRUE(restart.isSafeMoment());
  EXPECT_EQ(scans, 2);
}

TEST_F(SafeRestartFixture, ScheduleWaitsForASafeMomentTestedEvery30SecondsAndTheLatestActionWins) {
  int first = 0, second = 0;
  sharing = true;
  desktop.session().setIdleSeconds(1000);
  restart.schedule([&] { ++first; });
  EXPECT_TRUE(log.contains("Corvane: update ready; restarting at the next safe moment"));
  restart.schedule([&] { ++second; });
  EXPECT_TRUE(restart.hasPending());
  EXPECT_TRUE(restart.isTimerRunning());
  dispatcher.advance(29);
  sharing = false;  // the share ends between two checks: nothing happens before the next one
  dispatcher.advance(0.9);
  EXPECT_EQ(second, 0);
  dispatcher.advance(0.2);
  EXPECT_EQ(first, 0) << "a later schedule replaces the earlier action";
  EXPECT_EQ(second, 1);
  EXPECT_TRUE(restart.isRestartingForUpdate());
  EXPECT_FALSE(restart.hasPending());
  EXPECT_FALSE(restart.isTimerRunning());
  EXPECT_TRUE(log.contains("Corvane: restarting for update"));
  dispatcher.advance(120);
  EXPECT_EQ(second, 1) << "the action runs once";

  // A moment that is already safe runs a new action at once.
  int third = 0;
  restart.schedule([&] { ++third; });
  EXPECT_EQ(third, 1);
}

TEST_F(SafeRestartFixture, RelaunchStartsAShellThatWaitsForThisProcessThenQuits) {
  desktop.setSelfPID(4242);
  restart.relaunch();
  EXPECT_TRUE(restart.isRestartingForUpdate());
  EXPECT_EQ(terminations, 1);
  auto starts = desktop.detachedStarts();
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].program, "/bin/sh");
  EXPECT_EQ(starts[0].arguments,
            (std::vector<std::string>{"-c", "while kill -0 4242 2>/dev/null; do /bin/sleep 0.2; done; exec \"$0\"",
                                      "/opt/corvane/corvane"}));
}

// Processes that cannot start anything detached (the port's own answer).
struct NoDetachedStarts final : Processes {
  pid_t currentProcessIdentifier() const override { return 7; }
  pid_t parentProcessIdentifier() const override { return 1; }
  std::string executablePath() const override { return "/x"; }
  std::unique_ptr<ChildProcess> launchSelf(const LaunchRequest&) override { return nullptr; }
  CommandResult runCommand(const std::string&, const std::vector<std::string>&) override { return {}; }
};

TEST_F(SafeRestartFixture, ARelauncherThatCannotStartIsLoggedAndTheApplicationKeepsRunning) {
  NoDetachedStarts processes;
  restart.configure(environment(processes));
  desktop.session().setScreenLocked(true);
  restart.schedule([&] { restart.relaunch(); });
  EXPECT_FALSE(restart.isRestartingForUpdate());
  EXPECT_EQ(terminations, 0);
  EXPECT_TRUE(log.contains("Corvane: could not schedule relaunch \u2014 this system cannot start"));
  EXPECT_FALSE(restart.hasPending()) << "nothing retries until the next schedule";
  dispatcher.advance(90);
  EXPECT_EQ(terminations, 0);
}

// The real relauncher: it waits for the process to end, then starts the program in its place.
TEST(RelauncherTest, TheShellStartsTheProgramOnlyAfterTheProcessHasEnded) {
  testing::TempDir dir;
  const std::string marker = dir / "started";
  const std::string program = dir / "corvane";
  testing::writeFile(program, "#!/bin/sh\necho started > '" + marker + "'\n");
  ::chmod(program.c_str(), 0755);
  VirtualDispatcher dispatcher;
  PosixProcesses processes(dispatcher);
  LaunchRequest sleeper;
  sleeper.arguments = {"0.6"};
  auto waitedFor = processes.launch("/bin/sleep", sleeper);
  ASSERT_TRUE(waitedFor);
  std::string error;
  ASSERT_TRUE(processes.startDetached(
      "/bin/sh", {"-c", SafeRestart::relauncherScript(long(waitedFor->processIdentifier())), program}, &error))
      << error;
  EXPECT_FALSE(std::filesystem::exists(marker)) << "started while the process still ran";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(marker) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(std::filesystem::exists(marker));
  EXPECT_FALSE(waitedFor->isRunning());

  EXPECT_FALSE(processes.startDetached("/nonexistent/program", {}, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_FALSE(processes.startDetached("relative", {}, &error));
}

}  // namespace
}  // namespace corvane
