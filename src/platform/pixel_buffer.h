// An image as the window server hands it out: 8-bit BGRA, premultiplied alpha, rows top to bottom.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

struct PixelBuffer {
  int width = 0;
  int height = 0;
  size_t bytesPerRow = 0;
  std::vector<uint8_t> bytes;  // bytesPerRow * height

  PixelBuffer() = default;
  PixelBuffer(int w, int h) : width(w), height(h), bytesPerRow(size_t(w > 0 ? w : 0) * 4), bytes(bytesPerRow * size_t(h > 0 ? h : 0)) {}
  bool isEmpty() const { return width <= 0 || height <= 0; }
  uint8_t* pixel(int x, int y) { return bytes.data() + size_t(y) * bytesPerRow + size_t(x) * 4; }
  const uint8_t* pixel(int x, int y) const { return bytes.data() + size_t(y) * bytesPerRow + size_t(x) * 4; }
};

}  // namespace corvane
