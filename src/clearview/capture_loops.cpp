#include "clearview/capture_loops.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <ostream>

#include "base/files.h"
#include "base/png.h"
#include "base/real_dispatcher.h"
#include "clearview/frame_drawing.h"

namespace corvane {

namespace {

constexpr uint32_t kWindowImageOptions = WindowImageOption::boundsIgnoreFraming | WindowImageOption::bestResolution;
constexpr uint32_t kCompositeImageOptions =
    WindowImageOption::boundsIgnoreFraming | WindowImageOption::nominalResolution;
constexpr int kSmallestWindowImage = 32;
constexpr double kNotificationFastSeconds = 1.0;
constexpr double kNotificationCompositeInterval = 1.0 / 12.0;

const char* loopName(CaptureLoopKind kind) {
  switch (kind) {
    case CaptureLoopKind::window:
      return "capture-loop";
    case CaptureLoopKind::desktop:
      return "capture-desktop";
    case CaptureLoopKind::notifications:
      return "capture-notifications";
  }
  return "capture-loop";
}

bool isFiniteRect(const Rect& r) {
  return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
         std::isfinite(r.size.height);
}

// A usable capture area: finite, wider and higher than 2 points.
bool isCaptureArea(const Rect& r) {
  return !r.isNull() && isFiniteRect(r) && r.standardized().width() > 2 && r.standardized().height() > 2;
}

// floor(), except that a value a rounding error below a whole number counts as that number.
double floorOf(double value) { return std::floor(value + 1e-6); }

}  // namespace

double CaptureLoop::period(CaptureLoopKind kind, bool firstSecond) {
  switch (kind) {
    case CaptureLoopKind::window:
      return 1.0 / 60.0;
    case CaptureLoopKind::desktop:
      return 0.125;
    case CaptureLoopKind::notifications:
      return firstSecond ? 1.0 / 60.0 : 1.0 / 30.0;
  }
  return 1.0 / 60.0;
}

double CaptureLoop::pausedInterval(CaptureLoopKind kind) {
  return kind == CaptureLoopKind::notifications ? 0.004 : 0.050;
}

std::unique_ptr<CaptureLoop> CaptureLoop::start(CaptureLoopKind kind, WindowID windowID, const std::string& path,
                                                CaptureLoopHost host) {
  auto frame = ClearViewSharedFrame::open(path, false);
  if (!frame) {
    host.standardError(std::string(loopName(kind)) + ": could not map " + path + "\n");
    host.exit(1);
    return nullptr;
  }
  if (frame->stop()) {
    host.exit(0);
    return nullptr;
  }
  std::unique_ptr<CaptureLoop> loop(new CaptureLoop(kind, windowID, path, std::move(frame), std::move(host)));
  if (loop->kind_ == CaptureLoopKind::notifications) {
    // The counter goes on from what an earlier helper of this file reported.
    loop->contentCounter_ = loop->frame_->contentBounds().sequence;
  }
  loop->next_ = loop->host_.queue.asyncAfter(0, [raw = loop.get()] { raw->iterate(); });
  return loop;
}

CaptureLoop::CaptureLoop(CaptureLoopKind kind, WindowID windowID, std::string path,
                         std::unique_ptr<ClearViewSharedFrame> frame, CaptureLoopHost host)
    : kind_(kind), windowID_(windowID), path_(std::move(path)), frame_(std::move(frame)), host_(std::move(host)) {}

CaptureLoop::~CaptureLoop() { next_.cancel(); }

void CaptureLoop::iterate() {
  if (frame_->paused()) {
    activation_.reset();
    finishIteration(pausedInterval(kind_));
    return;
  }
  const double start = host_.clock.mediaTime();
  switch (kind_) {
    case CaptureLoopKind::window:
      windowWork();
      break;
    case CaptureLoopKind::desktop:
      desktopWork();
      break;
    case CaptureLoopKind::notifications:
      notificationWork(start);
      break;
  }
  const double length = period(kind_, elapsed_ < kNotificationFastSeconds);
  finishIteration(std::max(0.0, length - (host_.clock.mediaTime() - start)));
}

void CaptureLoop::finishIteration(double wait) {
  next_ = host_.queue.asyncAfter(wait, [this] {
    if (frame_->stop()) {
      host_.exit(0);  // the last thing this object does
      return;
    }
    iterate();
  });
}

void CaptureLoop::windowWork() {
  auto image = host_.windowServer.createWindowImage(Rect::null(), windowID_, kWindowImageOptions);
  if (!image || !isWellFormed(*image) || image->width < kSmallestWindowImage || image->height < kSmallestWindowImage) {
    return;
  }
  if (!wrotePreview_) {
    wrotePreview_ = true;
    // Best effort: a preview that cannot be written is skipped.
    const std::string directory = previewDirectoryFor(path_);
    if (auto png = encodePNG(*image, nullptr); png && !directory.empty()) {
      // A picture of someone's window: for the user alone, like the frames.
      const std::string preview = directory + "/" + kHelperPreviewFileName;
      if (writeFileBytes(*png, preview, nullptr)) ::chmod(preview.c_str(), 0600);
    }
  }
  frame_->write(*image);
}

void CaptureLoop::desktopWork() {
  const DesktopCaptureRequest request = frame_->desktopCapture();
  std::optional<PixelBuffer> composite;
  if (!request.windowIDs.empty()) composite = compositeDesktopWindows(host_.windowServer, request.windowIDs, request.rect);
  if (!composite) {
    if (!reportedNoFrame_) {
      reportedNoFrame_ = true;
      host_.standardError("capture-desktop: no frame\n");
    }
    return;
  }
  if (frame_->write(*composite) && !reportedFrame_) {
    reportedFrame_ = true;
    host_.standardError("capture-desktop: frame " + std::to_string(composite->width) + "x" +
                        std::to_string(composite->height) + "\n");
  }
}

void CaptureLoop::notificationWork(double start) {
  if (!activation_) activation_ = start;
  elapsed_ = start - *activation_;
  const DesktopCaptureRequest request = frame_->desktopCapture();
  if (request.windowIDs.empty()) return;
  const WindowID banner = request.windowIDs.front();
  auto stack = notificationStack(host_.windowServer, banner, host_.parentPID);
  if (!stack) return;

  ++contentCounter_;  // unsigned: wraps
  Rect drawn = drawnBounds(host_.windowServer, banner, stack->bannerBounds);
  if (drawn.isNull()) drawn = Rect::zero();
  frame_->setContentBounds(contentCounter_, drawn);

  if (elapsed_ < kNotificationFastSeconds || !lastComposite_ ||
      start - *lastComposite_ >= kNotificationCompositeInterval) {
    auto image = compositeWindows(host_.windowServer, stack->windowIDs, request.rect);
    if (!image) return;
    lastComposite_ = start;
    const PixelBuffer scaled = scaledToFitSharedFrame(*image);
    if (frame_->write(scaled) && !reportedFrame_) {
      reportedFrame_ = true;
      host_.standardError("capture-notifications: frame " + std::to_string(scaled.width) + "x" +
                          std::to_string(scaled.height) + "\n");
    }
  }
}

std::optional<PixelBuffer> compositeDesktopWindows(WindowServer& windowServer, const std::vector<WindowID>& windowIDs,
                                                   Rect displayRect) {
  if (!isCaptureArea(displayRect)) return std::nullopt;
  const Rect display = displayRect.standardized();
  const std::map<WindowID, Rect> bounds = onScreenWindowBounds(windowServer);

  struct Layer {
    PixelBuffer image;
    Rect bounds;
  };
  // Back to front: the last-listed window first, so the first-listed one ends on top.
  std::vector<Layer> layers;
  for (auto it = windowIDs.rbegin(); it != windowIDs.rend(); ++it) {
    const auto found = bounds.find(*it);
    if (found == bounds.end()) continue;
    const Rect b = found->second.standardized();
    if (!isFiniteRect(b) || !b.intersects(display) || !(b.width() > 1 && b.height() > 1)) continue;
    auto image = windowServer.createWindowImage(Rect::null(), *it, kCompositeImageOptions);
    if (!image || !isWellFormed(*image) || image->width < 2 || image->height < 2) continue;
    layers.push_back({std::move(*image), b});
  }
  if (layers.empty()) return std::nullopt;

  const double pixelsPerPoint = layers.front().image.width / layers.front().bounds.width();
  const double tw = display.width() * pixelsPerPoint;
  const double th = display.height() * pixelsPerPoint;
  if (!std::isfinite(tw) || !std::isfinite(th)) return std::nullopt;
  const double s = std::min({1.0, double(ClearViewSharedFrame::MaxWidth) / std::max(tw, 1.0),
                             double(ClearViewSharedFrame::MaxHeight) / std::max(th, 1.0)});
  const int W = int(std::clamp(floorOf(tw * s), 2.0, double(ClearViewSharedFrame::MaxWidth)));
  const int H = int(std::clamp(floorOf(th * s), 2.0, double(ClearViewSharedFrame::MaxHeight)));

  PixelBuffer composite(W, H);
  const double sx = W / display.width();
  const double sy = H / display.height();
  for (const Layer& layer : layers) {
    const Rect target(sx * (layer.bounds.minX() - display.minX()), sy * (layer.bounds.minY() - display.minY()),
                      sx * layer.bounds.width(), sy * layer.bounds.height());
    drawImage(viewOf(composite), layer.image, target, Interpolation::medium);
  }
  return composite;
}

std::optional<NotificationStack> notificationStack(WindowServer& windowServer, WindowID below, pid_t excludingPID) {
  auto entries = windowServer.copyWindowInfo(WindowListOption::onScreenOnly, 0);
  if (!entries) return std::nullopt;
  size_t index = entries->size();
  NotificationStack stack;
  for (size_t i = 0; i < entries->size(); ++i) {
    const auto number = asInteger((*entries)[i].number);
    const auto bounds = asBounds((*entries)[i].bounds);
    if (number && *number == int64_t(below) && bounds) {
      index = i;
      stack.bannerBounds = *bounds;
      break;
    }
  }
  if (index == entries->size()) return std::nullopt;
  for (size_t i = index; i < entries->size(); ++i) {
    const WindowListEntry& entry = (*entries)[i];
    const auto number = asInteger(entry.number);
    if (!number || *number < 0 || *number > int64_t(UINT32_MAX)) continue;
    const auto owner = asInteger(entry.ownerPID);
    if (owner && *owner == int64_t(excludingPID)) continue;
    const auto sharing = asInteger(entry.sharingState);
    if (sharing && *sharing == 0) continue;
    stack.windowIDs.push_back(WindowID(*number));
  }
  return stack;
}

Rect drawnBounds(WindowServer& windowServer, WindowID window, Rect windowBounds) {
  auto image = windowServer.createWindowImage(Rect::null(), window, kCompositeImageOptions);
  if (!image || !isWellFormed(*image) || image->width < 8 || image->height < 8) return Rect::null();
  const int qw = std::max(1, image->width / 4);
  const int qh = std::max(1, image->height / 4);
  const PixelBuffer small = resizedImage(*image, qw, qh);
  int minX = qw, minY = qh, maxX = -1, maxY = -1;
  for (int y = 0; y < small.height; ++y) {
    for (int x = 0; x < small.width; ++x) {
      if (small.pixel(x, y)[3] < 9) continue;
      minX = std::min(minX, x);
      maxX = std::max(maxX, x);
      minY = std::min(minY, y);
      maxY = std::max(maxY, y);
    }
  }
  if (maxX < 0) return Rect::null();
  const Rect b = windowBounds.standardized();
  const double sx = b.width() / qw;
  const double sy = b.height() / qh;
  return Rect(b.minX() + minX * sx, b.minY() + minY * sy, (maxX - minX + 1) * sx, (maxY - minY + 1) * sy);
}

std::optional<PixelBuffer> compositeWindows(WindowServer& windowServer, const std::vector<WindowID>& windowIDs,
                                            Rect rect) {
  if (windowIDs.empty() || !isCaptureArea(rect)) return std::nullopt;
  return windowServer.createImageFromArray(rect.standardized(), windowIDs, kWindowImageOptions);
}

std::string previewDirectoryFor(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  if (isPrivateDirectoryOfUser(parent)) return parent;
  return sharedFrameDirectory().value_or("");
}

int runCaptureLoopProcess(CaptureLoopKind kind, WindowID windowID, const std::string& path,
                          WindowServer& windowServer, pid_t parentPID, std::ostream& err) {
  RealDispatcher dispatcher;
  std::optional<int> status;
  CaptureLoopHost host{windowServer, dispatcher.main(), dispatcher.clock(), parentPID,
                       [&err](const std::string& text) { err << text << std::flush; },
                       [&](int code) {
                         if (status) return;
                         status = code;
                         dispatcher.stopMainLoop();
                       }};
  std::unique_ptr<CaptureLoop> loop = CaptureLoop::start(kind, windowID, path, std::move(host));
  if (!status) dispatcher.runMainLoop();
  loop.reset();
  return status.value_or(1);
}

}  // namespace corvane
