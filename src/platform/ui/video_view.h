// A view that shows decoded video frames, after the reference platform's sample-buffer display
// layer: frames are enqueued as samples and the latest one is shown, stretched to the view's size
// (the resize gravity: the aspect ratio is not kept), until the next one or a flush.
//
// A layer can fail (the platform's renderer gives up, for instance after the graphics device was
// reset); it then shows nothing and takes no samples until it is flushed. Backends report such a
// failure through fail(); the program checks status() before enqueuing.
//
// Threading: main thread (as every view).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/pixel_buffer.h"
#include "platform/ui/view.h"

namespace corvane::ui {

// One frame on its way to the screen: an image that is never changed once made (so it can be handed
// between threads), its presentation time on the media clock, and whether it is shown at once.
struct VideoSample {
  std::shared_ptr<const PixelBuffer> image;
  double presentationTime = 0;
  bool displayImmediately = false;
};

class VideoDisplayView : public View {
 public:
  enum class Status { unknown, rendering, failed };

  using View::View;

  Status status() const { return status_; }
  const std::optional<std::string>& error() const { return error_; }
  // Shows the sample's image; ignored while the layer has failed or when it carries no image.
  void enqueue(VideoSample sample);
  // Removes the image shown and clears a failure.
  void flush();
  // The image shown now, if any.
  const std::shared_ptr<const PixelBuffer>& displayedImage() const { return displayed_; }
  // Samples shown since the view was made.
  uint64_t enqueuedCount() const { return enqueued_; }

  bool preventsCapture() const { return preventsCapture_; }
  void setPreventsCapture(bool prevents) { preventsCapture_ = prevents; }
  bool preventsDisplaySleepDuringVideoPlayback() const { return preventsDisplaySleep_; }
  void setPreventsDisplaySleepDuringVideoPlayback(bool prevents) { preventsDisplaySleep_ = prevents; }

  // For the backend: the renderer failed with this description.
  void fail(std::string description);

 private:
  Status status_ = Status::unknown;
  std::optional<std::string> error_;
  std::shared_ptr<const PixelBuffer> displayed_;
  uint64_t enqueued_ = 0;
  bool preventsCapture_ = false;
  bool preventsDisplaySleep_ = true;
};

}  // namespace corvane::ui
