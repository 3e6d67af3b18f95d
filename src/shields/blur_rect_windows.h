// The windows of drawn blur rectangles: the frost panel of one rectangle (with its close button)
// and the transparent panel that covers a display while the user draws.
//
// A rectangle's panel is an ordinary frost window that the share records (sharing type read-write),
// on every space, above every application window (level 1001). Its content is the frost look
// (FrostedBlurView) and, at the top-right corner, a round close button that shows while the
// pointer is over the rectangle. The draw panel (level 1000, just below the rectangles) covers a
// whole display and is transparent: it only takes the pointer away from the applications below.
//
// Threading: main thread.
#pragma once

#include <functional>
#include <memory>

#include "overlay/frosted_blur_view.h"
#include "platform/screens.h"
#include "platform/ui.h"

namespace corvane {

inline constexpr int64_t blurRectWindowLevel = 1001;
inline constexpr int64_t drawModeOverlayWindowLevel = 1000;
// Can join all spaces, stationary, ignores window cycling, full-screen auxiliary.
inline constexpr uint64_t blurRectCollectionBehavior = 337;

// Acts on the first click even while its window is not key.
class BlurRectCloseButton final : public ui::Button {
 public:
  using ui::Button::Button;
  bool acceptsFirstMouse() const override { return true; }
};

// The frost filling a rectangle, and its close button.
class BlurRectInteractionView final : public ui::View {
 public:
  static constexpr double closeButtonSide = 22;
  static constexpr double closeButtonInset = 8;

  explicit BlurRectInteractionView(const Rect& frame);

  FrostedBlurView& blur() { return *blur_; }
  BlurRectCloseButton& closeButton() { return *closeButton_; }
  // Whether the close button may show (false in draw mode and on the preview).
  bool showsRemoveControl = true;
  std::function<void()> onRemove;

  void layout() override;
  // The close button where it shows, else the view itself: a rectangle takes every click inside it.
  ui::View* hitTest(Point point) override;

 private:
  FrostedBlurView* blur_;
  BlurRectCloseButton* closeButton_;
};

class BlurRectWindow final : public ui::Panel {
 public:
  BlurRectWindow(ui::UserInterface& ui, const Rect& screenFrame);

  BlurRectInteractionView& interaction() { return *interaction_; }
  const BlurRectInteractionView& interaction() const { return *interaction_; }
  std::function<void()> onRemove;

  void setTintAlpha(double alpha) { interaction_->blur().setTintAlpha(alpha); }
  // Sets the strength and applies the frost look's rule for it.
  void setBlurIntensity(double strength);
  // Also lays the content out.
  void setScreenFrame(const Rect& frame);

 private:
  BlurRectInteractionView* interaction_;
};

// Transparent; every click on it is its own.
class DrawModeCaptureView final : public ui::View {
 public:
  using ui::View::View;
  ui::View* hitTest(Point) override { return this; }
};

class DrawModeOverlayWindow final : public ui::Panel {
 public:
  DrawModeOverlayWindow(ui::UserInterface& ui, const ScreenInfo& screen);

  bool canBecomeKey() const override { return true; }
  bool canBecomeMain() const override { return false; }
};

}  // namespace corvane
