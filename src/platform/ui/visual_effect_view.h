// A view that shows a material: a blur of what lies behind its window (behind-window blending) or
// of its window's own content below it (within-window blending).
#pragma once

#include <optional>

#include "platform/ui/image.h"
#include "platform/ui/view.h"

namespace corvane::ui {

class VisualEffectView : public View {
 public:
  using View::View;

  VisualEffectMaterial material() const { return material_; }
  void setMaterial(VisualEffectMaterial material);
  VisualEffectBlendingMode blendingMode() const { return blendingMode_; }
  void setBlendingMode(VisualEffectBlendingMode mode);
  VisualEffectState state() const { return state_; }
  void setState(VisualEffectState state);
  // Only the parts of the effect (and its subviews) that the image's opaque pixels cover are
  // drawn; the image is stretched to the view's size by its cap insets and resizing mode.
  const std::optional<Image>& maskImage() const { return maskImage_; }
  void setMaskImage(std::optional<Image> image);

 private:
  VisualEffectMaterial material_ = VisualEffectMaterial::windowBackground;
  VisualEffectBlendingMode blendingMode_ = VisualEffectBlendingMode::behindWindow;
  VisualEffectState state_ = VisualEffectState::followsWindowActiveState;
  std::optional<Image> maskImage_;
};

}  // namespace corvane::ui
