// Drawing of window images into frames: the pixel work behind the shared frame file and the
// capture loops' composites.
//
// Every picture here is 8-bit BGRA with premultiplied alpha, rows top to bottom (the window
// server's format). Drawing blends the source over what the destination holds (source-over); it
// never clears the destination first.
//
// Threading: any thread; the functions touch only what they are given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/geometry.h"
#include "platform/pixel_buffer.h"

namespace corvane {

// How an image is resampled when it is drawn at another size.
enum class Interpolation {
  none,    // nearest pixel
  medium,  // area average (each destination pixel averages the source area it covers)
  high,    // area average as well: the same filter serves both qualities
};

// A writable view of pixels that someone else owns (a mapping, a buffer).
struct PixelView {
  uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  size_t bytesPerRow = 0;
};

PixelView viewOf(PixelBuffer& buffer);

// True when the buffer's fields describe its bytes: a positive size, rows of at least width × 4
// bytes, and enough bytes for every row.
bool isWellFormed(const PixelBuffer& image);

// Draws the whole image into `rect` (destination pixels, y down), scaled to the rectangle's size
// with the given interpolation, blended over the destination and clipped to it. A malformed image,
// or a rectangle that is null, empty or not finite, draws nothing.
void drawImage(PixelView destination, const PixelBuffer& image, Rect rect, Interpolation interpolation);

// A new transparent picture of the image at another size (area average); the image itself when the
// size is the same. Empty for a malformed image or a size below 1 pixel.
PixelBuffer resizedImage(const PixelBuffer& image, int width, int height);

}  // namespace corvane
