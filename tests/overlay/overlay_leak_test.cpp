// What the share sees: after each refresh no protected, unrevealed window shows a single pixel of
// its own content in the share view, while foreign windows in front and revealed applications do.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "base/png.h"
#include "overlay_test_support.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using overlaytest::OverlayDesktop;

class OverlayLeakTest : public OverlayDesktop {
 protected:
  pid_t editor = 0, notes = 0, browser = 0;

  void SetUp() override {
    editor = launch(501, "com.example.editor", "Editor", 0x7A3E9D, true);
    notes = launch(502, "com.example.notes", "Notes", 0xC9A227, true);
    browser = launch(503, "com.example.browser", "Browser", 0x2E86AB);
    makeManager();
  }
};

TEST_F(OverlayLeakTest, NoProtectedPixelShowsAfterARefresh) {
  const WindowID e1 = addWindow(editor, Rect(60, 380, 620, 460));
  const WindowID e2 = addWindow(editor, Rect(760, 90, 560, 420));
  const WindowID n1 = addWindow(notes, Rect(300, 120, 520, 380));
  addWindow(browser, Rect(900, 400, 500, 400));
  EXPECT_EQ(probe().leakedPixels.at(n1), drawnPixels(n1)) << "unfrosted, the share sees everything";

  refresh();
  auto report = probe();
  EXPECT_TRUE(report.isClean()) << report.total() << " leaked pixels";
  EXPECT_EQ(report.leakedPixels.size(), 3u);

  // The editor comes to the front (e2 is its frontmost window); a browser window opens over it; a
  // tool window that captures leave out opens over it too (a hole there would show the editor).
  desktop.activateApp(editor);
  addWindow(browser, Rect(650, 300, 300, 200));
  const WindowID hidden = addWindow(browser, Rect(1100, 150, 200, 150));
  desktop.setSharingState(hidden, WindowSharingState::none);
  tick();
  report = probe();
  EXPECT_TRUE(report.isClean()) << report.total() << " leaked pixels";
  EXPECT_EQ(overlayOf(e2)->level(), OverlayManager::frontFrostLevel);
  EXPECT_EQ(overlayOf(e2)->occlusions.size(), 1u) << "a hole for the captured window only";
  EXPECT_EQ(overlayOf(e1)->level(), 0);

  // Windows move and resize; the next refresh follows.
  moveWindow(n1, Rect(350, 100, 600, 420));
  moveWindow(e2, Rect(700, 60, 640, 460));
  tick();
  EXPECT_TRUE(probe().isClean());

  // Strength 0 still frosts.
  manager->setBlurIntensity(0);
  manager->setTintAlpha(0.15);
  tick();
  EXPECT_TRUE(probe().isClean());
}

TEST_F(OverlayLeakTest, AForeignWindowInFrontShowsThroughItsHole) {
  const WindowID e1 = addWindow(editor, Rect(100, 100, 800, 600));
  desktop.activateApp(editor);
  const WindowID front = addWindow(browser, Rect(600, 400, 500, 400));
  refresh();
  ASSERT_EQ(overlayOf(e1)->level(), OverlayManager::frontFrostLevel) << "the frost stands above the browser";
  EXPECT_EQ(visiblePixels(front), drawnPixels(front)) << "the share sees the whole browser window";
  EXPECT_TRUE(probe().isClean());

  // Without its hole (a window of a capture-invisible application) the frost covers it.
  desktop.closeWindow(front);
  const pid_t obs = launch(504, "com.obsproject.obs-studio", "OBS", 0x302E31);
  const WindowID studio = addWindow(obs, Rect(600, 400, 500, 400));
  refresh();
  EXPECT_LT(visiblePixels(studio), drawnPixels(studio) * 2 / 3);
  EXPECT_TRUE(probe().isClean());
}

TEST_F(OverlayLeakTest, ARevealedApplicationIsVisibleToTheShare) {
  const WindowID e1 = addWindow(editor, Rect(100, 100, 500, 400));
  const WindowID n1 = addWindow(notes, Rect(700, 200, 500, 400));
  refresh();
  manager->setAppRevealed(protectedApps[0], true);
  tick();
  // All but the "Blur" chip in its title bar.
  ASSERT_TRUE(overlayOf(e1)->chip().isVisible());
  const Rect chip = overlayOf(e1)->chip().frame();
  EXPECT_GE(visiblePixels(e1), drawnPixels(e1) - uint64_t(chip.width() * chip.height()))
      << "the meeting sees the revealed editor";
  EXPECT_EQ(mustNotBeSeen(), std::set<WindowID>{n1});
  EXPECT_TRUE(probe().isClean());

  // With Clear View on, the revealed frost is off the screen altogether.
  manager->setClearViewActive(true);  // covers everything again
  EXPECT_TRUE(probe().isClean());
  manager->setAppRevealed(protectedApps[0], true);
  tick();
  EXPECT_FALSE(overlayOf(e1)->isVisible());
  EXPECT_EQ(visiblePixels(e1), drawnPixels(e1));
  EXPECT_TRUE(probe().isClean());

  // Covering again: frost at once, no fade.
  manager->setAppRevealed(protectedApps[0], false);
  dispatcher.runUntilIdle();
  EXPECT_TRUE(probe().isClean());
}

TEST_F(OverlayLeakTest, ARecreatedWindowIsNeverUnfrostedAfterARefresh) {
  const Rect frame(200, 150, 700, 500);
  WindowID current = addWindow(editor, frame);
  refresh();
  OverlayWindow* const frost = overlayOf(current);
  // The application rebuilds its window again and again, a little off each time, with a refresh
  // (0.1 s) between closing the old one and opening the new one.
  for (int round = 0; round < 4; ++round) {
    desktop.closeWindow(current);
    tick();
    current = addWindow(editor, frame.offsetBy(round * 10, -round * 10));
    tick();
    ASSERT_EQ(overlayOf(current), frost) << "round " << round << ": the frost is adopted";
    EXPECT_NEAR(frost->content().effect().presentationAlpha(dispatcher.mediaTime()), 0.982, 5e-4)
        << "no fade-in";
    const auto report = probe();
    EXPECT_TRUE(report.isClean()) << "round " << round << ": " << report.total() << " leaked pixels";
  }
  EXPECT_EQ(manager->overlays().size(), 1u);
}

// The frost rounds its corners by 16 points and cuts holes of that shape, as the platform rounds
// its windows. A window with sharper corners shows its corners (and only those) to the share.
TEST_F(OverlayLeakTest, SharperWindowCornersAreTheOnlyPixelsLeft) {
  const WindowID square = addWindow(editor, Rect(100, 100, 500, 400), 0, /*cornerRadius=*/0);
  const WindowID rounded = addWindow(notes, Rect(700, 100, 500, 400), 0, /*cornerRadius=*/10);
  refresh();
  const auto report = probe();
  // Per corner: the pixels of a 16-point square outside a circle of radius 16 (or between the
  // circles of radius 10 and 16).
  EXPECT_EQ(report.leakedPixels.at(square), 4u * 53u);
  EXPECT_GT(report.leakedPixels.at(rounded), 0u);
  EXPECT_LT(report.leakedPixels.at(rounded), 4u * 40u);
  const auto& map = report.visibility;
  for (int y = 0; y < map.height; ++y) {
    for (int x = 0; x < map.width; ++x) {
      if (map.visibleAt(x, y) != square) continue;
      const int dx = std::min(x - 100, 599 - x);
      const int dy = std::min(y - 482, 881 - y);
      ASSERT_TRUE(dx < 16 && dy < 16) << "leak at " << x << "," << y << " is not in a corner";
    }
  }
}

// The pictures for a person to open: two protected applications, one of them revealed, and a
// foreign window in front of the other one's frost.
TEST_F(OverlayLeakTest, WritesTheShareAndLocalPictures) {
  addWindow(editor, Rect(40, 330, 640, 470));
  addWindow(editor, Rect(520, 60, 520, 360));
  const WindowID n1 = addWindow(notes, Rect(760, 420, 560, 420));
  addWindow(browser, Rect(980, 80, 480, 300));
  desktop.activateApp(notes);
  const WindowID front = addWindow(browser, Rect(1080, 560, 380, 260));  // over the notes window
  refresh();
  manager->setAppRevealed(protectedApps[0], true);
  tick();
  tick(0.4);

  const auto report = probe();
  EXPECT_TRUE(report.isClean()) << report.total() << " leaked pixels";
  EXPECT_EQ(mustNotBeSeen(), std::set<WindowID>{n1});
  EXPECT_EQ(visiblePixels(front), drawnPixels(front));

  const char* tmp = std::getenv("TMPDIR");
  const fs::path dir = fs::path(tmp && *tmp ? tmp : "/tmp") / "corvane-overlay-test";
  std::error_code ignored;
  fs::create_directories(dir, ignored);
  std::string error;
  ASSERT_TRUE(writePNG(desktop.renderShareView(), (dir / "share.png").string(), &error)) << error;
  ASSERT_TRUE(writePNG(desktop.renderLocalView(), (dir / "local.png").string(), &error)) << error;
  ASSERT_TRUE(writePNG(report.highlighted(), (dir / "leaks.png").string(), &error)) << error;
  std::cout << "[          ] share and local views written to " << dir.string() << "\n";
}

}  // namespace
}  // namespace corvane
