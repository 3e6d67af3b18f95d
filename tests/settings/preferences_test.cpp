#include "settings/preferences.h"

#include <gtest/gtest.h>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "settings/memory_defaults_store.h"
#include "settings/plist_defaults_store.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

const AppRef slack{"com.tinyspeck.slackmacgap", "Slack"};
const AppRef finder{"com.apple.finder", "Finder"};

PlistValue::Data bytes(std::string_view text) { return PlistValue::Data(text.begin(), text.end()); }

class PreferencesTest : public ::testing::Test {
 protected:
  std::unique_ptr<Preferences> make() { return std::make_unique<Preferences>(store, dispatcher, log); }
  std::vector<std::string> writtenKeys() const {
    std::vector<std::string> keys;
    for (const auto& w : store.writes()) keys.push_back(w.key);
    return keys;
  }

  VirtualDispatcher dispatcher;
  MemoryDefaultsStore store;
  MemoryLog log;
};

TEST_F(PreferencesTest, AFreshStoreGivesTheDefaultsAndWritesNothing) {
  auto prefs = make();
  EXPECT_TRUE(prefs->protectedApps().empty());
  EXPECT_EQ(prefs->triggerApps(), (std::vector<AppRef>{{"us.zoom.xos", "zoom.us"}}));
  EXPECT_TRUE(prefs->autoDetectEnabled());
  EXPECT_EQ(prefs->blurTint(), 0.3);
  EXPECT_EQ(prefs->blurIntensity(), 0.5);
  EXPECT_TRUE(prefs->clearViewEnabled());
  for (auto* flag : {&prefs->blurOnlyWhenTriggerAppOpen, &prefs->blurDesktop, &prefs->blurDock,
                     &prefs->blurSensitiveTabs, &prefs->enhancedProtectionEnabled, &prefs->launchAtLogin,
                     &prefs->requireCorvane, &prefs->hasCompletedOnboarding}) {
    EXPECT_FALSE(flag->value());
  }
  EXPECT_TRUE(prefs->sensitiveTabRules().empty());
  EXPECT_TRUE(prefs->lockedKeys().empty());
  EXPECT_TRUE(prefs->appliedDefaults().empty());
  EXPECT_FALSE(prefs->policyCache());
  EXPECT_EQ(prefs->policyVersion(), 0);
  EXPECT_FALSE(prefs->applyingPolicy);
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(PreferencesTest, SettingsAreStoredInTheirFormsAndReadBack) {
  {
    auto prefs = make();
    prefs->protectedApps.set({slack, finder});
    prefs->triggerApps.set({});
    prefs->autoDetectEnabled.set(false);
    prefs->blurIntensity.set(0.8);
    prefs->sensitiveTabRules.set({"Bank", "mail.example.com"});
    prefs->hasCompletedOnboarding.set(true);
    prefs->clearViewEnabled.set(true);
    prefs->lockedKeys.set({"blurTint"});
  }
  EXPECT_EQ(writtenKeys(), (std::vector<std::string>{"protectedApps", "triggerApps", "autoDetectEnabled",
                                                     "blurIntensity", "sensitiveTabRules", "hasCompletedOnboarding"}));
  EXPECT_EQ(
      store.dataValue(applicationDomain, "protectedApps"),
      bytes(
          R"([{"bundleID":"com.tinyspeck.slackmacgap","name":"Slack"},{"bundleID":"com.apple.finder","name":"Finder"}])"));
  EXPECT_EQ(store.dataValue(applicationDomain, "sensitiveTabRules"), bytes(R"(["Bank","mail.example.com"])"));
  EXPECT_EQ(store.boolValue(applicationDomain, "autoDetectEnabled"), false);
  EXPECT_EQ(store.object(applicationDomain, "blurIntensity"), PlistValue(0.8));

  auto prefs = make();
  EXPECT_EQ(prefs->protectedApps(), (std::vector<AppRef>{slack, finder}));
  EXPECT_TRUE(prefs->triggerApps().empty());  // an empty list is a value, not a missing one
  EXPECT_FALSE(prefs->autoDetectEnabled());
  EXPECT_EQ(prefs->blurIntensity(), 0.8);
  EXPECT_EQ(prefs->sensitiveTabRules(), (std::vector<std::string>{"Bank", "mail.example.com"}));
  EXPECT_TRUE(prefs->hasCompletedOnboarding());
  EXPECT_TRUE(prefs->lockedKeys().empty());
}

TEST_F(PreferencesTest, BadStoredValuesGiveDefaultsAreReportedAndStayUntilReassigned) {
  const PlistValue badBlob(bytes(R"([{"bundleID":"com.apple.mail"}])"));  // "name" missing
  store.set(applicationDomain, "protectedApps", badBlob);
  store.set(applicationDomain, "triggerApps", bytes("not json"));
  store.set(applicationDomain, "sensitiveTabRules", "a string, not a blob");
  store.set(applicationDomain, "autoDetectEnabled", "yes");
  store.set(applicationDomain, "blurTint", true);
  store.set(applicationDomain, "blurIntensity", int64_t{1});  // a whole number is still a number
  store.set(applicationDomain, "blurDock", true);
  store.set(applicationDomain, "companyPolicyLockedKeys", PlistValue::Array{PlistValue("blurTint"), PlistValue(3)});
  store.set(applicationDomain, "companyPolicyAppliedDefaults",
            PlistValue::Dictionary{{"blurTint", PlistValue("0.300")}, {"blurDock", PlistValue(true)}});
  store.set(applicationDomain, "companyPolicyVersion", "7");
  store.clearWrites();

  auto prefs = make();
  EXPECT_TRUE(prefs->protectedApps().empty());
  EXPECT_EQ(prefs->triggerApps(), std::vector<AppRef>{Preferences::defaultTriggerApp()});
  EXPECT_TRUE(prefs->sensitiveTabRules().empty());
  EXPECT_TRUE(prefs->autoDetectEnabled());
  EXPECT_EQ(prefs->blurTint(), 0.3);
  EXPECT_EQ(prefs->blurIntensity(), 1.0);
  EXPECT_TRUE(prefs->blurDock());  // one bad value never costs another setting
  EXPECT_TRUE(prefs->lockedKeys().empty());
  EXPECT_TRUE(prefs->appliedDefaults().empty());
  EXPECT_EQ(prefs->policyVersion(), 0);
  for (const char* key :
       {"\"protectedApps\" could not be decoded", "\"triggerApps\" could not be decoded",
        "\"sensitiveTabRules\" is not a data blob", "\"autoDetectEnabled\" is not a Boolean",
        "\"blurTint\" is not a number", "\"companyPolicyLockedKeys\"", "\"companyPolicyAppliedDefaults\""}) {
    EXPECT_TRUE(log.contains(key)) << key;
  }
  EXPECT_TRUE(store.writes().empty());
  EXPECT_EQ(store.object(applicationDomain, "protectedApps"), badBlob);
  prefs->protectedApps.set({slack});
  EXPECT_EQ(AppRef::decodeList(*store.dataValue(applicationDomain, "protectedApps")), std::vector<AppRef>{slack});
}

TEST_F(PreferencesTest, SubscribersHearTheObjectThenThePropertyBeforeTheValueIsStored) {
  auto prefs = make();
  std::vector<std::string> events;
  auto whole =
      prefs->subscribeWillChange([&] { events.push_back("object sees " + std::to_string(prefs->blurTint())); });
  auto own = prefs->blurTint.subscribe([&](const double& v) {
    events.push_back("stream " + std::to_string(v) + " sees " + std::to_string(prefs->blurTint()));
  });
  int onMain = 0;
  double seenOnMain = 0;
  auto later = prefs->subscribeWillChangeOnMain([&] {
    ++onMain;
    seenOnMain = prefs->blurTint();
  });
  prefs->blurTint.set(0.5);
  EXPECT_EQ(events, (std::vector<std::string>{"object sees 0.300000", "stream 0.500000 sees 0.300000"}));
  EXPECT_EQ(prefs->blurTint(), 0.5);
  EXPECT_EQ(onMain, 0);
  dispatcher.runUntilIdle();
  EXPECT_EQ(onMain, 1);
  EXPECT_EQ(seenOnMain, 0.5);  // the hop lets the reaction read the new value

  prefs->blurTint.set(0.1);
  later.cancel();
  dispatcher.runUntilIdle();
  EXPECT_EQ(onMain, 1);  // an ended subscription hears nothing, even of events already posted
}

TEST_F(PreferencesTest, LockedKeysRevertAndStoreTheOldValueUnlessAPolicyIsApplying) {
  auto prefs = make();
  prefs->setPolicyMeta(1, {}, {"blurDesktop", "protectedApps"}, "{}");
  store.clearWrites();
  std::vector<bool> heard;
  auto sub = prefs->blurDesktop.subscribe([&](const bool& v) { heard.push_back(v); });
  int changes = 0;
  auto whole = prefs->subscribeWillChange([&] { ++changes; });

  prefs->blurDesktop.set(true);
  EXPECT_FALSE(prefs->blurDesktop());
  EXPECT_EQ(heard, (std::vector<bool>{true, false}));
  EXPECT_EQ(changes, 2);
  ASSERT_EQ(store.writes().size(), 1u);
  EXPECT_EQ(store.writes()[0].value, PlistValue(false));
  EXPECT_FALSE(prefs->applyingPolicy);

  store.clearWrites();
  prefs->blurDesktop.set(false);  // the same value: nothing to undo, nothing stored
  prefs->protectedApps.set({});
  EXPECT_TRUE(store.writes().empty());

  prefs->applyingPolicy = true;
  prefs->blurDesktop.set(true);
  EXPECT_TRUE(prefs->blurDesktop());
  EXPECT_EQ(store.boolValue(applicationDomain, "blurDesktop"), true);
  prefs->applyingPolicy = false;

  // hasCompletedOnboarding is stored on every assignment, locked or not.
  prefs->setPolicyMeta(1, {}, {"hasCompletedOnboarding"}, "{}");
  store.clearWrites();
  prefs->hasCompletedOnboarding.set(false);
  EXPECT_EQ(writtenKeys(), std::vector<std::string>{"hasCompletedOnboarding"});
}

TEST_F(PreferencesTest, ClearViewReturnsToTrueAtOnceAndIsNeverStored) {
  auto prefs = make();
  std::vector<bool> heard;
  auto sub = prefs->clearViewEnabled.subscribe([&](const bool& v) { heard.push_back(v); });
  prefs->clearViewEnabled.set(false);
  EXPECT_TRUE(prefs->clearViewEnabled());
  EXPECT_EQ(heard, (std::vector<bool>{false, true}));
  EXPECT_TRUE(store.writes().empty());
}

TEST_F(PreferencesTest, LocksAsTheSettingsWindowSeesThem) {
  auto prefs = make();
  EXPECT_FALSE(prefs->hasManagedSettings());
  prefs->requireCorvane.set(true);
  EXPECT_TRUE(prefs->isEffectivelyLocked("launchAtLogin"));
  EXPECT_TRUE(prefs->hasManagedSettings());
  prefs->launchAtLogin.set(true);  // the extra lock is shown, not enforced
  EXPECT_TRUE(prefs->launchAtLogin());
  prefs->requireCorvane.set(false);
  prefs->setPolicyMeta(1, {}, {"blurDock"}, "{}");
  EXPECT_TRUE(prefs->isEffectivelyLocked("blurDock"));
  EXPECT_FALSE(prefs->isEffectivelyLocked("launchAtLogin"));
  EXPECT_TRUE(prefs->hasManagedSettings());
}

TEST_F(PreferencesTest, SnapshotsAreStableTexts) {
  auto prefs = make();
  EXPECT_EQ(prefs->snapshot("blurTint"), "0.300");
  prefs->blurIntensity.set(0.12345);
  EXPECT_EQ(prefs->snapshot("blurIntensity"), "0.123");
  prefs->protectedApps.set({slack, finder});
  EXPECT_EQ(prefs->snapshot("protectedApps"), "com.apple.finder\ncom.tinyspeck.slackmacgap");
  prefs->sensitiveTabRules.set({"Zeta", "ÄRZTE", "alpha"});
  EXPECT_EQ(prefs->snapshot("sensitiveTabRules"), "alpha\nzeta\närzte");
  EXPECT_EQ(prefs->snapshot("autoDetectEnabled"), "1");
  EXPECT_EQ(prefs->snapshot("requireCorvane"), "0");
  EXPECT_EQ(prefs->snapshot("hasCompletedOnboarding"), "");
  EXPECT_EQ(prefs->snapshot("noSuchKey"), "");
}

TEST_F(PreferencesTest, PolicyBookkeepingIsStoredInOneStepAndReadAtStart) {
  {
    auto prefs = make();
    std::set<std::string> heard;
    auto sub = prefs->lockedKeys.subscribe([&](const std::set<std::string>& keys) { heard = keys; });
    prefs->setPolicyMeta(4, {{"blurTint", "0.600"}}, {"blurTint", "blurDock"}, R"({"version":4})");
    EXPECT_EQ(heard, (std::set<std::string>{"blurDock", "blurTint"}));
  }
  auto prefs = make();
  EXPECT_EQ(prefs->policyVersion(), 4);
  EXPECT_EQ(prefs->appliedDefaults(), (std::map<std::string, std::string>{{"blurTint", "0.600"}}));
  EXPECT_EQ(prefs->lockedKeys(), (std::set<std::string>{"blurDock", "blurTint"}));
  EXPECT_EQ(prefs->policyCache(), R"({"version":4})");
  EXPECT_EQ(store.object(applicationDomain, "companyPolicyLockedKeys"),
            PlistValue(PlistValue::Array{PlistValue("blurDock"), PlistValue("blurTint")}));
}

TEST_F(PreferencesTest, ANameThatIsNotUtf8DoesNotCostTheRestOfTheList) {
  auto prefs = make();
  prefs->protectedApps.set({slack, {"org.example.legacy", "Caf\xE9"}});
  auto stored = AppRef::decodeList(*store.dataValue(applicationDomain, "protectedApps"));
  ASSERT_TRUE(stored);
  ASSERT_EQ(stored->size(), 2u);
  EXPECT_EQ((*stored)[0], slack);
  EXPECT_EQ((*stored)[1].name, "Caf\xEF\xBF\xBD");
  EXPECT_TRUE(log.contains("not UTF-8"));
}

TEST(PreferencesOnDiskTest, AHandCorruptedSettingsFileIsSetAsideReportedAndReplaced) {
  testing::TempDir dir;
  VirtualDispatcher dispatcher;
  MemoryLog log;
  std::string file = dir / (std::string(applicationDomain) + ".plist");
  {
    PlistDefaultsStore store(dir.path(), "", log, dispatcher);
    Preferences prefs(store, dispatcher, log);
    prefs.protectedApps.set({slack});
  }
  std::string damaged = testing::readFile(file);
  damaged.resize(damaged.size() - 30);
  testing::writeFile(file, damaged);

  PlistDefaultsStore store(dir.path(), "", log, dispatcher);
  Preferences prefs(store, dispatcher, log);
  EXPECT_TRUE(prefs.protectedApps().empty());
  EXPECT_TRUE(log.contains("moved it aside"));
  auto names = dir.names();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(testing::readFile(dir / names[0]), damaged);
  prefs.protectedApps.set({finder});
  EXPECT_EQ(dir.names().size(), 2u);
  EXPECT_EQ(Preferences(store, dispatcher, log).protectedApps(), std::vector<AppRef>{finder});
}

}  // namespace
}  // namespace corvane
