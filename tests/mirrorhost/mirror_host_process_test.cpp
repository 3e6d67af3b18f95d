// The mirror host as a real process of the real executable, with its client.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "base/files.h"
#include "base/log.h"
#include "base/real_dispatcher.h"
#include "mirrorhost/mirror_host_client.h"
#include "platform/posix/posix_processes.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// Real processes need real time; these bound how long a test may wait for one.
constexpr double kPatience = 20.0;

class MirrorHostProcessTest : public ::testing::Test {
 protected:
  RealDispatcher dispatcher;
  PrivateDirectory dir{fs::temp_directory_path().string(), "corvane-hostproc-"};
  PosixProcesses processes{dispatcher};
  MemoryLog log;
  std::unique_ptr<MirrorHostClient> client;

  // An executable at `name` in the test's directory that runs `body` (a shell script).
  std::string script(const std::string& name, const std::string& body) {
    const std::string path = dir.path() + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0700);
    return path;
  }
  // The real executable on the bundled demo desktop, its Clear View log in the test's directory.
  void useCorvane() {
    processes.setExecutablePath(script("corvane", std::string("CORVANE_BACKEND=sim CORVANE_SIM_DESKTOP=") +
                                                      CORVANE_SOURCE_DIR + "/scenarios/demo-desktop.json XDG_STATE_HOME=" +
                                                      dir.path() + " exec " + CORVANE_EXE + " \"$@\""));
  }
  bool waitFor(const std::function<bool()>& done) { return dispatcher.runMainLoopUntil(done, kPatience); }
  void TearDown() override {
    client.reset();
    dispatcher.runMainLoopUntil([] { return false; }, 0.05);
  }
};

TEST_F(MirrorHostProcessTest, AKilledHostIsRestartedAndEveryPlateReplayed) {
  useCorvane();
  client = std::make_unique<MirrorHostClient>(processes, dispatcher, log);
  MirrorPlate plate(*client, 101, 0);
  MirrorPlate other(*client, std::nullopt, 25);
  client->send({.cmd = MirrorHostCommandKind::place, .id = plate.id, .x = 10, .y = 10, .w = 300, .h = 200});
  client->send({.cmd = MirrorHostCommandKind::attach, .id = plate.id, .above = 101});
  ASSERT_TRUE(waitFor([&] { return plate.exclusionResult && client->hostBundleID() && other.windowNumber != 0; }))
      << client->diagnostics();
  EXPECT_EQ(*plate.exclusionResult, 0);
  const pid_t first = client->hostPID();

  ASSERT_EQ(::kill(first, SIGKILL), 0);
  ASSERT_TRUE(waitFor([&] { return client->hostPID() != 0 && client->hostPID() != first && plate.windowNumber != 0 &&
                                   other.windowNumber != 0; }))
      << client->diagnostics();
  EXPECT_TRUE(log.contains("Mirror host pid " + std::to_string(first) + " exited status 137"));
  EXPECT_TRUE(log.contains("Mirror host started pid " + std::to_string(client->hostPID())));
  EXPECT_NE(plate.windowNumber, 0);
  // Replayed, not yet shown: no exclusion is known and no frame is shown until the owner attaches.
  EXPECT_FALSE(plate.exclusionResult);
  EXPECT_FALSE(plate.hasFrame);
  EXPECT_FALSE(plate.isVisible);
  client->send({.cmd = MirrorHostCommandKind::attach, .id = plate.id, .above = 101});
  ASSERT_TRUE(waitFor([&] { return plate.exclusionResult.has_value(); }));
  EXPECT_EQ(*plate.exclusionResult, 0);
}

TEST_F(MirrorHostProcessTest, AHostThatNeverSaysHelloKeepsTheClientWorking) {
  processes.setExecutablePath(script("silent", "exec cat > /dev/null"));
  client = std::make_unique<MirrorHostClient>(processes, dispatcher, log);
  MirrorPlate plate(*client, 101, 0);
  for (int i = 0; i < 50; ++i) plate.setContentPointSize({double(100 + i), 100});
  dispatcher.runMainLoopUntil([] { return false; }, 0.2);
  EXPECT_TRUE(client->isRunning());
  EXPECT_FALSE(client->hostBundleID());
  EXPECT_TRUE(client->pending().empty());
  EXPECT_EQ(client->diagnostics(), "host=1 pid=" + std::to_string(client->hostPID()) +
                                       " identity=- hidesFromZoom=0 plates=1");
  EXPECT_EQ(plate.diagnostics(), "plate=1 win=0 exclusion=pending frames=0");
}

TEST_F(MirrorHostProcessTest, TheHostGreetsFirstAndExitsCleanlyWhenItsInputCloses) {
  useCorvane();
  LaunchRequest request;
  request.arguments = {"--mirror-host"};
  request.pipeStandardInput = true;
  request.pipeStandardOutput = true;
  auto host = processes.launchSelf(request);
  ASSERT_TRUE(host);
  std::optional<int> status;
  host->setTerminationHandler([&](int s) { status = s; });
  std::string first;
  char c;
  while (::read(host->standardOutput(), &c, 1) == 1 && c != '\n') first.push_back(c);
  EXPECT_EQ(first, R"({"ev":"hello","id":0,"message":"com.corvane.app"})");
  // A closed output pipe loses events but does not end the host; closing its input does.
  const std::string garbage = "{\"cmd\":\"create\",\"id\":1}\nnot json\n" + std::string(100000, 'x') + "\n";
  ASSERT_EQ(::write(host->standardInput(), garbage.data(), garbage.size()), ssize_t(garbage.size()));
  host->closeStandardInput();
  ASSERT_TRUE(waitFor([&] { return status.has_value(); }));
  EXPECT_EQ(*status, 0);
}

}  // namespace
}  // namespace corvane
