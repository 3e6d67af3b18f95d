// Fuzz target: a shared frame file whose header (and first pixels) hold arbitrary bytes, as a
// hostile or broken helper could leave them, read the way the mirror host and the owners read it.
//
// Besides crashes and sanitizer reports it checks the readers' promises: a frame comes back only
// with a size within the limits, a capture request only with 1 to 8 windows over a finite area
// wider and higher than 2 points (its users check the origin), content bounds only as null or a finite rectangle of positive
// size.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/files.h"
#include "clearview/clear_view_shared_frame.h"

using namespace corvane;

namespace {

bool finite(const Rect& r) {
  return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
         std::isfinite(r.size.height);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using F = ClearViewSharedFrame;
  static PrivateDirectory dir(std::filesystem::temp_directory_path().string(), "corvane-fuzz-frame-");
  static std::unique_ptr<F> frame = F::open(dir.path() + "/corvane-cv-1-1.shm", true);
  if (!frame) std::abort();

  // The input overwrites the header and the start of the pixel area.
  const size_t n = std::min(size, F::HeaderSize + 4096);
  std::memset(frame->map(), 0, F::HeaderSize);
  std::memcpy(frame->map(), data, n);

  SharedFrameReader reader;
  if (auto next = reader.nextFrame(*frame)) {
    if (next->width < 2 || next->width > 2560 || next->height < 2 || next->height > 1600) std::abort();
    if (next->width != int(frame->width()) || next->height != int(frame->height())) std::abort();
  }
  if (reader.lastConsumed() != frame->frameSequence() && !frame->paused()) std::abort();

  const DesktopCaptureRequest request = frame->desktopCapture();
  if (!request.windowIDs.empty()) {
    if (request.windowIDs.size() > 8 || !(request.rect.size.width > 2) || !(request.rect.size.height > 2)) std::abort();
  } else if (!request.rect.isNull()) {
    std::abort();
  }

  const ContentBounds content = frame->contentBounds();
  if (!content.rect.isNull() && (!finite(content.rect) || !(content.rect.size.width > 0) || !(content.rect.size.height > 0))) {
    std::abort();
  }

  // A buffer of a size the input picks: fill copies only into a buffer of the header's size.
  if (size >= 4) {
    PixelBuffer buffer{int(data[0] % 8) + 1, int(data[1] % 8) + 1};
    buffer.bytesPerRow += data[2] % 3 * 4;
    buffer.bytes.resize(buffer.bytesPerRow * size_t(buffer.height));
    const bool filled = frame->fill(buffer);
    if (filled && (uint32_t(buffer.width) != frame->width() || uint32_t(buffer.height) != frame->height())) std::abort();
  }

  // A small image written over whatever the pixel area holds.
  if (size >= 2) {
    PixelBuffer image{int(data[size - 1] % 16), int(data[size - 2] % 16)};
    for (size_t i = 0; i < image.bytes.size(); ++i) image.bytes[i] = data[i % size];
    const uint32_t before = frame->frameSequence();
    const bool wrote = frame->write(image);
    if (wrote != (image.width >= 2 && image.height >= 2)) std::abort();
    if (wrote && frame->frameSequence() != before + 1) std::abort();
  }
  return 0;
}
