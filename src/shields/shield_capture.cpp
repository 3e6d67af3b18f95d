#include "shields/shield_capture.h"

#include <functional>

namespace corvane {

ShieldCapture::ShieldCapture(Dependencies deps, SharedFrameOwner owner, uint64_t number, std::string role,
                             Wording wording)
    : deps_(deps), owner_(owner), number_(number), role_(std::move(role)), wording_(std::move(wording)) {}

ShieldCapture::~ShieldCapture() { shutdown(); }

ShieldCapture::Start ShieldCapture::startIfNeeded(bool startPaused,
                                                  const std::function<void(ClearViewSharedFrame&)>& beforeLaunch) {
  if (isRunning()) return Start::running;
  const double now = deps_.clock.mediaTime();
  if (launchedOnce_ && now - lastStartAt_ < kRestartInterval) return Start::waiting;
  launchedOnce_ = true;
  lastStartAt_ = now;
  stopHelper();

  std::string error;
  const auto directory = sharedFrameDirectory(&error);
  if (directory) {
    const std::string path =
        *directory + "/" + sharedFrameFileName(owner_, deps_.processes.currentProcessIdentifier(), number_);
    frame_ = ClearViewSharedFrame::createForOwner(path, startPaused, &error);
  }
  if (!frame_) {
    deps_.log.log(wording_.fileFailure + (error.empty() ? "" : ": " + error));
    return Start::failed;
  }
  if (beforeLaunch) beforeLaunch(*frame_);
  LaunchRequest request;
  request.arguments = {role_, frame_->path()};
  child_ = deps_.processes.launchSelf(request);
  if (!child_) {
    deps_.log.log(wording_.launchFailure + "could not launch " + deps_.processes.executablePath());
    return Start::failed;
  }
  return Start::started;
}

void ShieldCapture::pause() {
  if (frame_) frame_->pause();
}

void ShieldCapture::stopHelper() {
  if (frame_) frame_->requestStop();
  if (child_ && child_->isRunning()) child_->terminate();
  child_.reset();
  if (frame_) {
    frame_->removeFile();
    frame_.reset();
  }
}

void ShieldCapture::shutdown() { stopHelper(); }

}  // namespace corvane
