#include "app/app_delegate.h"

#include <gtest/gtest.h>

#include "app_test_support.h"
#include "platform/ui.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

nlohmann::json requirePolicy(int version, nlohmann::json settings) {
  nlohmann::json modes = nlohmann::json::object();
  for (const auto& [key, value] : settings.items()) modes[key] = "locked";
  return {{"version", version}, {"modes", modes}, {"settings", settings}};
}

class AppDelegateTest : public AppTest {};

TEST_F(AppDelegateTest, FirstLaunchStartsEverythingInOrderAndOpensTheSettings) {
  ASSERT_TRUE(launch());
  EXPECT_EQ(application.policy, ActivationPolicy::accessory);
  ASSERT_NE(delegate->controller(), nullptr);
  EXPECT_TRUE(controller().detector().enabled) << "automatic detection is on by default";
  EXPECT_FALSE(controller().isPrivacyActive());
  ASSERT_EQ(ui().statusItemCount(), 1u);
  EXPECT_EQ(ui().statusItem()->autosaveName, "CorvaneStatusItem");
  EXPECT_EQ(settingsOpened, 1) << "onboarding is not complete";
  // The edit menu that text fields need.
  auto main = platform.ui->mainMenu();
  ASSERT_TRUE(main && main->items().size() == 1 && main->items()[0]->submenu);
  std::vector<std::string> edit;
  for (const auto& item : main->items()[0]->submenu->items()) edit.push_back(item->title + ":" + item->keyEquivalent);
  EXPECT_EQ(edit, (std::vector<std::string>{"Cut:x", "Copy:c", "Paste:v", "Select All:a"}));
  // Nothing asks for the keep-alive service: it is removed (with the cached policy, and again at
  // start), the login item is left alone.
  EXPECT_EQ(login().calls(), (std::vector<std::string>(2, "remove com.corvane.Corvane.keepalive")));
}

TEST_F(AppDelegateTest, SecondCopyLeavesBeforeCreatingAnything) {
  anotherCopy = true;
  EXPECT_FALSE(launch());
  dispatcher.advance(1);
  EXPECT_EQ(delegate->controller(), nullptr);
  EXPECT_EQ(ui().statusItemCount(), 0u);
  EXPECT_TRUE(login().calls().empty());
  EXPECT_EQ(application.policy, ActivationPolicy::regular);
}

TEST_F(AppDelegateTest, WithoutAutomaticDetectionPrivacyIsOnWithoutOverride) {
  prefs.autoDetectEnabled.set(false);
  prefs.hasCompletedOnboarding.set(true);
  ASSERT_TRUE(launch());
  EXPECT_TRUE(controller().isPrivacyActive());
  EXPECT_FALSE(controller().manualOverrideActive().has_value());
  EXPECT_EQ(settingsOpened, 0);
}

class PolicyRequiresCorvaneTest : public AppTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PolicyRequiresCorvaneTest, InstallsKeepAliveEnablesLoginAndTurnsPrivacyOnUnlessTurnedOffByHand) {
  const bool turnedOffByHand = GetParam();
  ASSERT_TRUE(launch());
  if (turnedOffByHand) controller().setPrivacy(false, true);
  ASSERT_FALSE(controller().isPrivacyActive());

  // Automatic detection goes off in the same delivery.
  deliverPolicy(requirePolicy(1, {{"requireCorvane", true}, {"autoDetectEnabled", false}}));
  EXPECT_EQ(login().keepAlive().count("com.corvane.Corvane.keepalive"), 1u);
  EXPECT_TRUE(login().loginItem().has_value());
  EXPECT_EQ(controller().isPrivacyActive(), !turnedOffByHand);
  EXPECT_TRUE(prefs.hasCompletedOnboarding()) << "a managed installation skips onboarding";
  // The menu follows at once: no Quit, the organisation's line instead.
  EXPECT_EQ(menuTitles().back(), "Required by your organization");
}

INSTANTIATE_TEST_SUITE_P(ByHandOrNot, PolicyRequiresCorvaneTest, ::testing::Bool());

TEST_F(AppDelegateTest, LoginItemStaysEnabledWhileRequiredAndFollowsThePolicyOtherwise) {
  ASSERT_TRUE(launch());
  deliverPolicy(requirePolicy(1, {{"requireCorvane", true}, {"launchAtLogin", true}}));
  ASSERT_TRUE(login().loginItem().has_value());
  deliverPolicy(requirePolicy(2, {{"requireCorvane", true}, {"launchAtLogin", false}}));
  EXPECT_TRUE(login().loginItem().has_value()) << "required: the login item stays";
  deliverPolicy(requirePolicy(3, {{"requireCorvane", false}, {"launchAtLogin", false}}));
  EXPECT_FALSE(login().loginItem().has_value());
  EXPECT_TRUE(login().keepAlive().empty()) << "no longer required: the keep-alive service goes";
}

TEST_F(AppDelegateTest, QuitIsRefusedWhileRequiredExceptForAnUpdateRestart) {
  ASSERT_TRUE(launch());
  // Not required: Quit from the menu ends the application after shutting the overlays down.
  EXPECT_EQ(delegate->applicationShouldTerminate(), TerminateReply::now);
  ASSERT_EQ(ui().chooseMenuItem("Quit Corvane"), sim::SimUI::Choice::noOpenMenu);
  ASSERT_TRUE(ui().openStatusMenu());
  ASSERT_EQ(ui().chooseMenuItem("Quit Corvane"), sim::SimUI::Choice::chosen);
  EXPECT_EQ(application.terminations, 1);

  prefs.requireCorvane.set(true);
  dispatcher.runUntilIdle();
  EXPECT_EQ(delegate->applicationShouldTerminate(), TerminateReply::cancel);
  delegate->requestTermination();
  EXPECT_EQ(application.terminations, 1) << "quitting while required does nothing";
}

TEST_F(AppDelegateTest, SafeRestartSeesTheDetectorWhileTheDelegateLives) {
  ASSERT_TRUE(launch());
  ASSERT_TRUE(safeRestart.isSharing);
  EXPECT_FALSE(safeRestart.isSharing());
  desktop.startScreenWatcherShare();
  dispatcher.advance(0.5);
  EXPECT_TRUE(safeRestart.isSharing());
  EXPECT_FALSE(safeRestart.isRestartingForUpdate());
  delegate.reset();
  EXPECT_FALSE(safeRestart.isSharing) << "nothing refers to the gone delegate";
}

TEST_F(AppDelegateTest, ControllerTakesItsFallbacksWithoutInputOrUserInterface) {
  Platform bare = platform;
  bare.input = nullptr;
  bare.ui = nullptr;
  CoreServices bareServices(bare, clearViewLog);
  AppDelegate app(AppDelegate::Dependencies{bareServices, prefs, safeRestart, nullptr, "com.corvane.Corvane", "1",
                                            std::nullopt});
  prefs.autoDetectEnabled.set(false);
  ASSERT_TRUE(app.applicationDidFinishLaunching());
  dispatcher.advance(1);
  ASSERT_NE(app.controller(), nullptr);
  EXPECT_TRUE(app.controller()->isPrivacyActive());
  EXPECT_FALSE(app.controller()->hasKeyEventTap());
  EXPECT_TRUE(desktop.systemLog().contains("no input monitoring"));
  EXPECT_TRUE(desktop.systemLog().contains("no user interface; running without overlays"));
  EXPECT_TRUE(desktop.systemLog().contains("no menu bar"));
  EXPECT_EQ(ui().statusItemCount(), 0u);
  for (const auto& w : desktop.windows()) EXPECT_NE(w.ownerPID, desktop.selfPID()) << "no window was made";
}

TEST_F(AppDelegateTest, PolicyFileDroppedWhileRunningLocksItsSettings) {
  testing::TempDir dir;
  delegate = std::make_unique<AppDelegate>(AppDelegate::Dependencies{
      services, prefs, safeRestart, nullptr, "com.corvane.Corvane", "1", dir / "policy.json"});
  ASSERT_TRUE(delegate->applicationDidFinishLaunching());
  dispatcher.advance(2);
  EXPECT_FALSE(prefs.isEffectivelyLocked("blurIntensity"));
  testing::writeFile(dir / "policy.json", requirePolicy(4, {{"blurIntensity", 0.9}}).dump());
  dispatcher.advance(1.1);
  EXPECT_TRUE(prefs.isEffectivelyLocked("blurIntensity"));
  EXPECT_DOUBLE_EQ(prefs.blurIntensity(), 0.9);
  prefs.blurIntensity.set(0.2);
  EXPECT_DOUBLE_EQ(prefs.blurIntensity(), 0.9) << "a locked setting cannot be changed";
}

TEST_F(AppDelegateTest, SettingsForcedByTheManagedLayerCountAsLocked) {
  defaults.setForced("blurIntensity", PlistValue(0.9));
  EXPECT_TRUE(prefs.isEffectivelyLocked("blurIntensity"));
  EXPECT_FALSE(prefs.isEffectivelyLocked("blurTint"));
}

}  // namespace
}  // namespace corvane
