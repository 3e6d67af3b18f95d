// The simulated desktop's menu bar: the program's status items along the right of the main
// display's menu bar, and the menu of one of them while it is open.
//
// A capture records the menu bar as the user sees it, so the status items are drawn in both
// pictures; the open menu is drawn in the local view only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/geometry.h"
#include "platform/pixel_buffer.h"
#include "platform/ui/menu.h"

namespace corvane::sim {

struct StatusItemLook {
  bool visible = true;
  std::string title;
  std::string toolTip;
  std::string autosaveName;
  std::optional<ui::Image> image;
  bool isTemplate = false;
  double imageOpacity = 1.0;
};

struct MenuRowLook {
  bool separator = false;
  std::string title;
  std::string keyEquivalent;  // as the menu shows it, e.g. "Ctrl+Opt+Cmd+B"; empty for none
  bool enabled = true;
  bool checked = false;
  int indentationLevel = 0;
  ui::MenuItemStyle style = ui::MenuItemStyle::plain;
};

struct MenuBarLook {
  std::vector<StatusItemLook> items;  // in creation order; the first is the rightmost
  std::optional<size_t> openItem;     // the item whose menu is open
  std::vector<MenuRowLook> openMenu;
};

// The menu row of an item.
MenuRowLook menuRowLook(const ui::MenuItem& item);
// How a key equivalent is written in the menu: the modifiers, then the key in capitals.
std::string keyEquivalentText(const std::string& key, uint64_t modifierMask);

// Window-server space of the main display (width `displayWidth`, menu bar `menuBarHeight` high):
// the frame of visible item `index`, and of the open menu. Null when there is none.
Rect statusItemFrame(const MenuBarLook& look, size_t index, double displayWidth, double menuBarHeight);
Rect openMenuFrame(const MenuBarLook& look, double displayWidth, double menuBarHeight);

// Draws the look over a picture of the main display (its top-left pixel is the display's origin).
void drawMenuBar(PixelBuffer& picture, const MenuBarLook& look, double menuBarHeight, bool shareView);

}  // namespace corvane::sim
