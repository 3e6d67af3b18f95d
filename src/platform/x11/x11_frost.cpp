#include "platform/x11/x11_frost.h"

#include <algorithm>
#include <cmath>

namespace corvane::x11 {

namespace {

// A horizontal then vertical running-sum box blur of a small float image (4 channels).
void boxBlur(std::vector<float>& img, int w, int h, int r) {
  if (r <= 0 || w <= 0 || h <= 0) return;
  std::vector<float> tmp(img.size());
  auto pass = [&](const std::vector<float>& src, std::vector<float>& dst, int count, int length, int stepOuter, int stepInner) {
    for (int o = 0; o < count; ++o) {
      for (int ch = 0; ch < 4; ++ch) {
        auto at = [&](int i) { return src[size_t(o * stepOuter + std::clamp(i, 0, length - 1) * stepInner) * 4 + size_t(ch)]; };
        float sum = 0;
        for (int i = -r; i <= r; ++i) sum += at(i);
        for (int i = 0; i < length; ++i) {
          dst[size_t(o * stepOuter + i * stepInner) * 4 + size_t(ch)] = sum / float(2 * r + 1);
          sum += at(i + r + 1) - at(i - r);
        }
      }
    }
  };
  pass(img, tmp, h, w, w, 1);   // rows
  pass(tmp, img, w, h, 1, w);   // columns
}

uint8_t clamp8(double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

PixelRect clip(PixelRect area, int width, int height) {
  const int x0 = std::max(area.x, 0), y0 = std::max(area.y, 0);
  const int x1 = std::min(area.x + area.width, width), y1 = std::min(area.y + area.height, height);
  return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

}  // namespace

PixelBuffer frost(const PixelBuffer& source, int radius) {
  PixelBuffer out(source.width, source.height);
  if (source.isEmpty()) return out;
  radius = std::max(radius, 1);
  const int cell = std::max(1, radius / 3);
  const int sw = (source.width + cell - 1) / cell, sh = (source.height + cell - 1) / cell;
  std::vector<float> small(size_t(sw) * size_t(sh) * 4, 0.f);
  std::vector<int> counts(size_t(sw) * size_t(sh), 0);
  for (int y = 0; y < source.height; ++y) {
    const uint8_t* row = source.pixel(0, y);
    float* dstRow = &small[size_t(y / cell) * size_t(sw) * 4];
    int* countRow = &counts[size_t(y / cell) * size_t(sw)];
    for (int x = 0; x < source.width; ++x) {
      float* d = dstRow + size_t(x / cell) * 4;
      // Covered or transparent parts count as opaque mid grey, so the frost is opaque throughout.
      const float a = row[x * 4 + 3] / 255.f;
      for (int ch = 0; ch < 3; ++ch) d[ch] += row[x * 4 + ch] + (1 - a) * 128.f;
      ++countRow[x / cell];
    }
  }
  for (size_t i = 0; i < counts.size(); ++i) {
    for (int ch = 0; ch < 3; ++ch) small[i * 4 + size_t(ch)] /= float(std::max(counts[i], 1));
    small[i * 4 + 3] = 255.f;
  }
  const int r = std::max(1, (radius + cell - 1) / cell);
  boxBlur(small, sw, sh, r);
  boxBlur(small, sw, sh, r);
  for (int y = 0; y < out.height; ++y) {
    const float fy = std::clamp((y + 0.5f) / float(cell) - 0.5f, 0.f, float(sh - 1));
    const int y0 = int(fy), y1 = std::min(y0 + 1, sh - 1);
    const float ty = fy - float(y0);
    uint8_t* dst = out.pixel(0, y);
    for (int x = 0; x < out.width; ++x) {
      const float fx = std::clamp((x + 0.5f) / float(cell) - 0.5f, 0.f, float(sw - 1));
      const int x0 = int(fx), x1 = std::min(x0 + 1, sw - 1);
      const float tx = fx - float(x0);
      for (int ch = 0; ch < 3; ++ch) {
        auto s = [&](int xx, int yy) { return small[(size_t(yy) * size_t(sw) + size_t(xx)) * 4 + size_t(ch)]; };
        const float top = s(x0, y0) * (1 - tx) + s(x1, y0) * tx;
        const float bottom = s(x0, y1) * (1 - tx) + s(x1, y1) * tx;
        dst[x * 4 + ch] = clamp8(top * (1 - ty) + bottom * ty);
      }
      dst[x * 4 + 3] = 255;
    }
  }
  return out;
}

void drawOver(PixelBuffer& canvas, const PixelBuffer& image, PixelRect area, double opacity) {
  if (image.width != canvas.width || image.height != canvas.height) return;
  area = clip(area, canvas.width, canvas.height);
  const double o = std::clamp(opacity, 0.0, 1.0);
  for (int y = area.y; y < area.y + area.height; ++y) {
    uint8_t* d = canvas.pixel(area.x, y);
    const uint8_t* s = image.pixel(area.x, y);
    for (int x = 0; x < area.width * 4; x += 4) {
      const double sa = s[x + 3] / 255.0 * o;
      for (int ch = 0; ch < 3; ++ch) d[x + ch] = clamp8(s[x + ch] * o + d[x + ch] * (1 - sa));
      d[x + 3] = clamp8(255 * sa + d[x + 3] * (1 - sa));
    }
  }
}

void fillOver(PixelBuffer& canvas, PixelRect area, double red, double green, double blue, double alpha) {
  area = clip(area, canvas.width, canvas.height);
  const double a = std::clamp(alpha, 0.0, 1.0);
  if (a <= 0) return;
  const double premul[3] = {std::clamp(blue, 0.0, 1.0) * 255 * a, std::clamp(green, 0.0, 1.0) * 255 * a,
                            std::clamp(red, 0.0, 1.0) * 255 * a};
  for (int y = area.y; y < area.y + area.height; ++y) {
    uint8_t* d = canvas.pixel(area.x, y);
    for (int x = 0; x < area.width * 4; x += 4) {
      for (int ch = 0; ch < 3; ++ch) d[x + ch] = clamp8(premul[ch] + d[x + ch] * (1 - a));
      d[x + 3] = clamp8(255 * a + d[x + 3] * (1 - a));
    }
  }
}

void blendOver(PixelBuffer& canvas, int x, int y, double red, double green, double blue, double alpha) {
  if (x < 0 || y < 0 || x >= canvas.width || y >= canvas.height) return;
  const double a = std::clamp(alpha, 0.0, 1.0);
  if (a <= 0) return;
  uint8_t* d = canvas.pixel(x, y);
  const double premul[3] = {std::clamp(blue, 0.0, 1.0) * 255 * a, std::clamp(green, 0.0, 1.0) * 255 * a,
                            std::clamp(red, 0.0, 1.0) * 255 * a};
  for (int ch = 0; ch < 3; ++ch) d[ch] = clamp8(premul[ch] + d[ch] * (1 - a));
  d[3] = clamp8(255 * a + d[3] * (1 - a));
}

void fillRoundedOver(PixelBuffer& canvas, PixelRect area, double radius, double red, double green, double blue,
                     double alpha, double lineWidth) {
  if (area.width <= 0 || area.height <= 0 || alpha <= 0) return;
  const double r = std::clamp(radius, 0.0, std::min(area.width, area.height) / 2.0);
  // Whether the point lies inside the rounded rectangle shrunk by `inset` on every side.
  auto inside = [&](double px, double py, double inset) {
    const double x0 = area.x + inset, y0 = area.y + inset, x1 = area.x + area.width - inset,
                 y1 = area.y + area.height - inset, rr = std::max(r - inset, 0.0);
    if (px < x0 || px > x1 || py < y0 || py > y1) return false;
    const double cx = std::clamp(px, x0 + rr, x1 - rr), cy = std::clamp(py, y0 + rr, y1 - rr);
    return (px - cx) * (px - cx) + (py - cy) * (py - cy) <= rr * rr;
  };
  const PixelRect c = clip(area, canvas.width, canvas.height);
  for (int y = c.y; y < c.y + c.height; ++y) {
    for (int x = c.x; x < c.x + c.width; ++x) {
      const double px = x + 0.5, py = y + 0.5;
      if (!inside(px, py, 0) || (lineWidth > 0 && inside(px, py, lineWidth))) continue;
      blendOver(canvas, x, y, red, green, blue, alpha);
    }
  }
}

std::vector<PixelRect> shapeRectangles(int width, int height, const std::function<bool(double x, double y)>& covers) {
  std::vector<PixelRect> out;
  if (width <= 0 || height <= 0) return out;
  std::vector<std::pair<int, int>> previous, current;  // runs [start, end) of the rows
  std::vector<size_t> open;                             // the rectangle each previous run extends
  for (int y = 0; y <= height; ++y) {
    current.clear();
    if (y < height) {
      int start = -1;
      for (int x = 0; x < width; ++x) {
        const bool in = covers(x + 0.5, y + 0.5);
        if (in && start < 0) start = x;
        if (!in && start >= 0) {
          current.emplace_back(start, x);
          start = -1;
        }
      }
      if (start >= 0) current.emplace_back(start, width);
    }
    if (current == previous && y < height) {
      for (size_t i : open) ++out[i].height;
      continue;
    }
    open.clear();
    for (const auto& [x0, x1] : current) {
      open.push_back(out.size());
      out.push_back({x0, y, x1 - x0, 1});
    }
    previous = current;
  }
  return out;
}

}  // namespace corvane::x11
