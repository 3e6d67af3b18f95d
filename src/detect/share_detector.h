// Decides, several times a second, whether the screen is being shared or recorded (isSharing) and
// whether a share is likely to start soon because a call is going on (isReady).
//
// Sources: the window server's screen-watcher flag and the system's sharing picker
// (ScreenCaptureSignal), the windows of a framebuffer share of the Zoom client (FramebufferShare,
// throttled and shared with the privacy controller), call audio of hub applications and the
// microphone (CallAudioDetector), and the user's trigger applications, with the meeting-window
// classifier (HubCallSource) for hub applications, which count only while a call is visible or
// call audio has lasted a second.
//
// Timing: a poll every 0.25 seconds while started; while isReady holds, a 60 Hz timer (leeway
// 0.004 s) also watches the watcher flag and, until a share is seen, the windows of a framebuffer
// share, so that a share starting during a call is seen within a display frame. isSharing turns false only in a poll at least 2 seconds after the last signal,
// so a flickering signal does not switch Privacy Mode on and off.
//
// Without the watcher flag (no private window-server interface) a call in a trigger application
// stands in for a share, isReady stays false and the fast timer never runs.
//
// Callbacks run synchronously from start(), stop(), poll() and the fast timer; a callback may
// stop, restart or destroy the detector, and the pass that called it then ends at once.
//
// Threading: main thread; the timers run on the dispatcher's main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/dispatch.h"
#include "detect/call_audio_detector.h"
#include "detect/framebuffer_share.h"
#include "detect/hub_call_source.h"
#include "detect/screen_capture_signal.h"
#include "platform/workspace.h"

namespace corvane {

class ShareDetector {
 public:
  // Every source outlives the detector.
  struct Sources {
    Workspace& workspace;
    ScreenCaptureSignal& screenCapture;
    FramebufferShare& framebufferShare;
    CallAudioDetector& callAudio;
    HubCallSource& classifier;
  };

  static constexpr double kPollInterval = 0.25;
  static constexpr double kFastInterval = 1.0 / 60.0;
  static constexpr double kFastLeeway = 0.004;
  // How long call audio without visual evidence must last before a hub application counts as in a
  // call.
  static constexpr double audioConfirm = 1.0;
  // How long the share signal must be absent before isSharing turns false.
  static constexpr double releaseDelay = 2.0;

  ShareDetector(Dispatcher& dispatcher, Sources sources);
  // Stops the timers and the classifier's watch without calling onChange or onReadyChange.
  ~ShareDetector();
  ShareDetector(const ShareDetector&) = delete;
  ShareDetector& operator=(const ShareDetector&) = delete;

  // Called with the new value when isSharing (onChange) or isReady (onReadyChange) changes.
  std::function<void(bool)> onChange;
  std::function<void(bool)> onReadyChange;
  // Bookkeeping for the privacy controller, which sets it together with start() and stop(); only
  // the triggerBundleIDs setter reads it.
  bool enabled = false;

  // Bundle identifiers of the trigger applications, in the user's order. Setting them while
  // enabled renews the classifier's watch and polls.
  const std::vector<std::string>& triggerBundleIDs() const { return triggerBundleIDs_; }
  void setTriggerBundleIDs(std::vector<std::string> bundleIDs);

  // stop(), then the 0.25-second poll timer, the classifier's watch of the trigger applications
  // (each change polls), and one poll at once.
  void start();
  // Drops the timers, the audio-only timestamps and the last signal time, ends the classifier's
  // watch, turns isReady false (calling onReadyChange) and, when sharing, isSharing false
  // (calling onChange(false)).
  void stop();
  // One detection pass. Does nothing while stopped, so that a late call cannot leave the detector
  // reporting a share (or running its fast timer) with nothing left to end it.
  void poll();

  bool isSharing() const { return isSharing_; }
  bool isReady() const { return isReady_; }
  // Media time of the last share signal seen (0 after stop()).
  double lastShareSignalAt() const { return lastShareSignalAt_; }
  bool isRunning() const { return timer_ != nullptr; }
  bool fastTimerActive() const { return fastTimer_ != nullptr; }

 private:
  bool triggerAppInCall();
  // Each returns false when a callback it called destroyed, stopped or restarted the detector;
  // the caller must then return at once without touching any member.
  bool setReady(bool ready);
  bool updateSharing(bool signal);
  bool notify(const std::function<void(bool)>& callback, bool value);
  void fastTick();
  void endClassifierWatch();
  std::function<void()> pollWhileAlive();

  Dispatcher& dispatcher_;
  const Clock& clock_;
  Sources sources_;
  std::vector<std::string> triggerBundleIDs_;
  bool isSharing_ = false;
  bool isReady_ = false;
  std::unique_ptr<Timer> timer_;
  std::unique_ptr<Timer> fastTimer_;
  // Per hub application: media time at which call audio without a visible call was first seen.
  // (Media time rather than the wall clock, so that a clock change cannot delay or hasten the
  // confirmation.)
  std::map<std::string, double> audioOnlySince_;
  double lastShareSignalAt_ = 0;
  // Changes on every start() and stop(), so that a pass can tell that a callback did either.
  uint64_t generation_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // last: callbacks check it
};

}  // namespace corvane
