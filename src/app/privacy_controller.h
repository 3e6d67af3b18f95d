// The privacy controller: Privacy Mode's state machine and everything that keeps the shields in
// step with it.
//
// Privacy Mode is switched by hand (menu, hot key), at start-up, or automatically by share
// detection; a manual override is respected by automatic switching until the share it belongs to
// ends. While Privacy Mode is on, a 0.1 s timer and most pointer events refresh the shields, and a
// session event tap watches Command-Tab so that overlays are prepared before the application
// switcher activates another application. Peeking lifts the shields for a moment without leaving
// Privacy Mode.
//
// Where the window server notifies window changes, a change of another process's window (closed,
// moved, resized, minimised or hidden, reordered, another level, opacity or sharing type) also
// refreshes the shields while they are in force, on the next turn of the main queue (one refresh
// for a burst of notices): a hole cut in the frost for a window in front would otherwise show the
// protected window behind it until the timer's next refresh, for up to six frames of the share.
//
// Threading: main thread. Callbacks handed out hold the controller through a liveness token and
// do nothing once it is gone.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core_services.h"
#include "app/hot_key_manager.h"
#include "base/observable.h"
#include "detect/share_detector.h"
#include "overlay/overlay_manager.h"
#include "platform/input.h"
#include "settings/app_ref.h"
#include "shields/desktop_blur_manager.h"
#include "shields/notification_shield.h"
#include "shields/blur_rect_manager.h"

namespace corvane {

class Preferences;
struct WindowNotice;

class PrivacyController {
 public:
  static constexpr double kRefreshInterval = 0.1;
  // Left and right button down and up, mouse moved, left dragged, other button down and up.
  static constexpr uint64_t kPointerEventMask = 0x600007E;
  // Left mouse down, key down, flags changed.
  static constexpr uint64_t kTapEventMask = 0x1402;
  static constexpr uint32_t kHotKeyModifiers = HotKeyModifier::command | HotKeyModifier::option | HotKeyModifier::control;
  static constexpr const char* kGuardOffLine = "Cmd+Tab guard off \u2014 Input Monitoring not granted to this copy";
  static constexpr const char* kInputMonitoringURL =
      "x-apple.systempreferences:com.apple.preference.security?Privacy_ListenEvent";
  static constexpr const char* kInputMonitoringFallbackURL =
      "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?Privacy_ListenEvent";

  // The services and the preferences outlive the controller. Without input the controller runs
  // without the Command-Tab guard, hot keys and pointer refreshes; without a user interface, without
  // overlays; it says so in the system log.
  PrivacyController(CoreServices& services, Preferences& preferences);
  ~PrivacyController();
  PrivacyController(const PrivacyController&) = delete;
  PrivacyController& operator=(const PrivacyController&) = delete;

  // Wires everything; once, after onStateChange is set.
  void start();

  // Manual and start-up switching.
  void setPrivacy(bool on, bool isManual);
  // Automatic switching.
  void setPrivacy(bool on) { setPrivacy(on, false); }
  // Toggles Privacy Mode, or first covers again what is revealed.
  void togglePrivacy();
  void peekTemporarily(double seconds);
  void handleDetection(bool sharing);
  // Whether the frontmost application is `app` or of its hub family.
  bool isFrontmostProtectedApp(const AppRef& app);
  // Asks for the permission the Command-Tab guard needs; opens the settings page when not granted.
  static void requestInputMonitoringPermission(Input& input, Workspace& workspace);

  // Brings every shield in line with the state.
  void refresh();
  // Installs or removes the Command-Tab guard's event tap as the permissions and settings allow.
  void syncAppSwitcherTap();

  bool isPrivacyActive() const { return isPrivacyActive_; }
  bool isPeeking() const { return isPeeking_; }
  std::optional<bool> manualOverrideActive() const { return manualOverrideActive_; }
  bool shieldsInForce() const { return isPrivacyActive_ && !isPeeking_; }
  bool isRefreshing() const { return refreshTimer_ != nullptr; }
  bool hasKeyEventTap() const { return keyEventTap_ != nullptr; }
  bool appSwitcherArmed() const { return appSwitcherArmed_; }

  Preferences& prefs() const { return prefs_; }
  OverlayManager& overlays() { return *overlays_; }
  BlurRectManager& blurRects() { return *blurRects_; }
  ShareDetector& detector() { return *detector_; }
  HotKeyManager& hotkeys() { return *hotkeys_; }
  DesktopBlurManager& desktopBlur() { return *desktopBlur_; }
  NotificationShield& notificationShield() { return *notificationShield_; }

  // Called after every visible state change.
  std::function<void()> onStateChange;

 private:
  void apply(bool on);
  void notifyStateChange();
  void configureFromPreferences();
  void applyBlurRectAppearance();
  void startRefreshing();
  void stopRefreshing();
  void stopAppSwitchGuard();
  bool installKeyEventTap();
  std::optional<InputEvent> handleTapEvent(uint32_t type, const InputEvent& event);
  void handleGlobalKeyEvent(const InputEvent& event);
  void handleGlobalPointerEvent(const InputEvent& event);
  void handlePointerDown(Point location);
  void setPeeking(bool peeking);
  bool framebufferShareCheck(const WindowTracker::Snapshot& snapshot);
  // Registers for the window server's window notifications, when it offers them.
  void observeWindowChanges();
  void windowChanged(const WindowNotice& notice);
  // Runs `work` on a later turn of the main queue while the controller lives.
  void onMain(std::function<void(PrivacyController&)> work);

  // Stand-ins for the facilities the platform lacks; first, so they outlive everything using them.
  struct Fallbacks {
    explicit Fallbacks(const Platform& platform);
    std::unique_ptr<Input> input;
    std::unique_ptr<ui::UserInterface> ui;
  } fallbacks_;
  CoreServices& services_;
  Preferences& prefs_;
  Input& input_;
  LogSink& log_;
  std::unique_ptr<OverlayManager> overlays_;
  std::unique_ptr<BlurRectManager> blurRects_;
  std::unique_ptr<ShareDetector> detector_;
  std::unique_ptr<HotKeyManager> hotkeys_;
  std::unique_ptr<DesktopBlurManager> desktopBlur_;
  std::unique_ptr<NotificationShield> notificationShield_;
  std::unique_ptr<Timer> refreshTimer_;
  std::unique_ptr<EventMonitor> globalMouseMonitor_;
  std::unique_ptr<EventMonitor> localMouseMonitor_;
  std::unique_ptr<EventTap> keyEventTap_;
  bool appSwitcherArmed_ = false;
  std::vector<Subscription> cancellables_;
  std::optional<bool> manualOverrideActive_;
  bool autoDetectWasOn_ = false;
  bool isPrivacyActive_ = false;
  bool isPeeking_ = false;
  bool didLogGuardOff_ = false;
  bool started_ = false;
  // A refresh for window notices is queued on the main queue.
  bool noticeRefreshPending_ = false;
  // Last: every callback handed out checks it.
  std::shared_ptr<PrivacyController*> alive_;
};

// The tint alpha every shield gets for a blur strength: 0.15 + 0.35 x min(strength, 1), and 0.15
// for a strength of 0 or less.
double tintAlphaForStrength(double strength);

}  // namespace corvane
