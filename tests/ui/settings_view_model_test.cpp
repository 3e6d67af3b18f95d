// The settings window's model, without pixels: cards and texts, the lock rules, the application
// lists, the tour, the login item, the permission rows and the company-defaults push.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "base/localization.h"
#include "base/virtual_dispatcher.h"
#include "platform/application.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_login_services.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"
#include "ui/settings/settings_view_model.h"
#include "ui/settings/settings_window.h"

namespace corvane {
namespace {

class SettingsViewModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [pid, bundleID, name] : {std::tuple<pid_t, const char*, const char*>{601, "com.tinyspeck.slackmacgap", "Slack"},
                                              {602, "com.example.ledger", "Ledger"}}) {
      sim::SimApp app;
      app.pid = pid;
      app.bundleID = bundleID;
      app.name = name;
      desktop.launchApp(app);
    }
    status.isAppSwitchGuardActive = [this] { return guardActive; };
    status.permissionsChanged = [this] { ++permissionsChanged; };
    status.requestInputMonitoring = [this] { guardActive = true; };
  }

  SettingsViewModel& model(CompanyDefaultsAccount account = {}) {
    model_ = std::make_unique<SettingsViewModel>(
        prefs, status,
        SettingsViewModel::Environment{desktop.workspace(), desktop.processes(), desktop.systemLog(),
                                       &desktop.loginServices(), true, false},
        std::move(account));
    model_->onChange = [this] { ++changes; };
    return *model_;
  }

  const SettingsItem* item(std::string_view id) {
    cards_ = model_->cards();
    for (const auto& card : cards_) {
      for (const auto& i : card.items) {
        if (i.id == id) return &i;
      }
    }
    return nullptr;
  }

  void lock(std::set<std::string> keys) { prefs.setPolicyMeta(1, {}, std::move(keys), "{}"); }

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  MemoryDefaultsStore defaults;
  Preferences prefs{defaults, dispatcher, desktop.systemLog()};
  SettingsStatus status;
  bool guardActive = false;
  int permissionsChanged = 0;
  int changes = 0;
  std::unique_ptr<SettingsViewModel> model_;
  std::vector<SettingsCard> cards_;
};

std::vector<std::string> cardIDs(const std::vector<SettingsCard>& cards) {
  std::vector<std::string> ids;
  for (const auto& c : cards) ids.push_back(c.id);
  return ids;
}

TEST_F(SettingsViewModelTest, CardsComeInOrderWithTheirTextsAndTranslatorComments) {
  localizationRegistry().clear();
  auto& m = model();
  EXPECT_EQ(cardIDs(m.cards()), (std::vector<std::string>{"header", "protectedApps", "whenYouShare", "permissions",
                                                           "alsoHide", "frostLook", "thisMac"}));
  // Managed settings add the banner second; a team administrator sees the company-defaults card.
  lock({"blurTint"});
  CompanyDefaultsAccount admin{[] { return true; }, [](const nlohmann::json&, auto) {}};
  EXPECT_EQ(cardIDs(model(admin).cards()),
            (std::vector<std::string>{"header", "managed", "companyDefaults", "protectedApps", "whenYouShare",
                                      "permissions", "alsoHide", "frostLook", "thisMac"}));
  model_->windowDidShow();
  model_->cards();
  const std::pair<const char*, const char*> texts[] = {
      {"Frost chosen apps while you share. You keep working; the meeting sees frost.", "App description subtitle"},
      {"Some settings are managed by your organization.", "Managed settings banner"},
      {"Use my settings as company defaults", "Push settings to team"},
      {"Frost these apps", "Section title for protected apps"},
      {"None yet", "Placeholder when no apps are added"},
      {"Search apps to add\u2026", "App search placeholder"},
      {"Step %d of %d", "Onboarding step counter"},
      {"Next", "Onboarding next button"},
      {"Skip tour", "Skip onboarding button"},
      {"This copy: %@", "Which Corvane binary is live"},
  };
  for (const auto& [text, comment] : texts) EXPECT_TRUE(localizationRegistry().contains(text, comment)) << text;
  for (const auto& [key, comment] : localizationRegistry().entries()) EXPECT_FALSE(comment.empty()) << key;

  // The hot key list.
  std::vector<std::string> keys;
  const std::vector<SettingsCard> all = model_->cards();
  for (const auto& i : all.back().items) {
    if (i.kind == SettingsItem::Kind::hotKey) keys.push_back(i.detail);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"\u2303\u2325\u2318B", "\u2303\u2325\u2318R", "\u2303\u2325\u2318P",
                                            "\u2318\u2318\u2318", "\u2303\u2303\u2303"}));
}

TEST_F(SettingsViewModelTest, LockedControlsAreDisabledCaptionedAndRefuseChanges) {
  struct Case {
    std::set<std::string> locked;
    bool requireCorvane;
    std::string control;
    std::function<bool(SettingsViewModel&)> operate;
    std::function<std::string()> value;
  };
  const std::vector<Case> cases = {
      {{"autoDetectEnabled"}, false, "autoDetectEnabled", [](auto& m) { return m.setToggle("autoDetectEnabled", false); },
       [this] { return prefs.snapshot("autoDetectEnabled"); }},
      {{"blurDesktop"}, false, "blurDesktop", [](auto& m) { return m.setToggle("blurDesktop", true); },
       [this] { return prefs.snapshot("blurDesktop"); }},
      {{"blurIntensity"}, false, "blurIntensity", [](auto& m) { return m.setSlider("blurIntensity", 0.9); },
       [this] { return prefs.snapshot("blurIntensity"); }},
      {{"launchAtLogin"}, false, "launchAtLogin", [](auto& m) { return m.setToggle("launchAtLogin", true); },
       [this] { return prefs.snapshot("launchAtLogin"); }},
      // Required by the organisation: the login item goes with it.
      {{}, true, "launchAtLogin", [](auto& m) { return m.setToggle("launchAtLogin", true); },
       [this] { return prefs.snapshot("launchAtLogin"); }},
      {{"requireCorvane"}, false, "launchAtLogin", [](auto& m) { return m.setToggle("launchAtLogin", true); },
       [this] { return prefs.snapshot("launchAtLogin"); }},
      {{"protectedApps"}, false, "protectedApps",
       [](auto& m) { return m.addApp("protectedApps", AppRef{"com.apple.mail", "Mail"}); },
       [this] { return prefs.snapshot("protectedApps"); }},
      {{"triggerApps"}, false, "triggerApps", [](auto& m) { return m.removeApp("triggerApps", "us.zoom.xos"); },
       [this] { return prefs.snapshot("triggerApps"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.control + (c.requireCorvane ? " (required)" : ""));
    lock(c.locked);
    prefs.applyingPolicy = true;
    prefs.requireCorvane.set(c.requireCorvane);
    prefs.launchAtLogin.set(false);
    prefs.applyingPolicy = false;
    auto& m = model();
    const SettingsItem* control = item(c.control);
    ASSERT_NE(control, nullptr);
    EXPECT_FALSE(control->enabled);
    EXPECT_EQ(control->lockedCaption.value_or(""), "Managed by your organization");
    const std::string before = c.value();
    EXPECT_FALSE(c.operate(m));
    EXPECT_EQ(c.value(), before);
    // Unlocked, the same control works.
    lock({});
    prefs.applyingPolicy = true;
    prefs.requireCorvane.set(false);
    prefs.applyingPolicy = false;
    EXPECT_TRUE(item(c.control)->enabled);
    EXPECT_FALSE(item(c.control)->lockedCaption);
    EXPECT_TRUE(c.operate(m));
    EXPECT_NE(c.value(), before);
  }
}

TEST_F(SettingsViewModelTest, ApplicationsAreAddedOnceFromEveryWayAndRemoved) {
  auto& m = model();
  const AppRef slack{"com.tinyspeck.slackmacgap", "Slack"};
  // Search: presets first, then running applications, never one already listed, at most 8.
  EXPECT_TRUE(m.setQuery("protectedApps", "  LEDG "));
  ASSERT_EQ(item("protectedApps")->suggestions.size(), 1u);
  EXPECT_EQ(item("protectedApps")->suggestions[0].title, "Ledger");
  EXPECT_EQ(item("protectedApps")->suggestions[0].subtitle, "com.example.ledger");
  m.setQuery("protectedApps", "");
  EXPECT_EQ(item("protectedApps")->suggestions.size(), SettingsViewModel::kSuggestionLimit);

  const std::vector<std::pair<std::string, std::function<bool()>>> ways = {
      {"suggestion", [&] { return m.addApp("protectedApps", slack); }},
      {"running app", [&] { return m.addRunningApp("protectedApps", slack.bundleID); }},
  };
  ASSERT_TRUE(m.addApp("protectedApps", slack));
  for (const auto& [way, add] : ways) {
    SCOPED_TRACE(way);
    add();
    EXPECT_EQ(prefs.protectedApps(), std::vector<AppRef>{slack});
  }
  const SettingsItem* list = item("protectedApps");
  EXPECT_TRUE(std::none_of(list->suggestions.begin(), list->suggestions.end(),
                           [&](const auto& s) { return s.id == slack.bundleID; }));
  EXPECT_TRUE(std::none_of(list->runningChoices.begin(), list->runningChoices.end(),
                           [&](const auto& a) { return a.bundleID == slack.bundleID; }));
  EXPECT_TRUE(list->chips.front().selected) << "the Slack chip shows it is listed";

  EXPECT_TRUE(m.toggleChip("protectedApps", slack));
  EXPECT_TRUE(prefs.protectedApps().empty());
  EXPECT_EQ(item("protectedApps")->emptyText, "None yet");
  EXPECT_TRUE(m.addRunningApp("protectedApps", "com.example.ledger"));
  EXPECT_EQ(prefs.protectedApps(), (std::vector<AppRef>{{"com.example.ledger", "Ledger"}}));
  EXPECT_FALSE(m.addRunningApp("protectedApps", "com.example.not-running"));
  EXPECT_TRUE(m.removeApp("protectedApps", "com.example.ledger"));
  EXPECT_FALSE(m.removeApp("protectedApps", "com.example.ledger")) << "nothing left to remove";
  EXPECT_FALSE(m.addApp("unknownList", slack));
}

TEST_F(SettingsViewModelTest, TourWalksThreeStepsAndEndsForGood) {
  auto& m = model();
  m.advanceOnboarding();
  EXPECT_FALSE(m.onboardingStep()) << "no tour before the window shows";
  m.windowDidShow();
  const std::pair<OnboardingStep, const char*> steps[] = {{OnboardingStep::protectedApps, "Step 1 of 3"},
                                                          {OnboardingStep::whenYouShare, "Step 2 of 3"},
                                                          {OnboardingStep::permissions, "Step 3 of 3"}};
  for (const auto& [step, label] : steps) {
    ASSERT_EQ(m.onboardingStep(), step);
    const std::string anchor = "onboarding-" + std::string(onboardingStepName(step));
    EXPECT_EQ(m.scrollAnchor(), anchor);
    int highlighted = 0;
    for (const auto& card : m.cards()) {
      if (!card.highlighted) continue;
      ++highlighted;
      EXPECT_EQ(card.anchor, anchor);
      ASSERT_EQ(card.items.front().kind, SettingsItem::Kind::callout);
      EXPECT_EQ(card.items.front().stateText, label);
      EXPECT_EQ(card.items.front().nextTitle, step == OnboardingStep::permissions ? "Done" : "Next");
    }
    EXPECT_EQ(highlighted, 1);
    EXPECT_FALSE(prefs.hasCompletedOnboarding());
    m.advanceOnboarding();
  }
  EXPECT_FALSE(m.onboardingStep());
  EXPECT_TRUE(prefs.hasCompletedOnboarding());
  // Reopened: the top, no callout.
  m.windowDidShow();
  EXPECT_EQ(m.scrollAnchor(), SettingsViewModel::kTopAnchor);
  for (const auto& card : m.cards()) EXPECT_FALSE(card.highlighted);

  // Skipping ends it at once, from any step.
  prefs.hasCompletedOnboarding.set(false);
  m.windowDidShow();
  m.advanceOnboarding();
  m.skipTour();
  EXPECT_FALSE(m.onboardingStep());
  EXPECT_TRUE(prefs.hasCompletedOnboarding());
}

TEST_F(SettingsViewModelTest, FailingLoginItemLeavesTheToggleAtTheSystemsState) {
  auto& m = model();
  desktop.loginServices().setFailure("the service manager said no");
  EXPECT_TRUE(m.setToggle("launchAtLogin", true));
  EXPECT_FALSE(prefs.launchAtLogin());
  EXPECT_FALSE(item("launchAtLogin")->on);
  EXPECT_FALSE(desktop.loginServices().loginItem());
  desktop.loginServices().setFailure("");
  EXPECT_TRUE(m.setToggle("launchAtLogin", true));
  EXPECT_TRUE(prefs.launchAtLogin());
  EXPECT_TRUE(desktop.loginServices().loginItem());
}

TEST_F(SettingsViewModelTest, PermissionRowsFollowTheGrantsAndAreEvaluatedAgainOnReturn) {
  auto& m = model();
  EXPECT_EQ(item("screenRecording"), nullptr) << "this desktop asks for no screen permission";
  const SettingsItem* row = item("inputMonitoring");
  ASSERT_NE(row, nullptr);
  EXPECT_FALSE(row->on);
  EXPECT_EQ(row->stateText, "Off \u2014 frost follows a beat later");
  EXPECT_FALSE(row->actionTitle.empty());
  EXPECT_TRUE(m.performPermissionAction("inputMonitoring"));
  EXPECT_EQ(permissionsChanged, 1);
  row = item("inputMonitoring");
  EXPECT_TRUE(row->on);
  EXPECT_EQ(row->stateText, "On \u2014 \u2318Tab guard active");
  EXPECT_TRUE(row->actionTitle.empty());

  // Where the platform has the screen permission, its row comes first, with its action.
  bool granted = false;
  int opened = 0;
  status.screenRecordingGranted = [&] { return granted; };
  status.openScreenRecordingSettings = [&] { ++opened; };
  auto& m2 = model();
  ASSERT_NE(item("screenRecording"), nullptr);
  EXPECT_EQ(item("screenRecording")->stateText, "Not granted to this copy");
  EXPECT_TRUE(m2.performPermissionAction("screenRecording"));
  EXPECT_EQ(opened, 1);
  EXPECT_FALSE(m2.performPermissionAction("screenRecording", true)) << "no relaunch here";
  granted = true;
  const int before = changes;
  m2.applicationDidBecomeActive();
  EXPECT_EQ(m2.permissionsTick(), 1);
  EXPECT_GT(changes, before);
  EXPECT_EQ(item("screenRecording")->stateText, "Granted");
}

TEST_F(SettingsViewModelTest, CompanyDefaultsArePushedAndTheOutcomeShown) {
  nlohmann::json sent;
  std::function<void(std::optional<std::string>)> finish;
  bool admin = false;
  CompanyDefaultsAccount account{[&] { return admin; }, [&](const nlohmann::json& doc, auto done) {
                                   sent = doc;
                                   finish = std::move(done);
                                 }};
  auto& m = model(account);
  m.pushCompanyDefaults();
  EXPECT_TRUE(sent.is_null()) << "only a team administrator pushes";
  admin = true;
  prefs.protectedApps.set({{"com.tinyspeck.slackmacgap", "Slack"}});
  m.pushCompanyDefaults();
  ASSERT_TRUE(finish);
  EXPECT_TRUE(m.isPushing());
  EXPECT_EQ(sent["protectedApps"][0]["windowsId"], "slack");
  EXPECT_FALSE(sent.contains("requireCorvane"));
  EXPECT_EQ(item("pushCompanyDefaults")->text, "Pushing company defaults");
  EXPECT_FALSE(item("pushCompanyDefaults")->enabled);
  finish(std::string("The team server answered 503."));
  EXPECT_FALSE(m.isPushing());
  EXPECT_EQ(m.pushMessage(), "The team server answered 503.");
  m.pushCompanyDefaults();
  finish(std::nullopt);
  EXPECT_EQ(m.pushMessage().value_or("").rfind("Pushed to your team.", 0), 0u);
  // A reply after the window is gone does nothing.
  m.pushCompanyDefaults();
  model_.reset();
  finish(std::nullopt);
}

TEST_F(SettingsViewModelTest, FormInputsReachTheModelThroughTheirControls) {
  auto& m = model();
  m.windowDidShow();
  const ui::Form form = SettingsWindow::formFor(m.cards(), m.scrollAnchor());
  EXPECT_EQ(form.scrollAnchor, "onboarding-protectedApps");
  auto find = [&](ui::FormControl::Kind kind, const std::string& text) -> std::string {
    for (const auto& s : form.sections) {
      for (const auto& c : s.controls) {
        if (c.kind == kind && c.text == text) return c.id;
      }
    }
    ADD_FAILURE() << "no control " << text;
    return {};
  };
  struct Step {
    std::string id;
    ui::FormInput input;
    std::function<bool()> effect;
  };
  using K = ui::FormControl::Kind;
  using I = ui::FormInput;
  auto input = [](I::Kind kind, bool on = false, double value = 0, std::string text = {}) {
    I i;
    i.kind = kind;
    i.on = on;
    i.value = value;
    i.text = std::move(text);
    return i;
  };
  const std::vector<Step> steps = {
      {find(K::toggle, "Blur the desktop"), input(I::Kind::setOn, true), [&] { return prefs.blurDesktop(); }},
      {find(K::slider, "Frost look"), input(I::Kind::setValue, false, 0.8), [&] { return prefs.blurIntensity() == 0.8; }},
      {find(K::chip, "Slack"), input(I::Kind::press), [&] { return prefs.protectedApps().size() == 1; }},
      {find(K::menu, "Add running app"), input(I::Kind::choose, false, 0, "Ledger"),
       [&] { return prefs.protectedApps().size() == 2; }},
      {find(K::button, "Next"), input(I::Kind::press), [&] { return m.onboardingStep() == OnboardingStep::whenYouShare; }},
      {find(K::button, "Skip tour"), input(I::Kind::press), [&] { return prefs.hasCompletedOnboarding(); }},
  };
  // The mapping is the window's; drive it through a window over a recording form window.
  class RecordingForm final : public ui::FormWindow {
   public:
    void setForm(ui::Form f) override { form_ = std::move(f); }
    const ui::Form& form() const override { return form_; }
    void present() override { visible_ = true; }
    void close() override { visible_ = false; }
    bool isVisible() const override { return visible_; }
    int64_t windowNumber() const override { return 0; }
    ui::Form form_;
    bool visible_ = false;
  };
  auto recording = std::make_unique<RecordingForm>();
  RecordingForm* formWindow = recording.get();
  Application& application = desktop.platform().application;
  SettingsWindow window(std::move(recording), std::move(model_), application);
  window.show();
  EXPECT_TRUE(formWindow->isVisible());
  for (const auto& step : steps) {
    SCOPED_TRACE(step.id);
    formWindow->onInput(step.id, step.input);
    EXPECT_TRUE(step.effect());
  }
  EXPECT_FALSE(window.handleInput("remove|protectedApps|com.example.absent", input(I::Kind::press)));
  EXPECT_FALSE(window.handleInput("nonsense", input(I::Kind::press)));
  EXPECT_FALSE(window.handleInput("toggle|requireCorvane", input(I::Kind::setOn, true))) << "not a control of the window";
}

}  // namespace
}  // namespace corvane
