// The simulated desktop's shares: the helpers that put on screen what each kind of share or
// recording shows the platform, so that detection can be driven as a user would.
#include <algorithm>

#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_private_window_server.h"

namespace corvane::sim {

namespace {

constexpr const char* kControlCenter = "Control Center";
constexpr const char* kPickerTitle = "SharedContentPickerPanel";
constexpr const char* kCaptureHost = "CptHost";
constexpr const char* kToolbarTitle = "zoom share toolbar window";
constexpr const char* kStatusBarTitle = "zoom share statusbar window";
constexpr const char* kChooserTitle = "Select a window or an application that you want to share";

// The first running application with this name; launches one (accessory, a fresh pid) when none.
pid_t runningOrLaunched(SimDesktop& desktop, const std::string& name, const std::string& bundleID) {
  for (const auto& app : desktop.apps()) {
    if (!app.terminated && app.name == name) return app.pid;
  }
  SimApp app;
  app.bundleID = bundleID;
  app.name = name;
  app.policy = ActivationPolicy::accessory;
  return desktop.launchApp(std::move(app));
}

// A window centred horizontally on the main display, `top` points below its top edge.
Rect centredOnTop(SimDesktop& desktop, double width, double height, double top) {
  const auto displays = desktop.displays();
  const double displayWidth = displays.empty() ? 1512 : displays.front().frame.width();
  return Rect(std::max(0.0, (displayWidth - width) / 2), top, width, height);
}

WindowID addShareWindow(SimDesktop& desktop, pid_t owner, Rect bounds, int64_t level, const char* title,
                        double alpha = 1.0) {
  SimWindow w;
  w.ownerPID = owner;
  w.bounds = bounds;
  w.level = level;
  w.alpha = alpha;
  w.title = SimTitle::of(title);
  w.sharingState = WindowSharingState::none;
  return desktop.addWindow(std::move(w));
}

void closeWindowsWhere(SimDesktop& desktop, const auto& matches) {
  for (const auto& w : desktop.windows()) {
    if (matches(w)) desktop.closeWindow(w.number);
  }
}

bool titled(const SimWindow& w, std::string_view prefix) {
  return w.title.kind == SimTitle::Kind::string && w.title.text.starts_with(prefix);
}

}  // namespace

void SimDesktop::startScreenWatcherShare() { privateWindowServer().setScreenWatcherPresent(true); }

void SimDesktop::stopScreenWatcherShare() { privateWindowServer().setScreenWatcherPresent(false); }

WindowID SimDesktop::openSharePicker() {
  const pid_t pid = runningOrLaunched(*this, kControlCenter, "com.apple.controlcenter");
  return addShareWindow(*this, pid, centredOnTop(*this, 640, 420, 160), Level::modalPanel, kPickerTitle);
}

void SimDesktop::closeSharePicker() {
  closeWindowsWhere(*this, [this](const SimWindow& w) {
    auto owner = app(w.ownerPID);
    return owner && owner->name == kControlCenter && titled(w, "SharedContentPicker");
  });
}

SimDesktop::ZoomShareWindows SimDesktop::startZoomFramebufferShare(pid_t zoomPID) {
  ZoomShareWindows share;
  share.captureHostPID = runningOrLaunched(*this, kCaptureHost, "us.zoom.CptHost");
  const auto all = displays();
  const Rect screen = all.empty() ? Rect(0, 0, 1512, 982) : all.front().frame;
  // The capture host's window covers the display but draws nothing.
  share.captureHost = addShareWindow(*this, share.captureHostPID, screen, Level::floating, "", 0.0);
  share.toolbar = addShareWindow(*this, zoomPID, centredOnTop(*this, 420, 52, 30), Level::floating, kToolbarTitle);
  share.statusBar = addShareWindow(*this, zoomPID, centredOnTop(*this, 280, 28, 86), Level::floating, kStatusBarTitle);
  return share;
}

void SimDesktop::stopZoomFramebufferShare(pid_t zoomPID) {
  closeWindowsWhere(*this, [zoomPID](const SimWindow& w) {
    return w.ownerPID == zoomPID && (titled(w, kToolbarTitle) || titled(w, kStatusBarTitle));
  });
  for (const auto& a : apps()) {
    if (!a.terminated && a.name == kCaptureHost) quitApp(a.pid);
  }
}

bool SimDesktop::shareInProgress() const {
  if (privateWindowServer().screenWatcherPresent()) return true;
  for (const auto& w : windows()) {
    if (!w.onScreen || w.minimised || w.appHidden) continue;
    auto owner = app(w.ownerPID);
    if (owner && !owner->terminated && owner->name == kCaptureHost) return true;
  }
  return false;
}

WindowID SimDesktop::openZoomShareChooser(pid_t zoomPID) {
  return addShareWindow(*this, zoomPID, centredOnTop(*this, 900, 620, 120), Level::normal, kChooserTitle);
}

}  // namespace corvane::sim
