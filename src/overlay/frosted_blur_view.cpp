#include "overlay/frosted_blur_view.h"

#include <algorithm>
#include <cmath>

namespace corvane {

double FrostedBlurView::clampedStrength(double strength) {
  if (!(strength > 0)) return 0;
  return std::min(strength, 1.0);
}

double FrostedBlurView::effectAlpha(double strength) {
  return std::max(minHidingAlpha, minStrength + (1 - minStrength) * std::pow(clampedStrength(strength), 0.15));
}

size_t FrostedBlurView::materialIndex(double strength) {
  const double index = std::floor(4 * std::pow(clampedStrength(strength), 0.15));
  return std::max(minHidingMaterialIndex, size_t(std::clamp(index, 0.0, 4.0)));
}

ui::VisualEffectMaterial FrostedBlurView::material(double strength) { return materialTable[materialIndex(strength)]; }

double FrostedBlurView::tintAlpha(double strength) {
  if (!(strength > 0)) return 0.15;
  return 0.15 + 0.35 * std::min(strength, 1.0);
}

ui::Image FrostedBlurView::roundedMask(double radius) {
  const double side = 2 * radius + 1;
  ui::Image image = ui::Image::roundedRect(Size{side, side}, radius, ui::Color::black());
  image.setCapInsets({radius, radius, radius, radius});
  image.setResizingMode(ui::ImageResizingMode::stretch);
  return image;
}

FrostedBlurView::FrostedBlurView(const Rect& frame) : ui::View(frame) {
  setWantsLayer(true);
  layer()->setOpaque(false);

  auto effect = std::make_unique<ui::VisualEffectView>(bounds());
  effect->setWantsLayer(true);
  effect->setMaterial(ui::VisualEffectMaterial::fullScreenUI);
  effect->setBlendingMode(ui::VisualEffectBlendingMode::behindWindow);
  effect->setState(ui::VisualEffectState::active);
  effect_ = &addSubview(std::move(effect));

  auto tint = std::make_unique<ui::View>(bounds());
  tint->setWantsLayer(true);
  tint->layer()->setBackgroundColor(ui::Color::black(tintAlpha_));
  tint_ = &addSubview(std::move(tint));

  applyBlurIntensity(blurIntensity_);
}

void FrostedBlurView::setTintAlpha(double alpha) {
  tintAlpha_ = alpha;
  tint_->layer()->setBackgroundColor(ui::Color::black(alpha));
}

void FrostedBlurView::applyBlurIntensity(double strength) {
  effect_->setMaterial(material(strength));
  effect_->setAlphaValue(effectAlpha(strength));
}

void FrostedBlurView::setCornerRadius(double radius) {
  if (radius == cornerRadius_) return;
  cornerRadius_ = radius;
  if (radius > 0) {
    effect_->setMaskImage(roundedMask(radius));
  } else {
    effect_->setMaskImage(std::nullopt);
  }
  tint_->layer()->setCornerRadius(radius);
}

void FrostedBlurView::layout() {
  effect_->setFrame(bounds());
  tint_->setFrame(bounds());
}

ui::View* FrostedBlurView::hitTest(Point) { return nullptr; }

}  // namespace corvane
