// Helpers that turn frames into the forms Clear View needs: a pixel buffer drawn from an image at a
// chosen size, an independent copy of a buffer, PNG bytes, and the "show at once" mark of a sample.
//
// Threading: any thread; pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/geometry.h"
#include "platform/pixel_buffer.h"
#include "platform/ui/video_view.h"

namespace corvane {

class ClearViewFrames {
 public:
  // A new buffer of `size` (rounded; the image's own size when none), each side at least 2 pixels,
  // with the image drawn over all of it (nearest pixel, no smoothing). Nothing for an empty image
  // or a size too large to allocate.
  static std::optional<PixelBuffer> pixelBuffer(const PixelBuffer& image, std::optional<Size> size);
  // A copy that shares no memory with the buffer, with rows packed (no padding).
  static std::optional<PixelBuffer> image(const PixelBuffer& pixelBuffer);
  // The buffer as PNG bytes.
  static std::optional<std::vector<uint8_t>> png(const PixelBuffer& pixelBuffer);
  static void markDisplayImmediately(ui::VideoSample& sample) { sample.displayImmediately = true; }
};

}  // namespace corvane
