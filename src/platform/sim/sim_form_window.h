// Form windows on the simulated desktop: a real window of the simulated world (numbered, listed,
// captured like any other) whose content is a plain drawing of the form with the built-in font:
// a title bar, then the sections as cards from the scroll anchor down, with labels, switches,
// sliders, buttons, text fields, list rows, chips and pop-up buttons.
//
// A script operates the controls by what the user reads on them (see operate()). A control that
// is disabled refuses, as it would under the pointer.
//
// Threading: main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/pixel_buffer.h"
#include "platform/ui.h"

namespace corvane::sim {

// What a script does to a form, by label.
struct FormOperation {
  enum class Kind {
    toggle,  // the switch labelled `label`: to `on`, or flipped when absent
    slider,  // the slider labelled `label` to `value`
    type,    // the text field of the group `label` (or with that placeholder) gets `text`
    add,     // in group `group` (any when empty): the suggestion, pop-up entry or chip named `label`
    remove,  // in group `group` (any when empty): the list row named `label`
    press,   // the first button titled `label`
  };
  Kind kind = Kind::press;
  std::string label;
  std::string group;
  std::optional<bool> on;
  double value = 0;
  std::string text;
};

enum class FormOperationResult { done, noSuchControl, disabled };

// The control the operation acts on and the input it sends; none when no control matches.
struct FormTarget {
  const ui::FormControl* control = nullptr;
  ui::FormInput input;
};
std::optional<FormTarget> findFormTarget(const ui::Form& form, const FormOperation& operation);

// The picture of a form window's content: `width` x `height` pixels, the title bar included,
// scrolled so that section `topSection` (else the form's scroll anchor) is at the top.
PixelBuffer drawForm(const ui::Form& form, const std::string& title, int width, int height,
                     std::optional<size_t> topSection = std::nullopt);

class SimFormWindow final : public ui::FormWindow {
 public:
  static constexpr double kTitleBarHeight = 22;

  SimFormWindow(ui::UserInterface& ui, const ui::FormWindowStyle& style, std::function<void()> onDestroy);
  ~SimFormWindow() override;

  void setForm(ui::Form form) override;
  const ui::Form& form() const override { return form_; }
  void present() override;
  void close() override;
  bool isVisible() const override;
  int64_t windowNumber() const override;

  const ui::FormWindowStyle& style() const { return style_; }
  const ui::Window& window() const { return *window_; }
  // Acts on the form as the user would, scrolling the control's section to the top first; the
  // program hears of it through onInput.
  FormOperationResult operate(const FormOperation& operation);

 private:
  void redraw();

  ui::UserInterface& ui_;
  ui::FormWindowStyle style_;
  std::unique_ptr<ui::Window> window_;
  ui::VideoDisplayView* view_ = nullptr;
  ui::Form form_;
  // The section the user scrolled to; cleared when the program scrolls.
  std::optional<size_t> userScroll_;
  std::function<void()> onDestroy_;
};

}  // namespace corvane::sim
