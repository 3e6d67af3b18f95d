#include "platform/ui/video_view.h"

namespace corvane::ui {

void VideoDisplayView::enqueue(VideoSample sample) {
  if (status_ == Status::failed || !sample.image) return;
  displayed_ = std::move(sample.image);
  status_ = Status::rendering;
  ++enqueued_;
  setNeedsDisplay();
}

void VideoDisplayView::flush() {
  const bool changed = displayed_ != nullptr;
  displayed_.reset();
  status_ = Status::unknown;
  error_.reset();
  if (changed) setNeedsDisplay();
}

void VideoDisplayView::fail(std::string description) {
  status_ = Status::failed;
  error_ = std::move(description);
}

}  // namespace corvane::ui
