// The setters of the visual-effect view and the button.
#include <utility>

#include "platform/ui/button.h"
#include "platform/ui/visual_effect_view.h"

namespace corvane::ui {

void VisualEffectView::setMaterial(VisualEffectMaterial material) {
  if (assignIfChanged(material_, material)) contentDidChange();
}
void VisualEffectView::setBlendingMode(VisualEffectBlendingMode mode) {
  if (assignIfChanged(blendingMode_, mode)) contentDidChange();
}
void VisualEffectView::setState(VisualEffectState state) {
  if (assignIfChanged(state_, state)) contentDidChange();
}
void VisualEffectView::setMaskImage(std::optional<Image> image) {
  if (assignIfChanged(maskImage_, std::move(image))) contentDidChange();
}

void Button::setTitle(std::string title) {
  if (assignIfChanged(title_, std::move(title))) contentDidChange();
}
void Button::setFont(Font font) {
  if (assignIfChanged(font_, font)) contentDidChange();
}
void Button::setImage(std::optional<Image> image) {
  if (assignIfChanged(image_, std::move(image))) contentDidChange();
}
void Button::setImagePosition(ImagePosition position) {
  if (assignIfChanged(imagePosition_, position)) contentDidChange();
}
void Button::setImageHugsTitle(bool hugs) {
  if (assignIfChanged(imageHugsTitle_, hugs)) contentDidChange();
}
void Button::setContentTintColor(std::optional<Color> color) {
  if (assignIfChanged(contentTintColor_, color)) contentDidChange();
}
void Button::setBordered(bool bordered) {
  if (assignIfChanged(bordered_, bordered)) contentDidChange();
}

void Button::setAction(std::string name, std::function<void()> perform) {
  actionName_ = std::move(name);
  perform_ = std::move(perform);
}

void Button::performClick() {
  if (!perform_) return;
  // The action may replace itself (a button that switches between two actions).
  auto perform = perform_;
  perform();
}

}  // namespace corvane::ui
