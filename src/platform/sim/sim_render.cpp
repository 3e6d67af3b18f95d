#include "platform/sim/sim_render.h"

#include <algorithm>
#include <cmath>

namespace corvane::sim {

namespace {

using Color = Color8;

Color darker(Color c) { return {uint8_t(c.r * 5 / 8), uint8_t(c.g * 5 / 8), uint8_t(c.b * 5 / 8)}; }
Color lighter(Color c) {
  auto up = [](uint8_t v) { return uint8_t(v + (255 - v) * 2 / 5); };
  return {up(c.r), up(c.g), up(c.b)};
}
// The label's colour: white on dark bands, near black on light ones.
Color labelColor(Color band) {
  const int luma = (band.r * 299 + band.g * 587 + band.b * 114) / 1000;
  return luma < 150 ? Color{0xFF, 0xFF, 0xFF} : Color{0x1A, 0x1A, 0x1A};
}

inline void blend(uint8_t* p, Color c, unsigned a) { blendPixel(p, c, a); }

// The layout of a window's content: a label band across the top, then lines of "text" with a left
// margin, each a stripe whose length varies from line to line.
constexpr int kBandMax = 28;
constexpr int kMargin = 16;
constexpr int kLinePitch = 18;
constexpr int kLineHeight = 8;

struct ContentStyle {
  int width;
  int height;
  int band;
  WindowID number;
  Color fill, label, text;
};

struct ContentRow {
  Color fill;
  Color stripe;
  int stripeBegin = 0;  // window x where the stripe starts; none when begin == end
  int stripeEnd = 0;
};

uint32_t mix(uint32_t a, uint32_t b) {
  uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

ContentRow contentRow(const ContentStyle& s, int y) {
  if (y < s.band) return {s.label, {}};
  ContentRow row{s.fill, s.text};
  const int inBody = y - s.band - kMargin / 2;
  if (inBody < 0 || y >= s.height - kMargin / 2 || inBody % kLinePitch >= kLineHeight) return row;
  const int span = s.width - 2 * kMargin;
  if (span <= 0) return row;
  const uint32_t line = uint32_t(inBody / kLinePitch);
  const int percent = 35 + int(mix(s.number, line) % 61);  // 35..95 % of the line
  row.stripeBegin = kMargin;
  row.stripeEnd = kMargin + int(int64_t(span) * percent / 100);
  return row;
}

// Rounds a coordinate to a whole pixel, kept far enough inside the integer range to add sizes to.
int64_t pixel(double v) { return int64_t(std::clamp(std::round(v), -1e12, 1e12)); }

}  // namespace

Color8 colorFromRGB(uint32_t rgb) { return {uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)}; }

void VisibilityMap::reset(const PixelArea& area) {
  x0 = area.x0;
  y0 = area.y0;
  width = area.width();
  height = area.height();
  // Rows are cleared when a watched window first reaches them; resizing keeps the capacity.
  owner.resize(size_t(width) * size_t(height));
  share.resize(owner.size());
  rowHasOwner.assign(size_t(height), 0);
}

Size pictureSize(Size size) {
  const double w = std::round(size.width);
  const double h = std::round(size.height);
  if (!(w > 0 && h > 0 && w <= kMaxPictureSide && h <= kMaxPictureSide)) return Size{0, 0};
  return Size{w, h};
}

PixelBuffer makePicture(Size size) {
  const Size pixels = pictureSize(size);
  if (!(pixels.width > 0)) return PixelBuffer();
  return PixelBuffer(int(pixels.width), int(pixels.height));
}

void Compositor::fillRounded(WindowID number, const Rect& bounds, uint32_t rgb, double alpha, double cornerRadius) {
  if (bounds.isNull() || !(alpha > 0)) return;
  const unsigned a = unsigned(std::lround(std::min(alpha, 1.0) * 255));
  const Rect b = bounds.standardized();
  const int64_t left = pixel(b.origin.x - origin_.x);
  const int64_t top = pixel(b.origin.y - origin_.y);
  const int64_t width = pixel(b.size.width);
  const int64_t height = pixel(b.size.height);
  const int64_t y0 = std::max<int64_t>(top, area_.y0);
  const int64_t y1 = std::min<int64_t>(top + height, area_.y1);
  const Color fill = colorFromRGB(rgb);
  const bool watched = visibility_ && visibility_->isWatched(number);
  for (int64_t y = y0; a > 0 && y < y1; ++y) {
    const double inset = roundedRowInset(double(top), double(top + height), double(width), cornerRadius, int(y));
    const int64_t xs = std::max<int64_t>(area_.x0, firstPixelAtOrAfter(double(left) + inset));
    const int64_t xe = std::min<int64_t>(area_.x1, firstPixelAtOrAfter(double(left + width) - inset));
    if (xs >= xe) continue;
    if (target_) {
      uint8_t* p = target_->pixel(int(xs), int(y));
      for (int64_t x = xs; x < xe; ++x, p += 4) blend(p, fill, a);
    }
    if (visibility_) visibility_->cover(int(y), int(xs), int(xe), number, watched, float(a) / 255.0f);
  }
}

void Compositor::drawPicture(WindowID number, const Rect& bounds, uint32_t rgb) {
  if (bounds.isNull()) return;
  const Rect b = bounds.standardized();
  const int64_t left = pixel(b.origin.x - origin_.x);
  const int64_t top = pixel(b.origin.y - origin_.y);
  const int64_t x0 = std::max<int64_t>(left, area_.x0);
  const int64_t y0 = std::max<int64_t>(top, area_.y0);
  const int64_t x1 = std::min<int64_t>(left + pixel(b.size.width), area_.x1);
  const int64_t y1 = std::min<int64_t>(top + pixel(b.size.height), area_.y1);
  if (x0 >= x1 || y0 >= y1) return;
  const Color base = colorFromRGB(rgb);
  const Color shade = lighter(base);
  for (int64_t y = y0; target_ && y < y1; ++y) {
    uint8_t* p = target_->pixel(int(x0), int(y));
    for (int64_t x = x0; x < x1; ++x, p += 4) blend(p, ((x - left) + (y - top)) / 96 % 2 ? shade : base, 255);
  }
  if (visibility_) {
    const bool watched = visibility_->isWatched(number);
    for (int64_t y = y0; y < y1; ++y) visibility_->cover(int(y), int(x0), int(x1), number, watched, 1.0f);
  }
}

void Compositor::drawText(std::string_view text, Point topLeft, double pointSize, bool bold, uint32_t rgb,
                          const Rect& clip) {
  if (!target_ || clip.isNull()) return;
  const Rect c = clip.standardized();
  const int x0 = int(std::max<int64_t>(pixel(c.minX() - origin_.x), area_.x0));
  const int y0 = int(std::max<int64_t>(pixel(c.minY() - origin_.y), area_.y0));
  const int x1 = int(std::min<int64_t>(pixel(c.maxX() - origin_.x), area_.x1));
  const int y1 = int(std::min<int64_t>(pixel(c.maxY() - origin_.y), area_.y1));
  if (x0 >= x1 || y0 >= y1) return;
  const Color ink = colorFromRGB(rgb);
  forEachTextPixel(text, topLeft.x - origin_.x, topLeft.y - origin_.y, pointSize, bold, x0, y0, x1, y1,
                   [&](int x, int y) { blend(target_->pixel(x, y), ink, 255); });
}

void Compositor::fillBackground() {
  if (!target_) return;
  const Color top{0x3B, 0x4F, 0x6B};
  const Color bottom{0x1B, 0x24, 0x33};
  const int h = target_->height;
  for (int y = 0; y < h; ++y) {
    auto at = [&](uint8_t a, uint8_t b) { return uint8_t(a + (int(b) - int(a)) * y / std::max(h - 1, 1)); };
    const Color c{at(top.r, bottom.r), at(top.g, bottom.g), at(top.b, bottom.b)};
    uint8_t* p = target_->pixel(0, y);
    for (int x = 0; x < target_->width; ++x, p += 4) blend(p, c, 255);
  }
}

namespace {
constexpr double kLiveLineHeight = 18;
constexpr double kLiveLinePointSize = 12;
}  // namespace

Rect liveLineArea(const Rect& bounds) {
  const Rect b = bounds.standardized();
  const double band = std::min<double>(kBandMax, std::floor(std::round(b.height()) / 4));
  const Rect line(b.minX() + kMargin, b.minY() + band + 2, b.width() - 2 * kMargin, kLiveLineHeight);
  if (line.width() < 8 || line.maxY() > b.maxY() - kMargin / 2) return Rect::null();
  return line;
}

void Compositor::drawWindow(WindowID number, const Rect& bounds, uint32_t rgb, double alpha, std::string_view label,
                            double cornerRadius, std::string_view liveLine) {
  if (bounds.isNull() || !(alpha > 0)) return;
  const unsigned a = unsigned(std::lround(std::min(alpha, 1.0) * 255));
  if (a == 0) return;
  const Rect b = bounds.standardized();
  const int64_t left = pixel(b.origin.x - origin_.x);
  const int64_t top = pixel(b.origin.y - origin_.y);
  const int64_t width = pixel(b.size.width);
  const int64_t height = pixel(b.size.height);
  const int64_t x0 = std::max<int64_t>(left, area_.x0);
  const int64_t y0 = std::max<int64_t>(top, area_.y0);
  const int64_t x1 = std::min<int64_t>(left + width, area_.x1);
  const int64_t y1 = std::min<int64_t>(top + height, area_.y1);
  if (x0 >= x1 || y0 >= y1) return;

  const Color fill = colorFromRGB(rgb);
  const int w = int(std::min<int64_t>(width, INT32_MAX));
  const int h = int(std::min<int64_t>(height, INT32_MAX));
  const ContentStyle style{w, h, std::min(kBandMax, h / 4), number, fill, darker(fill), lighter(fill)};
  // Each row's pixels [first, second): the rectangle, less its rounded corners.
  thread_local std::vector<std::pair<int64_t, int64_t>> rows;
  rows.assign(size_t(y1 - y0), {x0, x1});
  if (cornerRadius > 0) {
    for (int64_t y = y0; y < y1; ++y) {
      const double inset = roundedRowInset(double(top), double(top + height), double(width), cornerRadius, int(y));
      rows[size_t(y - y0)] = {std::max<int64_t>(x0, firstPixelAtOrAfter(double(left) + inset)),
                              std::min<int64_t>(x1, firstPixelAtOrAfter(double(left + width) - inset))};
    }
  }
  for (int64_t y = y0; target_ && y < y1; ++y) {
    const ContentRow row = contentRow(style, int(y - top));
    const auto [xs, xe] = rows[size_t(y - y0)];
    if (xs >= xe) continue;
    uint8_t* p = target_->pixel(int(xs), int(y));
    for (int64_t x = xs; x < xe; ++x, p += 4) {
      const int64_t wx = x - left;
      blend(p, wx >= row.stripeBegin && wx < row.stripeEnd ? row.stripe : row.fill, a);
    }
  }

  // The label: the window's title or its application's name, in the band.
  if (target_ && !label.empty() && style.band >= 9) {
    const double pointSize = style.band >= 20 ? 18 : style.band - 2;
    const Color ink = labelColor(style.label);
    const double textTop = double(top) + (style.band - pointSize * 1.2) / 2;
    const int bandEnd = int(std::min<int64_t>(top + style.band, y1));
    forEachTextPixel(label, double(left + kMargin), textTop, pointSize, true, int(x0), int(y0), int(x1), bandEnd,
                     [&](int x, int y) {
                       const auto [xs, xe] = rows[size_t(y - y0)];
                       if (x >= xs && x < xe) blend(target_->pixel(x, y), ink, a);
                     });
  }

  // The live line: a clear strip under the band with the text on it.
  if (target_ && !liveLine.empty()) {
    const Rect line = liveLineArea(bounds);
    if (!line.isNull()) {
      const int ly0 = int(std::max<int64_t>(y0, pixel(line.minY() - origin_.y)));
      const int ly1 = int(std::min<int64_t>(y1, pixel(line.maxY() - origin_.y)));
      const int lx0 = int(std::max<int64_t>(x0, pixel(line.minX() - origin_.x)));
      const int lx1 = int(std::min<int64_t>(x1, pixel(line.maxX() - origin_.x)));
      for (int y = ly0; y < ly1; ++y) {
        const auto [xs, xe] = rows[size_t(y - y0)];
        for (int x = std::max<int>(lx0, int(xs)); x < std::min<int>(lx1, int(xe)); ++x) blend(target_->pixel(x, y), fill, a);
      }
      const Color ink = labelColor(fill);
      const double textTop = line.minY() - origin_.y + (kLiveLineHeight - kLiveLinePointSize * 1.2) / 2;
      forEachTextPixel(liveLine, line.minX() - origin_.x + 2, textTop, kLiveLinePointSize, false, lx0, ly0, lx1, ly1,
                       [&](int x, int y) {
                         const auto [xs, xe] = rows[size_t(y - y0)];
                         if (x >= xs && x < xe) blend(target_->pixel(x, y), ink, a);
                       });
    }
  }

  if (visibility_) {
    const bool watched = visibility_->isWatched(number);
    for (int64_t y = y0; y < y1; ++y) {
      const auto [xs, xe] = rows[size_t(y - y0)];
      if (xs < xe) visibility_->cover(int(y), int(xs), int(xe), number, watched, float(a) / 255.0f);
    }
  }
}

}  // namespace corvane::sim
