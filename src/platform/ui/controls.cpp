// The setters of the visual-effect view and the button.
#include <utility>

#include "platform/ui/button.h"
#include "platform/ui/visual_effect_view.h"

namespace corvane::ui {

namespace {
template <typename T>
bool assign(T& field, T value) {
  if (field == value) return false;
  field = std::move(value);
  return true;
}
}  // namespace

void VisualEffectView::setMaterial(VisualEffectMaterial material) {
  if (assign(material_, material)) contentDidChange();
}
void VisualEffectView::setBlendingMode(VisualEffectBlendingMode mode) {
  if (assign(blendingMode_, mode)) contentDidChange();
}
void VisualEffectView::setState(VisualEffectState state) {
  if (assign(state_, state)) contentDidChange();
}
void VisualEffectView::setMaskImage(std::optional<Image> image) {
  if (assign(maskImage_, std::move(image))) contentDidChange();
}

void Button::setTitle(std::string title) {
  if (assign(title_, std::move(title))) contentDidChange();
}
void Button::setFont(Font font) {
  if (assign(font_, font)) contentDidChange();
}
void Button::setImage(std::optional<Image> image) {
  if (assign(image_, std::move(image))) contentDidChange();
}
void Button::setImagePosition(ImagePosition position) {
  if (assign(imagePosition_, position)) contentDidChange();
}
void Button::setImageHugsTitle(bool hugs) {
  if (assign(imageHugsTitle_, hugs)) contentDidChange();
}
void Button::setContentTintColor(std::optional<Color> color) {
  if (assign(contentTintColor_, color)) contentDidChange();
}
void Button::setBordered(bool bordered) {
  if (assign(bordered_, bordered)) contentDidChange();
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
