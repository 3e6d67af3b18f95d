// Pixel buffers and samples for the frames of one mirror plate.
//
// Buffers come from a pool of one size: a buffer goes back to the pool when the last holder of it
// (the sample, the video view that shows it, a picture being drawn of it) lets it go, and the pool
// hands it out again instead of allocating. A request for another size replaces the pool. The pool
// keeps at most kMaxPooledBuffers buffers; more in use at once are made and dropped as needed.
//
// Threading: not thread-safe; each plate uses its factory on its own queue. The buffers it hands
// out may be read and released on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/clock.h"
#include "platform/pixel_buffer.h"
#include "platform/ui/video_view.h"

namespace corvane {

class RawSampleFactory {
 public:
  static constexpr size_t kMaxPooledBuffers = 4;

  // `clock` gives the samples' presentation times; it outlives the factory.
  explicit RawSampleFactory(const Clock& clock) : clock_(clock) {}
  RawSampleFactory(const RawSampleFactory&) = delete;
  RawSampleFactory& operator=(const RawSampleFactory&) = delete;

  // A buffer of exactly this size (BGRA, rows without padding), from the pool when one is free.
  // Nothing for a size below 1 x 1 or too large to allocate.
  std::shared_ptr<PixelBuffer> makePixelBuffer(int width, int height);
  // The buffer as a sample shown at once, stamped with the clock's media time. Nothing for an
  // empty buffer.
  std::optional<ui::VideoSample> sampleBuffer(std::shared_ptr<const PixelBuffer> pixelBuffer);

  int poolWidth() const { return poolWidth_; }
  int poolHeight() const { return poolHeight_; }
  // Buffers allocated since the factory was made (pool hits not counted).
  uint64_t allocations() const { return allocations_; }

 private:
  const Clock& clock_;
  std::vector<std::shared_ptr<PixelBuffer>> pool_;
  int poolWidth_ = 0;
  int poolHeight_ = 0;
  uint64_t allocations_ = 0;
};

}  // namespace corvane
