// The application's client and the mirror host run in-process on one simulated desktop: the
// host's plates are windows of the live world, the commands and events real pipe bytes.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/files.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "clearview/clear_view_shared_frame.h"
#include "in_process_roles.h"
#include "mirrorhost/mirror_host_client.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_ui.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// The desktop's processes, keeping a handle on the last host launched so the test can end it.
class Watched final : public Processes {
 public:
  explicit Watched(Processes& inner) : inner_(inner) {}
  pid_t currentProcessIdentifier() const override { return inner_.currentProcessIdentifier(); }
  pid_t parentProcessIdentifier() const override { return inner_.parentProcessIdentifier(); }
  std::string executablePath() const override { return inner_.executablePath(); }
  std::unique_ptr<ChildProcess> launchSelf(const LaunchRequest& request) override {
    auto child = inner_.launchSelf(request);
    last = child.get();
    return child;
  }
  CommandResult runCommand(const std::string& p, const std::vector<std::string>& a) override {
    return inner_.runCommand(p, a);
  }
  ChildProcess* last = nullptr;

 private:
  Processes& inner_;
};

class MirrorHostInProcessTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  Watched processes{desktop.processes()};
  MemoryLog log;
  std::unique_ptr<MirrorHostClient> client;
  PrivateDirectory dir{fs::temp_directory_path().string(), "corvane-inproc-"};
  std::unique_ptr<ClearViewSharedFrame> frame;
  WindowID source = 0;

  void SetUp() override {
    desktop.launchApp({500, "com.tinyspeck.slackmacgap", "Slack", ActivationPolicy::regular, 0x3366cc, false});
    sim::SimWindow w;
    w.ownerPID = 500;
    w.bounds = Rect(100, 682, 200, 100);
    source = desktop.addWindow(w);
    simtool::runMirrorHostInProcess(desktop, log);
    client = std::make_unique<MirrorHostClient>(processes, dispatcher, log,
                                                MirrorHostClient::EventReading::polled);
    frame = ClearViewSharedFrame::createForOwner(dir.path() + "/corvane-cv-400-1.shm", false);
    ASSERT_TRUE(frame);
    for (size_t i = 0; i < red.bytes.size(); i += 4) red.bytes[i + 2] = red.bytes[i + 3] = 255;
  }
  PixelBuffer red{200, 100};
  void TearDown() override { client.reset(); }

  void showPlate(MirrorPlate& plate) {
    client->send({.cmd = MirrorHostCommandKind::place, .id = plate.id, .x = 100, .y = 200, .w = 200, .h = 100});
    client->send({.cmd = MirrorHostCommandKind::attach, .id = plate.id, .above = source});
    plate.isVisible = true;
    frame->write(red);  // the capture helper's next frame
  }
  static bool isRed(const PixelBuffer& picture) {
    const uint8_t* p = picture.pixel(200, 732);
    return p[2] > 200 && p[1] < 40 && p[0] < 40;
  }
};

TEST_F(MirrorHostInProcessTest, APlateIsSeenByTheUserAndNeverByTheShareAcrossAHostRestart) {
  MirrorPlate plate(*client, source, 0);
  client->send({.cmd = MirrorHostCommandKind::shm, .id = plate.id, .path = frame->path()});
  showPlate(plate);
  dispatcher.advance(0.1);
  EXPECT_EQ(client->hostBundleID(), std::optional<std::string>(""));  // the world's program has no identity
  ASSERT_NE(plate.windowNumber, 0);
  EXPECT_EQ(plate.exclusionResult, 0);
  EXPECT_TRUE(plate.hasFrame);
  EXPECT_TRUE(isRed(desktop.renderLocalView()));
  EXPECT_FALSE(isRed(desktop.renderShareView()));

  // The host is ended mid-meeting: its plate goes with it, and the client brings it back.
  const pid_t first = client->hostPID();
  ASSERT_TRUE(processes.last);
  processes.last->terminate();
  dispatcher.advance(0.01);
  EXPECT_TRUE(log.contains("Mirror host pid " + std::to_string(first) + " exited status 143"));
  EXPECT_FALSE(isRed(desktop.renderLocalView()));
  EXPECT_FALSE(desktop.window(WindowID(plate.windowNumber))) << "the host's windows went with it";
  dispatcher.advance(1.0);
  EXPECT_NE(client->hostPID(), 0);
  EXPECT_NE(client->hostPID(), first);
  EXPECT_NE(plate.windowNumber, 0);
  EXPECT_FALSE(plate.exclusionResult) << "replayed, not shown until the owner attaches it";
  EXPECT_FALSE(isRed(desktop.renderLocalView()));
  showPlate(plate);
  dispatcher.advance(0.1);
  EXPECT_EQ(plate.exclusionResult, 0);
  EXPECT_TRUE(isRed(desktop.renderLocalView()));
  EXPECT_FALSE(isRed(desktop.renderShareView()));
}

}  // namespace
}  // namespace corvane
