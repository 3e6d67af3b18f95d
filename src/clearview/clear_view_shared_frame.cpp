#include "clearview/clear_view_shared_frame.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/files.h"
#include "clearview/frame_drawing.h"

namespace corvane {

namespace {

using Offset = ClearViewSharedFrame::Offset;

// Every header field is read and written whole, as one atomic access: the other process may touch
// it at any moment.
template <typename T>
std::atomic_ref<T> field(uint8_t* map, size_t offset) {
  return std::atomic_ref<T>(*reinterpret_cast<T*>(map + offset));
}

uint32_t load32(uint8_t* map, size_t offset) { return field<uint32_t>(map, offset).load(std::memory_order_acquire); }
void store32(uint8_t* map, size_t offset, uint32_t value) {
  field<uint32_t>(map, offset).store(value, std::memory_order_release);
}

Rect loadRect(uint8_t* map, size_t offset) {
  double v[4];
  for (size_t i = 0; i < 4; ++i) v[i] = field<double>(map, offset + i * 8).load(std::memory_order_acquire);
  return Rect(v[0], v[1], v[2], v[3]);
}
void storeRect(uint8_t* map, size_t offset, const Rect& rect) {
  const double v[4] = {rect.origin.x, rect.origin.y, rect.size.width, rect.size.height};
  for (size_t i = 0; i < 4; ++i) field<double>(map, offset + i * 8).store(v[i], std::memory_order_release);
}

bool withinLimits(uint32_t width, uint32_t height) {
  return width >= ClearViewSharedFrame::MinSide && width <= ClearViewSharedFrame::MaxWidth &&
         height >= ClearViewSharedFrame::MinSide && height <= ClearViewSharedFrame::MaxHeight;
}

std::string parentDirectory(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string systemError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

}  // namespace

ClearViewSharedFrame::ClearViewSharedFrame(int fileDescriptor, uint8_t* map, std::string path)
    : fileDescriptor_(fileDescriptor), map_(map), path_(std::move(path)) {}

ClearViewSharedFrame::~ClearViewSharedFrame() {
  ::munmap(map_, FileSize);
  ::close(fileDescriptor_);
}

std::unique_ptr<ClearViewSharedFrame> ClearViewSharedFrame::open(const std::string& path, bool create,
                                                                 std::string* error) {
  auto fail = [&](std::string why, int fd) -> std::unique_ptr<ClearViewSharedFrame> {
    if (fd >= 0) ::close(fd);
    if (error) *error = std::move(why);
    return nullptr;
  };
  if (path.empty()) return fail("no shared frame file given", -1);
  int fd = -1;
  if (create) {
    std::string why;
    if (!isPrivateDirectoryOfUser(parentDirectory(path), &why)) return fail("cannot create " + path + ": " + why, -1);
    // Whatever stands at the name goes; a reader that still maps an old file keeps its own mapping.
    // The new file is made exclusively and never through a link.
    ::unlink(path.c_str());
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return fail(systemError("cannot create " + path, errno), -1);
    if (::fchmod(fd, 0600) != 0 || ::ftruncate(fd, off_t(FileSize)) != 0) {
      const int e = errno;
      ::unlink(path.c_str());
      return fail(systemError("cannot size " + path, e), fd);
    }
  } else {
    // Non-blocking, so that a FIFO planted at the name cannot hold the open; refused just below.
    fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(systemError("cannot open " + path, errno), -1);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(systemError("cannot open " + path, errno), fd);
    if (!S_ISREG(st.st_mode)) return fail("cannot open " + path + ": not a regular file", fd);
    if (uint64_t(st.st_size) < FileSize) return fail("cannot open " + path + ": shorter than a shared frame file", fd);
  }
  void* map = ::mmap(nullptr, FileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    const int e = errno;
    if (create) ::unlink(path.c_str());
    return fail(systemError("cannot map " + path, e), fd);
  }
  std::unique_ptr<ClearViewSharedFrame> frame(new ClearViewSharedFrame(fd, static_cast<uint8_t*>(map), path));
  if (create) store32(frame->map_, Offset::magic, Magic);
  return frame;
}

std::unique_ptr<ClearViewSharedFrame> ClearViewSharedFrame::createForOwner(const std::string& path, bool startPaused,
                                                                           std::string* error) {
  auto frame = open(path, true, error);
  if (!frame) return nullptr;
  // paused and stop in one store (paused is the low word on this little-endian layout).
  field<uint64_t>(frame->map_, Offset::paused).store(startPaused ? 1u : 0u, std::memory_order_release);
  return frame;
}

uint32_t ClearViewSharedFrame::magic() const { return load32(map_, Offset::magic); }
uint32_t ClearViewSharedFrame::frameSequence() const { return load32(map_, Offset::frameSequence); }
uint32_t ClearViewSharedFrame::width() const { return load32(map_, Offset::width); }
uint32_t ClearViewSharedFrame::height() const { return load32(map_, Offset::height); }
bool ClearViewSharedFrame::paused() const { return load32(map_, Offset::paused) != 0; }
bool ClearViewSharedFrame::stop() const { return load32(map_, Offset::stop) != 0; }

void ClearViewSharedFrame::pause() { store32(map_, Offset::paused, 1); }
void ClearViewSharedFrame::resume() { store32(map_, Offset::paused, 0); }

void ClearViewSharedFrame::requestStop() {
  store32(map_, Offset::paused, 1);
  store32(map_, Offset::stop, 1);
}

bool ClearViewSharedFrame::removeFile() { return ::unlink(path_.c_str()) == 0; }

void ClearViewSharedFrame::setDesktopCapture(const std::vector<WindowID>& windowIDs, Rect rect) {
  const uint32_t count = uint32_t(std::min<size_t>(windowIDs.size(), MaxCaptureWindows));
  store32(map_, Offset::captureWindowCount, 0);
  for (uint32_t i = 0; i < MaxCaptureWindows; ++i) {
    store32(map_, Offset::captureWindowIDs + i * 4, i < count ? windowIDs[i] : 0);
  }
  const Rect r = rect.standardized();
  storeRect(map_, Offset::captureRect, Rect(r.origin.x, r.origin.y, r.width(), r.height()));
  store32(map_, Offset::captureWindowCount, count);
}

DesktopCaptureRequest ClearViewSharedFrame::desktopCapture() const {
  const uint32_t count = load32(map_, Offset::captureWindowCount);
  const Rect rect = loadRect(map_, Offset::captureRect);
  // NaN fails both comparisons, so a request with one is empty.
  if (count < 1 || count > MaxCaptureWindows || !(rect.size.width > 2) || !(rect.size.height > 2)) return {};
  DesktopCaptureRequest request;
  for (uint32_t i = 0; i < count; ++i) request.windowIDs.push_back(load32(map_, Offset::captureWindowIDs + i * 4));
  request.rect = rect;
  return request;
}

bool ClearViewSharedFrame::write(const PixelBuffer& image) {
  if (!isWellFormed(image)) return false;
  const uint32_t w = std::min(uint32_t(image.width), MaxWidth);
  const uint32_t h = std::min(uint32_t(image.height), MaxHeight);
  if (w < MinSide || h < MinSide) return false;
  const PixelView pixels{map_ + Offset::pixels, int(w), int(h), size_t(w) * 4};
  drawImage(pixels, image, Rect(0, 0, w, h), Interpolation::none);
  store32(map_, Offset::width, w);
  store32(map_, Offset::height, h);
  store32(map_, Offset::frameSequence, frameSequence() + 1);  // unsigned: wraps to 0
  return true;
}

void ClearViewSharedFrame::setContentBounds(uint32_t sequence, Rect rect) {
  storeRect(map_, Offset::contentRect, rect);
  store32(map_, Offset::contentSequence, sequence);
}

ContentBounds ClearViewSharedFrame::contentBounds() const {
  ContentBounds bounds;
  bounds.sequence = load32(map_, Offset::contentSequence);
  const Rect rect = loadRect(map_, Offset::contentRect);
  if (rect.size.width > 0 && rect.size.height > 0 && std::isfinite(rect.origin.x) && std::isfinite(rect.origin.y) &&
      std::isfinite(rect.size.width) && std::isfinite(rect.size.height)) {
    bounds.rect = rect;
  }
  return bounds;
}

bool ClearViewSharedFrame::fill(PixelBuffer& buffer) const {
  const uint32_t w = width();
  const uint32_t h = height();
  if (!withinLimits(w, h)) return false;
  if (buffer.width != int(w) || buffer.height != int(h)) return false;
  const size_t rowBytes = size_t(w) * 4;
  if (buffer.bytesPerRow < rowBytes || buffer.bytes.size() < buffer.bytesPerRow * (h - 1) + rowBytes) return false;
  const uint8_t* source = map_ + Offset::pixels;
  if (buffer.bytesPerRow == rowBytes) {
    std::memcpy(buffer.bytes.data(), source, rowBytes * h);
  } else {
    for (uint32_t y = 0; y < h; ++y) std::memcpy(buffer.bytes.data() + y * buffer.bytesPerRow, source + y * rowBytes, rowBytes);
  }
  return true;
}

std::optional<PixelBuffer> SharedFrameReader::nextFrame(const ClearViewSharedFrame& frame) {
  if (frame.paused()) return std::nullopt;
  const uint32_t sequence = frame.frameSequence();
  if (lastConsumed_ == sequence) return std::nullopt;
  lastConsumed_ = sequence;
  const uint32_t w = frame.width();
  const uint32_t h = frame.height();
  if (!withinLimits(w, h)) return std::nullopt;
  PixelBuffer buffer{int(w), int(h)};
  // fill() reads the size again: a frame whose size changed meanwhile is skipped.
  if (!frame.fill(buffer)) return std::nullopt;
  return buffer;
}

PixelBuffer scaledToFitSharedFrame(const PixelBuffer& image) {
  if (!isWellFormed(image)) return image;
  const uint32_t maxW = ClearViewSharedFrame::MaxWidth;
  const uint32_t maxH = ClearViewSharedFrame::MaxHeight;
  if (uint32_t(image.width) <= maxW && uint32_t(image.height) <= maxH) return image;
  const double s = std::min(double(maxW) / image.width, double(maxH) / image.height);
  // The side that sets the scale lands on the limit exactly, whatever the rounding of s.
  const auto side = [](double length, uint32_t limit) {
    return int(std::clamp(std::floor(length + 1e-6), 2.0, double(limit)));
  };
  PixelBuffer scaled = resizedImage(image, side(image.width * s, maxW), side(image.height * s, maxH));
  return scaled.isEmpty() ? image : scaled;
}

std::optional<std::string> sharedFrameDirectory(std::string* error) {
  return userRuntimeDirectory(error);
}

std::string sharedFrameFileName(SharedFrameOwner owner, pid_t ownerPID, uint64_t number) {
  const char* prefix = "corvane-cv-";
  switch (owner) {
    case SharedFrameOwner::windowMirror:
      prefix = "corvane-cv-";
      break;
    case SharedFrameOwner::desktopMirror:
      prefix = "corvane-desktop-";
      break;
    case SharedFrameOwner::notificationGuard:
      prefix = "corvane-notify-";
      break;
  }
  return prefix + std::to_string(ownerPID) + "-" + std::to_string(number) + ".shm";
}

}  // namespace corvane
