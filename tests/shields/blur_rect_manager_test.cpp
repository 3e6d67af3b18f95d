// Drawn blur rectangles on the simulated desktop: the tap gestures in virtual time, drawing with the
// pointer, removing and clearing, and what the share sees under a rectangle.
#include "shields/blur_rect_manager.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_input.h"
#include "platform/sim/sim_leak_probe.h"
#include "platform/sim/sim_ui.h"

namespace corvane {
namespace {

constexpr pid_t kSheetPID = 601;

class BlurRectTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  sim::SimInput& input = desktop.input();
  BlurRectManager manager{desktop.ui(), desktop.input(), dispatcher.clock()};
  int changes = 0;

  void SetUp() override {
    desktop.launchApp({kSheetPID, "com.example.sheet", "Sheet", ActivationPolicy::regular, 0x2E9E4F, false});
    desktop.activateApp(kSheetPID);
    manager.onChange = [this] { ++changes; };
    manager.start();
    dispatcher.runUntilIdle();
  }

  // A window of the spreadsheet at a screen-space frame.
  WindowID addSheetWindow(const Rect& frame) {
    sim::SimWindow w;
    w.ownerPID = kSheetPID;
    w.bounds = frame.flipped(desktop.mainDisplayHeight());
    return desktop.addWindow(w);
  }
  void settle() { dispatcher.runUntilIdle(); }
  void draw(Point from, Point to) {
    input.drag(from, {Point{(from.x + to.x) / 2, (from.y + to.y) / 2}, to});
    settle();
  }
  // Share-view pixels under the rectangles that show what lies beneath them.
  uint64_t leakedUnderRects() {
    std::vector<sim::PrivateArea> areas;
    for (const StoredRect& r : manager.rects()) {
      areas.push_back({r.frame.flipped(desktop.mainDisplayHeight()), blurRectWindowLevel});
    }
    sim::LeakReport scratch;
    return sim::countAreaLeaks(desktop, areas, scratch);
  }
};

// One step of a gesture script: at `at` seconds, a modifier goes down or up, or a key is typed
// with the modifiers held then.
struct Step {
  enum Kind { down, up, tap, typeKey } kind;
  uint64_t flag = 0;  // the modifier, or the key code for typeKey
  double at = 0;
};

struct GestureCase {
  const char* name;
  std::vector<Step> steps;
  bool drawMode;      // draw mode at the end
  size_t rectsLeft;   // of the one rectangle made before
};

TEST_F(BlurRectTest, TapGesturesFollowTheirTiming) {
  using enum Step::Kind;
  constexpr uint64_t cmd = ModifierFlag::command, ctl = ModifierFlag::control, opt = ModifierFlag::option,
                     shift = ModifierFlag::shift;
  const std::vector<GestureCase> cases = {
      {"three Command taps within 0.55 s enter draw mode", {{tap, cmd, 0}, {tap, cmd, 0.25}, {tap, cmd, 0.55}}, true, 1},
      {"three spread over 0.6 s do nothing", {{tap, cmd, 0}, {tap, cmd, 0.3}, {tap, cmd, 0.6}}, false, 1},
      {"a late first tap is dropped: the last three count",
       {{tap, cmd, 0}, {tap, cmd, 0.7}, {tap, cmd, 0.9}, {tap, cmd, 1.1}}, true, 1},
      {"the fourth to sixth taps leave draw mode again",
       {{tap, cmd, 0}, {tap, cmd, 0.1}, {tap, cmd, 0.2}, {tap, cmd, 0.3}, {tap, cmd, 0.4}, {tap, cmd, 0.5}}, false, 1},
      {"Shift held does not disturb",
       {{down, shift, 0}, {tap, cmd, 0.05}, {tap, cmd, 0.15}, {tap, cmd, 0.25}, {up, shift, 0.3}}, true, 1},
      {"Command with Option counts for nothing",
       {{down, opt, 0}, {tap, cmd, 0.05}, {tap, cmd, 0.15}, {tap, cmd, 0.25}, {up, opt, 0.3}}, false, 1},
      {"Command with Control counts for neither",
       {{down, ctl, 0}, {tap, cmd, 0.05}, {tap, cmd, 0.15}, {tap, cmd, 0.25}, {up, ctl, 0.3}}, false, 1},
      {"holding Command counts once",
       {{down, cmd, 0}, {tap, shift, 0.1}, {tap, shift, 0.2}, {tap, shift, 0.3}, {up, cmd, 0.35}, {tap, cmd, 0.4}},
       false, 1},
      {"three quick undos are shortcuts, not taps",
       {{down, cmd, 0}, {typeKey, 6, 0.02}, {up, cmd, 0.05}, {down, cmd, 0.15}, {typeKey, 6, 0.17}, {up, cmd, 0.2},
        {down, cmd, 0.3}, {typeKey, 6, 0.32}, {up, cmd, 0.35}},
       false, 1},
      {"three Control taps clear every rectangle", {{tap, ctl, 0}, {tap, ctl, 0.2}, {tap, ctl, 0.5}}, false, 0},
      {"Control taps spread over 0.6 s clear nothing", {{tap, ctl, 0}, {tap, ctl, 0.3}, {tap, ctl, 0.6}}, false, 1},
      {"Control with Option does not clear",
       {{down, opt, 0}, {tap, ctl, 0.05}, {tap, ctl, 0.1}, {tap, ctl, 0.15}, {up, opt, 0.2}}, false, 1},
  };
  for (const GestureCase& c : cases) {
    SCOPED_TRACE(c.name);
    BlurRectManager m{desktop.ui(), input, dispatcher.clock()};
    m.start();
    m.addRect(Rect(600, 300, 100, 80));
    dispatcher.advance(5);  // far from any earlier case's taps
    const double t0 = dispatcher.mediaTime();
    for (const Step& step : c.steps) {
      dispatcher.advanceTo(t0 + step.at);
      if (step.kind == typeKey) {
        input.keyDown(uint16_t(step.flag), input.currentModifierFlags());
        input.keyUp(uint16_t(step.flag), input.currentModifierFlags());
      } else {
        if (step.kind != up) input.modifierKey(step.flag, true);
        if (step.kind != down) input.modifierKey(step.flag, false);
      }
      dispatcher.runUntilIdle();
    }
    EXPECT_EQ(m.isDrawMode(), c.drawMode);
    EXPECT_EQ(m.rects().size(), c.rectsLeft);
    EXPECT_EQ(m.drawOverlayCount(), c.drawMode ? 1u : 0u);
    m.leaveDrawMode();
  }
}

TEST_F(BlurRectTest, DragsDrawRectanglesOfAtLeastTheMinimumSize) {
  std::string error;
  const nlohmann::json second = {{"id", 2}, {"frame", {1512, 0, 1280, 800}}};
  ASSERT_TRUE(desktop.addDisplayFromDescription(second, "display", &error)) << error;
  manager.enterDrawMode();
  EXPECT_EQ(changes, 1);
  // Every press on either display now reaches the program.
  ASSERT_EQ(manager.drawOverlayCount(), 2u);
  EXPECT_NE(desktop.ui().hitTest(Point{2000, 400}).ownWindow, nullptr);
  input.dragBegin(Point{200, 300});
  input.dragTo(Point{260, 350});
  settle();
  ASSERT_NE(manager.previewWindow(), nullptr);
  EXPECT_TRUE(manager.previewWindow()->isVisible());
  EXPECT_EQ(manager.previewWindow()->frame(), Rect(200, 300, 60, 50));
  EXPECT_TRUE(manager.previewWindow()->interaction().closeButton().isHidden());
  // Dragging back past the start spans the other way.
  input.dragTo(Point{150, 240});
  settle();
  EXPECT_EQ(manager.previewWindow()->frame(), Rect(150, 240, 50, 60));
  input.dragEnd(Point{150, 240});
  settle();
  EXPECT_EQ(manager.previewWindow(), nullptr);
  ASSERT_EQ(manager.rects().size(), 1u);
  EXPECT_EQ(manager.rects()[0].frame, Rect(150, 240, 50, 60));
  EXPECT_TRUE(manager.isDrawMode()) << "draw mode stays on for the next rectangle";

  draw(Point{400, 400}, Point{500, 410});  // 100 x 10
  draw(Point{600, 400}, Point{623, 500});  // 23 wide
  EXPECT_EQ(manager.rects().size(), 1u) << "drags under 24 points either way are dropped";
  draw(Point{600, 400}, Point{624, 424});
  ASSERT_EQ(manager.rects().size(), 2u);
  EXPECT_NE(manager.rects()[0].id, manager.rects()[1].id);

  // Each rectangle is a frost window the share records, above every application window.
  const BlurRectWindow* window = manager.window(manager.rects()[1].id);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->level(), blurRectWindowLevel);
  EXPECT_EQ(window->sharingType(), ui::SharingType::readWrite);
  EXPECT_EQ(window->collectionBehavior(), 337u);
  EXPECT_EQ(window->frame(), Rect(600, 400, 24, 24));

  // Escape typed into another application leaves draw mode (the global monitor hears it); then a
  // drag draws nothing.
  input.keyDown(KeyCode::escape);
  settle();
  EXPECT_FALSE(manager.isDrawMode());
  EXPECT_EQ(manager.drawOverlayCount(), 0u);
  draw(Point{800, 300}, Point{900, 400});
  EXPECT_EQ(manager.rects().size(), 2u);
}

TEST_F(BlurRectTest, RectanglesAreRemovedByTheirButtonOrADoubleClick) {
  manager.addRect(Rect(100, 100, 200, 150));
  manager.addRect(Rect(400, 100, 200, 150));
  const std::string first = manager.rects()[0].id;
  const std::string second = manager.rects()[1].id;
  BlurRectCloseButton& button = manager.window(first)->interaction().closeButton();

  // The close button shows while the pointer is over its rectangle, and never in draw mode.
  input.moveMouse(Point{200, 175});
  settle();
  EXPECT_FALSE(button.isHidden());
  EXPECT_TRUE(manager.window(second)->interaction().closeButton().isHidden());
  manager.enterDrawMode();
  input.moveMouse(Point{201, 175});
  settle();
  EXPECT_TRUE(button.isHidden());
  manager.leaveDrawMode();
  settle();
  EXPECT_FALSE(button.isHidden()) << "the pointer is still over it";
  input.moveMouse(Point{350, 500});
  settle();
  EXPECT_TRUE(button.isHidden());

  // Its top-right corner, 8 points in: a click there removes the rectangle (and its window).
  input.moveMouse(Point{300 - 8 - 11, 250 - 8 - 11});
  settle();
  const int before = changes;
  input.click(Point{300 - 8 - 11, 250 - 8 - 11});
  settle();
  ASSERT_EQ(manager.rects().size(), 1u);
  EXPECT_EQ(manager.rects()[0].id, second);
  EXPECT_EQ(manager.window(first), nullptr);
  EXPECT_EQ(changes, before + 1);

  // A single click does nothing; a double click removes, in draw mode too.
  manager.enterDrawMode();
  input.click(Point{500, 170});
  settle();
  EXPECT_EQ(manager.rects().size(), 1u) << "a press on a rectangle draws nothing either";
  dispatcher.advance(1);
  input.click(Point{500, 170});
  input.click(Point{501, 171});
  settle();
  EXPECT_TRUE(manager.rects().empty());
  EXPECT_TRUE(manager.isDrawMode());
}

TEST_F(BlurRectTest, ClearingDuringADragEndsItAndKeepsDrawMode) {
  manager.enterDrawMode();
  draw(Point{100, 100}, Point{200, 200});
  input.dragBegin(Point{300, 300});
  input.dragTo(Point{380, 380});
  settle();
  ASSERT_TRUE(manager.isDrawing());
  for (int i = 0; i < 3; ++i) {
    input.modifierKey(ModifierFlag::control, true);
    input.modifierKey(ModifierFlag::control, false);
    dispatcher.advance(0.1);
  }
  EXPECT_TRUE(manager.rects().empty());
  EXPECT_FALSE(manager.isDrawing());
  EXPECT_EQ(manager.previewWindow(), nullptr);
  EXPECT_TRUE(manager.isDrawMode());
  // The rest of the drag draws nothing: its start was dropped.
  input.dragTo(Point{400, 400});
  input.dragEnd(Point{400, 400});
  settle();
  EXPECT_TRUE(manager.rects().empty());
  EXPECT_EQ(manager.previewWindow(), nullptr);
}

TEST_F(BlurRectTest, TheShareNeverSeesWhatLiesUnderARectangle) {
  const WindowID sheet = addSheetWindow(Rect(100, 100, 700, 500));
  manager.setTintAlpha(0.15);
  manager.setBlurIntensity(0);  // the softest frost still hides
  manager.enterDrawMode();
  draw(Point{300, 300}, Point{500, 360});
  manager.leaveDrawMode();
  settle();
  ASSERT_EQ(manager.rects().size(), 1u);
  BlurRectWindow& window = *manager.window(manager.rects()[0].id);
  EXPECT_GE(window.interaction().blur().effect().alphaValue(), FrostedBlurView::minHidingAlpha);
  EXPECT_EQ(leakedUnderRects(), 0u);

  // The spreadsheet moves beneath the rectangle, and another window comes under it.
  desktop.setBounds(sheet, Rect(150, 120, 700, 500).flipped(desktop.mainDisplayHeight()));
  addSheetWindow(Rect(320, 280, 100, 100));
  EXPECT_EQ(leakedUnderRects(), 0u);

  // A stronger appearance reaches the rectangle at once.
  manager.setBlurIntensity(1);
  manager.setTintAlpha(0.5);
  manager.applyAppearance();
  EXPECT_EQ(window.interaction().blur().tintAlpha(), 0.5);
  EXPECT_EQ(window.interaction().blur().effect().material(), FrostedBlurView::material(1));

  // The probe sees a rectangle whose frost is gone (as it would a missing window).
  const std::vector<sim::PrivateArea> area = {{manager.rects()[0].frame.flipped(desktop.mainDisplayHeight()),
                                               blurRectWindowLevel}};
  manager.clearAll();
  sim::LeakReport scratch;
  EXPECT_GT(sim::countAreaLeaks(desktop, area, scratch), 0u);
}

}  // namespace
}  // namespace corvane
