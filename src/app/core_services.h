// The process-wide services the application's parts share, built once over the platform at start:
// the window queries and the meeting-window classifier, the title-bar measurement, the window
// server's geometry, and the share signals (the throttled framebuffer scan is shared by the share
// detector and the privacy controller).
//
// Threading: main thread.
#pragma once

#include <memory>
#include <string>

#include "base/log.h"
#include "clearview/window_server_geometry.h"
#include "detect/call_audio_detector.h"
#include "detect/classifier_hub_call_source.h"
#include "detect/framebuffer_share.h"
#include "detect/screen_capture_signal.h"
#include "overlay/overlay_follower.h"
#include "platform/platform.h"
#include "windows/meeting_window_classifier.h"
#include "windows/title_bar_chrome.h"
#include "windows/window_tracker.h"

namespace corvane {

class CoreServices {
 public:
  // `clearViewLog` receives the Clear View lines; it outlives the services.
  CoreServices(const Platform& platform, LogSink& clearViewLog);
  CoreServices(const CoreServices&) = delete;
  CoreServices& operator=(const CoreServices&) = delete;

  // A geometry follower over the window server's geometry, reading the pointer through the input
  // port and logging to the Clear View log; `debugUnlocks` logs each sample that breaks a lock.
  std::unique_ptr<OverlayFollower> makeGeometryFollower(bool debugUnlocks);

  Platform platform;
  LogSink& clearViewLog;
  // Where Clear View's shared frame files go; empty: the user's private runtime directory.
  std::string sharedFrameDirectory;
  WindowTracker tracker;
  MeetingWindowClassifier classifier;
  TitleBarChrome titleBarChrome;
  WindowServerGeometry geometry;
  FramebufferShare framebufferShare;
  ScreenCaptureSignal screenCapture;
  CallAudioDetector callAudio;
  ClassifierHubCallSource hubCallSource;
};

}  // namespace corvane
