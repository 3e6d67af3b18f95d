#include "clearview/frame_drawing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace corvane {

namespace {

// One source pixel's share of a destination pixel along one axis.
struct Tap {
  int index;
  float weight;
};

// The taps of every destination pixel along one axis: pixel d uses taps[first[d] .. first[d + 1]).
struct AxisTaps {
  std::vector<int> first;
  std::vector<Tap> taps;
};

// Maps destination pixels [0, destinationLength) onto a source of `sourceLength` pixels drawn over
// [rectMin, rectMin + rectLength). A destination pixel outside the drawn span gets no tap; one that
// the span covers only in part gets weights that add up to the part covered.
AxisTaps axisTaps(double rectMin, double rectLength, int sourceLength, int destinationLength,
                  Interpolation interpolation) {
  AxisTaps result;
  result.first.reserve(size_t(destinationLength) + 1);
  const double rectMax = rectMin + rectLength;
  const double scale = double(sourceLength) / rectLength;  // source pixels per destination pixel
  const int begin = std::clamp(int(std::floor(rectMin)), 0, destinationLength);
  const int end = std::clamp(int(std::ceil(rectMax)), 0, destinationLength);
  for (int d = 0; d < destinationLength; ++d) {
    result.first.push_back(int(result.taps.size()));
    if (d < begin || d >= end) continue;
    if (interpolation == Interpolation::none) {
      const double centre = d + 0.5;
      if (centre < rectMin || centre >= rectMax) continue;
      const int s = std::clamp(int(std::floor((centre - rectMin) * scale)), 0, sourceLength - 1);
      result.taps.push_back({s, 1.0f});
      continue;
    }
    const double a = std::max(double(d), rectMin);
    const double b = std::min(double(d + 1), rectMax);
    if (b <= a) continue;
    const double ua = (a - rectMin) * scale;
    const double ub = (b - rectMin) * scale;
    const int lo = std::clamp(int(std::floor(ua)), 0, sourceLength - 1);
    const int hi = std::clamp(int(std::ceil(ub)) - 1, lo, sourceLength - 1);
    for (int s = lo; s <= hi; ++s) {
      const double overlap = std::min(ub, double(s + 1)) - std::max(ua, double(s));
      if (overlap > 0) result.taps.push_back({s, float(overlap / scale)});
    }
  }
  result.first.push_back(int(result.taps.size()));
  return result;
}

inline uint8_t over(unsigned source, unsigned destination, unsigned sourceAlpha) {
  const unsigned value = source + (destination * (255 - sourceAlpha) + 127) / 255;
  return uint8_t(value > 255 ? 255 : value);
}

// True when every one of the `count` pixels is opaque (alpha 255).
inline bool allOpaque(const uint8_t* source, int count) {
  uint32_t all = 0xFFFFFFFFu;
  for (int i = 0; i < count; ++i) {
    uint32_t word;
    std::memcpy(&word, source + size_t(i) * 4, 4);
    all &= word;
  }
  return (all >> 24) == 0xFF;
}

void blendPixels(uint8_t* destination, const uint8_t* source, int count) {
  for (int i = 0; i < count; ++i) {
    const uint8_t* s = source + size_t(i) * 4;
    uint8_t* d = destination + size_t(i) * 4;
    const unsigned alpha = s[3];
    if (alpha == 255) {
      std::memcpy(d, s, 4);
    } else {
      for (int c = 0; c < 4; ++c) d[c] = over(s[c], d[c], alpha);
    }
  }
}

// Blends one row of `count` source pixels over the destination row. Window images are mostly
// opaque: a run of opaque pixels is copied in one block, in runs short enough that the check and
// the copy read the source from the cache only once from memory.
void blendRow(uint8_t* destination, const uint8_t* source, int count) {
  constexpr int kRun = 256;
  for (int start = 0; start < count; start += kRun) {
    const int n = std::min(kRun, count - start);
    const uint8_t* s = source + size_t(start) * 4;
    uint8_t* d = destination + size_t(start) * 4;
    if (allOpaque(s, n)) {
      std::memcpy(d, s, size_t(n) * 4);
    } else {
      blendPixels(d, s, n);
    }
  }
}

bool isDrawableRect(const Rect& rect) {
  return !rect.isNull() && !rect.isInfinite() && std::isfinite(rect.origin.x) && std::isfinite(rect.origin.y) &&
         std::isfinite(rect.size.width) && std::isfinite(rect.size.height) && rect.standardized().width() > 0 &&
         rect.standardized().height() > 0;
}

}  // namespace

PixelView viewOf(PixelBuffer& buffer) {
  return PixelView{buffer.bytes.data(), buffer.width, buffer.height, buffer.bytesPerRow};
}

bool isWellFormed(const PixelBuffer& image) {
  if (image.width <= 0 || image.height <= 0) return false;
  if (image.bytesPerRow / 4 < size_t(image.width)) return false;
  return image.bytes.size() / image.bytesPerRow >= size_t(image.height);
}

void drawImage(PixelView destination, const PixelBuffer& image, Rect rect, Interpolation interpolation) {
  if (!destination.data || destination.width <= 0 || destination.height <= 0) return;
  if (!isWellFormed(image) || !isDrawableRect(rect)) return;
  rect = rect.standardized();

  // The common case: the image lands pixel for pixel.
  if (rect.origin.x == std::floor(rect.origin.x) && rect.origin.y == std::floor(rect.origin.y) &&
      rect.width() == image.width && rect.height() == image.height) {
    const double left = std::max(0.0, rect.minX());
    const double top = std::max(0.0, rect.minY());
    const double right = std::min(double(destination.width), rect.maxX());
    const double bottom = std::min(double(destination.height), rect.maxY());
    if (right <= left || bottom <= top) return;
    const int x0 = int(left);
    const int count = int(right) - x0;
    const int sx = x0 - int(rect.minX());
    for (int y = int(top); y < int(bottom); ++y) {
      const int sy = y - int(rect.minY());
      blendRow(destination.data + size_t(y) * destination.bytesPerRow + size_t(x0) * 4,
               image.bytes.data() + size_t(sy) * image.bytesPerRow + size_t(sx) * 4, count);
    }
    return;
  }

  const AxisTaps columns = axisTaps(rect.minX(), rect.width(), image.width, destination.width, interpolation);
  const AxisTaps rows = axisTaps(rect.minY(), rect.height(), image.height, destination.height, interpolation);
  for (int y = 0; y < destination.height; ++y) {
    const int r0 = rows.first[size_t(y)];
    const int r1 = rows.first[size_t(y) + 1];
    if (r0 == r1) continue;
    uint8_t* out = destination.data + size_t(y) * destination.bytesPerRow;
    for (int x = 0; x < destination.width; ++x) {
      const int c0 = columns.first[size_t(x)];
      const int c1 = columns.first[size_t(x) + 1];
      if (c0 == c1) continue;
      float sum[4] = {0, 0, 0, 0};
      for (int r = r0; r < r1; ++r) {
        const Tap& row = rows.taps[size_t(r)];
        const uint8_t* line = image.bytes.data() + size_t(row.index) * image.bytesPerRow;
        for (int c = c0; c < c1; ++c) {
          const Tap& column = columns.taps[size_t(c)];
          const float weight = row.weight * column.weight;
          const uint8_t* p = line + size_t(column.index) * 4;
          for (int k = 0; k < 4; ++k) sum[k] += weight * float(p[k]);
        }
      }
      uint8_t* d = out + size_t(x) * 4;
      const unsigned alpha = unsigned(std::min(255.0f, sum[3] + 0.5f));
      for (int k = 0; k < 4; ++k) d[k] = over(unsigned(std::min(255.0f, sum[k] + 0.5f)), d[k], alpha);
    }
  }
}

PixelBuffer resizedImage(const PixelBuffer& image, int width, int height) {
  if (!isWellFormed(image) || width < 1 || height < 1) return {};
  if (width == image.width && height == image.height) return image;
  PixelBuffer result(width, height);
  drawImage(viewOf(result), image, Rect(0, 0, width, height), Interpolation::high);
  return result;
}

}  // namespace corvane
