// The windows-and-views port on the simulated desktop: the program's windows are windows of the
// world, ordered by the window server's rules, drawn from their committed content, animated on the
// dispatch clock, and they take or pass on clicks.
#include "platform/sim/sim_ui.h"

#include <gtest/gtest.h>

#include <cmath>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_render.h"
#include "windows/window_tracker.h"

namespace corvane::sim {
namespace {

using ui::WindowOrderingMode;

uint32_t rgbAt(const PixelBuffer& b, int x, int y) {
  const uint8_t* p = b.pixel(x, y);
  return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

class SimUITest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  SimDesktop desktop{dispatcher};
  SimUI& ui = desktop.ui();
  const double H = 982;

  void SetUp() override {
    desktop.launchApp({501, "com.example.editor", "Editor", ActivationPolicy::regular, 0x336699, false});
  }
  // A foreign window at a screen-space frame.
  WindowID addForeign(Rect frame, int64_t level = Level::normal, pid_t pid = 501) {
    SimWindow w;
    w.ownerPID = pid;
    w.level = level;
    w.bounds = frame.flipped(H);
    return desktop.addWindow(w);
  }
  std::unique_ptr<ui::Panel> makePanel(Rect frame) {
    return std::make_unique<ui::Panel>(ui, frame, ui::StyleMask::nonactivatingPanel, ui::BackingStoreType::buffered,
                                       false);
  }
  ptrdiff_t indexOf(int64_t number) {
    const auto all = desktop.windows();
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].number == WindowID(number)) return ptrdiff_t(i);
    }
    return -1;
  }
};

TEST_F(SimUITest, ProgramWindowsAreWindowsOfTheWorld) {
  auto panel = makePanel(Rect(100, 100, 200, 150));
  const int64_t n = panel->windowNumber();
  ASSERT_GT(n, 0);
  auto w = desktop.window(WindowID(n));
  ASSERT_TRUE(w);
  EXPECT_EQ(w->ownerPID, desktop.selfPID());
  EXPECT_EQ(w->bounds, Rect(100, 982 - 250, 200, 150)) << "window-server space";
  EXPECT_FALSE(w->onScreen) << "a new window starts off screen";
  EXPECT_FALSE(panel->isVisible());
  EXPECT_EQ(ui.window(WindowID(n)), panel.get());

  panel->setLevel(2);
  panel->orderFront();
  EXPECT_TRUE(panel->isVisible());
  auto list = *desktop.windowServer().copyWindowInfo(WindowListOption::onScreenOnly, 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(std::get<int64_t>(*list[0].layer), 2);
  EXPECT_EQ(std::get<int64_t>(*list[0].ownerPID), desktop.selfPID());

  // A panel's floating flag sets its level, as the reference platform's does.
  panel->setFloatingPanel(true);
  EXPECT_EQ(desktop.window(WindowID(n))->level, 3);
  panel->setFloatingPanel(false);
  EXPECT_EQ(desktop.window(WindowID(n))->level, 0);

  panel->setFrame(Rect(10, 20, 30, 40), false);
  panel->setAlphaValue(0.999);
  panel->setSharingType(ui::SharingType::none);
  w = desktop.window(WindowID(n));
  EXPECT_EQ(w->bounds, Rect(10, 982 - 60, 30, 40));
  EXPECT_DOUBLE_EQ(w->alpha, 0.999);
  EXPECT_EQ(w->sharingState, WindowSharingState::none);

  // The not-ours filter of the window-list queries skips the program's windows.
  WindowTracker tracker(desktop.platform());
  addForeign(Rect(0, 0, 300, 300));
  panel->setFrame(Rect(0, 0, 300, 300), false);
  panel->orderFront();
  auto hit = tracker.windowUnderPoint(Point{50, 50});
  ASSERT_TRUE(hit);
  EXPECT_NE(hit->number, n);

  panel->close();
  EXPECT_FALSE(desktop.window(WindowID(n)));
  EXPECT_EQ(panel->windowNumber(), 0);
  panel->orderFront();  // nothing happens once closed
  EXPECT_FALSE(panel->isVisible());

  auto other = makePanel(Rect(0, 0, 10, 10));
  const WindowID m = WindowID(other->windowNumber());
  other.reset();
  EXPECT_FALSE(desktop.window(m)) << "destroying a window takes it out of the window server";
}

TEST_F(SimUITest, OrderingStaysWithinTheLevelBand) {
  const WindowID low = addForeign(Rect(0, 0, 100, 100));
  const WindowID high = addForeign(Rect(0, 0, 100, 100), Level::floating);
  const WindowID mid = addForeign(Rect(0, 0, 100, 100));  // level 0, in front of `low`
  auto panel = makePanel(Rect(0, 0, 100, 100));
  const int64_t n = panel->windowNumber();

  panel->order(WindowOrderingMode::above, low);
  EXPECT_EQ(indexOf(n) + 1, indexOf(low)) << "directly above a window of its own level";
  EXPECT_GT(indexOf(n), indexOf(mid));
  panel->order(WindowOrderingMode::below, mid);
  EXPECT_EQ(indexOf(n), indexOf(mid) + 1);

  panel->setLevel(2);
  EXPECT_GT(indexOf(n), indexOf(high));
  EXPECT_LT(indexOf(n), indexOf(mid));
  panel->order(WindowOrderingMode::above, low);
  EXPECT_EQ(desktop.window(WindowID(n))->level, 2) << "ordering never changes the level";
  EXPECT_GT(indexOf(n), indexOf(high));
  EXPECT_LT(indexOf(n), indexOf(mid));
  panel->order(WindowOrderingMode::above, high);
  EXPECT_GT(indexOf(n), indexOf(high)) << "a window of a higher level stays in front";

  panel->orderOut();
  EXPECT_FALSE(panel->isVisible());
  EXPECT_FALSE(desktop.window(WindowID(n))->onScreen);
}

TEST_F(SimUITest, ContentIsCommittedAtTheEndOfTheTurn) {
  auto panel = makePanel(Rect(100, 100, 200, 100));
  auto content = std::make_unique<ui::View>();
  content->setWantsLayer(true);
  content->layer()->setBackgroundColor(ui::Color{1, 0, 0, 1});
  ui::View& view = panel->setContentView(std::move(content));
  panel->orderFront();
  const int x = 150, y = int(H) - 150;
  const uint32_t desk = rgbAt(desktop.renderLocalView(), x, y);
  EXPECT_EQ(rgbAt(desktop.renderLocalView(), x, y), desk) << "nothing shows before the first commit";

  dispatcher.runUntilIdle();
  EXPECT_EQ(rgbAt(desktop.renderLocalView(), x, y), 0xFF0000u);
  EXPECT_EQ(rgbAt(desktop.renderShareView(), x, y), 0xFF0000u) << "sharing type read-only is captured";

  view.layer()->setBackgroundColor(ui::Color{0, 0, 1, 1});
  EXPECT_EQ(rgbAt(desktop.renderLocalView(), x, y), 0xFF0000u) << "not committed yet";
  ui.flush();
  EXPECT_EQ(rgbAt(desktop.renderLocalView(), x, y), 0x0000FFu);
  view.layer()->setBackgroundColor(ui::Color{0, 1, 0, 1});
  panel->displayIfNeeded();
  EXPECT_EQ(rgbAt(desktop.renderLocalView(), x, y), 0x00FF00u);

  panel->setSharingType(ui::SharingType::none);
  EXPECT_EQ(rgbAt(desktop.renderShareView(), x, y), desk) << "sharing type none: absent from the share";
  EXPECT_EQ(rgbAt(desktop.renderLocalView(), x, y), 0x00FF00u);
}

TEST_F(SimUITest, AnimationsRunOnTheDispatchClock) {
  auto panel = makePanel(Rect(0, 0, 100, 100));
  ui::View& view = panel->setContentView(std::make_unique<ui::View>());
  const double start = dispatcher.mediaTime();
  bool completed = false;
  ui.runAnimationGroup(
      [&](ui::AnimationContext& context) {
        context.duration = 0.35;
        context.timingFunction = ui::AnimationTiming::easeInEaseOut;
        view.animator(context).setAlphaValue(0);
        view.animator(context).setFrame(Rect(0, 0, 50, 100));
      },
      [&] { completed = true; });
  EXPECT_EQ(view.alphaValue(), 0) << "the model value changes at once";
  EXPECT_EQ(view.frame(), Rect(0, 0, 50, 100));
  EXPECT_DOUBLE_EQ(view.presentationAlpha(start), 1);
  EXPECT_NEAR(view.presentationAlpha(start + 0.175), 0.5, 1e-6) << "half way on a symmetric curve";
  EXPECT_GT(view.presentationAlpha(start + 0.05), 0.9) << "eases in";
  EXPECT_NEAR(view.presentationFrame(start + 0.175).width(), 75, 1e-4);
  dispatcher.advance(0.34);
  EXPECT_FALSE(completed);
  dispatcher.advance(0.011);
  EXPECT_TRUE(completed);
  EXPECT_EQ(view.presentationAlpha(dispatcher.mediaTime()), 0);

  ui.runAnimationGroup([&](ui::AnimationContext& context) {
    context.duration = 1;
    view.animator(context).setAlphaValue(1);
  });
  view.setAlphaValue(0.25);
  EXPECT_EQ(view.presentationAlpha(dispatcher.mediaTime()), 0.25) << "a plain set ends the animation";
}

TEST_F(SimUITest, ClicksReachTheFrontmostWindowThatTakesThem) {
  const WindowID foreign = addForeign(Rect(0, 0, 400, 400));
  auto panel = makePanel(Rect(0, 0, 400, 400));
  ui::View& content = panel->setContentView(std::make_unique<ui::View>());
  int plainClicks = 0, firstMouseClicks = 0;
  class FirstMouseButton final : public ui::Button {
   public:
    using ui::Button::Button;
    bool acceptsFirstMouse() const override { return true; }
  };
  auto& plain = content.addSubview(std::make_unique<ui::Button>(Rect(10, 10, 50, 20)));
  plain.setAction("plain", [&] { ++plainClicks; });
  auto& eager = content.addSubview(std::make_unique<FirstMouseButton>(Rect(100, 10, 50, 20)));
  eager.setAction("eager", [&] { ++firstMouseClicks; });
  panel->orderFront();

  auto click = ui.click(Point{20, 20});
  EXPECT_EQ(click.window, WindowID(panel->windowNumber()));
  EXPECT_EQ(click.view, &plain);
  EXPECT_FALSE(click.performed) << "the panel is not key: only a first-mouse button acts";
  EXPECT_EQ(plainClicks, 0);
  click = ui.click(Point{110, 20});
  EXPECT_TRUE(click.performed);
  EXPECT_EQ(firstMouseClicks, 1);
  EXPECT_EQ(ui.mouseLocation(), (Point{110, 20}));
  EXPECT_EQ(ui.click(Point{300, 300}).view, &content);

  panel->setIgnoresMouseEvents(true);
  click = ui.click(Point{110, 20});
  EXPECT_EQ(click.window, foreign) << "a window that ignores the mouse lets the click through";
  EXPECT_EQ(firstMouseClicks, 1);
}

TEST_F(SimUITest, DrawingFollowsTheLayerModel) {
  // A striped foreign window behind a panel whose content is a behind-window blur, rounded by its
  // layer, with an even-odd mask that cuts a hole.
  addForeign(Rect(100, 100, 400, 300));
  const PixelBuffer before = desktop.renderShareView();
  auto panel = makePanel(Rect(100, 100, 400, 300));
  panel->setOpaque(false);
  panel->setBackgroundColor(ui::Color::clear());
  auto content = std::make_unique<ui::View>();
  content->setWantsLayer(true);
  content->layer()->setCornerRadius(16);
  content->layer()->setMasksToBounds(true);
  ui::View& root = panel->setContentView(std::move(content));
  auto& effect = root.addSubview(std::make_unique<ui::VisualEffectView>(Rect(0, 0, 400, 300)));
  effect.setMaterial(ui::VisualEffectMaterial::fullScreenUI);
  ui::ShapeMask mask;
  mask.frame = Rect(0, 0, 400, 300);
  mask.fillRule = ui::FillRule::evenOdd;
  mask.path = {Rect(0, 0, 400, 300), Rect(300, 0, 100, 100)};  // the bottom-right corner cut away
  root.layer()->setMask(mask);
  panel->orderFront();
  ui.flush();
  const PixelBuffer after = desktop.renderShareView();

  // Window pixels: x from 100, rows from 982 - 400 = 582 (top) to 882 (bottom).
  auto variance = [](const PixelBuffer& b, int x0, int y0, int x1, int y1) {
    double sum = 0, squares = 0;
    int n = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        const double v = b.pixel(x, y)[0];
        sum += v;
        squares += v * v;
        ++n;
      }
    }
    const double mean = sum / n;
    return squares / n - mean * mean;
  };
  EXPECT_LT(variance(after, 150, 650, 350, 750), variance(before, 150, 650, 350, 750) / 10)
      << "the stripes are blurred away";
  EXPECT_EQ(rgbAt(after, 100, 582), rgbAt(before, 100, 582)) << "the rounded corner shows what lies behind";
  EXPECT_NE(rgbAt(after, 120, 600), rgbAt(before, 120, 600));
  for (int y = 790; y < 880; y += 7) {
    for (int x = 405; x < 495; x += 7) {
      ASSERT_EQ(rgbAt(after, x, y), rgbAt(before, x, y)) << "the mask's hole at " << x << "," << y;
    }
  }
}

TEST_F(SimUITest, TextIsMeasuredWithThePicturesFont) {
  const Size reveal = ui.measureText("Reveal", ui::Font::systemFont(13, ui::FontWeight::semibold));
  EXPECT_NEAR(reveal.width, 6 * 13 * 0.6 * 1.06, 1e-9);
  EXPECT_NEAR(reveal.height, 15.6, 1e-9);
  EXPECT_NEAR(ui.measureText("Blur\u2014", ui::Font::systemFont(11)).width, 5 * 11 * 0.6, 1e-9)
      << "a character is a character, however many bytes it takes";
}

}  // namespace
}  // namespace corvane::sim
