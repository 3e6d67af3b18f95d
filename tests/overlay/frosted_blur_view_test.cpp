// The frost look: one strength value mapped to material and alpha, the tint rule, rounding.
#include "overlay/frosted_blur_view.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace corvane {
namespace {

using Material = ui::VisualEffectMaterial;

TEST(FrostedBlurViewTest, StrengthRuleMapsToMaterialAndAlpha) {
  struct Row {
    double strength;
    double alpha;
    Material material;
  };
  // Weak strengths meet the floor (alpha 0.99, the popover material), under which a capture could
  // still read the text behind the frost; the rule takes over above it.
  const Row rows[] = {
      {0, 0.99, Material::popover},
      {0.0098, 0.99, Material::popover},
      {0.146, 0.99, Material::popover},
      {0.147, 0.99, Material::sidebar},
      {0.5, 0.99, Material::sidebar},
      {0.8, 0.9941, Material::sidebar},
      {1, 1.0, Material::fullScreenUI},
  };
  for (const Row& row : rows) {
    EXPECT_NEAR(FrostedBlurView::effectAlpha(row.strength), row.alpha, 5e-4) << row.strength;
    EXPECT_EQ(FrostedBlurView::material(row.strength), row.material) << row.strength;
  }
  // Out of range values are clamped; something that is not a number is no strength at all, which
  // still blurs.
  EXPECT_EQ(FrostedBlurView::effectAlpha(-3), 0.99);
  EXPECT_EQ(FrostedBlurView::material(-3), Material::popover);
  EXPECT_EQ(FrostedBlurView::effectAlpha(7), 1.0);
  EXPECT_EQ(FrostedBlurView::material(7), Material::fullScreenUI);
  EXPECT_EQ(FrostedBlurView::effectAlpha(std::numeric_limits<double>::quiet_NaN()), 0.99);
  EXPECT_EQ(FrostedBlurView::materialIndex(std::numeric_limits<double>::infinity()), 4u);

  EXPECT_EQ(int(Material::titlebar), 3);
  EXPECT_EQ(int(Material::menu), 5);
  EXPECT_EQ(int(Material::popover), 6);
  EXPECT_EQ(int(Material::sidebar), 7);
  EXPECT_EQ(int(Material::fullScreenUI), 15);
}

TEST(FrostedBlurViewTest, TintDarkensWithStrength) {
  EXPECT_EQ(FrostedBlurView::tintAlpha(0), 0.15);
  EXPECT_EQ(FrostedBlurView::tintAlpha(-1), 0.15);
  EXPECT_DOUBLE_EQ(FrostedBlurView::tintAlpha(0.5), 0.325);
  EXPECT_DOUBLE_EQ(FrostedBlurView::tintAlpha(1), 0.5);
  EXPECT_DOUBLE_EQ(FrostedBlurView::tintAlpha(4), 0.5);
}

TEST(FrostedBlurViewTest, ViewAppliesTheLookAndNeverTakesAClick) {
  FrostedBlurView view(Rect(0, 0, 300, 200));
  ASSERT_TRUE(view.layer());
  EXPECT_FALSE(view.layer()->isOpaque());
  ASSERT_EQ(view.subviews().size(), 2u);
  EXPECT_EQ(view.subviews()[0].get(), &view.effect()) << "the effect below, the tint above";
  EXPECT_EQ(view.effect().blendingMode(), ui::VisualEffectBlendingMode::behindWindow);
  EXPECT_EQ(view.effect().state(), ui::VisualEffectState::active);
  EXPECT_EQ(view.effect().material(), Material::sidebar) << "the default strength 0.5";
  EXPECT_EQ(view.effect().alphaValue(), 0.99);
  EXPECT_EQ(view.tint().layer()->backgroundColor(), ui::Color::black(0.3));

  view.setBlurIntensity(0);
  view.applyBlurIntensity(view.blurIntensity());
  EXPECT_EQ(view.effect().material(), Material::popover);
  EXPECT_EQ(view.effect().alphaValue(), 0.99);
  view.setTintAlpha(0.5);
  EXPECT_EQ(view.tint().layer()->backgroundColor(), ui::Color::black(0.5));

  view.layoutSubtreeIfNeeded();
  EXPECT_EQ(view.effect().frame(), Rect(0, 0, 300, 200));
  EXPECT_EQ(view.tint().frame(), Rect(0, 0, 300, 200));
  EXPECT_EQ(view.hitTest(Point{10, 10}), nullptr);
}

TEST(FrostedBlurViewTest, CornerRadiusMasksBothLayers) {
  FrostedBlurView view(Rect(0, 0, 300, 200));
  EXPECT_FALSE(view.effect().maskImage());
  view.setCornerRadius(12);
  ASSERT_TRUE(view.effect().maskImage());
  const ui::Image& mask = *view.effect().maskImage();
  EXPECT_EQ(mask.kind(), ui::Image::Kind::roundedRect);
  EXPECT_EQ(mask.size(), (Size{25, 25}));
  EXPECT_EQ(mask.cornerRadius(), 12);
  EXPECT_EQ(mask.color(), ui::Color::black());
  EXPECT_EQ(mask.capInsets(), (ui::EdgeInsets{12, 12, 12, 12}));
  EXPECT_EQ(mask.resizingMode(), ui::ImageResizingMode::stretch);
  EXPECT_EQ(view.tint().layer()->cornerRadius(), 12);

  // The same radius again changes nothing, not even a mask replaced behind its back.
  view.effect().setMaskImage(std::nullopt);
  view.setCornerRadius(12);
  EXPECT_FALSE(view.effect().maskImage());

  view.setCornerRadius(0);
  EXPECT_FALSE(view.effect().maskImage());
  EXPECT_EQ(view.tint().layer()->cornerRadius(), 0);
}

}  // namespace
}  // namespace corvane
