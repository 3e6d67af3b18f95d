// The desktop frost: while a share is detected and the user asks for it, the desktop picture and
// the icons on it are frosted for the share, by one frost window per screen just above the desktop
// icons and below every application window. The user still sees the real desktop: per display, a
// `--capture-desktop` helper composites the desktop windows into a shared frame file, and a plate in
// the mirror host, which no capture sees, shows it above the frost. During a framebuffer share the
// plates are hidden and everyone sees the frost.
//
// Turning off orders the frost out and pauses the mirrors but keeps them (and their helpers), so the
// next activation resumes at once; a mirror ends when its display goes or the manager does.
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/dispatch.h"
#include "base/geometry.h"
#include "base/log.h"
#include "mirrorhost/mirror_host_client.h"
#include "overlay/frosted_blur_view.h"
#include "platform/processes.h"
#include "platform/screens.h"
#include "platform/ui.h"
#include "platform/window_server.h"
#include "shields/shield_capture.h"

namespace corvane {

// The frost over one screen's desktop.
class DesktopBlurWindow final : public ui::Panel {
 public:
  DesktopBlurWindow(ui::UserInterface& ui, const Rect& screenFrame, int64_t level);
  FrostedBlurView& blur() { return *blur_; }

 private:
  FrostedBlurView* blur_;
};

// The user's view of one display's desktop, above its frost.
class DesktopScreenMirror {
 public:
  DesktopScreenMirror(DisplayID displayID, int64_t level, MirrorHostClient& host, ShieldCapture::Dependencies deps);
  ~DesktopScreenMirror();
  DesktopScreenMirror(const DesktopScreenMirror&) = delete;
  DesktopScreenMirror& operator=(const DesktopScreenMirror&) = delete;

  // Places and shows the plate over `frame` (screen space) and asks the helper for the windows over
  // `captureRect` (window-server space).
  void show(const Rect& frame, const Rect& captureRect, const std::vector<WindowID>& windowIDs);
  // Pauses the helper and hides the plate.
  void hide();
  void publish(const Rect& captureRect, const std::vector<WindowID>& windowIDs);
  void shutdown();

  const DisplayID displayID;
  const int64_t level;
  MirrorPlate& plate() { return plate_; }
  ShieldCapture& capture() { return capture_; }
  bool stopped() const { return stopped_; }
  bool exclusionUnconfirmed() const { return plate_.exclusionResult && *plate_.exclusionResult != 0; }

 private:
  MirrorHostClient& host_;
  LogSink& log_;
  MirrorPlate plate_;
  ShieldCapture capture_;
  bool loggedExclusionFailure_ = false;
  bool stopped_ = false;
};

class DesktopBlurManager {
 public:
  static constexpr int64_t kDesktopIconLevel = -2147483623;
  static constexpr int64_t kFrostLevel = kDesktopIconLevel + 1;
  static constexpr int64_t kMirrorLevel = kDesktopIconLevel + 2;
  static constexpr double kSourceRefreshInterval = 0.5;

  struct Dependencies {
    Dispatcher& dispatcher;
    WindowServer& windowServer;
    Screens& screens;
    Processes& processes;
    ui::UserInterface& ui;
    LogSink& log;  // the Clear View log
    // The mirror host's client; without one, the user sees the frost too.
    MirrorHostClient* mirrorHost = nullptr;
  };

  explicit DesktopBlurManager(Dependencies deps);
  ~DesktopBlurManager();
  DesktopBlurManager(const DesktopBlurManager&) = delete;
  DesktopBlurManager& operator=(const DesktopBlurManager&) = delete;

  void setActive(bool on);
  bool active() const { return active_; }
  void rebuild();

  double tintAlpha() const { return tintAlpha_; }
  void setTintAlpha(double alpha);
  double blurIntensity() const { return blurIntensity_; }
  void setBlurIntensity(double strength);
  bool mirrorsSuppressed() const { return mirrorsSuppressed_; }
  void setMirrorsSuppressed(bool suppressed);

  const std::vector<std::unique_ptr<DesktopBlurWindow>>& windows() const { return windows_; }
  const std::map<DisplayID, std::unique_ptr<DesktopScreenMirror>>& mirrors() const { return mirrors_; }

  // The desktop picture and the icons, lowest layer first: the helper's composite sources.
  std::vector<WindowID> desktopWindowIDs();

 private:
  void showMirrors();
  void refreshSourcesIfNeeded();
  void orderOutWindows();
  // The display's bounds in screen space for the plate, and in window-server space for the capture.
  Rect captureRect(DisplayID display);
  std::vector<Rect> screenFrames();

  Dependencies deps_;
  std::vector<std::unique_ptr<DesktopBlurWindow>> windows_;
  std::map<DisplayID, std::unique_ptr<DesktopScreenMirror>> mirrors_;
  bool active_ = false;
  std::vector<Rect> lastScreenFrames_;
  double lastSourceRefresh_ = 0;
  double tintAlpha_ = 0.3;
  double blurIntensity_ = 0.5;
  bool mirrorsSuppressed_ = false;
};

}  // namespace corvane
