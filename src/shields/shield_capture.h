// One capture helper process and the shared frame file it writes, as a desktop mirror or a
// notification guard keeps them.
//
// The owner asks for a helper whenever it wants frames; a helper that runs is left alone, and a new
// one is launched at most once per kRestartInterval (a helper that keeps dying never turns into a
// launch loop). Each launch makes the file afresh, after telling the previous helper to stop and
// ending it. Shutting down stops the helper, ends it and removes the file.
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/clock.h"
#include "base/log.h"
#include "clearview/clear_view_shared_frame.h"
#include "platform/processes.h"

namespace corvane {

class ShieldCapture {
 public:
  static constexpr double kRestartInterval = 1.0;

  struct Dependencies {
    Processes& processes;
    const Clock& clock;
    LogSink& log;  // the Clear View log
  };
  // What the owner's log lines call its file and its helper.
  struct Wording {
    std::string fileFailure;    // "Could not create desktop capture shm for display 2"
    std::string launchFailure;  // "Desktop capture helper failed to start: "
  };

  // `role` is the helper's command-line flag; the file is named after `owner` and `number`.
  ShieldCapture(Dependencies deps, SharedFrameOwner owner, uint64_t number, std::string role, Wording wording);
  // Shuts down.
  ~ShieldCapture();
  ShieldCapture(const ShieldCapture&) = delete;
  ShieldCapture& operator=(const ShieldCapture&) = delete;

  enum class Start { running, waiting, failed, started };
  // Launches a helper unless one runs or the last launch was less than kRestartInterval ago.
  // `beforeLaunch` runs on the new file before the helper starts (to publish its first request).
  // `started` means a new file and helper: the owner hands the file to its plate.
  Start startIfNeeded(bool startPaused, const std::function<void(ClearViewSharedFrame&)>& beforeLaunch = {});

  bool isRunning() const { return child_ && child_->isRunning(); }
  ClearViewSharedFrame* frame() const { return frame_.get(); }
  double lastStartAt() const { return lastStartAt_; }
  // Sets the file's paused flag (when there is a file).
  void pause();
  // Stops and ends the helper, removes the file. Further calls to startIfNeeded may start again.
  void shutdown();

 private:
  void stopHelper();

  Dependencies deps_;
  SharedFrameOwner owner_;
  uint64_t number_;
  std::string role_;
  Wording wording_;
  std::unique_ptr<ClearViewSharedFrame> frame_;
  std::unique_ptr<ChildProcess> child_;
  bool launchedOnce_ = false;
  double lastStartAt_ = 0;
};

}  // namespace corvane
