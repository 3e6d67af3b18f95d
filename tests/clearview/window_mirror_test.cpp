#include "clearview/window_mirror.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/png.h"
#include "in_process_roles.h"
#include "overlay/overlay_test_support.h"
#include "overlay/window_mirror_set.h"

namespace corvane {
namespace {

// A desktop with the mirror host running in-process. Capture helpers are either the real window
// capture loop or a stand-in the test ends when it likes (`realCapture`).
class MirrorDesktop : public overlaytest::OverlayDesktop {
 protected:
  struct IdleHelper final : sim::InProcessHelper {};

  void start(bool realCapture) {
    simtool::runMirrorHostInProcess(desktop, clearViewLog);
    if (realCapture) {
      simtool::runCaptureHelpersInProcess(desktop);
    } else {
      desktop.runInProcess("--capture-loop", [this](sim::InProcessHelperContext c) -> std::unique_ptr<sim::InProcessHelper> {
        ++captureLaunches;
        if (failCapture) return nullptr;
        helperExits.push_back(c.exit);
        return std::make_unique<IdleHelper>();
      });
    }
    client = std::make_unique<MirrorHostClient>(desktop.processes(), dispatcher, clearViewLog,
                                                MirrorHostClient::EventReading::polled);
  }
  void TearDown() override {
    mirror.reset();
    manager.reset();
    client.reset();
  }
  WindowMirror::Dependencies deps() { return {*client, desktop.processes(), dispatcher.clock(), clearViewLog, frames.path()}; }
  size_t logged(const std::string& text) const {
    const auto lines = clearViewLog.lines();
    return size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
  }

  PrivateDirectory frames{::testing::TempDir(), "mirror-frames-"};
  std::unique_ptr<MirrorHostClient> client;
  std::unique_ptr<WindowMirror> mirror;
  int captureLaunches = 0;
  bool failCapture = false;
  std::vector<std::function<void(int)>> helperExits;
};

using WindowMirrorTest = MirrorDesktop;

TEST_F(WindowMirrorTest, DeadHelperRestartsNoSoonerThanOneSecondAfterItsStart) {
  start(false);
  mirror = std::make_unique<WindowMirror>(deps(), 77, Size{400, 300});
  mirror->startIfNeeded();
  ASSERT_EQ(captureLaunches, 1);
  EXPECT_EQ(logged("Out-of-process capture started for window 77 pid"), 1u);
  ASSERT_NE(mirror->frameShm(), nullptr);
  const std::string path = mirror->frameShm()->path();
  EXPECT_EQ(path, frames.path() + "/corvane-cv-400-77.shm");

  dispatcher.advance(0.2);
  helperExits[0](3);
  dispatcher.runUntilIdle();
  EXPECT_EQ(logged("exited status 3 for window 77"), 1u);
  dispatcher.advance(0.5);  // 0.7 s after the start
  mirror->startIfNeeded();
  mirror->startIfNeeded();
  EXPECT_EQ(captureLaunches, 1);
  dispatcher.advance(0.31);  // just past 1.0 s after the start
  mirror->startIfNeeded();
  EXPECT_EQ(captureLaunches, 2);
  EXPECT_EQ(logged("Capture helper died for window 77 \u2014 restarting"), 1u);

  mirror->stopHelper();
  EXPECT_EQ(mirror->frameShm(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(WindowMirrorTest, HelperThatCannotStartIsNeverTriedAgain) {
  start(false);
  failCapture = true;
  mirror = std::make_unique<WindowMirror>(deps(), 78, Size{400, 300});
  for (int i = 0; i < 4; ++i) {
    mirror->startIfNeeded();
    dispatcher.advance(1.5);
  }
  EXPECT_EQ(captureLaunches, 1);
  EXPECT_TRUE(mirror->startFailed);
  EXPECT_EQ(logged("Capture helper failed to start: "), 1u);
  EXPECT_NE(mirror->captureDiagnostics().find("helper=0 helperPID=0"), std::string::npos);
}

TEST_F(WindowMirrorTest, PauseKeepsTheHelperAndLogsOnlyWhenSomethingWasShowing) {
  start(false);
  mirror = std::make_unique<WindowMirror>(deps(), 79, Size{400, 300});
  mirror->startIfNeeded();
  mirror->pauseCapture();
  mirror->pauseCapture();
  EXPECT_EQ(logged("Paused capture for window 79 (helper kept)"), 1u);
  ASSERT_NE(mirror->frameShm(), nullptr);
  EXPECT_TRUE(mirror->frameShm()->paused());
  EXPECT_TRUE(mirror->captureHelper()->isRunning());
  mirror->startIfNeeded();  // resumes the same helper
  EXPECT_FALSE(mirror->frameShm()->paused());
  EXPECT_EQ(captureLaunches, 1);
}

TEST_F(WindowMirrorTest, AttachFollowsTheOverlayAndReportsAnUnconfirmedExclusionOnce) {
  start(false);
  mirror = std::make_unique<WindowMirror>(deps(), 80, Size{400, 300});
  OverlayWindow overlay(ui);
  mirror->attach(overlay);  // not on screen: hidden, never attached
  EXPECT_EQ(client->commandsSent(MirrorHostCommandKind::hide), 1u);
  EXPECT_EQ(client->commandsSent(MirrorHostCommandKind::attach), 0u);

  overlay.place(Rect(100, 100, 400, 300));
  overlay.orderFrontRegardless();
  mirror->panel().exclusionResult = -999;
  for (int i = 0; i < 3; ++i) mirror->attach(overlay);
  EXPECT_EQ(logged("Capture exclusion NOT confirmed for mirror 80 (result -999) \u2014 mirror stays hidden"), 1u);
  EXPECT_EQ(logged("Raised hosted mirror"), 0u);
  mirror->panel().exclusionResult = 0;
  mirror->attach(overlay);
  mirror->panel().exclusionResult = -999;
  mirror->attach(overlay);
  EXPECT_EQ(logged("Capture exclusion NOT confirmed for mirror 80"), 2u);
  EXPECT_EQ(client->commandsSent(MirrorHostCommandKind::attach), 5u);
}

// The manager with the real capture loop and mirror host: what the user and the share see.
class ClearViewManagerTest : public MirrorDesktop {
 protected:
  void SetUp() override {
    start(true);
    makeManager([this](OverlayManager::Dependencies& d) {
      d.dumpDirectory = dumps.path();
      d.mirrors = std::make_unique<WindowMirrorSet>(deps(), ui, [this](int64_t upper, int64_t lower) {
        return tracker.isSeated(upper, lower);
      });
    });
    manager->setClearViewActive(true);
    slack = launch(501, "com.tinyspeck.slackmacgap", "Slack", 0x4A154B, true);
    big = addWindow(slack, Rect(100, 200, 600, 400));
    small = addWindow(slack, Rect(800, 200, 79, 200));
  }
  void settle() {
    for (int i = 0; i < 10; ++i) tick();
  }
  PrivateDirectory dumps{::testing::TempDir(), "mirror-dump-"};
  pid_t slack = 0;
  WindowID big = 0, small = 0;
};

TEST_F(ClearViewManagerTest, UserSeesTheWindowThroughItsMirrorWhileTheShareSeesFrost) {
  settle();
  const auto& mirrors = manager->overlays();
  ASSERT_TRUE(mirrors.contains(big) && mirrors.contains(small));
  EXPECT_TRUE(overlayOf(big)->clearViewMode());
  EXPECT_FALSE(overlayOf(small)->clearViewMode()) << "a window under 80 points gets no mirror";
  auto local = desktop.localFidelity(big);
  ASSERT_TRUE(local);
  EXPECT_GE(local->share(), 0.99);
  EXPECT_LT(desktop.localFidelity(small)->share(), 0.9) << "frost";
  EXPECT_TRUE(sim::probeLeaks(desktop, {big, small}).isClean());
  EXPECT_TRUE(manager->clearViewStatus()->starts_with("Live: 1/1 windows @")) << *manager->clearViewStatus();

  // The diagnostic dump holds what the helper captured and the mirror host's state.
  ASSERT_TRUE(writeFileText("", dumps.path() + "/corvane-clearview-dump", nullptr));
  manager->handleDumpRequestIfNeeded();
  const std::string out = dumps.path() + "/corvane-clearview-out/";
  std::string error;
  const auto source = readPNG(out + "source-" + std::to_string(big) + ".png", &error);
  ASSERT_TRUE(source) << error;
  EXPECT_EQ(source->width, 600);
  EXPECT_EQ(source->height, 400);
  EXPECT_NE(readFileText(out + "report.txt", &error).value_or("").find("\nmirrorHost host=1 "), std::string::npos);

  // Nothing changes: a refresh sends the mirror host nothing.
  const uint64_t before = client->commandsSent();
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(client->commandsSent(), before);

  // Shown to the meeting: the frost leaves, the plate hides, the user still sees the window.
  manager->setAppRevealed(protectedApps[0], true);
  tick();
  EXPECT_EQ(client->plates().size(), 1u);
  EXPECT_FALSE(client->plates().begin()->second->isVisible);
  EXPECT_GE(desktop.localFidelity(big)->share(), 0.99);
}

TEST_F(ClearViewManagerTest, FramebufferShareTurnsEveryoneToFrostUntilItEnds) {
  settle();
  manager->setMirrorsSuppressed(true);
  tick();
  EXPECT_FALSE(overlayOf(big)->clearViewMode());
  EXPECT_LT(desktop.localFidelity(big)->share(), 0.9) << "frost";
  EXPECT_NE(manager->clearViewStatus()->find("Zoom is sharing"), std::string::npos);
  EXPECT_EQ(logged("Paused capture for window"), 1u);
  manager->setMirrorsSuppressed(false);
  settle();
  EXPECT_TRUE(overlayOf(big)->clearViewMode());
  EXPECT_GE(desktop.localFidelity(big)->share(), 0.99);
}

}  // namespace
}  // namespace corvane
