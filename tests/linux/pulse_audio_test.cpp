// Process audio activity from a real sound server: streams started by test processes make their
// processes (and the processes above them) active, the default input device runs while something
// records, and a server that goes away and comes back is followed.
#include "platform/linux/pulse_audio.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "linux/pulse_server.h"

namespace corvane::pulse {
namespace {

TEST(PulseActivityTest, StreamsCountForTheirProcessAndItsAncestors) {
  // 40 -> 30 -> 20 -> 1; 50 is a loop of bad data (its own grandparent).
  const std::map<pid_t, pid_t> parents = {{40, 30}, {30, 20}, {20, 1}, {50, 51}, {51, 50}, {60, 0}};
  auto parentOf = [&](pid_t pid) {
    auto it = parents.find(pid);
    return it == parents.end() ? pid_t(0) : it->second;
  };
  const Activity a = summarize({{40, true, false},    // records: 40, 30, 20 and 1 take input
                                {30, false, false},   // plays: 30, 20 and 1 play
                                {60, false, true},    // corked: counts for nothing
                                {0, true, false},     // no process id: counts for nothing
                                {50, false, false}},  // a loop ends
                               parentOf);
  EXPECT_TRUE(a.connected);
  struct Row {
    pid_t pid;
    bool present, input, output;
  };
  for (const Row& r : {Row{40, true, true, false}, Row{30, true, true, true}, Row{20, true, true, true},
                       Row{1, true, true, true}, Row{60, false, false, false}, Row{0, false, false, false},
                       Row{50, true, false, true}, Row{51, true, false, true}}) {
    auto it = a.processes.find(r.pid);
    ASSERT_EQ(it != a.processes.end(), r.present) << r.pid;
    if (!r.present) continue;
    EXPECT_EQ(it->second.input, r.input) << r.pid;
    EXPECT_EQ(it->second.output, r.output) << r.pid;
  }
}

TEST(PulseActivityTest, ParentsComeFromTheProcessTable) {
  EXPECT_EQ(parentProcess(getpid()), getppid());
  // A command name with blanks and parentheses does not shift the fields.
  const std::string link = std::filesystem::temp_directory_path() / ("odd) 7 (name-" + std::to_string(getpid()));
  ASSERT_EQ(symlink("/bin/sleep", link.c_str()), 0);
  test::Process child({link, "30"});
  ASSERT_GT(child.pid(), 0);
  ASSERT_TRUE(test::eventually([&] {  // once it runs under that name
    std::string comm;
    std::getline(std::ifstream("/proc/" + std::to_string(child.pid()) + "/comm"), comm);
    return comm.rfind("odd) 7", 0) == 0;
  }));
  EXPECT_EQ(parentProcess(child.pid()), getpid());
  const pid_t gone = child.pid();
  child.stop();
  unlink(link.c_str());
  EXPECT_EQ(parentProcess(gone), 0);
  EXPECT_EQ(parentProcess(-5), 0);
}

class PulseAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    server = test::PulseServer::shared(&reason);
    if (!server) {
      if (reason.rfind("FAIL: ", 0) == 0) GTEST_FAIL() << reason.substr(6);
      GTEST_SKIP() << reason;
    }
    if (!server->running()) {
      ASSERT_TRUE(server->start());
    }
    audio = PulseAudio::start(dispatcher, log);
    ASSERT_TRUE(audio);
    audio->setOnChange([this] { ++changes; });
    ASSERT_TRUE(until([&] { return audio->activity().connected; })) << "never reached the test's sound server";
  }
  void TearDown() override { audio.reset(); }

  // Waits (wall time) for the server's news to reach the main queue and `done` to hold.
  bool until(const std::function<bool()>& done) {
    return test::eventually([&] {
      dispatcher.advance(0);
      return done();
    });
  }
  bool recording(pid_t pid) {
    auto object = audio->processObject(pid);
    if (!object || *object == kAudioObjectUnknown) return false;
    return audio->isRunningInput(*object).value_or(0) != 0;
  }
  bool playing(pid_t pid) {
    auto object = audio->processObject(pid);
    if (!object || *object == kAudioObjectUnknown) return false;
    return audio->isRunningOutput(*object).value_or(0) != 0;
  }
  bool microphoneRunning() {
    auto device = audio->defaultInputDevice();
    return device && *device != kAudioObjectUnknown && audio->isRunningSomewhere(*device).value_or(0) != 0;
  }

  VirtualDispatcher dispatcher;
  MemoryLog log;
  test::PulseServer* server = nullptr;
  std::unique_ptr<PulseAudio> audio;
  int changes = 0;
};

TEST_F(PulseAudioTest, StreamsOfTestProcessesShowAsTheyStartAndStop) {
  EXPECT_TRUE(log.contains("audio activity from the sound server"));
  auto device = audio->defaultInputDevice();
  ASSERT_TRUE(device);
  EXPECT_NE(*device, kAudioObjectUnknown);
  EXPECT_FALSE(microphoneRunning());
  EXPECT_EQ(audio->processObject(getpid()), kAudioObjectUnknown);  // no stream: no process object
  EXPECT_FALSE(audio->isRunningInput(AudioObjectID(getpid())));    // which no query accepts
  EXPECT_FALSE(audio->isRunningSomewhere(*device + 1000));          // nor an unknown device

  test::Process recorder({"parecord", "--raw", "/dev/null"});
  ASSERT_TRUE(until([&] { return recording(recorder.pid()); }));
  EXPECT_FALSE(playing(recorder.pid()));
  EXPECT_TRUE(microphoneRunning());
  // The test program started it: it counts for us too, as a browser counts through its audio helper.
  EXPECT_TRUE(recording(getpid()));

  // A player started by a shell counts for the shell.
  test::Process shell({"sh", "-c", "pacat --raw /dev/zero & wait"});
  ASSERT_TRUE(until([&] { return playing(shell.pid()); }));
  EXPECT_FALSE(recording(shell.pid()));

  const int before = changes;
  recorder.stop();
  ASSERT_TRUE(until([&] { return !recording(getpid()) && !microphoneRunning(); }));
  EXPECT_GT(changes, before);  // the change was announced on the main queue
  EXPECT_TRUE(playing(shell.pid()));
}

TEST_F(PulseAudioTest, AServerThatGoesAwayCountsAsSilentAndIsFoundAgain) {
  test::Process recorder({"parecord", "--raw", "/dev/null"});
  ASSERT_TRUE(until([&] { return recording(recorder.pid()); }));

  server->stop();
  ASSERT_TRUE(until([&] { return !audio->activity().connected; }));
  // Every query fails now, as the platform's calls do: callers count everything as silent.
  EXPECT_FALSE(audio->processObject(recorder.pid()));
  EXPECT_FALSE(audio->defaultInputDevice());
  EXPECT_FALSE(recording(recorder.pid()));
  EXPECT_TRUE(log.contains("sound server went away"));
  recorder.stop();

  ASSERT_TRUE(server->start());
  ASSERT_TRUE(until([&] { return audio->activity().connected; })) << "not reconnected";
  EXPECT_FALSE(microphoneRunning());
  test::Process again({"parecord", "--raw", "/dev/null"});
  ASSERT_TRUE(until([&] { return recording(again.pid()) && microphoneRunning(); }));
}

}  // namespace
}  // namespace corvane::pulse
