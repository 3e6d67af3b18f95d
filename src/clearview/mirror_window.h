// The window in which a mirror plate shows frames, and its video view.
//
// A MirrorWindow is borderless, transparent around its content, casts no shadow, lets every click
// through, never becomes key or main, joins all spaces and stays out of the window cycle (collection
// behaviour 337), and has sharing type none: captures leave it out. Its content view clips to its
// bounds and holds the video view, which shows the frames.
//
// Threading: main thread.
#pragma once

#include <optional>

#include "base/geometry.h"
#include "base/log.h"
#include "platform/pixel_buffer.h"
#include "platform/ui.h"

namespace corvane {

// The frame view of a mirror: frames fill it without keeping their aspect ratio, it never keeps the
// display awake and it does not keep itself out of captures (the window does that).
class LocalVideoView final : public ui::VideoDisplayView {
 public:
  explicit LocalVideoView(const Rect& frame);
};

class MirrorWindow final : public ui::Window {
 public:
  static constexpr uint64_t kCollectionBehavior =
      ui::CollectionBehavior::canJoinAllSpaces | ui::CollectionBehavior::stationary |
      ui::CollectionBehavior::ignoresCycle | ui::CollectionBehavior::fullScreenAuxiliary;  // 337

  // `log` (the Clear View log) outlives the window.
  MirrorWindow(ui::UserInterface& ui, LogSink& log);

  LocalVideoView& videoView() const { return *videoView_; }
  bool hasFrame() const { return hasFrame_; }
  // The visible part of the source image in unit coordinates, origin bottom-left; (0, 0, 1, 1): all.
  const Rect& contentsCrop() const { return contentsCrop_; }
  void setContentsCrop(const Rect& crop) { contentsCrop_ = crop; }
  const std::optional<Size>& contentPointSize() const { return contentPointSize_; }
  void setContentPointSize(std::optional<Size> size) { contentPointSize_ = size; }

  // Whole image and a known point size: the video at the source's point size, pinned to the
  // top-left corner. Otherwise it fills the content view.
  void layoutVideo();
  // Shows the sample at once; a failed layer is logged and flushed first.
  void enqueue(ui::VideoSample sample);
  void clearContents();

  // The part of `image` that the unit rectangle (origin bottom-left) names, in whole pixels; the
  // whole image when that part is smaller than 2 x 2 pixels.
  static PixelBuffer crop(const PixelBuffer& image, const Rect& visibleUnitRect);
  // Whether a crop is the whole image (width and height each within 0.001 of 1).
  static bool isWholeImage(const Rect& crop);

  bool canBecomeKey() const override { return false; }
  bool canBecomeMain() const override { return false; }

 private:
  LogSink& log_;
  LocalVideoView* videoView_ = nullptr;
  bool hasFrame_ = false;
  Rect contentsCrop_{0, 0, 1, 1};
  std::optional<Size> contentPointSize_;
};

}  // namespace corvane
