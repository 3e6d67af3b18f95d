// What the share sees: after each refresh no protected, unrevealed window shows a single pixel of
// its own content in the share view, while foreign windows in front and revealed applications do.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "base/png.h"
#include "overlay/frosted_blur_view.h"
#include "overlay_test_support.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using overlaytest::OverlayDesktop;

// Per corner, the part of an r-square outside the quarter circle: (1 - pi/4) r^2, four corners.
double outsideCorners(double r) { return 4 * (1 - std::acos(-1.0) / 4) * r * r; }
// What a hole frosts of a window in front rounded by r: the band between its corners and the hole's.
double frostedHoleCorners(double r) { return outsideCorners(OverlayWindow::holeCornerRadius) - outsideCorners(r) + 8; }

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
  // All of the browser window but slivers of its corners that lie over the editor: holes are
  // rounded more than the platform's 16-point windows, so that they never exceed the window.
  EXPECT_GE(double(visiblePixels(front)), double(drawnPixels(front)) - frostedHoleCorners(16))
      << "the share sees the browser window";
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
    EXPECT_NEAR(frost->content().effect().presentationAlpha(dispatcher.mediaTime()), 0.99, 5e-4)
        << "no fade-in";
    const auto report = probe();
    EXPECT_TRUE(report.isClean()) << "round " << round << ": " << report.total() << " leaked pixels";
  }
  EXPECT_EQ(manager->overlays().size(), 1u);
}

// The frost is square, so whatever a window's corners (square, rounded less or more than the
// platform's usual 16 points) none of them shows; it never reaches beyond the window's frame, so
// what it frosts needlessly is only what shows past the window's rounded corners.
TEST_F(OverlayLeakTest, NoCornerOfAnyShapeShowsAndTheFrostBarelyOvershoots) {
  // A foreign window behind each protected one: what the share sees of it around the corners
  // measures the frost's overshoot.
  const WindowID backdrop = addWindow(browser, Rect(60, 60, 1400, 860), 0, 0);
  const WindowID square = addWindow(editor, Rect(100, 100, 400, 300), 0, /*cornerRadius=*/0);
  const WindowID slight = addWindow(notes, Rect(560, 100, 400, 300), 0, /*cornerRadius=*/6);
  const WindowID usual = addWindow(editor, Rect(1000, 100, 400, 300), 0, /*cornerRadius=*/16);
  const WindowID round = addWindow(notes, Rect(300, 480, 500, 360), 0, /*cornerRadius=*/40);
  const uint64_t backdropBefore = visiblePixels(backdrop);
  refresh();
  const auto report = probe();
  for (WindowID w : {square, slight, usual, round}) EXPECT_EQ(report.leakedPixels.at(w), 0u) << w;
  for (WindowID w : {square, slight, usual, round}) {
    EXPECT_EQ(overlayOf(w)->frame(), desktop.window(w)->bounds.flipped(mainHeight())) << "never larger: " << w;
  }
  auto outside = outsideCorners;
  const double overshoot = double(backdropBefore) - double(visiblePixels(backdrop));
  EXPECT_GT(overshoot, 0);
  EXPECT_LE(overshoot, outside(6) + outside(16) + outside(40) + 4 * 4);
}

// A hole lets the share see the window in front; it must never be larger than that window, whose
// corners may be rounded more than the frost's usual 16 points.
TEST_F(OverlayLeakTest, HolesStayWithinTheWindowsInFront) {
  const WindowID e1 = addWindow(editor, Rect(100, 100, 1200, 760));
  desktop.activateApp(editor);
  const WindowID rounder = addWindow(browser, Rect(200, 200, 400, 300), 0, /*cornerRadius=*/30);
  const WindowID square = addWindow(browser, Rect(700, 200, 400, 300), 0, /*cornerRadius=*/0);
  refresh();
  ASSERT_EQ(overlayOf(e1)->level(), OverlayManager::frontFrostLevel);
  EXPECT_TRUE(probe().isClean()) << probe().total();
  EXPECT_GE(double(visiblePixels(rounder)), double(drawnPixels(rounder)) - frostedHoleCorners(30));
  EXPECT_GE(double(visiblePixels(square)), double(drawnPixels(square)) - frostedHoleCorners(0));

  // More than ten windows in front: the holes are cut from rectangles, still within each window.
  std::vector<WindowID> notesInFront;
  for (int i = 0; i < 12; ++i) {
    notesInFront.push_back(addWindow(browser, Rect(150 + 90.0 * i, 560 - 25.0 * (i % 3), 140, 120), 0,
                                     /*cornerRadius=*/i % 2 ? 24 : 32));
  }
  tick();
  ASSERT_GT(overlayOf(e1)->occlusions.size(), maxRoundedHoles);
  EXPECT_TRUE(probe().isClean()) << probe().total();
  const WindowID last = notesInFront.back();  // in front of all the others
  EXPECT_GE(double(visiblePixels(last)), 0.8 * double(drawnPixels(last))) << "the share still sees the notes";
}

// A frost counts as hiding only where it blurs enough and is opaque enough that text behind it is
// unreadable; a weaker one is reported as the leak it is. The softest setting meets that floor.
TEST_F(OverlayLeakTest, AFrostTooWeakToHideIsALeak) {
  const WindowID e1 = addWindow(editor, Rect(100, 100, 700, 500));
  manager->setBlurIntensity(0);
  manager->setTintAlpha(FrostedBlurView::tintAlpha(0));
  refresh();
  ui::VisualEffectView& effect = overlayOf(e1)->content().effect();
  EXPECT_TRUE(probe().isClean()) << "the softest setting still hides";

  auto withEffect = [&](ui::VisualEffectMaterial material, double alpha) {
    effect.setMaterial(material);
    effect.setAlphaValue(alpha);
    dispatcher.runUntilIdle();
    return probe().leakedPixels.at(e1);
  };
  // All but what the "Reveal" control itself paints over.
  const double all = 0.97 * double(drawnPixels(e1));
  EXPECT_GT(double(withEffect(ui::VisualEffectMaterial::titlebar, 1.0)), all) << "too light a blur";
  EXPECT_GT(double(withEffect(ui::VisualEffectMaterial::popover, 0.97)), all) << "too transparent";
  EXPECT_EQ(withEffect(ui::VisualEffectMaterial::popover, 0.99), 0u);
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
  EXPECT_GE(double(visiblePixels(front)), double(drawnPixels(front)) - frostedHoleCorners(16));

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
