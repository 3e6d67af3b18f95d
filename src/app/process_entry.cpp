#include "app/process_entry.h"

#include <csignal>
#include <cstdlib>
#include <optional>
#include <ostream>

#include "app/app_delegate.h"
#include "app/clear_view_qa.h"
#include "app/core_services.h"
#include "app/run_mode.h"
#include "base/dispatch.h"
#include "base/files.h"
#include "base/png.h"
#include "clearview/clear_view_log.h"
#include "mirrorhost/mirror_host_client.h"
#include "mirrorhost/mirror_host_runtime.h"
#include "clearview/capture_loops.h"
#include "lifecycle/safe_restart.h"
#include "lifecycle/single_instance.h"
#include "platform/application.h"
#include "platform/processes.h"
#include "platform/defaults_store.h"
#include "platform/window_server.h"
#include "settings/plist_defaults_store.h"
#include "settings/policy_file_watcher.h"
#include "settings/preferences.h"

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

// A stop asked for by SIGINT or SIGTERM; the main loop looks at it.
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void recordStopSignal(int signal) { stopSignal = signal; }

// How often the main loop looks for a stop signal.
constexpr double kSignalCheckInterval = 0.05;

// The single-instance guard: true when another copy holds the lock. When the lock cannot be taken
// for another reason the application runs anyway (a lone copy must not be kept from starting) and
// says so in the log.
bool anotherCopyRuns(std::unique_ptr<SingleInstanceLock>& held, LogSink& log) {
  std::string error;
  auto directory = userRuntimeDirectory(&error);
  if (directory) {
    SingleInstanceLock::Outcome outcome;
    held = SingleInstanceLock::acquire(*directory, std::string(applicationDomain), &outcome, &error);
    if (outcome == SingleInstanceLock::Outcome::heldByAnother) return true;
    if (outcome == SingleInstanceLock::Outcome::acquired) return false;
  }
  log.log("Corvane: cannot make sure that only one copy runs (" + error + "); starting anyway");
  return false;
}

int startMenuBarApplication(Backend& backend, Platform& platform) {
  std::unique_ptr<SingleInstanceLock> instanceLock;
  backend.runLive();
  // The user's own settings and the organisation's managed ones, in their standard places.
  auto defaults = PlistDefaultsStore::makeStandard(platform.systemLog, platform.clock);
  platform.defaults = defaults.get();
  // The shared preferences for the life of the application; the previous ones come back after.
  struct SharedPreferences {
    explicit SharedPreferences(std::unique_ptr<Preferences> p) : previous(Preferences::installShared(std::move(p))) {}
    ~SharedPreferences() { Preferences::installShared(std::move(previous)); }
    std::unique_ptr<Preferences> previous;
  } shared(std::make_unique<Preferences>(*defaults, platform.dispatcher, platform.systemLog));
  // Clear View lines go to the system log and the Clear View log file; the mirror host starts on
  // the first refresh that needs it.
  ClearViewLog clearViewLog(platform.systemLog, platform.clock, ClearViewLog::defaultPath());
  struct Installed {
    Installed(ClearViewLog& log, MirrorHostClient& client) {
      ClearViewLog::install(&log);
      MirrorHostClient::install(&client);
    }
    ~Installed() {
      MirrorHostClient::install(nullptr);
      ClearViewLog::install(nullptr);
    }
  };
  MirrorHostClient mirrorHost(platform.processes, platform.dispatcher, clearViewLog);
  Installed installed(clearViewLog, mirrorHost);
  {
    CoreServices services(platform, clearViewLog);
    AppDelegate delegate(AppDelegate::Dependencies{services, Preferences::shared(), SafeRestart::shared(),
                                                   [&] { return anotherCopyRuns(instanceLock, platform.systemLog); },
                                                   std::string(applicationDomain),
                                                   kApplicationVersion, PolicyFileWatcher::standardPath()});
    // A second copy leaves at once, quietly.
    if (!delegate.applicationDidFinishLaunching()) return 0;
    platform.systemLog.log("Corvane: running");

    stopSignal = 0;
    auto oldInterrupt = std::signal(SIGINT, recordStopSignal);
    auto oldTerminate = std::signal(SIGTERM, recordStopSignal);
    auto signalCheck = platform.dispatcher.makeTimer(platform.dispatcher.main(), [&] {
      const int received = stopSignal;
      if (!received) return;
      stopSignal = 0;
      platform.systemLog.log(std::string("Corvane: stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
      delegate.applicationWillTerminate();
      platform.application.terminate();
    });
    signalCheck->schedule(kSignalCheckInterval, kSignalCheckInterval);
    platform.application.run();
    signalCheck.reset();
    std::signal(SIGINT, oldInterrupt);
    std::signal(SIGTERM, oldTerminate);
  }
  platform.systemLog.log("Corvane: stopped");
  return 0;
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
      return ClearViewQA::run(mode.paths.at(0), mode.paths.at(1), mode.paths.at(2), out, err);
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
      backend->runLive();
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
      return startMenuBarApplication(*backend, platform);
  }
}

}  // namespace corvane
