// The frost panel: its settings, its control and chip, placement, holes, clicks and the Clear View
// presentation, on the simulated desktop.
#include "overlay/overlay_window.h"

#include <gtest/gtest.h>

#include <cmath>

#include <algorithm>

#include "base/localization.h"
#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_ui.h"

namespace corvane {
namespace {

using sim::SimDesktop;
using sim::SimWindow;

class OverlayWindowTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  SimDesktop desktop{dispatcher};
  sim::SimUI& ui = desktop.ui();
  static constexpr double H = 982;
  const Rect frame{200, 100, 800, 600};  // screen space
  WindowID source = 0;
  std::unique_ptr<OverlayWindow> overlay;

  void SetUp() override {
    desktop.launchApp({501, "com.example.secret", "Secret", ActivationPolicy::regular, 0x993333, false});
    source = addWindow(frame);
    overlay = std::make_unique<OverlayWindow>(ui);
    overlay->stackingWindowNumber = source;
    overlay->place(frame);
    overlay->order(ui::WindowOrderingMode::above, source);
    dispatcher.runUntilIdle();
  }
  WindowID addWindow(Rect screenFrame, pid_t pid = 501) {
    SimWindow w;
    w.ownerPID = pid;
    w.bounds = screenFrame.flipped(H);
    return desktop.addWindow(w);
  }
  OverlayContentView& content() { return overlay->content(); }
  Rect buttonOnScreen() {
    return overlay->convertRectToScreen(content().convertToWindow(content().controlButton().frame()));
  }
  Point middleOf(const Rect& r) { return {r.midX(), r.midY()}; }
};

TEST_F(OverlayWindowTest, IsANonActivatingPanelThatTheShareCaptures) {
  OverlayWindow& o = *overlay;
  EXPECT_EQ(o.styleMask(), ui::StyleMask::nonactivatingPanel);
  EXPECT_EQ(desktop.window(WindowID(o.windowNumber()))->sharingState, WindowSharingState::readWrite);
  EXPECT_EQ(o.collectionBehavior(), 337u) << "on every space, beside full-screen windows";
  EXPECT_EQ(o.level(), 0);
  EXPECT_FALSE(o.isOpaque());
  EXPECT_FALSE(o.hidesOnDeactivate());
  EXPECT_EQ(o.alphaValue(), 1.0);
  EXPECT_TRUE(o.canBecomeKey());
  EXPECT_FALSE(o.canBecomeMain());

  OverlayButton& b = content().controlButton();
  EXPECT_EQ(b.title(), "Reveal");
  EXPECT_EQ(b.action(), "revealClicked");
  EXPECT_EQ(b.image()->symbolName(), "eye.fill");
  EXPECT_EQ(b.image()->accessibilityDescription(), "Reveal");
  EXPECT_TRUE(b.acceptsFirstMouse());
  EXPECT_TRUE(localizationRegistry().contains("Reveal", "Button to temporarily unblur this window"));
  EXPECT_TRUE(localizationRegistry().contains("Blur", "Button to re-blur this window"));

  EXPECT_EQ(o.chip().sharingType(), ui::SharingType::readWrite);
  EXPECT_EQ(o.chip().collectionBehavior(), 337u);
  EXPECT_FALSE(o.chip().isVisible());
  EXPECT_EQ(o.chip().button().title(), "Blur");
}

TEST_F(OverlayWindowTest, ButtonFramesFollowTheTextAndTheTitleBar) {
  const double reveal = 6 * 13 * 0.6 * 1.06, blur = 4 * 11 * 0.6 * 1.06;
  const double wide = 32 + reveal + 24, compact = 20 + blur + 24;
  EXPECT_EQ(content().centeredRevealFrame(), Rect((800 - wide) / 2, (600 - 32) / 2, wide, 32));
  EXPECT_EQ(content().controlButton().frame(), content().centeredRevealFrame());
  // Without the title bar's controls known: 88 points from the right edge; centred in the top 52.
  EXPECT_EQ(content().revealedBlurFrame(), Rect(704 - compact, 561, compact, 26));
  content().setTrailingChromeMinX(700);  // screen x: 500 points into the window
  EXPECT_EQ(content().revealedBlurFrame(), Rect(492 - compact, 561, compact, 26));

  content().setTrailingChromeMinX(std::nullopt);
  overlay->place(Rect(200, 100, 100, 600));  // too narrow: the left margin wins
  EXPECT_EQ(content().revealedBlurFrame().minX(), 8);
}

TEST_F(OverlayWindowTest, CornersAreSquareWhateverTheFrame) {
  EXPECT_EQ(content().cornerRadius(), 0);
  for (const Rect& frame : {Rect(0, 0, 1512, 982), Rect(2, 2, 1506, 977), Rect(300, 200, 120, 90)}) {
    overlay->place(frame);
    EXPECT_EQ(content().layer()->cornerRadius(), 0) << describe(frame);
    EXPECT_EQ(overlay->trackedFrame, frame);
  }
  EXPECT_EQ(desktop.window(WindowID(overlay->windowNumber()))->bounds, Rect(300, 982 - 290, 120, 90));
}

// Past ten holes the mask is made of rectangles; those of a hole lie within its rounded shape.
TEST_F(OverlayWindowTest, SquareCutHolesStayWithinTheirRoundedShapes) {
  auto insideRounded = [](Point p, const Rect& r, double radius) {
    const double cx = std::clamp(p.x, r.minX() + radius, r.maxX() - radius);
    const double cy = std::clamp(p.y, r.minY() + radius, r.maxY() - radius);
    return std::hypot(p.x - cx, p.y - cy) <= radius + 1e-6 && p.x >= r.minX() && p.x <= r.maxX() && p.y >= r.minY() && p.y <= r.maxY();
  };
  for (const auto& [rect, radius] : {std::pair{Rect(10, 20, 300, 200), 32.0}, std::pair{Rect(0, 0, 40, 30), 32.0},
                                     std::pair{Rect(5, 5, 100, 100), 0.0}}) {
    const auto pieces = roundedShapeInterior(ui::PathShape(rect, ui::CornerRadii::all(radius)));
    ASSERT_FALSE(pieces.empty());
    double covered = 0;
    for (const Rect& piece : disjointRects(pieces)) {
      covered += piece.width() * piece.height();
      for (Point corner : {Point{piece.minX(), piece.minY()}, Point{piece.maxX(), piece.minY()},
                           Point{piece.minX(), piece.maxY()}, Point{piece.maxX(), piece.maxY()}}) {
        EXPECT_TRUE(insideRounded(corner, rect, std::min({radius, rect.width() / 2, rect.height() / 2})))
            << describe(piece) << " of " << describe(rect);
      }
    }
    // Most of the shape is still cut: all but slivers along the arcs.
    const double r = std::min({radius, rect.width() / 2, rect.height() / 2});
    EXPECT_GE(covered, rect.width() * rect.height() - 4 * 0.55 * r * r) << describe(rect);
  }
  std::vector<ui::PathShape> many;
  for (int i = 0; i < 11; ++i) many.emplace_back(Rect(20.0 * i, 0, 100, 80), ui::CornerRadii::all(32));
  const auto path = holesPath(Rect(0, 0, 400, 300), many);
  for (size_t i = 1; i < path.size(); ++i) EXPECT_EQ(path[i].radii.topLeft, 0) << "square pieces";
}

TEST_F(OverlayWindowTest, ClicksPassThroughTheToolbarStripHolesAndRevealedFrost) {
  const int64_t own = overlay->windowNumber();
  auto clickAt = [&](Point p) {
    ui.setMouseLocation(p);
    overlay->updateMouseHandling(p);
    return ui.hitTest(p);
  };
  // Anywhere on the frost: swallowed by the overlay itself.
  auto hit = clickAt({400, 300});
  EXPECT_EQ(hit.window, WindowID(own));
  EXPECT_EQ(hit.view, &content());
  // The top 52 points: the covered window's title bar and toolbar stay usable.
  EXPECT_EQ(clickAt({400, 700 - 30}).window, source);
  EXPECT_EQ(clickAt({400, 700 - 53}).window, WindowID(own));
  // The control.
  hit = clickAt(middleOf(buttonOnScreen()));
  EXPECT_EQ(hit.view, &content().controlButton());

  // A hole where a foreign window lies in front.
  const Rect hole(250, 150, 100, 100);
  overlay->occlusions = {hole};
  overlay->applyOcclusionMask();
  EXPECT_EQ(clickAt({300, 200}).window, source);
  EXPECT_EQ(clickAt({400, 300}).window, WindowID(own));

  // Revealed: only the control (handed to the chip) takes clicks.
  overlay->setRevealed(true, false);
  EXPECT_EQ(clickAt({400, 300}).window, source);
  EXPECT_EQ(content().hitTest({400, 300}), nullptr);
}

TEST_F(OverlayWindowTest, RevealFadesTheFrostAndHandsTheControlToTheChip) {
  std::vector<bool> changes;
  overlay->onRevealStateChange = [&](bool revealed) { changes.push_back(revealed); };
  content().applyBlurIntensity(0.5);
  const double start = dispatcher.mediaTime();
  auto click = ui.click(middleOf(buttonOnScreen()));
  ASSERT_TRUE(click.performed) << "the control acts on the first click";

  OverlayContentView& c = content();
  EXPECT_TRUE(c.isRevealed());
  EXPECT_EQ(changes, std::vector<bool>{true});
  EXPECT_TRUE(c.isButtonAnimating());
  EXPECT_EQ(c.controlButton().title(), "Blur") << "the compact look at once";
  EXPECT_EQ(c.controlButton().action(), "blurClicked");
  EXPECT_NEAR(c.effect().presentationAlpha(start), 0.99, 5e-4);
  EXPECT_NEAR(c.effect().presentationAlpha(start + 0.175), 0.491, 5e-3);
  EXPECT_FALSE(overlay->chip().isVisible());

  dispatcher.advance(0.35);
  EXPECT_FALSE(c.isButtonAnimating());
  EXPECT_TRUE(c.effect().isHidden());
  EXPECT_TRUE(c.tint().isHidden());
  EXPECT_EQ(c.controlButton().frame(), c.revealedBlurFrame());
  ASSERT_TRUE(overlay->chip().isVisible()) << "the chip takes the control after the animation";
  EXPECT_TRUE(c.controlButton().isHidden());
  EXPECT_EQ(overlay->chip().frame(), buttonOnScreen().insetBy(-1, -1));
  EXPECT_EQ(overlay->chip().level(), overlay->level());
  EXPECT_TRUE(overlay->ignoresMouseEvents());

  // The chip's "Blur" covers again: the frost fades back in.
  click = ui.click(middleOf(overlay->chip().frame()));
  ASSERT_TRUE(click.performed);
  EXPECT_EQ(changes, (std::vector<bool>{true, false}));
  EXPECT_FALSE(overlay->chip().isVisible());
  EXPECT_FALSE(c.controlButton().isHidden());
  EXPECT_FALSE(c.effect().isHidden());
  EXPECT_EQ(c.effect().presentationAlpha(dispatcher.mediaTime()), 0);
  dispatcher.advance(0.35);
  EXPECT_NEAR(c.effect().presentationAlpha(dispatcher.mediaTime()), 0.99, 5e-4);
  EXPECT_EQ(c.controlButton().title(), "Reveal");
  EXPECT_EQ(c.controlButton().frame(), c.centeredRevealFrame());
  EXPECT_FALSE(overlay->ignoresMouseEvents());
}

TEST_F(OverlayWindowTest, ChipNeedsAControlOfAtLeastEightByEightPoints) {
  overlay->setRevealed(true, false);
  overlay->chip().orderOut();
  content().controlButton().setHidden(false);
  content().controlButton().setFrame(Rect(10, 10, 40, 7.5));
  overlay->handoffChipIfRevealed();
  EXPECT_FALSE(overlay->chip().isVisible());
  EXPECT_FALSE(content().controlButton().isHidden());
  content().controlButton().setFrame(Rect(10, 10, 8, 8));
  overlay->handoffChipIfRevealed();
  EXPECT_TRUE(overlay->chip().isVisible());
  EXPECT_EQ(overlay->chip().frame(), Rect(209, 109, 10, 10));
}

TEST_F(OverlayWindowTest, ClearViewModeIsPassive) {
  overlay->setPreventsSourceOcclusion(true);
  EXPECT_EQ(overlay->alphaValue(), 0.999) << "Clear View on: never counts as opaque";
  EXPECT_FALSE(overlay->ignoresMouseEvents());

  overlay->setClearViewMode(true);
  EXPECT_EQ(overlay->alphaValue(), 0.999);
  EXPECT_TRUE(overlay->ignoresMouseEvents());
  EXPECT_FALSE(overlay->acceptsMouseMovedEvents());
  EXPECT_TRUE(content().controlButton().isHidden());
  EXPECT_FALSE(content().samplesContentBehind());
  EXPECT_EQ(content().effect().blendingMode(), ui::VisualEffectBlendingMode::withinWindow);
  EXPECT_FALSE(overlay->canBecomeKey());
  overlay->updateMouseHandling({400, 300});
  EXPECT_TRUE(overlay->ignoresMouseEvents());

  // Revealing orders the overlay out (the share sees the real window); the chip never shows.
  overlay->setRevealed(true, false);
  EXPECT_FALSE(overlay->isVisible());
  EXPECT_FALSE(overlay->chip().isVisible());
  overlay->setRevealed(false, false);
  EXPECT_TRUE(overlay->isVisible());
  EXPECT_FALSE(content().effect().isHidden());

  overlay->setClearViewMode(false);
  overlay->setPreventsSourceOcclusion(false);
  EXPECT_EQ(overlay->alphaValue(), 1.0);
  EXPECT_EQ(content().effect().blendingMode(), ui::VisualEffectBlendingMode::behindWindow);
  EXPECT_FALSE(content().controlButton().isHidden());
  EXPECT_TRUE(overlay->acceptsMouseMovedEvents());
}

TEST_F(OverlayWindowTest, HolesAreTheBoundsMinusEveryForeignFrame) {
  overlay->applyOcclusionMask();
  EXPECT_FALSE(content().layer()->mask()) << "no holes, no mask";

  // Two foreign windows in front that overlap each other, and one beside the overlay.
  overlay->occlusions = {Rect(300, 200, 200, 200), Rect(400, 300, 200, 200), Rect(1100, 100, 100, 100)};
  overlay->applyOcclusionMask();
  ASSERT_TRUE(content().layer()->mask());
  const ui::ShapeMask& mask = *content().layer()->mask();
  EXPECT_EQ(mask.fillRule, ui::FillRule::evenOdd);
  EXPECT_EQ(mask.frame, content().bounds());
  // Content coordinates are the overlay's: (x - 200, y - 100).
  EXPECT_TRUE(mask.covers({50, 50}));
  EXPECT_FALSE(mask.covers({150, 150})) << "in the first hole";
  EXPECT_FALSE(mask.covers({350, 350})) << "in the second hole";
  EXPECT_FALSE(mask.covers({250, 250})) << "where the two holes overlap";
  EXPECT_TRUE(mask.covers({450, 150}));
  // A hole has the shape of a window: its corners are rounded at least as much as any window's, so
  // the frost still covers what lies behind the rounded corner of the window in front.
  EXPECT_TRUE(mask.covers({101, 101}));
  EXPECT_TRUE(mask.covers({105, 110})) << "outside a 32-point rounding";
  EXPECT_FALSE(mask.covers({112, 125}));
  EXPECT_TRUE(mask.covers({101, 299})) << "a corner of the first hole, outside the second";
  EXPECT_FALSE(mask.covers({299, 299})) << "a corner of the first hole inside the second";

  overlay->occlusions.clear();
  overlay->applyOcclusionMask();
  EXPECT_FALSE(content().layer()->mask());
}

TEST_F(OverlayWindowTest, OrderingOutTakesTheChipAlong) {
  overlay->setRevealed(true, true);
  dispatcher.advance(0.35);
  ASSERT_TRUE(overlay->chip().isVisible());
  overlay->orderOut();
  EXPECT_FALSE(overlay->isVisible());
  EXPECT_FALSE(overlay->chip().isVisible());
  EXPECT_FALSE(content().controlButton().isHidden());
  EXPECT_FALSE(overlay->ignoresMouseEvents());

  overlay->orderFrontRegardless();
  overlay->orderOutWindowOnly();
  EXPECT_FALSE(overlay->isVisible());
}

TEST(DisjointRectsTest, CoversTheUnionOnce) {
  const std::vector<Rect> input = {Rect(0, 0, 10, 10), Rect(5, 5, 10, 10), Rect(5, 5, 2, 2), Rect(20, 0, 5, 5)};
  const auto pieces = disjointRects(input);
  double area = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    area += pieces[i].width() * pieces[i].height();
    for (size_t j = i + 1; j < pieces.size(); ++j) EXPECT_FALSE(pieces[i].intersects(pieces[j]));
  }
  EXPECT_DOUBLE_EQ(area, 100 + 100 - 25 + 25);
  for (Point p : {Point{1, 1}, Point{12, 12}, Point{6, 6}, Point{21, 1}}) {
    EXPECT_TRUE(std::any_of(pieces.begin(), pieces.end(), [&](const Rect& r) { return r.contains(p); }));
  }
  EXPECT_TRUE(disjointRects({}).empty());
}

}  // namespace
}  // namespace corvane
