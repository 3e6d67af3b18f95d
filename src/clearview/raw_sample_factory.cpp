#include "clearview/raw_sample_factory.h"

#include <new>

namespace corvane {

namespace {
// The largest side a buffer may have (the window server's picture limit).
constexpr int kMaxSide = 32768;
}  // namespace

std::shared_ptr<PixelBuffer> RawSampleFactory::makePixelBuffer(int width, int height) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return nullptr;
  if (width != poolWidth_ || height != poolHeight_) {
    pool_.clear();
    poolWidth_ = width;
    poolHeight_ = height;
  }
  for (const auto& buffer : pool_) {
    // Only the pool holds it: nobody reads it any more.
    if (buffer.use_count() == 1) return buffer;
  }
  std::shared_ptr<PixelBuffer> made;
  try {
    made = std::make_shared<PixelBuffer>(width, height);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  ++allocations_;
  if (pool_.size() < kMaxPooledBuffers) pool_.push_back(made);
  return made;
}

std::optional<ui::VideoSample> RawSampleFactory::sampleBuffer(std::shared_ptr<const PixelBuffer> pixelBuffer) {
  if (!pixelBuffer || pixelBuffer->isEmpty()) return std::nullopt;
  ui::VideoSample sample;
  sample.image = std::move(pixelBuffer);
  sample.presentationTime = clock_.mediaTime();
  sample.displayImmediately = true;
  return sample;
}

}  // namespace corvane
