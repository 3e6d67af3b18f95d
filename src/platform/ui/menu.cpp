#include "platform/ui/menu.h"

namespace corvane::ui {

MenuItem::MenuItem(std::string t, Action a, std::string key)
    : title(std::move(t)), keyEquivalent(std::move(key)), action(std::move(a)) {}

std::shared_ptr<MenuItem> MenuItem::separator() {
  auto item = std::make_shared<MenuItem>("", nullptr, "");
  item->separator_ = true;
  item->enabled = false;
  return item;
}

void Menu::addItem(std::shared_ptr<MenuItem> item) {
  items_.push_back(std::move(item));
  if (itemsDidChange) itemsDidChange();
}

void Menu::removeAllItems() {
  items_.clear();
  if (itemsDidChange) itemsDidChange();
}

MenuItem* Menu::item(const std::string& withTitle) const {
  for (const auto& i : items_) {
    if (!i->isSeparator() && i->title == withTitle) return i.get();
  }
  return nullptr;
}

}  // namespace corvane::ui
