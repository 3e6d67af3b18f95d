// The content of a frost overlay: the blur, the black tint and one control.
//
// Covered, the frost shows at the strength rule's alpha (see FrostedBlurView) with a rounded
// "Reveal" button in its middle. Revealed, the frost fades out (0.35 s) and the control becomes a
// compact "Blur" button in the covered window's title-bar strip, left of the window's own trailing
// controls; the owning window then hands it to a chip panel so that the revealed window stays
// usable. Clicks: revealed, only the button takes them; covered, the top 52 points pass through (the
// covered window's title bar and toolbar), the button takes its own, and the frost swallows every
// other click so that it never reaches the protected window.
//
// Threading: main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "overlay/overlay_button.h"
#include "platform/ui.h"

namespace corvane {

enum class ControlPlacement {
  centered,  // in the middle of the view
  titleBar,  // in the top strip, left of the covered window's trailing title-bar controls
};

class OverlayContentView final : public ui::View {
 public:
  // The effect's alpha at strength 0 by the rule, before its floor (see FrostedBlurView).
  static constexpr double minStrength = 0.82;
  // The top strip of the covered window whose clicks always pass through.
  static constexpr double toolbarPassthroughHeight = 52;
  static constexpr double revealDuration = 0.35;

  static std::string revealTitle();
  static std::string blurTitle();

  explicit OverlayContentView(ui::UserInterface& ui);
  ~OverlayContentView() override;

  ui::VisualEffectView& effect() { return *effect_; }
  ui::View& tint() { return *tint_; }
  OverlayButton& controlButton() { return *controlButton_; }

  Rect centeredRevealFrame() const { return centeredRevealFrame_; }
  Rect revealedBlurFrame() const { return revealedBlurFrame_; }
  bool isButtonAnimating() const { return isButtonAnimating_; }
  bool isRevealed() const { return isRevealed_; }

  // Told when the user (or the program) reveals or covers again; set by the window.
  std::function<void(bool revealed)> onRevealStateChange;
  // Told when an animated move of the control has ended; set by the window.
  std::function<void()> onRevealAnimationComplete;

  double cornerRadius() const { return cornerRadius_; }
  // Stores the radius and applies it to the view's layer.
  void setCornerRadius(double radius);
  // Left edge (screen x) of the covered window's trailing title-bar controls; assigning a new value
  // recomputes the button frames.
  std::optional<double> trailingChromeMinX() const { return trailingChromeMinX_; }
  void setTrailingChromeMinX(std::optional<double> x);
  double tintAlpha() const { return tintAlpha_; }
  // Also re-colours the tint layer: black at the new alpha.
  void setTintAlpha(double alpha);
  double blurIntensity() const { return blurIntensity_; }
  void setBlurIntensity(double strength) { blurIntensity_ = strength; }
  // The strength rule; while revealed only the material changes (the reveal owns the alpha).
  void applyBlurIntensity(double strength);
  // Whether the blur samples what lies behind the window (set by the window's presentation).
  bool samplesContentBehind() const { return samplesContentBehind_; }
  void setSamplesContentBehind(bool samples) { samplesContentBehind_ = samples; }

  // Reveals or covers, animated or at once (see the class comment).
  void animateToRevealed(bool revealed, bool animated);
  // Back to covered without animation; only when revealed.
  void resetRevealState();
  // The button's actions.
  void revealClicked();
  void blurClicked();

  // The button's title, font, image and look for the revealed or covered state.
  void configureButtonAppearance(bool revealed);
  // Where a button with `title` goes: compact (11 points) or not (13), centred or in the title bar.
  Rect frameForButton(std::string_view title, bool compact, ControlPlacement placement);

  void layout() override;
  ui::View* hitTest(Point point) override;

 private:
  void recomputeButtonFrames();
  void applyRevealState(bool revealed, bool animated);

  ui::UserInterface& ui_;
  ui::VisualEffectView* effect_;
  ui::View* tint_;
  OverlayButton* controlButton_;
  Rect centeredRevealFrame_;
  Rect revealedBlurFrame_;
  bool isButtonAnimating_ = false;
  bool isRevealed_ = false;
  double cornerRadius_ = 0;
  std::optional<double> trailingChromeMinX_;
  double tintAlpha_ = 0.3;
  double blurIntensity_ = 0.5;
  bool samplesContentBehind_ = true;
  // Animation completions hold the view through this; declared last, so it goes first.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace corvane
