// Images the program hands to views: system symbols (a button's icon) and images drawn by the
// program itself (a rounded mask). A drawn image is kept as the description of its drawing, so
// every backend can draw it at any scale.
#pragma once

#include <optional>
#include <string>

#include "base/geometry.h"
#include "platform/ui/ui_types.h"

namespace corvane::ui {

class Image {
 public:
  enum class Kind { symbol, roundedRect };

  // A system symbol by name ("eye.fill"), with the description that accessibility reads.
  static Image systemSymbol(std::string name, std::optional<std::string> accessibilityDescription);
  // An image of `size` whose drawing fills a rounded rectangle over the whole image, corner radius
  // `radius`, in `color`.
  static Image roundedRect(Size size, double radius, Color color);

  Kind kind() const { return kind_; }
  const std::string& symbolName() const { return symbolName_; }
  const std::optional<std::string>& accessibilityDescription() const { return accessibilityDescription_; }
  void setAccessibilityDescription(std::optional<std::string> text) { accessibilityDescription_ = std::move(text); }
  Size size() const { return size_; }
  double cornerRadius() const { return cornerRadius_; }
  Color color() const { return color_; }

  // Parts that keep their size when the image is stretched (the corners and edges of a nine-part
  // image); the middle is resized according to the resizing mode.
  EdgeInsets capInsets() const { return capInsets_; }
  void setCapInsets(EdgeInsets insets) { capInsets_ = insets; }
  ImageResizingMode resizingMode() const { return resizingMode_; }
  void setResizingMode(ImageResizingMode mode) { resizingMode_ = mode; }

  friend bool operator==(const Image&, const Image&) = default;

 private:
  Image() = default;

  Kind kind_ = Kind::symbol;
  std::string symbolName_;
  std::optional<std::string> accessibilityDescription_;
  Size size_;
  double cornerRadius_ = 0;
  Color color_;
  EdgeInsets capInsets_;
  ImageResizingMode resizingMode_ = ImageResizingMode::tile;
};

}  // namespace corvane::ui
