// The settings window's model: every card of the window, top to bottom, as plain values a toolkit
// shows, and the operations its controls perform. It draws nothing; any toolkit window (the
// simulated desktop's, a real one) sits over it.
//
// Every text goes through the localisation table with a fixed comment for the translators. Every
// control that edits a preference is bound to it through the lock rules: while the preference (or
// one that goes with it) is effectively locked by the organisation, the control is disabled and
// carries the caption "Managed by your organization", and the operation changes nothing.
//
// The first three cards double as the onboarding tour: while a step is current its card is
// highlighted and holds the callout with "Next" (or "Done") and "Skip tour".
//
// Threading: main thread. Work handed to others (the company-defaults push) holds the model
// through a liveness token.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "base/observable.h"
#include "settings/app_ref.h"

namespace corvane {

class Input;
class LoginServices;
class LogSink;
class Preferences;
class Processes;
class Workspace;

enum class OnboardingStep { protectedApps, whenYouShare, permissions };
inline constexpr std::array<OnboardingStep, 3> kOnboardingSteps = {
    OnboardingStep::protectedApps, OnboardingStep::whenYouShare, OnboardingStep::permissions};
std::string_view onboardingStepName(OnboardingStep step);

// What the window learns from the rest of the application.
struct SettingsStatus {
  std::function<std::optional<std::string>()> clearViewStatus;
  std::function<bool()> isAppSwitchGuardActive;
  // Called after a permission action.
  std::function<void()> permissionsChanged;
  // Asks for the permission the Command-Tab guard needs.
  std::function<void()> requestInputMonitoring;
  // Whether screen recording is granted to this copy; null where the platform asks for no such
  // permission (the row is then left out).
  std::function<bool()> screenRecordingGranted;
  std::function<void()> openScreenRecordingSettings;
  std::function<void()> relaunch;
};

// The organisation's server, for the company-defaults card (shown to a team administrator only).
struct CompanyDefaultsAccount {
  std::function<bool()> isTeamAdministrator;
  // Sends the settings document; `done` gets no error on success, else the error text.
  std::function<void(const nlohmann::json& document, std::function<void(std::optional<std::string> error)> done)> push;
};

// One element of a card.
struct SettingsItem {
  enum class Kind {
    heading,     // text: title, detail: subtitle, symbol: the logo
    text,        // text (muted when `muted`)
    banner,      // text with a symbol
    toggle,      // id: preference key; text: label; on
    slider,      // id: preference key; value within minimum ... maximum
    button,      // id: action; text: title
    appList,     // id: preference key; see the list members
    permission,  // id: permission; text: title; detail; on: granted; stateText; actionTitle (when missing)
    hotKey,      // text: what it does; detail: its keys
    callout,     // text: title; detail: message; stateText: step label; nextTitle, skipTitle
  };
  Kind kind = Kind::text;
  std::string id;
  std::string text;
  std::string detail;
  std::string symbol;
  bool muted = false;
  bool enabled = true;
  bool on = false;
  double value = 0;
  double minimum = 0;
  double maximum = 1;
  std::string minimumLabel;
  std::string maximumLabel;
  std::string stateText;
  std::string actionTitle;
  std::string secondaryTitle;  // a second button beside the action (permission rows)
  std::string nextTitle;
  std::string skipTitle;
  // Shown under a disabled control while its preference is locked.
  std::optional<std::string> lockedCaption;

  // Application lists.
  struct Suggestion {
    std::string id;  // the bundle identifier
    std::string title;
    std::string subtitle;
    std::string value;
  };
  struct Chip {
    AppRef app;
    bool selected = false;
  };
  std::vector<AppRef> apps;
  std::string emptyText;       // shown when `apps` is empty
  std::string helpText;
  std::optional<std::string> note;
  std::string addRunningTitle;
  std::vector<AppRef> runningChoices;
  std::string searchPlaceholder;
  std::string query;
  std::vector<Suggestion> suggestions;
  std::string suggestedTitle;
  std::vector<Chip> chips;
  bool compact = false;
};

struct SettingsCard {
  std::string id;
  // The scroll anchor of the card, when it has one.
  std::string anchor;
  std::string title;
  bool highlighted = false;
  std::vector<SettingsItem> items;
};

class SettingsViewModel {
 public:
  static constexpr size_t kSuggestionLimit = 8;
  static constexpr const char* kTopAnchor = "settings-top";

  struct Environment {
    Workspace& workspace;
    Processes& processes;
    LogSink& log;
    LoginServices* loginServices = nullptr;
    // Whether the share signal (the window server's screen-watcher flag) can be read.
    bool screenWatcherAvailable = false;
    // Whether the application's logo image exists (else a system symbol stands in).
    bool hasLogo = false;
  };

  SettingsViewModel(Preferences& preferences, SettingsStatus status, Environment environment,
                    CompanyDefaultsAccount account = {});
  ~SettingsViewModel();
  SettingsViewModel(const SettingsViewModel&) = delete;
  SettingsViewModel& operator=(const SettingsViewModel&) = delete;

  // The window's cards, top to bottom, for the state as it is now.
  std::vector<SettingsCard> cards() const;

  // ---- Onboarding ----------------------------------------------------------------------------
  std::optional<OnboardingStep> onboardingStep() const { return onboardingStep_; }
  // The window was shown: the tour starts when onboarding has not been completed, else the window
  // scrolls to the top.
  void windowDidShow();
  // To the next step; after the last one onboarding is completed. Nothing without a current step.
  void advanceOnboarding();
  void skipTour();
  // The anchor the window last asked to scroll to the top.
  const std::string& scrollAnchor() const { return scrollAnchor_; }

  // ---- Controls (false: refused, because the control is locked or unknown) ----------------------
  bool setToggle(std::string_view key, bool on);
  bool setSlider(std::string_view key, double value);
  bool addApp(std::string_view listKey, const AppRef& app);
  bool removeApp(std::string_view listKey, std::string_view bundleID);
  bool setQuery(std::string_view listKey, std::string query);
  // Adds the running application of this bundle identifier ("Add running app").
  bool addRunningApp(std::string_view listKey, std::string_view bundleID);
  // A suggested-tag chip: adds its application, or removes it when listed.
  bool toggleChip(std::string_view listKey, const AppRef& app);
  // A permission row's action (and its second button).
  bool performPermissionAction(std::string_view id, bool secondary = false);

  // ---- Company defaults ------------------------------------------------------------------------
  void pushCompanyDefaults();
  bool isPushing() const { return isPushing_; }
  const std::optional<std::string>& pushMessage() const { return pushMessage_; }

  // ---- Permissions -----------------------------------------------------------------------------
  // The application became active: the permission rows are evaluated again.
  void applicationDidBecomeActive();
  int64_t permissionsTick() const { return permissionsTick_; }

  // Told after every change of what the cards show (the model's own state, and every preference
  // change, one main-queue turn later).
  std::function<void()> onChange;

 private:
  bool isLocked(std::string_view key) const;
  std::optional<std::string> lockedCaption(std::initializer_list<std::string_view> keys) const;
  void setLaunchAtLogin(bool on);
  void changed();
  SettingsItem appList(std::string_view key) const;
  std::vector<AppRef> runningApps() const;
  std::string* queryFor(std::string_view listKey);

  Preferences& prefs_;
  SettingsStatus status_;
  Environment env_;
  CompanyDefaultsAccount account_;
  std::optional<OnboardingStep> onboardingStep_;
  std::optional<std::string> pushMessage_;
  bool isPushing_ = false;
  int64_t permissionsTick_ = 0;
  std::string scrollAnchor_;
  std::string protectedQuery_;
  std::string triggerQuery_;
  Subscription prefsSubscription_;
  // Last: work handed out checks it.
  std::shared_ptr<SettingsViewModel*> alive_;
};

}  // namespace corvane
