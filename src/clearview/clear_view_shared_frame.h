// The shared frame file: the one channel between a capture helper process, which draws images of a
// window, of a display's desktop or of the notification banners into it, and the processes that
// show them (the mirror host, the application's own shields and diagnostics).
//
// The file has a fixed size and both sides map it shared and writable. Its layout, byte for byte
// (integers are unsigned 32-bit little-endian, rectangles four IEEE 754 binary64 values x, y,
// width, height in window-server space, origin top-left of the main display, y down):
//
//   offset  size        field               written by
//        0     4        magic               creator (0x43564631, "1FVC" in file order)
//        4     4        frameSequence       helper, +1 after each frame, wrapping
//        8     4        width               helper
//       12     4        height              helper
//       16     4        paused              owner
//       20     4        stop                owner
//       24     4        captureWindowCount  owner, 0 to 8
//       28    32        captureWindowIDs    owner, unused slots 0
//       60     4        padding
//       64    32        captureRect         owner
//       96    32        contentRect         notification helper
//      128     4        contentSequence     notification helper, +1 per contentRect, wrapping
//      132  3964        reserved (zero)
//     4096  16384000    pixels: `height` rows of exactly `width` × 4 bytes, BGRA premultiplied
//
// Every field has one writer and nothing is locked: readers poll, and may see a frame torn between
// two captures. A frame is stored in the order pixels, then width and height, then frameSequence.
//
// Where the files live: all of them, and the helper's preview picture, in the user's private
// directory (sharedFrameDirectory()). A file is only ever created in a directory that is a real
// directory of the user's with no access for others, with mode 0600, after removing whatever stood
// at its name and never through a link. Opening an existing file refuses anything but a regular
// file of at least FileSize bytes (a shorter mapping would fault on first touch).
//
// Threading: one object per mapping; its accessors may be called from any thread (each field is
// read and written whole).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/geometry.h"
#include "platform/pixel_buffer.h"
#include "platform/window_server.h"

namespace corvane {

// The capture request the owner publishes for the desktop and notification helpers.
struct DesktopCaptureRequest {
  std::vector<WindowID> windowIDs;  // front to back; empty when there is no valid request
  Rect rect = Rect::null();         // window-server space
};

// What the notification helper last reported about the banner's drawn area.
struct ContentBounds {
  uint32_t sequence = 0;
  Rect rect = Rect::null();  // null unless both width and height are positive
};

class ClearViewSharedFrame {
 public:
  static constexpr size_t FileSize = 16'388'096;
  static constexpr size_t HeaderSize = 4096;
  static constexpr uint32_t MaxWidth = 2560;
  static constexpr uint32_t MaxHeight = 1600;
  static constexpr uint32_t MinSide = 2;
  static constexpr uint32_t Magic = 0x43564631;
  static constexpr uint32_t MaxCaptureWindows = 8;

  // Byte offsets of the header fields.
  struct Offset {
    static constexpr size_t magic = 0;
    static constexpr size_t frameSequence = 4;
    static constexpr size_t width = 8;
    static constexpr size_t height = 12;
    static constexpr size_t paused = 16;
    static constexpr size_t stop = 20;
    static constexpr size_t captureWindowCount = 24;
    static constexpr size_t captureWindowIDs = 28;
    static constexpr size_t captureRect = 64;
    static constexpr size_t contentRect = 96;
    static constexpr size_t contentSequence = 128;
    static constexpr size_t pixels = HeaderSize;
  };

  // Opens (create false) or creates (create true) the file at `path` and maps it. Creating removes
  // whatever stands at the path, makes a new zero-filled file of FileSize bytes with mode 0600 and
  // stores Magic; the path's directory must be private to the user. Nothing, with the reason in
  // *error, when the file cannot be made, opened or mapped.
  static std::unique_ptr<ClearViewSharedFrame> open(const std::string& path, bool create, std::string* error = nullptr);

  // The owner's creation: the file as open(path, true) makes it, with `paused` and `stop` stored in
  // one store (paused 1 for an owner whose mirror is not visible yet, else 0).
  static std::unique_ptr<ClearViewSharedFrame> createForOwner(const std::string& path, bool startPaused,
                                                              std::string* error = nullptr);

  // Unmaps and closes; never removes the file (the owner does, with removeFile()).
  ~ClearViewSharedFrame();
  ClearViewSharedFrame(const ClearViewSharedFrame&) = delete;
  ClearViewSharedFrame& operator=(const ClearViewSharedFrame&) = delete;

  int fileDescriptor() const { return fileDescriptor_; }
  uint8_t* map() const { return map_; }
  const std::string& path() const { return path_; }

  // ---- Header fields ------------------------------------------------------------------------
  uint32_t magic() const;
  uint32_t frameSequence() const;
  uint32_t width() const;
  uint32_t height() const;
  bool paused() const;
  bool stop() const;

  // ---- Owner side ---------------------------------------------------------------------------
  void pause();
  void resume();
  // Stores 1 in `paused`, then 1 in `stop`: the helper ends at its next iteration, readers stop
  // reading. The owner then ends the helper if it still runs and calls removeFile().
  void requestStop();
  // Removes the file at the kept path (the mapping stays valid until this object goes).
  bool removeFile();
  // Publishes a capture request: count 0 first, the first eight window numbers (unused slots 0),
  // the rectangle (standardised), then the real count last.
  void setDesktopCapture(const std::vector<WindowID>& windowIDs, Rect rect);

  // ---- Helper side --------------------------------------------------------------------------
  // The owner's request when it holds 1 to 8 windows and a rectangle wider and higher than 2
  // points; otherwise no windows and the null rectangle.
  DesktopCaptureRequest desktopCapture() const;
  // Stores one frame: the image clamped to MaxWidth × MaxHeight (a larger image is squeezed, not
  // cropped), drawn with nearest-pixel sampling over what the pixel area holds, then width and
  // height, then frameSequence + 1. False, with nothing written, for an image narrower or lower
  // than MinSide or a malformed one.
  bool write(const PixelBuffer& image);
  // Stores contentRect, then contentSequence.
  void setContentBounds(uint32_t sequence, Rect rect);

  // ---- Reader side --------------------------------------------------------------------------
  ContentBounds contentBounds() const;
  // Copies the current frame into `buffer`, which must have exactly the header's width and height
  // (both within the limits) and rows of at least width × 4 bytes. False, copying nothing,
  // otherwise.
  bool fill(PixelBuffer& buffer) const;

 private:
  ClearViewSharedFrame(int fileDescriptor, uint8_t* map, std::string path);

  int fileDescriptor_;
  uint8_t* map_;
  std::string path_;
};

// The reader's protocol (the mirror host and diagnostics): one per reader of one file.
class SharedFrameReader {
 public:
  // The next frame, when there is one this reader has not consumed: nothing while `paused` is set,
  // when frameSequence is the last one consumed, or when the frame's size is outside the limits or
  // changes while it is copied. A sequence is recorded as consumed before the size is checked, so a
  // bad frame is skipped, not retried.
  std::optional<PixelBuffer> nextFrame(const ClearViewSharedFrame& frame);
  std::optional<uint32_t> lastConsumed() const { return lastConsumed_; }

 private:
  std::optional<uint32_t> lastConsumed_;
};

// The image itself when it fits MaxWidth × MaxHeight; otherwise the image scaled by
// s = min(2560 / width, 1600 / height) to max(floor(width × s), 2) × max(floor(height × s), 2),
// keeping its aspect ratio. A malformed image comes back unchanged.
PixelBuffer scaledToFitSharedFrame(const PixelBuffer& image);

// ---- Where the files live -------------------------------------------------------------------

// The directory of shared frame files: the user's runtime directory (userRuntimeDirectory), created
// with mode 0700 when missing. Nothing, with the reason, when it is not a real directory of the
// user's that no one else may use.
std::optional<std::string> sharedFrameDirectory(std::string* error = nullptr);

// Who owns a shared frame file; each has its own file-name prefix.
enum class SharedFrameOwner { windowMirror, desktopMirror, notificationGuard };
// "corvane-cv-", "corvane-desktop-" or "corvane-notify-", the owner's process ID, "-", the number
// (window number or display ID) and ".shm".
std::string sharedFrameFileName(SharedFrameOwner owner, pid_t ownerPID, uint64_t number);
// The helper's preview picture's name, in the same directory.
inline constexpr const char* kHelperPreviewFileName = "corvane-helper-preview.png";

}  // namespace corvane
