#include "clearview/mirror_window.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "clearview/clear_view_frames.h"

namespace corvane {

LocalVideoView::LocalVideoView(const Rect& frame) : ui::VideoDisplayView(frame) {
  setWantsLayer(true);
  layer()->setBackgroundColor(ui::Color::clear());
  setPreventsDisplaySleepDuringVideoPlayback(false);
  setPreventsCapture(false);
}

MirrorWindow::MirrorWindow(ui::UserInterface& ui, LogSink& log)
    : ui::Window(ui, Rect::zero(), ui::StyleMask::borderless, ui::BackingStoreType::buffered, false), log_(log) {
  setOpaque(false);
  setBackgroundColor(ui::Color::clear());
  setAlphaValue(1.0);
  setHasShadow(false);
  setHidesOnDeactivate(false);
  setLevel(0);
  setIgnoresMouseEvents(true);
  setAcceptsMouseMovedEvents(false);
  setSharingType(ui::SharingType::none);
  setCollectionBehavior(kCollectionBehavior);
  auto content = std::make_unique<ui::View>(Rect::zero());
  content->setWantsLayer(true);
  content->layer()->setMasksToBounds(true);
  videoView_ = &content->addSubview(std::make_unique<LocalVideoView>(Rect::zero()));
  setContentView(std::move(content));
}

bool MirrorWindow::isWholeImage(const Rect& crop) {
  return std::fabs(crop.width() - 1) < 0.001 && std::fabs(crop.height() - 1) < 0.001;
}

void MirrorWindow::layoutVideo() {
  ui::View* content = contentView();
  const Rect bounds = content->bounds();
  if (isWholeImage(contentsCrop_) && contentPointSize_ && contentPointSize_->width > 1 &&
      contentPointSize_->height > 1) {
    const Size s = *contentPointSize_;
    videoView_->setFrame(Rect(0, bounds.height() - s.height, s.width, s.height));
  } else {
    videoView_->setFrame(bounds);
  }
}

void MirrorWindow::enqueue(ui::VideoSample sample) {
  if (videoView_->status() == ui::VideoDisplayView::Status::failed) {
    log_.log("Local video layer failed: " + videoView_->error().value_or("unknown"));
    videoView_->flush();
  }
  ClearViewFrames::markDisplayImmediately(sample);
  videoView_->enqueue(std::move(sample));
  hasFrame_ = true;
}

void MirrorWindow::clearContents() {
  hasFrame_ = false;
  videoView_->flush();
}

PixelBuffer MirrorWindow::crop(const PixelBuffer& image, const Rect& unit) {
  const double W = image.width, H = image.height;
  const Rect wanted(unit.minX() * W, (1 - unit.minY() - unit.height()) * H, unit.width() * W, unit.height() * H);
  const Rect part = wanted.intersection(Rect(0, 0, W, H));
  if (part.isNull()) return image;
  const Rect r = part.integral();
  const int x0 = std::clamp(int(r.minX()), 0, image.width), y0 = std::clamp(int(r.minY()), 0, image.height);
  const int x1 = std::clamp(int(r.maxX()), 0, image.width), y1 = std::clamp(int(r.maxY()), 0, image.height);
  if (x1 - x0 < 2 || y1 - y0 < 2) return image;
  PixelBuffer out(x1 - x0, y1 - y0);
  for (int y = y0; y < y1; ++y) {
    std::memcpy(out.pixel(0, y - y0), image.pixel(x0, y), size_t(x1 - x0) * 4);
  }
  return out;
}

}  // namespace corvane
