#include "platform/sim/sim_menu_bar.h"

#include <algorithm>
#include <cmath>

#include "platform/sim/sim_font.h"
#include "platform/sim/sim_render.h"
#include "platform/sim/sim_scene.h"

namespace corvane::sim {

namespace {

// Room left at the right of the menu bar (the clock and the system's own status items).
constexpr double kRightMargin = 120;
constexpr double kItemPadding = 6;
constexpr double kIconSize = 18;
constexpr double kTitlePointSize = 13;
constexpr double kMutedPointSize = 11;
constexpr double kRowHeight = 20;
constexpr double kSeparatorHeight = 9;
constexpr double kIndentWidth = 10;
constexpr double kMenuPadding = 5;

constexpr uint32_t kBarColor = 0xE8E8EC;
constexpr uint32_t kOpenItemColor = 0xC4C8D4;
constexpr uint32_t kTextColor = 0x1A1A1A;
constexpr uint32_t kDisabledColor = 0x9A9A9A;
constexpr uint32_t kTertiaryColor = 0xA8A8A8;
constexpr uint32_t kSecondaryColor = 0x7A7A7A;
constexpr uint32_t kMenuColor = 0xF4F4F6;
constexpr uint32_t kMenuBorderColor = 0xA0A0A8;
constexpr uint32_t kSeparatorColor = 0xD0D0D4;

double itemWidth(const StatusItemLook& item) {
  const double content = item.image ? kIconSize : textSize(item.title, kTitlePointSize, false).width;
  return std::ceil(content + 2 * kItemPadding);
}

double rowPointSize(const MenuRowLook& row) {
  return row.style == ui::MenuItemStyle::plain ? kTitlePointSize : kMutedPointSize;
}

void fill(PixelBuffer& picture, const Rect& r, uint32_t rgb, unsigned alpha = 255) {
  const Color8 color = colorFromRGB(rgb);
  const int x0 = std::max(0, firstPixelAtOrAfter(r.minX())), x1 = std::min(picture.width, firstPixelAtOrAfter(r.maxX()));
  const int y0 = std::max(0, firstPixelAtOrAfter(r.minY())), y1 = std::min(picture.height, firstPixelAtOrAfter(r.maxY()));
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) blendPixel(picture.pixel(x, y), color, alpha);
  }
}

void text(PixelBuffer& picture, std::string_view s, double left, double top, double pointSize, uint32_t rgb) {
  const Color8 color = colorFromRGB(rgb);
  forEachTextPixel(s, left, top, pointSize, false, 0, 0, picture.width, picture.height,
                   [&](int x, int y) { blendPixel(picture.pixel(x, y), color, 255); });
}

void icon(PixelBuffer& picture, const StatusItemLook& item, const Rect& box) {
  const unsigned alpha = unsigned(std::lround(std::clamp(item.imageOpacity, 0.0, 1.0) * 255));
  const Color8 color = colorFromRGB(kTextColor);
  const std::string name = item.image->kind() == ui::Image::Kind::symbol ? item.image->symbolName() : std::string();
  for (int y = std::max(0, int(box.minY())); y < std::min(picture.height, int(std::ceil(box.maxY()))); ++y) {
    for (int x = std::max(0, int(box.minX())); x < std::min(picture.width, int(std::ceil(box.maxX()))); ++x) {
      const double nx = (x + 0.5 - box.midX()) / (box.width() / 2);
      const double ny = (y + 0.5 - box.midY()) / (box.height() / 2);
      if (symbolCovers(name, nx, ny)) blendPixel(picture.pixel(x, y), color, alpha);
    }
  }
}

}  // namespace

std::string keyEquivalentText(const std::string& key, uint64_t mask) {
  if (key.empty()) return {};
  std::string out;
  if (mask & ui::KeyModifier::control) out += "Ctrl+";
  if (mask & ui::KeyModifier::option) out += "Opt+";
  if (mask & ui::KeyModifier::shift) out += "Shift+";
  if (mask & ui::KeyModifier::command) out += "Cmd+";
  for (char c : key) out += char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return out;
}

MenuRowLook menuRowLook(const ui::MenuItem& item) {
  MenuRowLook row;
  row.separator = item.isSeparator();
  row.title = item.title;
  row.keyEquivalent = keyEquivalentText(item.keyEquivalent, item.keyEquivalentModifierMask);
  row.enabled = item.enabled;
  row.checked = item.state == ui::ControlState::on;
  row.indentationLevel = item.indentationLevel;
  row.style = item.style;
  return row;
}

Rect statusItemFrame(const MenuBarLook& look, size_t index, double displayWidth, double menuBarHeight) {
  double right = displayWidth - kRightMargin;
  for (size_t i = 0; i < look.items.size(); ++i) {
    if (!look.items[i].visible) continue;
    const double width = itemWidth(look.items[i]);
    if (i == index) return Rect(right - width, 0, width, menuBarHeight);
    right -= width;
  }
  return Rect::null();
}

Rect openMenuFrame(const MenuBarLook& look, double displayWidth, double menuBarHeight) {
  if (!look.openItem) return Rect::null();
  const Rect item = statusItemFrame(look, *look.openItem, displayWidth, menuBarHeight);
  if (item.isNull()) return Rect::null();
  double width = 160, height = 2 * kMenuPadding;
  for (const auto& row : look.openMenu) {
    height += row.separator ? kSeparatorHeight : kRowHeight;
    if (row.separator) continue;
    const double key = row.keyEquivalent.empty() ? 0 : textSize(row.keyEquivalent, kMutedPointSize, false).width + 24;
    width = std::max(width, 28 + row.indentationLevel * kIndentWidth +
                                textSize(row.title, rowPointSize(row), false).width + key + 14);
  }
  width = std::ceil(width);
  // Kept on the display: a wide menu opens towards the left.
  const double left = std::max(0.0, std::min(item.minX(), displayWidth - width));
  return Rect(left, menuBarHeight + 1, width, height);
}

void drawMenuBar(PixelBuffer& picture, const MenuBarLook& look, double menuBarHeight, bool shareView) {
  if (picture.isEmpty()) return;
  const double width = picture.width;
  for (size_t i = 0; i < look.items.size(); ++i) {
    const StatusItemLook& item = look.items[i];
    if (!item.visible) continue;
    const Rect frame = statusItemFrame(look, i, width, menuBarHeight);
    const bool open = look.openItem == i && !shareView;
    fill(picture, frame, open ? kOpenItemColor : kBarColor);
    if (item.image) {
      const Rect box(frame.midX() - kIconSize / 2, frame.midY() - kIconSize / 2, kIconSize, kIconSize);
      icon(picture, item, box);
    } else {
      const double top = frame.midY() - kTitlePointSize * 0.6;
      text(picture, item.title, frame.minX() + kItemPadding, top, kTitlePointSize, kTextColor);
    }
  }
  if (shareView) return;
  const Rect menu = openMenuFrame(look, width, menuBarHeight);
  if (menu.isNull()) return;
  fill(picture, menu.insetBy(-1, -1), kMenuBorderColor);
  fill(picture, menu, kMenuColor);
  double y = menu.minY() + kMenuPadding;
  for (const auto& row : look.openMenu) {
    if (row.separator) {
      fill(picture, Rect(menu.minX() + 8, y + kSeparatorHeight / 2 - 0.5, menu.width() - 16, 1), kSeparatorColor);
      y += kSeparatorHeight;
      continue;
    }
    const double left = menu.minX() + 18 + row.indentationLevel * kIndentWidth;
    uint32_t color = row.enabled ? kTextColor : kDisabledColor;
    if (row.style == ui::MenuItemStyle::mutedTertiary) color = kTertiaryColor;
    if (row.style == ui::MenuItemStyle::mutedSecondary) color = kSecondaryColor;
    const double size = rowPointSize(row);
    if (row.checked) fill(picture, Rect(left - 11, y + kRowHeight / 2 - 3, 6, 6), color);
    text(picture, row.title, left, y + (kRowHeight - size * 1.2) / 2, size, color);
    if (!row.keyEquivalent.empty()) {
      const double keyWidth = textSize(row.keyEquivalent, kMutedPointSize, false).width;
      text(picture, row.keyEquivalent, menu.maxX() - 10 - keyWidth, y + (kRowHeight - kMutedPointSize * 1.2) / 2,
           kMutedPointSize, row.enabled ? kSecondaryColor : kDisabledColor);
    }
    y += kRowHeight;
  }
}

}  // namespace corvane::sim
