#include "in_process_roles.h"

#include <unistd.h>

#include <memory>
#include <string>

#include "app/run_mode.h"
#include "clearview/capture_loops.h"
#include "mirrorhost/mirror_host_runtime.h"
#include "platform/processes.h"
#include "platform/sim/sim_desktop.h"

namespace corvane::simtool {

namespace {

class CaptureHelper final : public sim::InProcessHelper {
 public:
  CaptureHelper(sim::InProcessHelperContext context, CaptureLoopKind kind, WindowID windowID, const std::string& path)
      : context_(std::move(context)) {
    const int errorStream = context_.standardError;
    CaptureLoopHost host{context_.platform.windowServer,
                         context_.platform.dispatcher.main(),
                         context_.platform.clock,
                         context_.platform.processes.parentProcessIdentifier(),
                         [errorStream](const std::string& text) {
                           // Best effort, like a process writing to its standard error.
                           if (::write(errorStream, text.data(), text.size()) < 0) return;
                         },
                         context_.exit};
    loop_ = CaptureLoop::start(kind, windowID, path, std::move(host));
  }

 private:
  sim::InProcessHelperContext context_;
  std::unique_ptr<CaptureLoop> loop_;  // after the context it uses, so it goes first
};

// The role as the command line states it; nothing when the arguments do not start this role (as a
// real process would then start something else, an in-process launch then fails).
sim::InProcessRole captureRole(RunRole role, CaptureLoopKind kind) {
  return [role, kind](sim::InProcessHelperContext context) -> std::unique_ptr<sim::InProcessHelper> {
    std::vector<std::string> arguments{"corvane"};
    arguments.insert(arguments.end(), context.arguments.begin(), context.arguments.end());
    const RunMode mode = decideRunMode(arguments);
    if (mode.role != role) return nullptr;
    return std::make_unique<CaptureHelper>(std::move(context), kind, mode.windowID, mode.paths.at(0));
  };
}

class MirrorHostHelper final : public sim::InProcessHelper {
 public:
  MirrorHostHelper(sim::InProcessHelperContext context, LogSink& log) : context_(std::move(context)) {
    runtime_ = std::make_unique<MirrorHostRuntime>(context_.platform, log, context_.standardInput,
                                                   context_.standardOutput);
    runtime_->start([exit = context_.exit] { exit(0); }, MirrorHostRuntime::InputReading::polled);
  }

 private:
  sim::InProcessHelperContext context_;
  std::unique_ptr<MirrorHostRuntime> runtime_;  // after the context it uses, so it goes first
};

}  // namespace

void runMirrorHostInProcess(sim::SimDesktop& desktop, LogSink& log) {
  desktop.runInProcess("--mirror-host", [&log](sim::InProcessHelperContext context) -> std::unique_ptr<sim::InProcessHelper> {
    if (!context.platform.ui) return nullptr;
    return std::make_unique<MirrorHostHelper>(std::move(context), log);
  });
}

void runCaptureHelpersInProcess(sim::SimDesktop& desktop) {
  desktop.runInProcess("--capture-loop", captureRole(RunRole::captureLoop, CaptureLoopKind::window));
  desktop.runInProcess("--capture-desktop", captureRole(RunRole::captureDesktop, CaptureLoopKind::desktop));
  desktop.runInProcess("--capture-notifications",
                       captureRole(RunRole::captureNotifications, CaptureLoopKind::notifications));
}

}  // namespace corvane::simtool
