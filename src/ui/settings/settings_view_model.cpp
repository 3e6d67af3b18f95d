#include "ui/settings/settings_view_model.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "base/format.h"
#include "base/localization.h"
#include "base/log.h"
#include "lifecycle/required_corvane.h"
#include "platform/processes.h"
#include "settings/company_policy.h"
#include "settings/preferences.h"
#include "settings/preset_tags.h"
#include "windows/conferencing.h"

namespace corvane {

namespace {

constexpr std::string_view kProtectedApps = "protectedApps";
constexpr std::string_view kTriggerApps = "triggerApps";

struct StepText {
  const char* title;
  const char* message;
};

// The keys a toggle edits: its own, and those that lock it with it.
struct ToggleBinding {
  std::string_view key;
  std::vector<std::string_view> extraKeys;
};

const std::vector<ToggleBinding>& toggleBindings() {
  static const std::vector<ToggleBinding> bindings = {
      {"autoDetectEnabled", {}}, {"blurDesktop", {}}, {"launchAtLogin", {"requireCorvane"}}};
  return bindings;
}

const ToggleBinding* toggleBinding(std::string_view key) {
  for (const auto& b : toggleBindings()) {
    if (b.key == key) return &b;
  }
  return nullptr;
}

SettingsItem textItem(std::string text, bool muted = false) {
  SettingsItem item;
  item.kind = SettingsItem::Kind::text;
  item.text = std::move(text);
  item.muted = muted;
  return item;
}

}  // namespace

std::string_view onboardingStepName(OnboardingStep step) {
  switch (step) {
    case OnboardingStep::protectedApps:
      return "protectedApps";
    case OnboardingStep::whenYouShare:
      return "whenYouShare";
    case OnboardingStep::permissions:
      return "permissions";
  }
  return "protectedApps";
}

SettingsViewModel::SettingsViewModel(Preferences& preferences, SettingsStatus status, Environment environment,
                                     CompanyDefaultsAccount account)
    : prefs_(preferences),
      status_(std::move(status)),
      env_(std::move(environment)),
      account_(std::move(account)),
      alive_(std::make_shared<SettingsViewModel*>(this)) {
  std::weak_ptr<SettingsViewModel*> weak = alive_;
  prefsSubscription_ = prefs_.subscribeWillChangeOnMain([weak] {
    auto alive = weak.lock();
    if (alive && *alive && (*alive)->onChange) (*alive)->onChange();
  });
}

SettingsViewModel::~SettingsViewModel() { *alive_ = nullptr; }

void SettingsViewModel::changed() {
  if (onChange) onChange();
}

bool SettingsViewModel::isLocked(std::string_view key) const { return prefs_.isEffectivelyLocked(key); }

std::optional<std::string> SettingsViewModel::lockedCaption(std::initializer_list<std::string_view> keys) const {
  for (std::string_view key : keys) {
    if (isLocked(key)) return localized("Managed by your organization", "Locked setting caption");
  }
  return std::nullopt;
}

// ---- Onboarding --------------------------------------------------------------------------------

void SettingsViewModel::windowDidShow() {
  if (!prefs_.hasCompletedOnboarding()) {
    onboardingStep_ = OnboardingStep::protectedApps;
    scrollAnchor_ = "onboarding-" + std::string(onboardingStepName(*onboardingStep_));
  } else {
    onboardingStep_.reset();
    scrollAnchor_ = kTopAnchor;
  }
  changed();
}

void SettingsViewModel::advanceOnboarding() {
  if (!onboardingStep_) return;
  auto it = std::find(kOnboardingSteps.begin(), kOnboardingSteps.end(), *onboardingStep_);
  if (it + 1 == kOnboardingSteps.end()) {
    prefs_.hasCompletedOnboarding.set(true);
    onboardingStep_.reset();
  } else {
    onboardingStep_ = *(it + 1);
    scrollAnchor_ = "onboarding-" + std::string(onboardingStepName(*onboardingStep_));
  }
  changed();
}

void SettingsViewModel::skipTour() {
  prefs_.hasCompletedOnboarding.set(true);
  onboardingStep_.reset();
  changed();
}

// ---- Controls ------------------------------------------------------------------------------------

bool SettingsViewModel::setToggle(std::string_view key, bool on) {
  const ToggleBinding* binding = toggleBinding(key);
  if (!binding || isLocked(key)) return false;
  for (auto extra : binding->extraKeys) {
    if (isLocked(extra)) return false;
  }
  if (key == "autoDetectEnabled") {
    prefs_.autoDetectEnabled.set(on);
  } else if (key == "blurDesktop") {
    prefs_.blurDesktop.set(on);
  } else {
    setLaunchAtLogin(on);
  }
  return true;
}

void SettingsViewModel::setLaunchAtLogin(bool on) {
  const bool before = prefs_.launchAtLogin();
  prefs_.launchAtLogin.set(on);
  if (LaunchAtLogin(env_.loginServices, env_.processes, env_.log).setEnabled(on)) return;
  // The registration failed, so the system still has the login item as it was: the toggle springs
  // back to that.
  prefs_.launchAtLogin.set(before);
}

bool SettingsViewModel::setSlider(std::string_view key, double value) {
  if (key != "blurIntensity" || isLocked(key) || !std::isfinite(value)) return false;
  prefs_.blurIntensity.set(std::clamp(value, 0.0, Preferences::maxBlurIntensity));
  return true;
}

std::string* SettingsViewModel::queryFor(std::string_view listKey) {
  if (listKey == kProtectedApps) return &protectedQuery_;
  if (listKey == kTriggerApps) return &triggerQuery_;
  return nullptr;
}

bool SettingsViewModel::addApp(std::string_view listKey, const AppRef& app) {
  if (!queryFor(listKey) || isLocked(listKey) || app.bundleID.empty()) return false;
  auto& property = listKey == kProtectedApps ? prefs_.protectedApps : prefs_.triggerApps;
  std::vector<AppRef> apps = property();
  if (std::any_of(apps.begin(), apps.end(), [&](const AppRef& a) { return a.bundleID == app.bundleID; })) return true;
  apps.push_back(app);
  property.set(std::move(apps));
  return true;
}

bool SettingsViewModel::removeApp(std::string_view listKey, std::string_view bundleID) {
  if (!queryFor(listKey) || isLocked(listKey)) return false;
  auto& property = listKey == kProtectedApps ? prefs_.protectedApps : prefs_.triggerApps;
  std::vector<AppRef> apps = property();
  const auto end = std::remove_if(apps.begin(), apps.end(), [&](const AppRef& a) { return a.bundleID == bundleID; });
  if (end == apps.end()) return false;
  apps.erase(end, apps.end());
  property.set(std::move(apps));
  return true;
}

bool SettingsViewModel::setQuery(std::string_view listKey, std::string query) {
  std::string* field = queryFor(listKey);
  if (!field || isLocked(listKey)) return false;
  *field = std::move(query);
  changed();
  return true;
}

bool SettingsViewModel::addRunningApp(std::string_view listKey, std::string_view bundleID) {
  for (const AppRef& app : runningApps()) {
    if (app.bundleID == bundleID) return addApp(listKey, app);
  }
  return false;
}

bool SettingsViewModel::toggleChip(std::string_view listKey, const AppRef& app) {
  if (!queryFor(listKey) || isLocked(listKey)) return false;
  const auto& apps = listKey == kProtectedApps ? prefs_.protectedApps() : prefs_.triggerApps();
  const bool listed = std::any_of(apps.begin(), apps.end(), [&](const AppRef& a) { return a.bundleID == app.bundleID; });
  return listed ? removeApp(listKey, app.bundleID) : addApp(listKey, app);
}

std::vector<AppRef> SettingsViewModel::runningApps() const { return PresetTags::runningApps(env_.workspace); }

bool SettingsViewModel::performPermissionAction(std::string_view id, bool secondary) {
  if (id == "inputMonitoring" && !secondary) {
    if (status_.requestInputMonitoring) status_.requestInputMonitoring();
    if (status_.permissionsChanged) status_.permissionsChanged();
    changed();
    return true;
  }
  if (id == "screenRecording" && status_.screenRecordingGranted) {
    auto& action = secondary ? status_.relaunch : status_.openScreenRecordingSettings;
    if (!action) return false;
    action();
    if (status_.permissionsChanged) status_.permissionsChanged();
    changed();
    return true;
  }
  return false;
}

// ---- Company defaults ------------------------------------------------------------------------------

void SettingsViewModel::pushCompanyDefaults() {
  if (isPushing_ || !account_.push || !account_.isTeamAdministrator || !account_.isTeamAdministrator()) return;
  isPushing_ = true;
  pushMessage_.reset();
  changed();
  std::weak_ptr<SettingsViewModel*> weak = alive_;
  account_.push(CompanyPolicy::snapshotForPush(prefs_), [weak](std::optional<std::string> error) {
    auto alive = weak.lock();
    if (!alive || !*alive) return;
    SettingsViewModel& model = **alive;
    model.isPushing_ = false;
    model.pushMessage_ = error ? *error
                               : localized("Pushed to your team. Lock any setting in the team portal to enforce it "
                                           "for everyone.",
                                           "Push settings success message");
    model.changed();
  });
}

void SettingsViewModel::applicationDidBecomeActive() {
  ++permissionsTick_;
  changed();
}

// ---- Cards ---------------------------------------------------------------------------------------

SettingsItem SettingsViewModel::appList(std::string_view key) const {
  const bool isProtected = key == kProtectedApps;
  const std::vector<AppRef>& apps = isProtected ? prefs_.protectedApps() : prefs_.triggerApps();
  const std::vector<AppRef>& presets = isProtected ? PresetTags::protectedAppPresets() : PresetTags::triggerAppPresets();
  SettingsItem item;
  item.kind = SettingsItem::Kind::appList;
  item.id = std::string(key);
  item.compact = !isProtected;
  item.lockedCaption = lockedCaption({key});
  item.enabled = !item.lockedCaption;
  item.apps = apps;
  item.emptyText = localized("None yet", "Placeholder when no apps are added");
  item.addRunningTitle = localized("Add running app", "Button that adds a running app");
  item.searchPlaceholder = localized("Search apps to add\u2026", "App search placeholder");
  item.suggestedTitle = localized("Suggested", "Title of the suggested apps");
  const std::vector<AppRef> running = runningApps();
  for (const AppRef& app : running) {
    if (std::none_of(apps.begin(), apps.end(), [&](const AppRef& a) { return a.bundleID == app.bundleID; })) {
      item.runningChoices.push_back(app);
    }
  }
  item.query = isProtected ? protectedQuery_ : triggerQuery_;
  for (const AppRef& app : PresetTags::suggestApps(item.query, presets, running, apps, kSuggestionLimit)) {
    item.suggestions.push_back({app.bundleID, app.name, app.bundleID, app.bundleID});
  }
  for (const AppRef& app : presets) {
    const bool selected =
        std::any_of(apps.begin(), apps.end(), [&](const AppRef& a) { return a.bundleID == app.bundleID; });
    item.chips.push_back({app, selected});
  }
  if (isProtected) {
    item.text = localized("Frost these apps", "Section title for protected apps");
    item.detail = localized("Their windows are frosted for the meeting while Privacy Mode is on. You keep seeing them "
                            "normally.",
                            "Protected apps subtitle");
    item.helpText = localized("Use the search field, Add running app, or Browse to pick apps whose windows should be "
                              "frosted.",
                              "Protected apps help");
    item.note = Conferencing::settingsNote(prefs_.protectedApps(), prefs_.triggerApps());
  } else {
    item.text = localized("Watch for", "Title of the trigger apps list");
    item.detail = localized("Conferencing apps that signal a call or share.", "Trigger apps subtitle");
  }
  return item;
}

std::vector<SettingsCard> SettingsViewModel::cards() const {
  std::vector<SettingsCard> cards;
  auto toggle = [&](std::string_view key, std::string label) {
    SettingsItem item;
    item.kind = SettingsItem::Kind::toggle;
    item.id = std::string(key);
    item.text = std::move(label);
    item.on = key == "autoDetectEnabled" ? prefs_.autoDetectEnabled()
              : key == "blurDesktop"     ? prefs_.blurDesktop()
                                         : prefs_.launchAtLogin();
    const ToggleBinding* binding = toggleBinding(key);
    for (auto k : binding->extraKeys) {
      if (!item.lockedCaption) item.lockedCaption = lockedCaption({k});
    }
    if (auto caption = lockedCaption({key})) item.lockedCaption = caption;
    item.enabled = !item.lockedCaption;
    return item;
  };
  auto callout = [&](OnboardingStep step) {
    static const StepText screenRecordingStep = {
        "One permission: Screen Recording",
        "macOS needs it so Corvane can show you the real window while the share gets frost. Input Monitoring is "
        "optional \u2014 it keeps \u2318Tab and Dock switches seamless."};
    const size_t index = size_t(std::find(kOnboardingSteps.begin(), kOnboardingSteps.end(), step) - kOnboardingSteps.begin());
    SettingsItem item;
    item.kind = SettingsItem::Kind::callout;
    item.id = "onboarding-" + std::string(onboardingStepName(step));
    item.symbol = "hand.point.right.fill";
    switch (step) {
      case OnboardingStep::protectedApps:
        item.text = localized("Start here: pick the apps to frost", "Onboarding step 1 title");
        item.detail = localized("Slack, Messages, 1Password \u2014 anything you'd rather a meeting didn't see. Teams "
                                "and Discord meeting windows always stay clear.",
                                "Onboarding step 1 message");
        break;
      case OnboardingStep::whenYouShare:
        item.text = localized("Corvane turns on by itself", "Onboarding step 2 title");
        item.detail = localized("When Zoom is running or a Teams/Discord call starts, Privacy Mode comes on. You see "
                                "your real apps; the meeting sees frost. Show one to the meeting any time with "
                                "\u2303\u2325\u2318R.",
                                "Onboarding step 2 message");
        break;
      case OnboardingStep::permissions:
        if (status_.screenRecordingGranted) {
          item.text = localized(screenRecordingStep.title, "Onboarding step 3 title");
          item.detail = localized(screenRecordingStep.message, "Onboarding step 3 message");
        } else {
          // This desktop lets Corvane see windows without asking: only the optional permission is left.
          item.text = localized("One optional permission: Input Monitoring", "Onboarding step 3 title without screen permission");
          item.detail = localized("Corvane needs no screen permission here. Input Monitoring is optional \u2014 it "
                                  "keeps \u2318Tab and Dock switches seamless.",
                                  "Onboarding step 3 message without screen permission");
        }
        break;
    }
    item.stateText = corvane::format(localized("Step %d of %d", "Onboarding step counter"),
                                     {FormatArg(int64_t(index + 1)), FormatArg(int64_t(kOnboardingSteps.size()))});
    item.nextTitle = index + 1 == kOnboardingSteps.size() ? localized("Done", "Onboarding finish button")
                                                          : localized("Next", "Onboarding next button");
    item.skipTitle = localized("Skip tour", "Skip onboarding button");
    return item;
  };
  auto stepCard = [&](OnboardingStep step, std::string id) {
    SettingsCard card;
    card.id = std::move(id);
    card.anchor = "onboarding-" + std::string(onboardingStepName(step));
    card.highlighted = onboardingStep_ == step;
    if (card.highlighted) card.items.push_back(callout(step));
    return card;
  };

  // 1. Header.
  {
    SettingsCard card;
    card.id = "header";
    card.anchor = kTopAnchor;
    SettingsItem heading;
    heading.kind = SettingsItem::Kind::heading;
    heading.symbol = env_.hasLogo ? "CorvaneLogo" : "eye.slash.circle.fill";
    heading.text = "Corvane";
    heading.detail = localized("Frost chosen apps while you share. You keep working; the meeting sees frost.",
                               "App description subtitle");
    card.items.push_back(std::move(heading));
    cards.push_back(std::move(card));
  }
  // 2. Managed settings.
  if (prefs_.hasManagedSettings()) {
    SettingsCard card;
    card.id = "managed";
    SettingsItem banner;
    banner.kind = SettingsItem::Kind::banner;
    banner.symbol = "lock.fill";
    banner.text = localized("Some settings are managed by your organization.", "Managed settings banner");
    card.items.push_back(std::move(banner));
    cards.push_back(std::move(card));
  }
  // 3. Company defaults, for a team administrator.
  if (account_.push && account_.isTeamAdministrator && account_.isTeamAdministrator()) {
    SettingsCard card;
    card.id = "companyDefaults";
    SettingsItem button;
    button.kind = SettingsItem::Kind::button;
    button.id = "pushCompanyDefaults";
    button.text = isPushing_ ? localized("Pushing company defaults", "Push settings in progress")
                             : localized("Use my settings as company defaults", "Push settings to team");
    button.enabled = !isPushing_;
    card.items.push_back(std::move(button));
    card.items.push_back(textItem(localized("Pushes everything on this Mac to the team as defaults. Lock individual "
                                            "settings in the team portal.",
                                            "Push settings hint"),
                                  true));
    if (pushMessage_) card.items.push_back(textItem(*pushMessage_));
    cards.push_back(std::move(card));
  }
  // 4. Protected applications.
  {
    SettingsCard card = stepCard(OnboardingStep::protectedApps, "protectedApps");
    SettingsItem list = appList(kProtectedApps);
    card.title = list.text;
    card.items.push_back(std::move(list));
    cards.push_back(std::move(card));
  }
  // 5. When you share.
  {
    SettingsCard card = stepCard(OnboardingStep::whenYouShare, "whenYouShare");
    card.title = localized("When you share", "Section title for automatic detection");
    card.items.push_back(toggle("autoDetectEnabled", localized("Turn on when a call or share starts",
                                                               "Auto-detect toggle")));
    card.items.push_back(textItem(
        env_.screenWatcherAvailable
            ? localized("Turns on the moment any app starts sharing or recording your screen, and off when it stops. "
                        "During a call in the apps below, Corvane stays ready. Off means you flip Privacy Mode "
                        "yourself \u2014 \u2303\u2325\u2318B or the menu bar icon.",
                        "Auto-detect description with the share signal")
            : localized("Zoom-style apps count while they're running; Teams and Discord when a call starts. Off "
                        "means you flip Privacy Mode yourself \u2014 \u2303\u2325\u2318B or the menu bar icon.",
                        "Auto-detect description without the share signal"),
        true));
    card.items.push_back(appList(kTriggerApps));
    SettingsItem clearView;
    clearView.kind = SettingsItem::Kind::banner;
    clearView.symbol = "eye.fill";
    clearView.text = localized("You see the real apps. Viewers see frost.", "Clear View statement title");
    clearView.detail = localized("Your screen stays as it is; only the share is frosted. When the meeting should see "
                                 "a protected app, use Show to meeting in the menu bar or press \u2303\u2325\u2318R on "
                                 "the front app. Peek (\u2303\u2325\u2318P) shows every protected app to viewers too.",
                                 "Clear View statement");
    card.items.push_back(std::move(clearView));
    if (status_.clearViewStatus) {
      if (auto line = status_.clearViewStatus(); line && !line->empty()) card.items.push_back(textItem(*line, true));
    }
    cards.push_back(std::move(card));
  }
  // 6. Permissions: what this copy needs on this desktop.
  {
    SettingsCard card = stepCard(OnboardingStep::permissions, "permissions");
    card.title = localized("Permissions", "Section title for permissions");
    const std::string grant = localized("Grant", "Grant permission button");
    if (status_.screenRecordingGranted) {
      SettingsItem row;
      row.kind = SettingsItem::Kind::permission;
      row.id = "screenRecording";
      row.text = localized("Screen Recording", "Screen Recording permission title");
      row.detail = localized("Required. Lets Corvane mirror the real window to you while the share gets frost. Until "
                             "it's granted to this copy, you see the frost too.",
                             "Screen Recording permission detail");
      row.on = status_.screenRecordingGranted();
      row.symbol = row.on ? "checkmark.circle.fill" : "";
      row.stateText = row.on ? localized("Granted", "Permission granted label")
                             : localized("Not granted to this copy", "Permission missing label");
      if (!row.on) row.actionTitle = grant;
      if (status_.relaunch) row.secondaryTitle = localized("Relaunch", "Relaunch button");
      card.items.push_back(std::move(row));
    }
    {
      SettingsItem row;
      row.kind = SettingsItem::Kind::permission;
      row.id = "inputMonitoring";
      row.text = localized("Input Monitoring", "Input Monitoring permission title");
      row.detail = localized("Optional. Lets the frost move before the Dock does, so \u2318Tab, Dock clicks and "
                             "window clicks never flash a protected app to the meeting.",
                             "Input Monitoring permission detail");
      row.on = status_.isAppSwitchGuardActive && status_.isAppSwitchGuardActive();
      row.symbol = row.on ? "checkmark.circle.fill" : "";
      row.stateText = row.on ? localized("On \u2014 \u2318Tab guard active", "Input Monitoring granted label")
                             : localized("Off \u2014 frost follows a beat later", "Input Monitoring missing label");
      if (!row.on) row.actionTitle = grant;
      card.items.push_back(std::move(row));
    }
    card.items.push_back(textItem(corvane::format(localized("This copy: %@", "Which Corvane binary is live"),
                                                  {FormatArg(env_.processes.executablePath())}),
                                  true));
    cards.push_back(std::move(card));
  }
  // 7. Also hide.
  {
    SettingsCard card;
    card.id = "alsoHide";
    card.title = localized("Also hide", "Section title for extra shields");
    card.items.push_back(toggle("blurDesktop", localized("Blur the desktop", "Desktop blur toggle")));
    card.items.push_back(textItem(localized("You see your desktop. A call or share sees frost. App windows stay clear "
                                            "unless they're protected.",
                                            "Desktop blur description"),
                                  true));
    cards.push_back(std::move(card));
  }
  // 8. Frost look.
  {
    SettingsCard card;
    card.id = "frostLook";
    card.title = localized("Frost look", "Section title for the frost strength");
    card.items.push_back(textItem(localized("How heavily protected windows are frosted for the meeting. Stronger is "
                                            "also a little darker.",
                                            "Frost strength description"),
                                  true));
    SettingsItem slider;
    slider.kind = SettingsItem::Kind::slider;
    slider.id = "blurIntensity";
    slider.text = card.title;
    slider.value = prefs_.blurIntensity();
    slider.minimum = 0;
    slider.maximum = Preferences::maxBlurIntensity;
    slider.minimumLabel = localized("Soft", "Frost strength slider minimum");
    slider.maximumLabel = localized("Strong", "Frost strength slider maximum");
    slider.lockedCaption = lockedCaption({"blurIntensity"});
    slider.enabled = !slider.lockedCaption;
    card.items.push_back(std::move(slider));
    cards.push_back(std::move(card));
  }
  // 9. This computer.
  {
    SettingsCard card;
    card.id = "thisMac";
    card.title = localized("This Mac", "Section title for this computer");
    card.items.push_back(toggle("launchAtLogin", localized("Open at login", "Launch at login toggle")));
    card.items.push_back(textItem(localized("Hotkeys", "Hotkeys disclosure title")));
    struct HotKeyRow {
      const char* label;
      const char* comment;
      const char* keys;
    };
    static const HotKeyRow rows[] = {
        {"Privacy Mode on / off", "Hotkey row: toggle Privacy Mode", "\u2303\u2325\u2318B"},
        {"Show / frost the front protected app", "Hotkey row: reveal the front app", "\u2303\u2325\u2318R"},
        {"Hold to peek \u2014 viewers see the apps too", "Hotkey row: peek", "\u2303\u2325\u2318P"},
        {"Blur Rect draw mode \u2014 drag to frost any area; again or Esc to leave", "Hotkey row: blur rect draw mode",
         "\u2318\u2318\u2318"},
        {"Clear all Blur Rects", "Hotkey row: clear blur rects", "\u2303\u2303\u2303"},
    };
    for (const auto& row : rows) {
      SettingsItem item;
      item.kind = SettingsItem::Kind::hotKey;
      item.text = localized(row.label, row.comment);
      item.detail = row.keys;
      card.items.push_back(std::move(item));
    }
    SettingsItem privacy;
    privacy.kind = SettingsItem::Kind::banner;
    privacy.symbol = "lock.shield.fill";
    privacy.text = localized("Your app lists and settings stay on this computer; nothing is sent anywhere unless your "
                             "organization manages Corvane.",
                             "Local privacy statement");
    card.items.push_back(std::move(privacy));
    cards.push_back(std::move(card));
  }
  return cards;
}

}  // namespace corvane
