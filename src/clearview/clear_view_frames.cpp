#include "clearview/clear_view_frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "base/png.h"

namespace corvane {

namespace {
constexpr double kMaxSide = 32768;

bool consistent(const PixelBuffer& b) {
  return !b.isEmpty() && b.bytesPerRow >= size_t(b.width) * 4 && b.bytes.size() >= b.bytesPerRow * size_t(b.height);
}
}  // namespace

std::optional<PixelBuffer> ClearViewFrames::pixelBuffer(const PixelBuffer& image, std::optional<Size> size) {
  if (!consistent(image)) return std::nullopt;
  double w = size ? std::round(size->width) : image.width;
  double h = size ? std::round(size->height) : image.height;
  if (!(w == w) || !(h == h)) return std::nullopt;  // NaN
  w = std::max(w, 2.0);
  h = std::max(h, 2.0);
  if (w > kMaxSide || h > kMaxSide) return std::nullopt;
  try {
    PixelBuffer out(static_cast<int>(w), static_cast<int>(h));
    for (int y = 0; y < out.height; ++y) {
      const int sy = std::min(image.height - 1, int((y + 0.5) * image.height / out.height));
      for (int x = 0; x < out.width; ++x) {
        const int sx = std::min(image.width - 1, int((x + 0.5) * image.width / out.width));
        std::memcpy(out.pixel(x, y), image.pixel(sx, sy), 4);
      }
    }
    return out;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<PixelBuffer> ClearViewFrames::image(const PixelBuffer& pixelBuffer) {
  if (!consistent(pixelBuffer)) return std::nullopt;
  PixelBuffer out(pixelBuffer.width, pixelBuffer.height);
  for (int y = 0; y < out.height; ++y) {
    std::memcpy(out.pixel(0, y), pixelBuffer.pixel(0, y), size_t(out.width) * 4);
  }
  return out;
}

std::optional<std::vector<uint8_t>> ClearViewFrames::png(const PixelBuffer& pixelBuffer) {
  auto copy = image(pixelBuffer);
  if (!copy) return std::nullopt;
  return encodePNG(*copy, nullptr);
}

}  // namespace corvane
