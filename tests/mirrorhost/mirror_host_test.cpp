#include "mirrorhost/mirror_host.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "base/files.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "clearview/clear_view_shared_frame.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_ui.h"
#include "platform/sim/sim_private_window_server.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using E = MirrorHostEventKind;

PixelBuffer solid(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
  PixelBuffer p(w, h);
  for (size_t i = 0; i + 4 <= p.bytes.size(); i += 4) {
    p.bytes[i] = b;
    p.bytes[i + 1] = g;
    p.bytes[i + 2] = r;
    p.bytes[i + 3] = 255;
  }
  return p;
}

// The host over a simulated desktop in virtual time; its events are collected as the bytes it writes.
class MirrorHostTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  MemoryLog log;
  std::string written;
  MirrorHostOutput output{dispatcher, [this](std::string_view bytes) {
                            written.append(bytes);
                            return true;
                          }};
  std::unique_ptr<MirrorHost> host;
  PrivateDirectory dir{fs::temp_directory_path().string(), "corvane-host-"};
  std::string framePath = dir.path() + "/corvane-cv-400-4711.shm";
  std::unique_ptr<ClearViewSharedFrame> frame;
  WindowID source = 0;

  void SetUp() override {
    desktop.launchApp({500, "com.tinyspeck.slackmacgap", "Slack", ActivationPolicy::regular, 0x3366cc, false});
    sim::SimWindow w;
    w.ownerPID = 500;
    w.bounds = Rect(100, 682, 200, 100);  // screen space (100, 200, 200, 100)
    source = desktop.addWindow(w);
    makeHost();
  }
  void makeHost() {
    host = std::make_unique<MirrorHost>(
        MirrorHostDependencies::from(desktop.platform(), log, "com.corvane.mirrorhost"), output);
    host->start();
    dispatcher.runUntilIdle();
  }
  void TearDown() override { host.reset(); }

  void command(const std::string& line) {
    host->receive(line + "\n");
    dispatcher.runUntilIdle();
  }
  std::vector<MirrorHostEvent> events() {
    std::vector<MirrorHostEvent> all;
    LineSplitter splitter;
    splitter.append(written, [&](std::string_view line) {
      auto e = decodeEvent(line);
      EXPECT_TRUE(e) << line;
      if (e) all.push_back(*e);
    });
    return all;
  }
  size_t count(E kind, int64_t id) {
    size_t n = 0;
    for (const auto& e : events()) n += e.ev == kind && e.id == id;
    return n;
  }
  void makeFrameFile() {
    std::string error;
    frame = ClearViewSharedFrame::createForOwner(framePath, false, &error);
    ASSERT_TRUE(frame) << error;
  }
  // A plate mirroring the source, placed over it and attached above it.
  void attachedPlate(int64_t id) {
    command(R"({"cmd":"create","id":)" + std::to_string(id) + R"(,"path":")" + framePath + R"(","source":)" +
            std::to_string(source) + "}");
    command(R"({"cmd":"place","id":)" + std::to_string(id) + R"(,"x":100,"y":200,"w":200,"h":100})");
    command(R"({"cmd":"attach","id":)" + std::to_string(id) + ",\"above\":" + std::to_string(source) + "}");
  }
  // The colour at the plate's centre in a picture of the main display.
  static bool isRed(const PixelBuffer& picture) {
    const uint8_t* p = picture.pixel(200, 732);
    return p[2] > 200 && p[1] < 40 && p[0] < 40;
  }
};

TEST_F(MirrorHostTest, SaysHelloFirstAndACreateReplacesAPlateOfTheSameID) {
  ASSERT_FALSE(events().empty());
  EXPECT_EQ(events().front(), (MirrorHostEvent{.ev = E::hello, .id = 0, .message = "com.corvane.mirrorhost"}));
  command(R"({"cmd":"create","id":1,"source":4711,"level":0})");
  ASSERT_EQ(events().size(), 2u);
  const int64_t first = events()[1].window.value_or(0);
  EXPECT_EQ(events()[1].ev, E::ready);
  EXPECT_TRUE(desktop.window(WindowID(first)));
  command(R"({"cmd":"create","id":1,"level":3})");
  const int64_t second = events().back().window.value_or(0);
  EXPECT_NE(second, first);
  EXPECT_FALSE(desktop.window(WindowID(first))) << "the old plate's window closed";
  EXPECT_EQ(host->plateCount(), 1u);
  EXPECT_EQ(desktop.window(WindowID(second))->level, 3);
  command(R"({"cmd":"destroy","id":1})");
  EXPECT_FALSE(desktop.window(WindowID(second)));
}

TEST_F(MirrorHostTest, AConfirmedPlateShowsFramesToTheUserAndNeverToTheShare) {
  makeFrameFile();
  attachedPlate(1);
  EXPECT_EQ(count(E::exclusion, 1), 1u);
  EXPECT_EQ(events()[2].result, 0);
  frame->write(solid(200, 100, 0, 0, 255));
  dispatcher.advance(0.05);
  desktop.ui().flush();
  EXPECT_TRUE(isRed(desktop.renderLocalView()));
  EXPECT_FALSE(isRed(desktop.renderShareView()));
  EXPECT_EQ(count(E::frame, 1), 1u);
  EXPECT_EQ(count(E::stats, 1), 0u) << "no statistics before a second has passed";

  // A hide clears the picture; the next frame after showing again is reported again.
  command(R"({"cmd":"hide","id":1})");
  EXPECT_FALSE(desktop.window(WindowID(host->plate(1)->panel().windowNumber()))->onScreen);
  command(R"({"cmd":"show","id":1})");
  frame->write(solid(200, 100, 0, 0, 255));
  dispatcher.advance(1.0);
  EXPECT_EQ(count(E::frame, 1), 2u);
  EXPECT_EQ(count(E::stats, 1), 0u) << "statistics come with presented frames only";
  frame->write(solid(200, 100, 0, 0, 255));
  dispatcher.advance(0.05);
  EXPECT_EQ(count(E::stats, 1), 1u);
  EXPECT_FALSE(isRed(desktop.renderShareView()));
}

TEST_F(MirrorHostTest, APlateWithoutConfirmedExclusionStaysHiddenAndShowsNothing) {
  struct Case {
    const char* name;
    std::function<void(sim::SimPrivateWindowServer&)> setUp;
    int64_t result;
  };
  const Case cases[] = {
      {"refused", [](sim::SimPrivateWindowServer& s) { sim::SimPrivateWindowServer::Settings refusing;
         refusing.refuseCaptureExclusion = true;
         s.reset(refusing); }, 1000},
      {"missing", [](sim::SimPrivateWindowServer& s) { s.removeEntryPoint(PrivateEntryPoint::setWindowTags); }, -999},
  };
  makeFrameFile();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desktop.privateWindowServer().reset();
    c.setUp(desktop.privateWindowServer());
    written.clear();
    attachedPlate(2);
    command(R"({"cmd":"show","id":2})");
    frame->write(solid(200, 100, 0, 0, 255));
    dispatcher.advance(0.2);
    const auto all = events();
    ASSERT_EQ(count(E::exclusion, 2), 1u) << "reported once per change";
    for (const auto& e : all) {
      if (e.ev == E::exclusion) {
        EXPECT_EQ(e.result, c.result);
      }
    }
    EXPECT_EQ(count(E::frame, 2), 0u);
    EXPECT_FALSE(host->plate(2)->panel().isVisible());
    EXPECT_FALSE(isRed(desktop.renderLocalView()));
  }
}

TEST_F(MirrorHostTest, PlatesReadAtTheirPaceAndReportStatistics) {
  makeFrameFile();
  // The helper draws a new frame every 1/240 s.
  auto helper = dispatcher.makeTimer(dispatcher.main(), [&] { frame->write(solid(200, 100, 0, 0, 255)); });
  helper->schedule(0, 1.0 / 240);
  attachedPlate(1);                            // with a source: 60 frames a second
  command(R"({"cmd":"create","id":2,"path":")" + framePath + R"("})");  // without: 30
  command(R"({"cmd":"show","id":2})");
  dispatcher.advance(2.05);
  std::map<int64_t, double> fps;
  for (const auto& e : events()) {
    if (e.ev == E::stats) fps[e.id] = e.fps.value_or(0);
  }
  EXPECT_NEAR(fps[1], 60, 2);
  EXPECT_NEAR(fps[2], 30, 2);
}

TEST_F(MirrorHostTest, TheFollowerMovesAPlateWithItsDraggedSourceButNotWithAResizedOne) {
  makeFrameFile();
  attachedPlate(1);
  const WindowID plate = WindowID(host->plate(1)->panel().windowNumber());
  desktop.moveWindow(source, Point{300, 682});
  dispatcher.advance(0.01);
  EXPECT_EQ(desktop.window(plate)->bounds, Rect(300, 682, 200, 100));
  desktop.setBounds(source, Rect(300, 682, 260, 100));
  dispatcher.advance(0.01);
  EXPECT_EQ(desktop.window(plate)->bounds, Rect(300, 682, 200, 100));
  // Without the window server's moves the follower never starts; only "place" moves the plate.
  command(R"({"cmd":"destroy","id":1})");
  desktop.privateWindowServer().removeEntryPoint(PrivateEntryPoint::moveWindow);
  host.reset();
  makeHost();
  attachedPlate(1);
  EXPECT_FALSE(host->follower().isTicking());
}

TEST_F(MirrorHostTest, HostileInputAndUnknownPlatesChangeNothing) {
  host->receive("garbage\n{\"cmd\":\"create\",\"id\":1");  // a half line waits for its end
  host->receive(std::string(200 * 1024, '{'));               // a very long line
  host->receive("\n{\"cmd\":\"attach\",\"id\":9,\"above\":1}\n");  // an unknown plate
  host->receive("{\"cmd\":\"place\",\"id\":9,\"x\":1}\n\xff\n");
  dispatcher.runUntilIdle();
  EXPECT_EQ(host->plateCount(), 0u);
  EXPECT_EQ(events().size(), 1u);  // hello only
  command(R"({"cmd":"create","id":3})");
  EXPECT_EQ(count(E::ready, 3), 1u);
}

TEST_F(MirrorHostTest, FrameFilesThatAreMissingOrCutShortAreReportedNotFatal) {
  command(R"({"cmd":"create","id":1,"path":")" + dir.path() + R"(/absent.shm"})");
  ASSERT_EQ(events().back().ev, E::log);
  EXPECT_EQ(events().back().message, "plate 1: could not map " + dir.path() + "/absent.shm");

  makeFrameFile();
  attachedPlate(2);
  frame->write(solid(200, 100, 0, 0, 255));
  dispatcher.advance(0.05);
  ASSERT_EQ(count(E::frame, 2), 1u);
  // Another process cuts the file short while the plate reads it, then it disappears.
  ASSERT_EQ(::truncate(framePath.c_str(), 100), 0);
  dispatcher.advance(0.05);
  fs::remove(framePath);
  dispatcher.advance(0.05);
  EXPECT_EQ(events().back().message, "plate 2: lost " + framePath);
  EXPECT_TRUE(host->plate(2)->panel().hasFrame()) << "the last picture stays";
}

TEST(MirrorHostOutputWrite, AClosedReaderFailsTheWriteWithoutEndingTheProcess) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  int error = 0;
  EXPECT_FALSE(MirrorHostOutput::writeAll(fds[1], "{\"ev\":\"frame\",\"id\":1}\n", &error));
  EXPECT_EQ(error, EPIPE);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  ::close(fds[1]);
}

}  // namespace
}  // namespace corvane
