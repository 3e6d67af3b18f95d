// A writer killed with SIGKILL at random moments never leaves a torn settings file and never loses
// an acknowledged setting.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "settings/plist_defaults_store.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

// Reads one acknowledged counter value; false at the end of the stream.
bool readAck(int fd, int64_t* value) {
  size_t got = 0;
  auto* bytes = reinterpret_cast<char*>(value);
  while (got < sizeof *value) {
    ssize_t n = ::read(fd, bytes + got, sizeof *value - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The child: continues the counter from the file and acknowledges every durable write on `ackFd`.
[[noreturn]] void writeForever(const std::string& directory, int ackFd) {
  MemoryLog log;
  VirtualDispatcher clock;
  PlistDefaultsStore store(directory, "", log, clock);
  int64_t counter = store.integerValue(applicationDomain, "counter").value_or(-1000);
  const std::string padding(8192, 'p');
  for (;;) {
    ++counter;
    PlistValue::Dictionary values{{"counter", PlistValue(counter)},
                                  {"padding", PlistValue(padding + std::to_string(counter))}};
    if (!store.setValues(applicationDomain, std::move(values))) ::_exit(3);
    if (::write(ackFd, &counter, sizeof counter) != sizeof counter) ::_exit(4);
  }
}

TEST(SettingsCrashTest, KilledWritersLeaveTheLastAcknowledgedValueOrTheOneInFlight) {
  testing::TempDir dir;
  MemoryLog log;
  VirtualDispatcher clock;
  {
    PlistDefaultsStore store(dir.path(), "", log, clock);
    ASSERT_TRUE(store.set(applicationDomain, "sentinel", "keep me"));
    ASSERT_TRUE(store.set(applicationDomain, "counter", int64_t{0}));
  }
  std::mt19937 random(20240611);
  int64_t onDisk = 0;
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      writeForever(dir.path(), fds[1]);
    }
    ::close(fds[1]);
    int wanted = std::uniform_int_distribution<int>(1, 8)(random);
    int64_t acked = onDisk;
    for (int i = 0; i < wanted && readAck(fds[0], &acked); ++i) {
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself with status " << WEXITSTATUS(status);
    while (readAck(fds[0], &acked)) {
    }
    ::close(fds[0]);

    PlistDefaultsStore reader(dir.path(), "", log, clock);
    auto counter = reader.integerValue(applicationDomain, "counter");
    ASSERT_TRUE(counter.has_value());
    EXPECT_TRUE(*counter == acked || *counter == acked + 1) << *counter << " after acknowledging " << acked;
    EXPECT_EQ(reader.stringValue(applicationDomain, "padding"), std::string(8192, 'p') + std::to_string(*counter));
    EXPECT_EQ(reader.stringValue(applicationDomain, "sentinel"), "keep me");
    onDisk = *counter;
  }
  EXPECT_FALSE(log.contains("moved it aside"));
  for (const auto& name : dir.names()) EXPECT_EQ(name.find(".corrupt-"), std::string::npos) << name;
}

}  // namespace
}  // namespace corvane
