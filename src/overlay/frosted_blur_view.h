// The frost look: a behind-window blur with a black tint on top, driven by one strength value.
//
// Every frost the program puts in front of a share looks the same. The blur-rect, desktop and
// notification frost windows hold this view as their content; the overlay content view builds the
// same two layers itself and applies the same strength rule.
//
// Strength rule for a strength s: t = s clamped to 0...1 (anything that is not a number counts as
// 0); the effect's alpha is 0.82 + 0.18 * t^0.15, and its material the entry floor(4 * t^0.15) of
// the material table (titlebar, menu, popover, sidebar, full-screen UI). Strength 0 still blurs:
// there is no setting that removes the frost.
//
// Both have a floor, so that text behind the frost is unreadable at every strength: the effect is
// at least 0.99 opaque (what it lets through unblurred shows sharp text as a ghost: at 0.97 a title
// is still legible) and blurs at least as much as the popover material (a lighter blur leaves a
// window's title legible). Above strength 0.68 or so the rule's alpha is above the floor, and
// above 0.147 its material.
//
// Threading: main thread.
#pragma once

#include <array>

#include "platform/ui.h"

namespace corvane {

class FrostedBlurView final : public ui::View {
 public:
  // The effect's alpha at strength 0 by the rule, before the floor.
  static constexpr double minStrength = 0.82;
  // The floor: the least opacity and the least material (table index) that hide text.
  static constexpr double minHidingAlpha = 0.99;
  static constexpr size_t minHidingMaterialIndex = 2;
  static constexpr std::array<ui::VisualEffectMaterial, 5> materialTable = {
      ui::VisualEffectMaterial::titlebar, ui::VisualEffectMaterial::menu, ui::VisualEffectMaterial::popover,
      ui::VisualEffectMaterial::sidebar, ui::VisualEffectMaterial::fullScreenUI};

  // The strength clamped to 0...1.
  static double clampedStrength(double strength);
  static double effectAlpha(double strength);
  static size_t materialIndex(double strength);
  static ui::VisualEffectMaterial material(double strength);
  // The tint alpha handed to every frost for a strength b: 0.15 when b <= 0, otherwise
  // 0.15 + 0.35 * min(b, 1) (0.325 at the default 0.5, 0.5 at full strength).
  static double tintAlpha(double strength);
  // A mask that rounds the corners by `radius` at any size: a (2r + 1)-point square filled with a
  // black rounded rectangle of that radius, cap insets r on every side, stretched.
  static ui::Image roundedMask(double radius);

  explicit FrostedBlurView(const Rect& frame);

  ui::VisualEffectView& effect() { return *effect_; }
  ui::View& tint() { return *tint_; }

  double tintAlpha() const { return tintAlpha_; }
  // Also re-colours the tint layer: black at the new alpha.
  void setTintAlpha(double alpha);
  double blurIntensity() const { return blurIntensity_; }
  // Owners set the strength and then apply it.
  void setBlurIntensity(double strength) { blurIntensity_ = strength; }
  // The strength rule: the effect's material and alpha.
  void applyBlurIntensity(double strength);
  double cornerRadius() const { return cornerRadius_; }
  // Rounds both layers: the effect through a rounded mask image (removed for 0), the tint through
  // its layer's corner radius. Setting the current radius again does nothing.
  void setCornerRadius(double radius);

  void layout() override;
  // Never takes a click: clicks fall through to whatever the owning window decides.
  ui::View* hitTest(Point point) override;

 private:
  ui::VisualEffectView* effect_;
  ui::View* tint_;
  double tintAlpha_ = 0.3;
  double blurIntensity_ = 0.5;
  double cornerRadius_ = 0;
};

}  // namespace corvane
