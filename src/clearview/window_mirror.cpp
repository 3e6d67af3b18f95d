#include "clearview/window_mirror.h"

#include "base/format.h"
#include "clearview/clear_view_frames.h"
#include "overlay/overlay_window.h"

namespace corvane {

namespace {

std::string number(uint32_t n) { return std::to_string(n); }

}  // namespace

WindowMirror::WindowMirror(const Dependencies& d, uint32_t id, Size expectedPointSize)
    : windowID(id),
      client_(d.client),
      processes_(d.processes),
      clock_(d.clock),
      log_(d.log),
      frameDirectory_(d.frameDirectory),
      samples_(d.clock),
      panel_(std::make_unique<MirrorPlate>(d.client, int64_t(id), 0)),
      alive_(std::make_shared<uint32_t>(id)) {
  if (expectedPointSize.width > 1 && expectedPointSize.height > 1) panel_->setContentPointSize(expectedPointSize);
}

WindowMirror::~WindowMirror() {
  *alive_ = 0;
  stopped = true;
  stopHelper();
  panel_->destroy();
}

void WindowMirror::startIfNeeded() {
  if (stopped || startFailed) return;
  if (captureHelper_) {
    if (captureHelper_->isRunning()) {
      if (frameShm_) frameShm_->resume();
      return;
    }
    if (clock_.mediaTime() - lastHelperStartAt < restartGuard) return;  // the next call retries
    log_.log("Capture helper died for window " + number(windowID) + " \u2014 restarting");
  }
  stopHelper();
  spawnHelper();
}

void WindowMirror::spawnHelper() {
  std::string error;
  std::string directory = frameDirectory_;
  if (directory.empty()) directory = sharedFrameDirectory(&error).value_or("");
  const std::string path = directory.empty()
                               ? std::string()
                               : directory + "/" +
                                     sharedFrameFileName(SharedFrameOwner::windowMirror,
                                                         processes_.currentProcessIdentifier(), windowID);
  std::unique_ptr<ClearViewSharedFrame> file =
      path.empty() ? nullptr : ClearViewSharedFrame::createForOwner(path, false, &error);
  if (!file) {
    startFailed = true;
    log_.log("Could not create capture shm for window " + number(windowID));
    return;
  }
  frameShm_ = std::move(file);
  lastHelperStartAt = clock_.mediaTime();

  LaunchRequest request;
  request.arguments = {"--capture-loop", number(windowID), path};
  std::unique_ptr<ChildProcess> helper = processes_.launchSelf(request);
  if (!helper) {
    // The file stays until stopHelper(), as the owner's record of the attempt.
    startFailed = true;
    log_.log("Capture helper failed to start: could not launch " + processes_.executablePath());
    return;
  }
  const pid_t pid = helper->processIdentifier();
  helper->setTerminationHandler([log = &log_, pid, alive = std::weak_ptr<uint32_t>(alive_)](int status) {
    const auto mirror = alive.lock();
    const uint32_t window = mirror ? *mirror : 0;
    log->log("Capture helper " + std::to_string(pid) + " exited status " + std::to_string(status) + " for window " +
             std::to_string(window));
  });
  captureHelper_ = std::move(helper);
  panel_->sharedPath = path;
  client_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::shm, .id = panel_->id, .path = path});
  log_.log("Out-of-process capture started for window " + number(windowID) + " pid " + std::to_string(pid));
}

void WindowMirror::stopHelper() {
  if (frameShm_) frameShm_->requestStop();
  if (helperRunning()) captureHelper_->terminate();
  captureHelper_.reset();
  if (frameShm_) {
    frameShm_->removeFile();
    frameShm_.reset();
  }
}

void WindowMirror::pauseCapture() {
  const bool log = panel_->isVisible || panel_->hasFrame || (frameShm_ && !frameShm_->paused());
  if (frameShm_) frameShm_->pause();
  panel_->isVisible = false;
  panel_->hasFrame = false;
  client_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::hide, .id = panel_->id});
  loggedRaise = false;
  if (log) log_.log("Paused capture for window " + number(windowID) + " (helper kept)");
}

void WindowMirror::attach(const OverlayWindow& overlay, bool seated) {
  MirrorPlate& plate = *panel_;
  if (!overlay.isVisible()) {
    plate.isVisible = false;
    plate.hasFrame = false;
    client_.send(MirrorHostCommand{.cmd = MirrorHostCommandKind::hide, .id = plate.id});
    return;
  }
  const bool raised = !plate.isVisible || plate.level != overlay.level();
  plate.level = overlay.level();
  plate.isVisible = true;
  if (raised || !seated) {
    client_.send(MirrorHostCommand{
        .cmd = MirrorHostCommandKind::attach, .id = plate.id, .above = overlay.windowNumber(), .level = plate.level});
  }
  if (!plate.exclusionResult || *plate.exclusionResult == 0) {
    loggedExclusionFailure = false;
    if (raised && !loggedRaise) {
      loggedRaise = true;
      const Rect& f = plate.frame;
      const Rect& c = plate.contentsCrop;
      log_.log(format("Raised hosted mirror %u level %d frame %.0fx%.0f origin %.0f,%.0f crop %.2f,%.2f %.2fx%.2f",
                      {windowID, plate.level, f.width(), f.height(), f.minX(), f.minY(), c.minX(), c.minY(),
                       c.width(), c.height()}));
    }
    return;
  }
  if (loggedExclusionFailure) return;
  loggedExclusionFailure = true;
  log_.log("Capture exclusion NOT confirmed for mirror " + number(windowID) + " (result " +
           std::to_string(*plate.exclusionResult) + ") \u2014 mirror stays hidden");
}

std::string WindowMirror::captureDiagnostics() const {
  const bool running = helperRunning();
  return "helper=" + std::string(running ? "1" : "0") +
         " helperPID=" + std::to_string(captureHelper_ ? captureHelper_->processIdentifier() : 0) +
         " seq=" + std::to_string(frameShm_ ? frameShm_->frameSequence() : 0) + " " + panel_->diagnostics() + " " +
         client_.diagnostics();
}

std::optional<std::vector<uint8_t>> WindowMirror::sourcePNG() {
  if (!frameShm_) return std::nullopt;
  const uint32_t width = frameShm_->width();
  const uint32_t height = frameShm_->height();
  if (width < ClearViewSharedFrame::MinSide || height < ClearViewSharedFrame::MinSide ||
      width > ClearViewSharedFrame::MaxWidth || height > ClearViewSharedFrame::MaxHeight) {
    return std::nullopt;
  }
  std::shared_ptr<PixelBuffer> buffer = samples_.makePixelBuffer(int(width), int(height));
  if (!buffer || !frameShm_->fill(*buffer)) return std::nullopt;
  return ClearViewFrames::png(*buffer);
}

}  // namespace corvane
