#include "mirrorhost/mirror_host.h"

#include <cmath>

#include "clearview/clear_view_frames.h"
#include "clearview/clear_view_shared_frame.h"
#include "mirrorhost/mapped_read_guard.h"

namespace corvane {

// ---- Dependencies -------------------------------------------------------------------------------

MirrorHostDependencies MirrorHostDependencies::from(const Platform& platform, LogSink& log,
                                                    std::string bundleIdentifier) {
  return MirrorHostDependencies{platform.dispatcher, *platform.ui,          platform.windowServer,
                                platform.windowServerPrivate, platform.screens, log,
                                std::move(bundleIdentifier)};
}

// ---- HostPlate ----------------------------------------------------------------------------------

// ---- PlateFrameReader ---------------------------------------------------------------------------

void PlateFrameReader::setFile(std::shared_ptr<ClearViewSharedFrame> file) {
  file_ = std::move(file);
  lastReadSequence_ = 0;
}

PlateFrameReader::Outcome PlateFrameReader::read(std::optional<ui::VideoSample>& sample) {
  sample.reset();
  if (!file_) return Outcome::none;
  const ClearViewSharedFrame& shm = *file_;
  SharedFrameHeader header;
  bool copied = false;
  std::shared_ptr<PixelBuffer> buffer;
  if (readSharedFrameHeader(shm, header)) {
    if (header.paused || header.frameSequence == lastReadSequence_) return Outcome::none;
    // Consumed at once: a frame that fails a later check is skipped, not retried.
    lastReadSequence_ = header.frameSequence;
    const uint32_t width = header.width, height = header.height;
    if (width < HostPlate::kMinSide || width > HostPlate::kMaxWidth || height < HostPlate::kMinSide ||
        height > HostPlate::kMaxHeight) {
      return Outcome::none;
    }
    buffer = samples_.makePixelBuffer(int(width), int(height));
    if (!buffer) return Outcome::none;
    if (!fillFromSharedFrame(shm, *buffer, copied)) {
      buffer.reset();
    } else if (!copied) {
      return Outcome::none;
    }
  }
  if (!buffer) {
    // The file was cut short under the mapping: it can no longer be read.
    file_.reset();
    return Outcome::lost;
  }
  std::shared_ptr<const PixelBuffer> shown = buffer;
  if (!MirrorWindow::isWholeImage(crop_)) {
    auto cropped = ClearViewFrames::pixelBuffer(MirrorWindow::crop(*buffer, crop_), std::nullopt);
    if (!cropped) return Outcome::none;
    shown = std::make_shared<const PixelBuffer>(std::move(*cropped));
  }
  sample = samples_.sampleBuffer(std::move(shown));
  return sample ? Outcome::frame : Outcome::none;
}

// ---- HostPlate ----------------------------------------------------------------------------------

struct HostPlate::Reader {
  Reader(const Clock& clock, DispatchQueue& main, std::weak_ptr<HostPlate> plate)
      : frames(clock), main(main), plate(std::move(plate)) {}

  std::atomic<bool> destroyed{false};
  PlateFrameReader frames;
  DispatchQueue& main;
  std::weak_ptr<HostPlate> plate;
};

std::shared_ptr<HostPlate> HostPlate::make(MirrorHost& host, int64_t id, std::optional<int64_t> source,
                                           std::optional<int64_t> level) {
  std::shared_ptr<HostPlate> plate(new HostPlate(host, id, source, level));
  Dispatcher& dispatcher = host.dependencies().dispatcher;
  plate->reader_ = std::make_shared<Reader>(dispatcher.clock(), dispatcher.main(), plate);
  host.output().send(MirrorHostEvent{.ev = MirrorHostEventKind::ready, .id = id, .window = plate->panel_->windowNumber()});
  return plate;
}

HostPlate::HostPlate(MirrorHost& host, int64_t id, std::optional<int64_t> source, std::optional<int64_t> level)
    : host_(host),
      id_(id),
      source_(source),
      panel_(std::make_unique<MirrorWindow>(host.dependencies().ui, host.dependencies().log)),
      statsStartedAt_(host.dependencies().dispatcher.clock().mediaTime()),
      queue_(host.dependencies().dispatcher.makeSerialQueue("com.corvane.mirrorhost.plate." + std::to_string(id),
                                                            QoS::userInteractive)) {
  if (level) panel_->setLevel(*level);
}

HostPlate::~HostPlate() {
  if (reader_) reader_->destroyed = true;
  readTimer_.reset();
  queue_.reset();
}

void HostPlate::openShared(const std::string& path) {
  std::shared_ptr<ClearViewSharedFrame> file = ClearViewSharedFrame::open(path, false);
  if (!file) {
    host_.output().send(MirrorHostEvent{.ev = MirrorHostEventKind::log,
                                        .id = 0,
                                        .message = "plate " + std::to_string(id_) + ": could not map " + path});
  }
  queue_->async([reader = reader_, file] { reader->frames.setFile(file); });
  startReadingIfNeeded();
}

void HostPlate::startReadingIfNeeded() {
  if (readTimer_ || destroyed_) return;
  readTimer_ = host_.dependencies().dispatcher.makeTimer(*queue_, [reader = reader_] { readFrame(reader); });
  readTimer_->schedule(0, source_ ? kReadIntervalWithSource : kReadIntervalWithoutSource, 0);
}

void HostPlate::readFrame(const std::shared_ptr<Reader>& reader) {
  if (reader->destroyed) return;
  const std::string path = reader->frames.file() ? reader->frames.file()->path() : std::string();
  std::optional<ui::VideoSample> sample;
  switch (reader->frames.read(sample)) {
    case PlateFrameReader::Outcome::none:
      return;
    case PlateFrameReader::Outcome::lost:
      // The plate keeps its last picture and reads nothing until it is given a file again.
      reader->main.async([weak = reader->plate, path] {
        if (auto plate = weak.lock()) {
          plate->host_.output().send(MirrorHostEvent{.ev = MirrorHostEventKind::log,
                                                     .id = 0,
                                                     .message = "plate " + std::to_string(plate->id_) + ": lost " + path});
        }
      });
      return;
    case PlateFrameReader::Outcome::frame:
      reader->main.async([weak = reader->plate, sample = std::move(*sample)]() mutable {
        if (auto plate = weak.lock()) plate->present(std::move(sample));
      });
      return;
  }
}

void HostPlate::present(ui::VideoSample sample) {
  if (destroyed_ || !exclusionConfirmed_ || !panel_->isVisible()) return;
  if (source_ && targetPointSize_.width > 1 && targetPointSize_.height > 1) {
    if (panel_->contentPointSize() != targetPointSize_) {
      panel_->setContentPointSize(targetPointSize_);
      panel_->layoutVideo();
    }
  }
  panel_->enqueue(std::move(sample));
  if (panel_->hasFrame() && !hasFrame_) {
    hasFrame_ = true;
    host_.output().send(MirrorHostEvent{.ev = MirrorHostEventKind::frame, .id = id_});
  }
  ++totalFrames_;
  ++statsFrames_;
  const double now = host_.dependencies().dispatcher.clock().mediaTime();
  const double elapsed = now - statsStartedAt_;
  if (elapsed >= 1.0) {
    const double fps = double(statsFrames_) / elapsed;
    statsStartedAt_ = now;
    statsFrames_ = 0;
    host_.output().send(
        MirrorHostEvent{.ev = MirrorHostEventKind::stats, .id = id_, .fps = fps, .frames = int64_t(totalFrames_)});
  }
}

void HostPlate::applyExclusion() {
  const int32_t result = host_.exclusion().apply(panel_->windowNumber()).value_or(-999);
  exclusionConfirmed_ = result == 0;
  if (reportedExclusion_ != result) {
    reportedExclusion_ = result;
    host_.output().send(MirrorHostEvent{.ev = MirrorHostEventKind::exclusion, .id = id_, .result = result});
  }
  // Never left on screen without a confirmed exclusion.
  if (result != 0) hide();
}

void HostPlate::hide() {
  panel_->orderOut();
  panel_->clearContents();
  hasFrame_ = false;
}

void HostPlate::place(const Rect& rect) {
  placedFrame_ = rect;
  if (panel_->frame() != rect) panel_->setFrame(rect, false);
  panel_->contentView()->setFrame(Rect(0, 0, rect.width(), rect.height()));
  panel_->layoutVideo();
  if (source_) {
    const std::optional<Size> size = rect.size;
    if (panel_->contentPointSize() != size) {
      panel_->setContentPointSize(size);
      panel_->layoutVideo();
    }
  }
}

void HostPlate::setContentsCrop(const Rect& crop) {
  if (panel_->contentsCrop() == crop) return;
  panel_->setContentsCrop(crop);
  panel_->layoutVideo();
  queue_->async([reader = reader_, crop] { reader->frames.setCrop(crop); });
}

void HostPlate::destroy() {
  destroyed_ = true;
  reader_->destroyed = true;
  readTimer_.reset();
  panel_->orderOut();
  panel_->close();
  queue_->async([reader = reader_] { reader->frames.setFile(nullptr); });
}

// ---- MirrorHost ---------------------------------------------------------------------------------

MirrorHost::MirrorHost(MirrorHostDependencies dependencies, MirrorHostOutput& output)
    : deps_(std::move(dependencies)),
      output_(output),
      exclusion_(deps_.windowServerPrivate),
      geometry_(deps_.windowServerPrivate, deps_.windowServer),
      follower_(std::make_unique<HostFollower>(deps_.dispatcher, geometry_)) {}

MirrorHost::~MirrorHost() {
  for (auto& [id, plate] : plates_) plate->destroy();
  plates_.clear();
  follower_.reset();
}

void MirrorHost::start() {
  output_.send(MirrorHostEvent{.ev = MirrorHostEventKind::hello, .id = 0, .message = deps_.bundleIdentifier});
}

void MirrorHost::receive(std::string_view chunk) {
  splitter_.append(chunk, [this](std::string_view line) { handleLine(line); });
}

void MirrorHost::handleLine(std::string_view line) {
  if (auto command = decodeCommand(line)) handle(*command);
}

HostPlate* MirrorHost::plate(int64_t id) const {
  auto it = plates_.find(id);
  return it == plates_.end() ? nullptr : it->second.get();
}

void MirrorHost::handle(const MirrorHostCommand& c) {
  HostPlate* p = plate(c.id);
  const bool rect = c.x && c.y && c.w && c.h;
  switch (c.cmd) {
    case MirrorHostCommandKind::create: {
      if (p) {
        p->destroy();
        plates_.erase(c.id);
      }
      auto made = HostPlate::make(*this, c.id, c.source, c.level);
      plates_[c.id] = made;
      if (c.path) made->openShared(*c.path);
      break;
    }
    case MirrorHostCommandKind::shm:
      if (c.path && p) p->openShared(*c.path);
      break;
    case MirrorHostCommandKind::attach: {
      if (!c.above || !p) break;
      const int64_t level = c.level.value_or(p->panel().level());
      if (p->panel().level() != level) p->panel().setLevel(level);
      p->panel().order(ui::WindowOrderingMode::above, *c.above);
      p->applyExclusion();
      if (p->source() && p->exclusionConfirmed()) {
        std::vector<Rect> screens;
        for (const ScreenInfo& s : deps_.screens.screens()) screens.push_back(s.frame);
        follower_->set(c.id, *p->source(), p->panel().windowNumber(), p->placedFrame(), std::move(screens));
      } else {
        follower_->remove(c.id);
      }
      break;
    }
    case MirrorHostCommandKind::show:
      if (!p) break;
      if (c.level && *c.level != p->panel().level()) p->panel().setLevel(*c.level);
      p->panel().orderFrontRegardless();
      p->applyExclusion();
      break;
    case MirrorHostCommandKind::place:
      if (!rect || !p) break;
      p->place(Rect(*c.x, *c.y, *c.w, *c.h));
      follower_->setFrame(c.id, p->placedFrame());
      break;
    case MirrorHostCommandKind::crop:
      if (rect && p) p->setContentsCrop(Rect(*c.x, *c.y, *c.w, *c.h));
      break;
    case MirrorHostCommandKind::size:
      if (c.w && c.h && p) p->setTargetPointSize(Size{*c.w, *c.h});
      break;
    case MirrorHostCommandKind::hide:
      if (p) p->hide();
      follower_->remove(c.id);
      break;
    case MirrorHostCommandKind::destroy:
      if (p) {
        p->destroy();
        plates_.erase(c.id);
      }
      follower_->remove(c.id);
      break;
  }
}

}  // namespace corvane
