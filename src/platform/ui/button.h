// A push button with a title and an optional symbol image.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/ui/image.h"
#include "platform/ui/view.h"

namespace corvane::ui {

class Button : public View {
 public:
  using View::View;

  const std::string& title() const { return title_; }
  void setTitle(std::string title);
  Font font() const { return font_; }
  void setFont(Font font);
  const std::optional<Image>& image() const { return image_; }
  void setImage(std::optional<Image> image);
  ImagePosition imagePosition() const { return imagePosition_; }
  void setImagePosition(ImagePosition position);
  // The image sits right next to the title instead of at the button's edge.
  bool imageHugsTitle() const { return imageHugsTitle_; }
  void setImageHugsTitle(bool hugs);
  // Colour of the title and a template image; absent: the system's label colour.
  std::optional<Color> contentTintColor() const { return contentTintColor_; }
  void setContentTintColor(std::optional<Color> color);
  bool isBordered() const { return bordered_; }
  void setBordered(bool bordered);

  // Target and action: the action's name (its selector) and what sending it to its target does.
  const std::string& action() const { return actionName_; }
  void setAction(std::string name, std::function<void()> perform);

  // Whether a click on the button of a window that is not key acts at once (true) or only makes
  // the window key (false).
  virtual bool acceptsFirstMouse() const { return false; }

  // Sends the action, as a click on the button does.
  void performClick();

 private:
  std::string title_;
  Font font_;
  std::optional<Image> image_;
  ImagePosition imagePosition_ = ImagePosition::noImage;
  bool imageHugsTitle_ = false;
  std::optional<Color> contentTintColor_;
  bool bordered_ = true;
  std::string actionName_;
  std::function<void()> perform_;
};

}  // namespace corvane::ui
