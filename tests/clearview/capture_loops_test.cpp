#include "clearview/capture_loops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>
#include <filesystem>
#include <map>

#include "base/files.h"
#include "base/virtual_dispatcher.h"
#include "in_process_roles.h"
#include "platform/processes.h"
#include "platform/sim/sim_desktop.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using sim::SimWindow;

uint32_t pixelAt(const PixelBuffer& p, int x, int y) {
  uint32_t v;
  std::memcpy(&v, p.pixel(x, y), 4);
  return v;
}

// A capture loop over the simulated desktop in virtual time, its owner's side of the file in hand.
class CaptureLoopTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  PrivateDirectory dir{fs::temp_directory_path().string(), "corvane-loop-"};
  std::string path = dir.path() + "/" + sharedFrameFileName(SharedFrameOwner::windowMirror, 400, 1);
  std::unique_ptr<ClearViewSharedFrame> owner = ClearViewSharedFrame::createForOwner(path, false);
  std::string errors;
  std::vector<int> exits;
  std::unique_ptr<CaptureLoop> loop;
  pid_t other = 0;

  void SetUp() override {
    ASSERT_TRUE(owner);
    desktop.setDisplays({sim::SimDisplay{1, {0, 0, 1200, 800}, 25, 0}});
    other = desktop.launchApp(sim::SimApp{0, "com.example.notes", "Notes", ActivationPolicy::regular, 0x3366CC});
  }
  WindowID add(Rect bounds, pid_t ownerPID, WindowSharingState sharing = WindowSharingState::readOnly) {
    SimWindow w;
    w.ownerPID = ownerPID;
    w.bounds = bounds;
    w.sharingState = sharing;
    return desktop.addWindow(w);
  }
  CaptureLoopHost host() {
    return CaptureLoopHost{desktop.windowServer(), dispatcher.main(), dispatcher, desktop.selfPID(),
                           [this](const std::string& text) { errors += text; },
                           [this](int status) { exits.push_back(status); }};
  }
  void start(CaptureLoopKind kind, WindowID window = 0) { loop = CaptureLoop::start(kind, window, path, host()); }
  uint32_t sequence() const { return owner->frameSequence(); }
  PixelBuffer current() const {
    PixelBuffer p(int(owner->width()), int(owner->height()));
    EXPECT_TRUE(owner->fill(p));
    return p;
  }
};

TEST_F(CaptureLoopTest, TheWindowLoopCopiesTheWindowsOwnContentAtItsPaceAndObeysPauseAndStop) {
  const WindowID w = add({100, 100, 300, 200}, other);
  add({150, 150, 100, 100}, other);  // in front of it: not in its image
  start(CaptureLoopKind::window, w);
  ASSERT_TRUE(loop);
  dispatcher.advance(1.0);
  EXPECT_GE(sequence(), 59u);
  EXPECT_LE(sequence(), 61u);
  const PixelBuffer frame = current();
  ASSERT_EQ(frame.width, 300);
  ASSERT_EQ(frame.height, 200);
  EXPECT_EQ(frame.bytes, desktop.windowContent(w)->bytes);
  const fs::path preview = fs::path(dir.path()) / "corvane-helper-preview.png";
  EXPECT_TRUE(fs::exists(preview)) << "beside the file";
  EXPECT_EQ(fs::status(preview).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  // Paused: no images; the pause is polled every 50 ms.
  owner->pause();
  dispatcher.advance(0.02);
  const uint32_t paused = sequence();
  dispatcher.advance(2.0);
  EXPECT_EQ(sequence(), paused);
  owner->resume();
  dispatcher.advance(0.06);
  EXPECT_GT(sequence(), paused);

  // The window grows: the next frame has the new size. Then it goes: frames stop, the loop does not.
  desktop.resizeWindow(w, {320, 240});
  dispatcher.advance(0.05);
  EXPECT_EQ(owner->width(), 320u);
  desktop.closeWindow(w);
  dispatcher.advance(0.05);
  const uint32_t gone = sequence();
  dispatcher.advance(1.0);
  EXPECT_EQ(sequence(), gone);
  EXPECT_TRUE(exits.empty());

  owner->requestStop();
  dispatcher.advance(0.1);
  EXPECT_EQ(exits, std::vector<int>{0});
  dispatcher.advance(1.0);
  EXPECT_EQ(exits.size(), 1u) << "nothing runs after the exit";
  EXPECT_EQ(errors, "");
}

TEST_F(CaptureLoopTest, TheWindowLoopNeverWritesImagesBelow32Pixels) {
  const WindowID thin = add({10, 10, 20, 400}, other);
  start(CaptureLoopKind::window, thin);
  dispatcher.advance(1.0);
  EXPECT_EQ(sequence(), 0u);
  EXPECT_FALSE(fs::exists(fs::path(dir.path()) / "corvane-helper-preview.png"));
}

TEST_F(CaptureLoopTest, TheDesktopLoopCompositesTheRequestAndReportsOnce) {
  const WindowID back = add({0, 0, 600, 400}, other);
  const WindowID front = add({100, 100, 200, 200}, desktop.launchApp(sim::SimApp{0, "b", "B", {}, 0xCC3333}));
  start(CaptureLoopKind::desktop);
  dispatcher.advance(1.0);
  EXPECT_EQ(sequence(), 0u);
  EXPECT_EQ(errors, "capture-desktop: no frame\n") << "once, however long";

  errors.clear();
  owner->setDesktopCapture({front, back}, Rect(0, 0, 1200, 800));
  dispatcher.advance(1.0);
  EXPECT_GE(sequence(), 7u);
  EXPECT_LE(sequence(), 9u) << "every 0.125 s";
  EXPECT_EQ(errors, "capture-desktop: frame 1200x800\n");
  const PixelBuffer frame = current();
  // The first-listed window lies on top; outside every window the composite is transparent.
  EXPECT_EQ(pixelAt(frame, 200, 200), pixelAt(*desktop.windowContent(front), 100, 100));
  EXPECT_EQ(pixelAt(frame, 50, 50), pixelAt(*desktop.windowContent(back), 50, 50));
  EXPECT_EQ(pixelAt(frame, 900, 700) >> 24, 0u);

  // A rectangle 2 points wide is no request: no new frame, and no second message.
  errors.clear();
  owner->setDesktopCapture({front}, Rect(0, 0, 2, 800));
  const uint32_t before = sequence();
  dispatcher.advance(1.0);
  EXPECT_EQ(sequence(), before);
  EXPECT_EQ(errors, "");
}

TEST_F(CaptureLoopTest, TheNotificationLoopRunsFastForASecondAfterEachStartAndReportsTheBannerEveryIteration) {
  // A banner in front of a second banner of the notification centre, and one of the program's own
  // windows between them that no composite may show.
  const pid_t centre = desktop.launchApp(sim::SimApp{0, "com.apple.notificationcenterui", "Notification Center", {}, 0x22AA22});
  const WindowID lower = add({800, 40, 300, 80}, centre);
  add({820, 60, 100, 100}, desktop.selfPID());
  const WindowID banner = add({800, 30, 300, 80}, centre);
  owner->setContentBounds(100, Rect::null());
  owner->setDesktopCapture({banner}, Rect(780, 20, 340, 120));
  start(CaptureLoopKind::notifications);

  dispatcher.advance(0.999);
  EXPECT_NEAR(double(owner->contentBounds().sequence), 160.0, 1.0) << "counted on from the file's value";
  EXPECT_NEAR(double(sequence()), 60.0, 1.0) << "a composite on every iteration in the first second";
  EXPECT_EQ(owner->contentBounds().rect, Rect(800, 30, 300, 80));
  EXPECT_EQ(errors, "capture-notifications: frame 340x120\n");
  PixelBuffer frame = current();
  EXPECT_EQ(pixelAt(frame, 60, 50), pixelAt(*desktop.windowContent(banner), 40, 40));
  EXPECT_EQ(pixelAt(frame, 100, 95), pixelAt(*desktop.windowContent(lower), 80, 75));
  EXPECT_EQ(pixelAt(frame, 70, 110) >> 24, 0u) << "the program's own window is left out";

  const uint32_t contents = owner->contentBounds().sequence;
  const uint32_t frames = sequence();
  dispatcher.advance(2.0);
  EXPECT_NEAR(double(owner->contentBounds().sequence - contents), 60.0, 1.5) << "1/30 s after the first second";
  EXPECT_NEAR(double(sequence() - frames), 20.0, 1.5) << "at most one composite per 1/12 s: every third";

  // A pause ends: fast again for a second.
  owner->pause();
  dispatcher.advance(0.5);
  const uint32_t pausedFrames = sequence();
  owner->resume();
  dispatcher.advance(0.999);
  EXPECT_NEAR(double(sequence() - pausedFrames), 60.0, 1.5);

  // The banner goes: nothing more is reported.
  desktop.closeWindow(banner);
  dispatcher.advance(0.1);
  const ContentBounds last = owner->contentBounds();
  dispatcher.advance(1.0);
  EXPECT_EQ(owner->contentBounds().sequence, last.sequence);
}

// corvane-sim's way: the application launches its helper through the processes port, and the loop
// runs in-process on the virtual clock over the live world, with its messages on a real pipe.
TEST_F(CaptureLoopTest, HelpersLaunchedOnTheSimulatedDesktopRunInProcessOverTheLiveWorld) {
  simtool::runCaptureHelpersInProcess(desktop);
  const WindowID w = add({100, 100, 300, 200}, other);
  LaunchRequest request;
  request.arguments = {"--capture-loop", std::to_string(w), path};
  request.pipeStandardError = true;
  auto child = desktop.processes().launchSelf(request);
  ASSERT_TRUE(child);
  std::vector<int> statuses;
  child->setTerminationHandler([&](int status) { statuses.push_back(status); });
  dispatcher.advance(0.5);
  EXPECT_GT(sequence(), 25u);
  desktop.resizeWindow(w, {400, 300});
  dispatcher.advance(0.1);
  EXPECT_EQ(owner->width(), 400u) << "the live world, not a copy";
  owner->requestStop();
  dispatcher.advance(0.1);
  EXPECT_EQ(statuses, std::vector<int>{0});

  // A missing file: the message on the child's standard error, status 1.
  request.arguments = {"--capture-desktop", dir.path() + "/none.shm"};
  child = desktop.processes().launchSelf(request);
  ASSERT_TRUE(child);
  child->setTerminationHandler([&](int status) { statuses.push_back(status); });
  dispatcher.runUntilIdle();
  EXPECT_EQ(statuses, (std::vector<int>{0, 1}));
  char text[256] = {};
  const ssize_t n = ::read(child->standardError(), text, sizeof text - 1);
  EXPECT_EQ(std::string(text, n > 0 ? size_t(n) : 0), "capture-desktop: could not map " + dir.path() + "/none.shm\n");
  // Arguments that do not make the role (no path) start nothing.
  request.arguments = {"--capture-loop", "5"};
  EXPECT_FALSE(desktop.processes().launchSelf(request));
}

// A window server whose windows give images at a chosen pixel scale, for the composite's geometry.
class ScaledWindowServer final : public WindowServer {
 public:
  struct Window {
    Rect bounds;
    double scale;
    uint32_t color;
  };
  std::map<WindowID, Window> windows;
  std::optional<std::vector<WindowListEntry>> copyWindowInfo(uint32_t, WindowID) override {
    std::vector<WindowListEntry> list;
    for (const auto& [number, w] : windows) {
      WindowListEntry e;
      e.number = int64_t(number);
      e.bounds = w.bounds;
      list.push_back(e);
    }
    return list;
  }
  DisplayID mainDisplayID() override { return 1; }
  std::vector<DisplayID> activeDisplays() override { return {1}; }
  Rect displayBounds(DisplayID) override { return Rect(0, 0, 5120, 2880); }
  std::optional<PixelBuffer> createWindowImage(Rect, WindowID id, uint32_t) override {
    auto it = windows.find(id);
    if (it == windows.end()) return std::nullopt;
    PixelBuffer p(int(it->second.bounds.width() * it->second.scale), int(it->second.bounds.height() * it->second.scale));
    for (size_t i = 0; i < p.bytes.size(); i += 4) std::memcpy(&p.bytes[i], &it->second.color, 4);
    return p;
  }
  std::optional<PixelBuffer> captureDisplay(DisplayID) override { return std::nullopt; }
};

TEST(CompositeDesktopWindows, TheBackMostWindowSetsTheScaleTheFirstListedLiesOnTopAndTheSizeFits) {
  ScaledWindowServer server;
  server.windows[1] = {Rect(0, 0, 100, 100), 1.0, 0xFF0000FFu};    // A, listed first
  server.windows[2] = {Rect(50, 50, 100, 100), 1.0, 0xFF00FF00u};  // B
  server.windows[3] = {Rect(0, 0, 400, 200), 2.0, 0xFFFF0000u};    // C, listed last: 2 pixels per point
  auto composite = compositeDesktopWindows(server, {1, 2, 3}, Rect(0, 0, 400, 200));
  ASSERT_TRUE(composite);
  EXPECT_EQ(composite->width, 800);
  EXPECT_EQ(composite->height, 400);
  EXPECT_EQ(pixelAt(*composite, 120, 120), 0xFF0000FFu) << "A over B";
  EXPECT_EQ(pixelAt(*composite, 250, 250), 0xFF00FF00u);
  EXPECT_EQ(pixelAt(*composite, 700, 300), 0xFFFF0000u);

  // A display of 5120 × 2880 points at one pixel per point: scaled to fit.
  server.windows = {{7, {Rect(0, 0, 5120, 2880), 1.0, 0xFF808080u}}};
  composite = compositeDesktopWindows(server, {7}, Rect(0, 0, 5120, 2880));
  ASSERT_TRUE(composite);
  EXPECT_EQ(composite->width, 2560);
  EXPECT_EQ(composite->height, 1440);

  // Nothing to draw, or no area to draw over.
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(compositeDesktopWindows(server, {99}, Rect(0, 0, 100, 100)));
  EXPECT_FALSE(compositeDesktopWindows(server, {7}, Rect(0, 0, 2, 100)));
  EXPECT_FALSE(compositeDesktopWindows(server, {7}, Rect(0, 0, inf, 100)));
  EXPECT_FALSE(compositeDesktopWindows(server, {7}, Rect(6000, 0, 100, 100))) << "off the display";
}

}  // namespace
}  // namespace corvane
