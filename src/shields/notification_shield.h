// The notification shield: while Privacy Mode is on, every banner of the notification process is
// frosted for the share the moment it shows, and the user still reads it through a mirror plate
// that no capture sees.
//
// Discovery (when turned on, then at most once a second) finds the windows of the notification
// process at or above the Dock level and at least 200 x 200 points, and keeps one guard per window.
// A 120 Hz tick reads each guarded window alone: on screen, its guard covers it; otherwise the guard
// takes its frost down. A guard's first frost is generous (the right-most 420 points of the window
// below the menu bar); a `--capture-notifications` helper then reports where the banner really
// draws, the frost narrows to that band (grown by 12 points, and 40 more downwards for the stack),
// and half a second after the banner appeared shrinks to the union of what was reported. The
// helper's composite of the banner shows on a plate above the frost, for the user only.
//
// Rectangles named "window-server" have their origin at the top-left of the main display, y down;
// windows and points of the program are in screen space (origin bottom-left, y up).
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/dispatch.h"
#include "base/geometry.h"
#include "base/log.h"
#include "mirrorhost/mirror_host_client.h"
#include "overlay/frosted_blur_view.h"
#include "platform/processes.h"
#include "platform/screens.h"
#include "platform/ui.h"
#include "platform/window_server.h"
#include "platform/workspace.h"
#include "shields/shield_capture.h"

namespace corvane {

// The frost over one banner window: full strength, at least 0.6 dark, rounded like a banner.
class NotificationFrostWindow final : public ui::Panel {
 public:
  static constexpr double kMinimumTint = 0.6;
  static constexpr double kCornerRadius = 18;

  NotificationFrostWindow(ui::UserInterface& ui, int64_t level);
  FrostedBlurView& blur() { return *blur_; }
  double tintAlpha() const { return tintAlpha_; }
  // Re-colours the tint with max(alpha, kMinimumTint).
  void setTintAlpha(double alpha);

 private:
  FrostedBlurView* blur_;
  double tintAlpha_ = 0.3;
};

class NotificationShield;

// Guards one window of the notification process.
class NotificationGuard {
 public:
  NotificationGuard(NotificationShield& shield, WindowID windowID, int64_t layer);
  ~NotificationGuard();
  NotificationGuard(const NotificationGuard&) = delete;
  NotificationGuard& operator=(const NotificationGuard&) = delete;

  // The window is on screen at `windowBounds` (window-server space).
  void cover(const Rect& windowBounds);
  // Takes the frost and the plate down; keeps the helper (paused) for the next showing.
  void conceal();
  void syncPlate();
  // The pointer went down on the right end of the menu bar: covers the whole column again.
  void widenToColumn();
  void shutdown();
  std::string diagnostics() const;

  const WindowID windowID;
  const int64_t plateLevel;
  NotificationFrostWindow& frost() { return *frost_; }
  MirrorPlate* plate() { return plate_.get(); }
  const Rect& covered() const { return covered_; }
  const Rect& drawn() const { return drawn_; }
  bool showing() const { return showing_; }
  bool plateShown() const { return plateShown_; }
  bool settled() const { return settled_; }
  int shows() const { return shows_; }
  ShieldCapture& capture() { return capture_; }
  bool mirrorAllowed = true;

 private:
  void apply(const Rect& rect);
  void publishRequest();
  void startHelperIfNeeded();
  // `covered` in screen space.
  Rect screenRect(const Rect& windowServerRect) const;

  NotificationShield& shield_;
  std::unique_ptr<NotificationFrostWindow> frost_;
  std::unique_ptr<MirrorPlate> plate_;
  ShieldCapture capture_;
  Rect covered_ = Rect::null();
  Rect drawn_ = Rect::null();
  Rect column_ = Rect::null();
  double shownAt_ = 0;
  bool shaped_ = false;
  bool settled_ = false;
  uint32_t lastContentSequence_ = 0;
  bool showing_ = false;
  bool plateShown_ = false;
  bool loggedExclusionFailure_ = false;
  int shows_ = 0;
  bool stopped_ = false;
};

class NotificationShield {
 public:
  static constexpr double kColumnWidth = 420;
  static constexpr double kPadding = 12;
  static constexpr double kStackPadding = 40;
  static constexpr double kTickInterval = 1.0 / 120;
  static constexpr double kDiscoveryInterval = 1.0;
  static constexpr double kSettleSeconds = 0.5;
  static constexpr double kMinimumSide = 200;
  static constexpr double kMenuBarClickWidth = 240;
  static constexpr int64_t kDockLevel = 20;
  static constexpr const char* kNotificationBundleID = "com.apple.notificationcenterui";

  struct Dependencies {
    Dispatcher& dispatcher;
    WindowServer& windowServer;
    Workspace& workspace;
    Screens& screens;
    Processes& processes;
    ui::UserInterface& ui;
    LogSink& log;  // the Clear View log
    // The mirror host's client; without one, banners stay frosted for the user too.
    MirrorHostClient* mirrorHost = nullptr;
  };

  explicit NotificationShield(Dependencies deps);
  ~NotificationShield();
  NotificationShield(const NotificationShield&) = delete;
  NotificationShield& operator=(const NotificationShield&) = delete;

  void setActive(bool on);
  bool active() const { return active_; }
  // A pointer-down at `p` (screen space).
  void pointerDown(Point p);
  void shutdown();

  double tintAlpha() const { return tintAlpha_; }
  void setTintAlpha(double alpha);
  bool mirrorsSuppressed() const { return mirrorsSuppressed_; }
  void setMirrorsSuppressed(bool suppressed);

  const std::map<WindowID, std::unique_ptr<NotificationGuard>>& guardians() const { return guardians_; }
  void tick();
  void discover();

  // The part of `bounds` (window-server space) where a banner may draw: what lies below the menu
  // bar of the screen it is on.
  Rect bannerArea(const Rect& bounds);
  // The right-most kColumnWidth points of `area`.
  static Rect column(const Rect& area);
  double mainDisplayHeight();

 private:
  friend class NotificationGuard;
  void startTimer();
  std::optional<Rect> onScreenBounds(WindowID window);

  Dependencies deps_;
  double tintAlpha_ = 0.3;
  bool mirrorsSuppressed_ = false;
  std::map<WindowID, std::unique_ptr<NotificationGuard>> guardians_;
  std::unique_ptr<Timer> timer_;
  double lastDiscovery_ = 0;
  bool active_ = false;
  std::shared_ptr<NotificationShield*> alive_ = std::make_shared<NotificationShield*>(this);
};

}  // namespace corvane
