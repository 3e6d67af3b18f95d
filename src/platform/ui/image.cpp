#include "platform/ui/image.h"

namespace corvane::ui {

Image Image::systemSymbol(std::string name, std::optional<std::string> accessibilityDescription) {
  Image image;
  image.kind_ = Kind::symbol;
  image.symbolName_ = std::move(name);
  image.accessibilityDescription_ = std::move(accessibilityDescription);
  return image;
}

Image Image::roundedRect(Size size, double radius, Color color) {
  Image image;
  image.kind_ = Kind::roundedRect;
  image.size_ = size;
  image.cornerRadius_ = radius;
  image.color_ = color;
  return image;
}

}  // namespace corvane::ui
