// Menus and the status item: the application's whole everyday surface in the system menu bar.
//
// Menus and menu items are objects of the program, shaped after the reference platform's: a menu
// holds items in order, an item has a title, an enabled flag, a state (checked or not), a key
// equivalent with its modifier mask, an indentation level, a tooltip, a represented object and an
// action. A muted label is a disabled item drawn in a smaller font and a lighter label colour.
//
// A status item is the backend's: it lives in the system menu bar, shows a button (an image or a
// title, with a tooltip) and opens its menu when clicked. Before the menu opens the backend calls
// the menu's `menuWillOpen`; choosing an enabled item closes the menu and then runs its action.
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/image.h"

namespace corvane::ui {

// Key-equivalent modifier flags (the event modifier flags of input.h).
namespace KeyModifier {
constexpr uint64_t shift = 1ull << 17;
constexpr uint64_t control = 1ull << 18;
constexpr uint64_t option = 1ull << 19;
constexpr uint64_t command = 1ull << 20;
}  // namespace KeyModifier

enum class ControlState : int { off = 0, on = 1 };

// How a disabled item's title is drawn: the ordinary menu text, or a muted label in the small
// system font with the tertiary (status lines) or secondary (section headers) label colour.
enum class MenuItemStyle { plain, mutedTertiary, mutedSecondary };

class Menu;

class MenuItem {
 public:
  using Action = std::function<void(MenuItem& sender)>;

  MenuItem(std::string title, Action action, std::string keyEquivalent);
  static std::shared_ptr<MenuItem> separator();

  bool isSeparator() const { return separator_; }
  std::string title;
  bool enabled = true;
  ControlState state = ControlState::off;
  std::string keyEquivalent;
  uint64_t keyEquivalentModifierMask = KeyModifier::command;
  int indentationLevel = 0;
  std::optional<std::string> toolTip;
  std::optional<std::string> representedObject;
  MenuItemStyle style = MenuItemStyle::plain;
  Action action;
  std::shared_ptr<Menu> submenu;

 private:
  bool separator_ = false;
};

class Menu {
 public:
  explicit Menu(std::string title = {}) : title(std::move(title)) {}
  std::string title;

  void addItem(std::shared_ptr<MenuItem> item);
  void removeAllItems();
  const std::vector<std::shared_ptr<MenuItem>>& items() const { return items_; }
  // The first item with this title; null when there is none.
  MenuItem* item(const std::string& withTitle) const;

  // The menu's delegate: told before the menu opens, so that it can rebuild the items.
  std::function<void()> menuWillOpen;
  // For the backend that shows the menu: told after items were added or removed.
  std::function<void()> itemsDidChange;

 private:
  std::vector<std::shared_ptr<MenuItem>> items_;
};

// The length of a status item that fits its content.
constexpr double kVariableStatusItemLength = -2;

class StatusItem {
 public:
  // Destroying the status item takes it out of the menu bar.
  virtual ~StatusItem() = default;

  virtual void setVisible(bool visible) = 0;
  virtual bool isVisible() const = 0;
  virtual void setAutosaveName(std::string name) = 0;

  // The button: an image (template images follow the menu bar's colour; others are drawn as they
  // are, at `imageOpacity`), or a title when there is no image.
  virtual void setImage(std::optional<Image> image, bool isTemplate, double imageOpacity) = 0;
  virtual void setTitle(std::string title) = 0;
  virtual void setToolTip(std::string toolTip) = 0;

  // The menu the button opens; the status item keeps it.
  virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
  virtual std::shared_ptr<Menu> menu() const = 0;
};

}  // namespace corvane::ui
