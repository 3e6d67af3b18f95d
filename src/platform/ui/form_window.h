// A form window: a titled window holding one scrolling column of sections, each a list of plain
// controls (labels, toggles, sliders, buttons, text fields, list rows, chips, pop-up menus). The
// program describes the whole form as a value and hands a new one over after every change; the
// backend shows it with its own toolkit and reports what the user does with a control by the
// control's id. The settings window is made of one.
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/geometry.h"

namespace corvane::ui {

struct FormControl {
  enum class Kind {
    heading,    // text (large), detail under it
    label,      // text; `muted` draws it secondary
    caption,    // a small note under the control before it (a lock caption, for one)
    banner,     // text (and detail) with a symbol
    toggle,     // text beside a switch that is `on`
    slider,     // value within minimum ... maximum, minimumLabel and maximumLabel at its ends
    button,     // text
    textField,  // text typed so far; detail: the placeholder
    listRow,    // text, with a remove button
    chip,       // text, `on` when selected
    menu,       // text: the pop-up's title; options: its entries
    keyValue,   // text at the left, detail at the right
    status,     // text (a permission's name) with detail, `on` when granted, and a state text in `value`
  };
  Kind kind = Kind::label;
  // What the program knows the control by; empty for controls that do nothing.
  std::string id;
  // The label the user reads the control by, and which group of controls it belongs to (the
  // title of the list a row, chip or suggestion belongs to), so that one name in two lists stays
  // apart.
  std::string text;
  std::string group;
  std::string detail;
  std::string symbol;
  std::string stateText;
  bool muted = false;
  bool enabled = true;
  bool on = false;
  double value = 0;
  double minimum = 0;
  double maximum = 1;
  std::string minimumLabel;
  std::string maximumLabel;
  std::vector<std::string> options;
};

struct FormSection {
  std::string anchor;  // scroll anchor; may be empty
  std::string title;
  bool highlighted = false;
  std::vector<FormControl> controls;
};

struct Form {
  std::vector<FormSection> sections;
  // The section whose anchor is scrolled to the top (empty: the top of the form).
  std::string scrollAnchor;
};

// What the user did with a control.
struct FormInput {
  enum class Kind {
    press,   // a button, a list row's remove button, a chip
    setOn,   // a toggle: `on`
    setValue,  // a slider: `value`
    setText,   // a text field: `text`
    choose,    // a menu: the option `text`
  };
  Kind kind = Kind::press;
  bool on = false;
  double value = 0;
  std::string text;
};

// How the window is made (the platform's numbers; see window.h).
struct FormWindowStyle {
  std::string title;
  Size contentSize;
  Size minimumContentSize;
  uint64_t styleMask = 0;
  int64_t level = 0;
  uint64_t collectionBehavior = 0;
  bool releasedWhenClosed = false;
  bool hidesOnDeactivate = false;
};

class FormWindow {
 public:
  virtual ~FormWindow() = default;
  // Shows this form from now on.
  virtual void setForm(Form form) = 0;
  virtual const Form& form() const = 0;
  // Activates the application, centres the window and brings it to the front (also when the
  // application is not active), with no control focused.
  virtual void present() = 0;
  // Hides the window (it can be presented again).
  virtual void close() = 0;
  virtual bool isVisible() const = 0;
  // The window server's number of the window; 0 when it has none.
  virtual int64_t windowNumber() const = 0;

  // What the user does with a control: its id and the input.
  std::function<void(const std::string& id, const FormInput& input)> onInput;
  // The user closed the window.
  std::function<void()> onClose;
};

}  // namespace corvane::ui
