// Drawing the simulated desktop: window content and the compositor that lays windows over the
// desktop background, back to front, into a picture of one area of window-server space.
//
// Everything is a pure function of its inputs, so the same world gives the same bytes. Pixels are
// BGRA, premultiplied, one pixel per point.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <string_view>
#include <vector>

#include "base/geometry.h"
#include "platform/pixel_buffer.h"
#include "platform/window_server.h"

namespace corvane::sim {

// The largest picture side the simulated desktop draws; larger requests are refused.
constexpr double kMaxPictureSide = 32768;

// The size in whole pixels of a picture of `size` points; zero when it is not positive or too large.
Size pictureSize(Size size);
// A picture of `size` points rounded to whole pixels; empty when it is not positive or too large.
PixelBuffer makePicture(Size size);

// A rectangle of picture pixels: columns [x0, x1), rows [y0, y1).
struct PixelArea {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int width() const { return x1 > x0 ? x1 - x0 : 0; }
  int height() const { return y1 > y0 ? y1 - y0 : 0; }
  bool isEmpty() const { return x0 >= x1 || y0 >= y1; }
  static PixelArea of(const PixelBuffer& picture) { return {0, 0, picture.width, picture.height}; }
};

// Which of a set of watched windows shows its own content at each pixel of an area of a picture,
// worked out while the picture is drawn (not by comparing images).
//
// Every layer drawn over a pixel with opacity a leaves (1 - a) of what was there before. A watched
// window's content counts as showing at a pixel while at least `visibleShare` of the pixel's colour
// comes from it; a frost drawn over it counts as covering it, even though the frost's blur is made
// from it. Where two watched windows overlap, the later (front) one is recorded.
//
// Rows that no watched window has reached are not cleared when the map is reset (they are never
// read), so a map reused from picture to picture costs only the rows that watched windows occupy.
struct VisibilityMap {
  static constexpr float visibleShare = 0.2f;

  std::set<WindowID> watched;
  int x0 = 0;  // the picture pixel of the map's top-left entry
  int y0 = 0;
  int width = 0;
  int height = 0;
  std::vector<WindowID> owner;  // per pixel, row by row; 0: no watched window
  std::vector<float> share;     // per pixel: the part of the colour that comes from `owner`
  std::vector<uint8_t> rowHasOwner;  // per row: some pixel of it has an owner (the row is valid)

  // A map of the whole of a w x h picture.
  void reset(int w, int h) { reset(PixelArea{0, 0, w, h}); }
  // A map of `area` of a picture.
  void reset(const PixelArea& area);
  PixelArea area() const { return {x0, y0, x0 + width, y0 + height}; }
  bool isWatched(WindowID number) const { return watched.count(number) != 0; }
  // A layer of window `number` (`isWatched(number)` passed in, so that it is looked up once per
  // window) drawn over pixels [xa, xb) of picture row y, all inside the map, with opacity
  // `opacity` (0...1).
  void cover(int y, int xa, int xb, WindowID number, bool isWatchedWindow, float opacity) {
    const size_t r = size_t(y - y0);
    const size_t row = r * size_t(width);
    const size_t begin = row + size_t(xa - x0), end = row + size_t(xb - x0);
    if (isWatchedWindow) {
      if (!rowHasOwner[r]) {
        std::fill(owner.begin() + ptrdiff_t(row), owner.begin() + ptrdiff_t(row + size_t(width)), WindowID(0));
        std::fill(share.begin() + ptrdiff_t(row), share.begin() + ptrdiff_t(row + size_t(width)), 0.0f);
        rowHasOwner[r] = 1;
      }
      for (size_t i = begin; i < end; ++i) {
        share[i] = owner[i] == number ? share[i] + opacity * (1 - share[i]) : opacity;
        owner[i] = number;
      }
      return;
    }
    if (!rowHasOwner[r]) return;  // nothing watched to cover in this row
    const float keep = 1 - opacity;
    for (size_t i = begin; i < end; ++i) share[i] *= keep;  // a share without an owner is never read
  }
  // The watched window whose content shows at picture pixel (x, y), which must lie in the map, or 0.
  WindowID visibleAt(int x, int y) const {
    const size_t r = size_t(y - y0);
    if (!rowHasOwner[r]) return 0;
    const size_t i = r * size_t(width) + size_t(x - x0);
    return owner[i] != 0 && share[i] >= visibleShare ? owner[i] : 0;
  }
};

// The first pixel whose centre lies at or beyond `edge`: shapes cover the pixels whose centres they
// contain.
inline int firstPixelAtOrAfter(double edge) { return int(std::ceil(edge - 0.5)); }

// How far a rectangle spanning rows [top, bottom) (picture pixels) with corners rounded by `radius`
// is cut on each side at the centre of row y. The radius is limited to half the width and height.
inline double roundedRowInset(double top, double bottom, double width, double radius, int y) {
  const double r = std::max(0.0, std::min({radius, width / 2, (bottom - top) / 2}));
  if (r <= 0) return 0;
  const double cy = y + 0.5;
  double dy = 0;
  if (cy < top + r) {
    dy = top + r - cy;
  } else if (cy > bottom - r) {
    dy = cy - (bottom - r);
  }
  return dy > 0 ? r - std::sqrt(std::max(0.0, r * r - dy * dy)) : 0;
}

// An opaque colour.
struct Color8 {
  uint8_t r = 0, g = 0, b = 0;
};
Color8 colorFromRGB(uint32_t rgb);

// Blends an opaque colour over a premultiplied BGRA pixel with coverage a (0...255).
inline void blendPixel(uint8_t* p, Color8 c, unsigned a) {
  if (a >= 255) {
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
    p[3] = 255;
    return;
  }
  const unsigned keep = 255 - a;
  p[0] = uint8_t((c.b * a + p[0] * keep + 127) / 255);
  p[1] = uint8_t((c.g * a + p[1] * keep + 127) / 255);
  p[2] = uint8_t((c.r * a + p[2] * keep + 127) / 255);
  p[3] = uint8_t(a + (p[3] * keep + 127) / 255);
}

// One line of text in the built-in bitmap font (sim_font.h), drawn pixel by pixel: `visit(x, y)` is
// called for every pixel of the picture the text sets, inside the clip [x0, x1) x [y0, y1).
// (left, top) is the text's top-left corner in picture pixels; the glyphs are scaled to the font's
// metrics and centred in the line height.
template <typename Visit>
void forEachTextPixel(std::string_view text, double left, double top, double pointSize, bool bold, int x0, int y0,
                      int x1, int y1, Visit&& visit);

// Where generated window content writes its live line: the first line under the label band, inside
// the margins (window-server space). Null when the window is too small for one.
Rect liveLineArea(const Rect& bounds);

class Compositor {
 public:
  // Draws into `target`, whose top-left pixel shows the point `origin` of window-server space.
  // With a visibility map (covering the whole target), every drawn pixel is recorded in it.
  Compositor(PixelBuffer& target, Point origin, VisibilityMap* visibility = nullptr)
      : target_(&target), area_(PixelArea::of(target)), origin_(origin), visibility_(visibility) {}
  // Draws no pixel: only records, for `visibility`'s area of a picture whose top-left pixel shows
  // `origin`, what drawing that picture would record. This is all the leak probe needs, at a small
  // part of the cost of drawing.
  Compositor(Point origin, VisibilityMap& visibility)
      : target_(nullptr), area_(visibility.area()), origin_(origin), visibility_(&visibility) {}

  // The desktop background: a vertical gradient over the whole target.
  void fillBackground();
  // A window's content (the colour `rgb` = 0xRRGGBB with a darker label band at the top showing
  // `label`, and lighter text-like stripes) at `bounds`, blended over what is there with `alpha`,
  // its corners rounded by `cornerRadius`. The stripes' lengths depend on `number`, so windows of
  // one application still differ.
  // `liveLine`, when not empty, is written on a line of its own under the band (liveLineArea).
  void drawWindow(WindowID number, const Rect& bounds, uint32_t rgb, double alpha, std::string_view label = {},
                  double cornerRadius = 0, std::string_view liveLine = {});

  // A plain fill of `rgb` at `bounds` with its corners rounded by `cornerRadius` (a banner, an
  // icon's tile), blended with `alpha`.
  void fillRounded(WindowID number, const Rect& bounds, uint32_t rgb, double alpha, double cornerRadius);
  // A desktop picture of window `number` at `bounds`: diagonal bands of `rgb` and a lighter shade,
  // opaque.
  void drawPicture(WindowID number, const Rect& bounds, uint32_t rgb);
  // One line of text in `rgb` with its top-left corner at `topLeft` (window-server space), clipped
  // to `clip`. Text is part of what its window already drew: it records nothing of its own.
  void drawText(std::string_view text, Point topLeft, double pointSize, bool bold, uint32_t rgb, const Rect& clip);

  // The picture drawn into; null when only visibility is recorded.
  PixelBuffer* target() { return target_; }
  // The pixels that drawing touches.
  const PixelArea& area() const { return area_; }
  Point origin() const { return origin_; }
  VisibilityMap* visibility() { return visibility_; }

 private:
  PixelBuffer* target_;
  PixelArea area_;
  Point origin_;
  VisibilityMap* visibility_;
};

}  // namespace corvane::sim

#include "platform/sim/sim_font.h"

namespace corvane::sim {

template <typename Visit>
void forEachTextPixel(std::string_view text, double left, double top, double pointSize, bool bold, int x0, int y0,
                      int x1, int y1, Visit&& visit) {
  const double scale = characterAdvance(pointSize, bold) / Font5x7::cellWidth;
  if (!(scale > 0) || text.empty()) return;
  const double glyphTop = top + (pointSize * 1.2 - Font5x7::glyphHeight * scale) / 2;
  // The decoded characters, so that each row does not decode again.
  std::vector<char32_t> chars;
  for (size_t i = 0; i < text.size();) chars.push_back(Font5x7::nextCharacter(text, &i));
  const double width = double(chars.size()) * Font5x7::cellWidth * scale;
  const int ys = std::max(y0, int(glyphTop));
  const int ye = std::min(y1, int(glyphTop + Font5x7::glyphHeight * scale) + 1);
  const int xs = std::max(x0, int(left));
  const int xe = std::min(x1, int(left + width) + 1);
  for (int y = ys; y < ye; ++y) {
    const double gy = (y + 0.5 - glyphTop) / scale;
    if (gy < 0 || gy >= Font5x7::glyphHeight) continue;
    for (int x = xs; x < xe; ++x) {
      const double u = (x + 0.5 - left) / scale;
      if (u < 0) continue;
      const size_t index = size_t(u / Font5x7::cellWidth);
      if (index >= chars.size()) break;
      const int gx = int(u - double(index) * Font5x7::cellWidth);
      if (Font5x7::pixel(chars[index], gx, int(gy))) visit(x, y);
    }
  }
}

}  // namespace corvane::sim
