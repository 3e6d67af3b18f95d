#include "overlay/overlay_content_view.h"

#include <algorithm>

#include "base/localization.h"
#include "overlay/frosted_blur_view.h"

namespace corvane {

namespace {

constexpr const char* kRevealSymbol = "eye.fill";
constexpr const char* kBlurSymbol = "eye.slash.fill";

}  // namespace

std::string OverlayContentView::revealTitle() {
  return localized("Reveal", "Button to temporarily unblur this window");
}

std::string OverlayContentView::blurTitle() { return localized("Blur", "Button to re-blur this window"); }

OverlayContentView::OverlayContentView(ui::UserInterface& ui) : ui::View(Rect::zero()), ui_(ui) {
  setWantsLayer(true);
  layer()->setCornerRadius(cornerRadius_);
  layer()->setMasksToBounds(true);
  layer()->setOpaque(false);

  auto effect = std::make_unique<ui::VisualEffectView>();
  effect->setWantsLayer(true);
  effect->setMaterial(ui::VisualEffectMaterial::fullScreenUI);
  effect->setBlendingMode(ui::VisualEffectBlendingMode::behindWindow);
  effect->setState(ui::VisualEffectState::active);
  effect->setAlphaValue(1);
  effect_ = &addSubview(std::move(effect));

  auto tint = std::make_unique<ui::View>();
  tint->setWantsLayer(true);
  tint->setAlphaValue(1);
  tint->layer()->setBackgroundColor(ui::Color::black(tintAlpha_));
  tint_ = &addSubview(std::move(tint));

  controlButton_ = &addSubview(std::make_unique<OverlayButton>());
  configureButtonAppearance(false);
}

OverlayContentView::~OverlayContentView() = default;

void OverlayContentView::setCornerRadius(double radius) {
  cornerRadius_ = radius;
  layer()->setCornerRadius(radius);
}

void OverlayContentView::setTrailingChromeMinX(std::optional<double> x) {
  if (trailingChromeMinX_ == x) return;
  trailingChromeMinX_ = x;
  recomputeButtonFrames();
}

void OverlayContentView::setTintAlpha(double alpha) {
  tintAlpha_ = alpha;
  tint_->layer()->setBackgroundColor(ui::Color::black(alpha));
}

void OverlayContentView::applyBlurIntensity(double strength) {
  effect_->setMaterial(FrostedBlurView::material(strength));
  if (!isRevealed_) effect_->setAlphaValue(FrostedBlurView::effectAlpha(strength));
}

void OverlayContentView::configureButtonAppearance(bool revealed) {
  OverlayButton& button = *controlButton_;
  const std::string title = revealed ? blurTitle() : revealTitle();
  button.setTitle(title);
  if (revealed) {
    button.setAction("blurClicked", [this] { blurClicked(); });
  } else {
    button.setAction("revealClicked", [this] { revealClicked(); });
  }
  button.setBordered(false);
  button.setWantsLayer(true);
  button.setFont(ui::Font::systemFont(revealed ? 11 : 13, ui::FontWeight::semibold));
  button.setContentTintColor(ui::Color::white());
  button.setImage(ui::Image::systemSymbol(revealed ? kBlurSymbol : kRevealSymbol, title));
  button.setImagePosition(ui::ImagePosition::imageLeading);
  button.setImageHugsTitle(true);
  ui::Layer& layer = *button.layer();
  layer.setCornerRadius(revealed ? 14 : 17);
  if (revealed) {
    layer.setBackgroundColor(ui::Color::calibratedWhite(0.11, 0.92));
    layer.setBorderWidth(0);
  } else {
    layer.setBackgroundColor(ui::Color::clear());
    layer.setBorderWidth(1.5);
    layer.setBorderColor(ui::Color::white(0.9));
  }
}

Rect OverlayContentView::frameForButton(std::string_view title, bool compact, ControlPlacement placement) {
  const ui::Font font = ui::Font::systemFont(compact ? 11 : 13, ui::FontWeight::semibold);
  const Size text = ui_.measureText(title, font);
  const double width = (compact ? 20 : 32) + text.width + 18 + 6;
  const double height = (compact ? 10 : 16) + std::max(text.height, 16.0);
  const Size view = bounds().size;
  if (placement == ControlPlacement::centered) {
    return Rect((view.width - width) / 2, (view.height - height) / 2, width, height);
  }
  const ui::Window* owner = window();
  const double anchor =
      trailingChromeMinX_ && owner ? *trailingChromeMinX_ - owner->frame().minX() : view.width - 88;
  const double rightEdge = std::min(std::max(width + 8, anchor - 8), view.width - 8);
  const double x = std::max(rightEdge - width, 8.0);
  const double y = view.height - (toolbarPassthroughHeight - height) / 2 - height;
  return Rect(x, y, width, height);
}

void OverlayContentView::recomputeButtonFrames() {
  centeredRevealFrame_ = frameForButton(revealTitle(), false, ControlPlacement::centered);
  revealedBlurFrame_ = frameForButton(blurTitle(), true, ControlPlacement::titleBar);
  if (!isButtonAnimating_) controlButton_->setFrame(isRevealed_ ? revealedBlurFrame_ : centeredRevealFrame_);
}

void OverlayContentView::animateToRevealed(bool revealed, bool animated) {
  recomputeButtonFrames();
  // Revealing takes the compact look at once; covering keeps it until the move ends.
  if (revealed) configureButtonAppearance(true);
  isRevealed_ = revealed;
  applyRevealState(revealed, animated);
  if (onRevealStateChange) onRevealStateChange(revealed);

  const Rect target = revealed ? revealedBlurFrame_ : centeredRevealFrame_;
  if (!animated) {
    configureButtonAppearance(revealed);
    controlButton_->setFrame(target);
    return;
  }
  isButtonAnimating_ = true;
  ui_.runAnimationGroup(
      [&](ui::AnimationContext& context) {
        context.duration = revealDuration;
        context.timingFunction = ui::AnimationTiming::easeInEaseOut;
        controlButton_->animator(context).setFrame(target);
      },
      [this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.expired()) return;
        isButtonAnimating_ = false;
        configureButtonAppearance(isRevealed_);
        recomputeButtonFrames();
        if (onRevealAnimationComplete) onRevealAnimationComplete();
      });
}

void OverlayContentView::applyRevealState(bool revealed, bool animated) {
  const double effectTarget = revealed ? 0 : FrostedBlurView::effectAlpha(blurIntensity_);
  const double tintTarget = revealed ? 0 : 1;
  if (!animated) {
    effect_->setHidden(revealed);
    tint_->setHidden(revealed);
    effect_->setAlphaValue(effectTarget);
    tint_->setAlphaValue(tintTarget);
    return;
  }
  if (!revealed) {
    effect_->setHidden(false);
    tint_->setHidden(false);
    effect_->setAlphaValue(0);
    tint_->setAlphaValue(0);
  }
  ui_.runAnimationGroup(
      [&](ui::AnimationContext& context) {
        context.duration = revealDuration;
        context.timingFunction = ui::AnimationTiming::easeInEaseOut;
        effect_->animator(context).setAlphaValue(effectTarget);
        tint_->animator(context).setAlphaValue(tintTarget);
      },
      [this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.expired()) return;
        effect_->setHidden(isRevealed_);
        tint_->setHidden(isRevealed_);
      });
}

void OverlayContentView::resetRevealState() {
  if (!isRevealed_) return;
  isRevealed_ = false;
  isButtonAnimating_ = false;
  configureButtonAppearance(false);
  applyRevealState(false, false);
  controlButton_->setFrame(centeredRevealFrame_);
  if (onRevealStateChange) onRevealStateChange(false);
}

void OverlayContentView::revealClicked() {
  if (!isRevealed_) animateToRevealed(true, true);
}

void OverlayContentView::blurClicked() {
  if (isRevealed_) animateToRevealed(false, true);
}

void OverlayContentView::layout() {
  effect_->setFrame(bounds());
  tint_->setFrame(bounds());
  recomputeButtonFrames();
}

ui::View* OverlayContentView::hitTest(Point point) {
  if (isHidden() || !frame().contains(point)) return nullptr;
  const Point local{point.x - frame().minX(), point.y - frame().minY()};
  ui::View* button = controlButton_->hitTest(local);
  if (isRevealed_) return button;
  if (local.y >= bounds().height() - toolbarPassthroughHeight) return nullptr;
  return button ? button : this;
}

}  // namespace corvane
