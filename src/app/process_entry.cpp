#include "app/process_entry.h"

#include <cstdlib>
#include <optional>
#include <ostream>

#include "app/run_mode.h"
#include "base/dispatch.h"
#include "base/files.h"
#include "base/png.h"
#include "clearview/clear_view_log.h"
#include "mirrorhost/mirror_host_runtime.h"
#include "clearview/capture_loops.h"
#include "platform/application.h"
#include "platform/processes.h"
#include "platform/window_server.h"

namespace corvane {

namespace {

constexpr double kDisplayStreamTimeout = 8.0;

[[noreturn]] void runLoopExitedUnexpectedly(std::ostream& err) {
  err << "Fatal error: Run loop exited unexpectedly" << std::endl;
  std::abort();
}

// Encodes and writes a PNG, reporting failures with the probe's own messages.
bool storePNG(const PixelBuffer& image, const std::string& path, const std::string& failurePrefix,
              std::ostream& err) {
  std::string error;
  auto bytes = encodePNG(image, &error);
  if (!bytes) {
    err << "Could not encode PNG" << std::endl;
    return false;
  }
  if (!writeFileBytes(*bytes, path, &error)) {
    err << failurePrefix << error << std::endl;
    return false;
  }
  return true;
}

int startMenuBarApplication(Platform& platform) {
  platform.application.setActivationPolicy(ActivationPolicy::accessory);
  platform.application.run();
  return 0;
}

int helperRoleMissing(RunRole role, std::ostream& err) {
  err << "corvane: the " << roleFlag(role) << " role is not available in this build" << std::endl;
  return 1;
}

}  // namespace

int runCaptureWindowProbe(Platform& platform, uint32_t windowID, const std::string& path,
                          std::ostream& out, std::ostream& err) {
  auto image = platform.windowServer.createWindowImage(
      Rect::null(), windowID, WindowImageOption::boundsIgnoreFraming | WindowImageOption::bestResolution);
  if (!image || image->isEmpty()) {
    err << "CGWindowListCreateImage failed for window " << windowID << std::endl;
    return 1;
  }
  if (!storePNG(*image, path, "Backing-store probe failed: ", err)) return 1;
  out << "backing " << image->width << "x" << image->height << "\n" << std::flush;
  return 0;
}

int runDisplayStreamProbe(Platform& platform, const std::string& path, std::ostream& /*out*/, std::ostream& err) {
  std::optional<int> status;
  auto finish = [&](int code) {
    if (status) return;
    status = code;
    platform.application.terminate();
  };
  DispatchQueue& main = platform.dispatcher.main();
  TaskHandle timeout = main.asyncAfter(kDisplayStreamTimeout, [&] {
    err << "Legacy display stream: no frame within 8 s" << std::endl;
    finish(1);
  });
  main.async([&] {
    auto frame = platform.windowServer.captureDisplay(platform.windowServer.mainDisplayID());
    if (!frame) {
      err << "CGDisplayStreamStart failed (Screen Recording permission?)" << std::endl;
    } else if (frame->isEmpty()) {
      err << "Legacy display stream: could not read frame" << std::endl;
    } else if (storePNG(*frame, path, "Legacy display stream probe failed: ", err)) {
      timeout.cancel();
      finish(0);
      return;
    }
    timeout.cancel();
    finish(1);
  });
  platform.application.run();
  if (!status) runLoopExitedUnexpectedly(err);
  return *status;
}

int runProcessEntry(const std::vector<std::string>& arguments, const BackendFactory& makeBackend,
                    std::ostream& out, std::ostream& err) {
  RunMode mode = decideRunMode(arguments);

  // Probes that need no window server answer before a backend is made.
  switch (mode.role) {
    case RunRole::captureSCKWindow:
      err << "SCK window probe requires macOS 14 or newer" << std::endl;
      return 1;
    case RunRole::captureDisplay:
      err << "ScreenCaptureKit probe requires macOS 14 or newer" << std::endl;
      return 1;
    case RunRole::qaComposite:
      return helperRoleMissing(mode.role, err);
    case RunRole::mirrorHost:
    case RunRole::captureDesktop:
    case RunRole::captureNotifications:
    case RunRole::captureLoop:
    case RunRole::captureWindow:
    case RunRole::captureDisplayStream:
    case RunRole::menuBarApp:
      break;
  }

  std::string error;
  std::unique_ptr<Backend> backend = makeBackend ? makeBackend(&error) : nullptr;
  if (!backend) {
    err << (error.empty() ? "corvane: no backend available" : error) << std::endl;
    return 1;
  }
  Platform platform = backend->platform();
  switch (mode.role) {
    case RunRole::mirrorHost: {
      // A helper serving the application over its standard input and output, in real time.
      backend->followRealTime();
      StderrLog helperLog;
      ClearViewLog clearViewLog(helperLog, platform.clock, ClearViewLog::defaultPath());
      return MirrorHostRuntime::run(platform, clearViewLog, helperLog);
    }
    case RunRole::captureWindow:
      return runCaptureWindowProbe(platform, mode.windowID, mode.paths.at(0), out, err);
    case RunRole::captureDisplayStream:
      return runDisplayStreamProbe(platform, mode.paths.at(0), out, err);
    case RunRole::captureLoop:
      return runCaptureLoopProcess(CaptureLoopKind::window, mode.windowID, mode.paths.at(0), platform.windowServer,
                                   platform.processes.parentProcessIdentifier(), err);
    case RunRole::captureDesktop:
      return runCaptureLoopProcess(CaptureLoopKind::desktop, 0, mode.paths.at(0), platform.windowServer,
                                   platform.processes.parentProcessIdentifier(), err);
    case RunRole::captureNotifications:
      return runCaptureLoopProcess(CaptureLoopKind::notifications, 0, mode.paths.at(0), platform.windowServer,
                                   platform.processes.parentProcessIdentifier(), err);
    default:
      return startMenuBarApplication(platform);
  }
}

}  // namespace corvane
