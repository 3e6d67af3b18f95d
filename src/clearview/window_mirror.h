// One protected window's mirror: a capture helper process that writes the window's frames into a
// shared frame file, and a plate in the mirror host that shows them directly above the window's
// frost overlay, in a window that no capture records. The share sees the frost; the user sees the
// real window.
//
// A mirror goes: created (plate created in the host, no helper) -> capturing (helper running, file
// unpaused, plate attached above the overlay) <-> paused (file paused, plate hidden, helper kept)
// -> stopped (helper ended, file removed, plate destroyed by the owner).
//
// A helper that died is started again by the next startIfNeeded(), but never sooner than 1.0 s
// after the dead one was started (a helper that dies at once must not be restarted at the refresh
// rate). A helper that could not be started is never tried again for this mirror: the owner makes a
// new mirror when it wants another attempt. Without a confirmed capture exclusion the host keeps
// the plate hidden and the user sees frost like everyone else.
//
// Every event worth knowing goes to the Clear View log; the lines are fixed texts with values
// inserted (see window_mirror.cpp).
//
// Threading: main thread. The helper's termination handler runs on the main queue and only logs.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/geometry.h"
#include "base/log.h"
#include "clearview/clear_view_shared_frame.h"
#include "clearview/raw_sample_factory.h"
#include "mirrorhost/mirror_host_client.h"
#include "platform/processes.h"

namespace corvane {

class OverlayWindow;

class WindowMirror {
 public:
  // Seconds a dead helper's successor waits, counted from the dead helper's start.
  static constexpr double restartGuard = 1.0;

  struct Dependencies {
    MirrorHostClient& client;
    Processes& processes;
    const Clock& clock;
    LogSink& log;  // the Clear View log
    // Where the shared frame files go; empty: the user's private runtime directory.
    std::string frameDirectory;
  };

  // Creates the plate (the host hears "create", and "size" when the expected size is wider and
  // higher than 1 point). No helper is started yet. The dependencies outlive the mirror.
  WindowMirror(const Dependencies& dependencies, uint32_t windowID, Size expectedPointSize);
  // Ends the helper and removes its file if the owner has not; destroys the plate.
  ~WindowMirror();
  WindowMirror(const WindowMirror&) = delete;
  WindowMirror& operator=(const WindowMirror&) = delete;

  // Starts, resumes or restarts the helper.
  void startIfNeeded();
  // Puts the plate directly above the overlay at the overlay's level, or hides it when the overlay
  // is not visible. `seated`: the window list already shows the plate directly above the overlay,
  // so a plate that is visible at the overlay's level needs no command.
  void attach(const OverlayWindow& overlay, bool seated = false);
  // Pauses the helper (it keeps running) and hides the plate.
  void pauseCapture();
  // Ends the helper and removes the shared frame file.
  void stopHelper();

  // "helper=1 helperPID=60001 seq=412 plate=3 win=812 exclusion=0 frames=120 host=1 pid=..."
  std::string captureDiagnostics() const;
  // The current frame as PNG; nothing without a file holding a frame within the limits.
  std::optional<std::vector<uint8_t>> sourcePNG();

  MirrorPlate& panel() { return *panel_; }
  const MirrorPlate& panel() const { return *panel_; }
  const ClearViewSharedFrame* frameShm() const { return frameShm_.get(); }
  const ChildProcess* captureHelper() const { return captureHelper_.get(); }

  const uint32_t windowID;
  bool stopped = false;
  bool startFailed = false;
  double lastHelperStartAt = 0;
  bool loggedExclusionFailure = false;
  bool loggedRaise = false;

 private:
  void spawnHelper();
  bool helperRunning() const { return captureHelper_ && captureHelper_->isRunning(); }

  MirrorHostClient& client_;
  Processes& processes_;
  const Clock& clock_;
  LogSink& log_;
  std::string frameDirectory_;
  RawSampleFactory samples_;
  std::unique_ptr<MirrorPlate> panel_;
  std::unique_ptr<ClearViewSharedFrame> frameShm_;
  std::unique_ptr<ChildProcess> captureHelper_;
  // The helper's termination handler reads the window number through this; 0 once the mirror is
  // gone. Declared last, so it goes first.
  std::shared_ptr<uint32_t> alive_;
};

}  // namespace corvane
