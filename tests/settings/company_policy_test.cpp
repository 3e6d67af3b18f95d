#include "settings/company_policy.h"

#include <gtest/gtest.h>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"

namespace corvane {
namespace {

using nlohmann::json;
using Mode = CompanyPolicy::Mode;
using Keys = std::set<std::string>;

class CompanyPolicyTest : public ::testing::Test {
 protected:
  // Parses and applies a document; fails the test when it does not parse.
  CompanyPolicy::ApplyResult apply(const json& document) {
    auto policy = CompanyPolicy::parse(document, &log);
    EXPECT_TRUE(policy) << document.dump();
    return policy ? policy->apply(*prefs) : CompanyPolicy::ApplyResult{};
  }
  static json doc(json modes, json settings) {
    return json{{"version", 1}, {"modes", std::move(modes)}, {"settings", std::move(settings)}};
  }

  VirtualDispatcher dispatcher;
  MemoryDefaultsStore store;
  MemoryLog log;
  std::unique_ptr<Preferences> prefs = std::make_unique<Preferences>(store, dispatcher, log);
};

TEST_F(CompanyPolicyTest, ParseNeedsAnIntegerVersionOfAtLeastOne) {
  for (const json& version :
       {json(0), json(-3), json("2"), json(1.5), json(true), json(nullptr), json(18446744073709551615ull)}) {
    EXPECT_FALSE(CompanyPolicy::parse(json{{"version", version}}, &log)) << version.dump();
  }
  EXPECT_FALSE(CompanyPolicy::parse(json::object(), &log));
  EXPECT_FALSE(CompanyPolicy::parse(json::array({1}), &log));
  EXPECT_TRUE(log.contains("company policy rejected: \"version\" is not an integer of at least 1"));
  EXPECT_TRUE(log.contains("company policy rejected: it has no \"version\""));

  auto policy = CompanyPolicy::parse(json{{"version", 2.0}, {"updatedAt", "2026-03-01"}, {"extra", {1, 2}}});
  ASSERT_TRUE(policy);
  EXPECT_EQ(policy->version, 2);
  EXPECT_EQ(policy->updatedAt, "2026-03-01");
  EXPECT_EQ(json::parse(policy->cacheJSON), (json{{"version", 2.0}, {"updatedAt", "2026-03-01"}, {"extra", {1, 2}}}));

  json deep = 1;
  for (int i = 0; i < 200; ++i) deep = json::array({deep});
  EXPECT_FALSE(CompanyPolicy::parse(json{{"version", 1}, {"settings", {{"x", deep}}}}));
}

TEST_F(CompanyPolicyTest, ModesAndSettingsOfTheWrongShapeCountAsEmpty) {
  auto policy = CompanyPolicy::parse(json{{"version", 1},
                                          {"modes", {{"blurTint", "locked"}, {"blurDock", "forced"}, {"x", "default"}}},
                                          {"settings", {{"blurTint", 0.2}}}});
  ASSERT_TRUE(policy);
  EXPECT_EQ(policy->modes, (std::map<std::string, Mode>{
                               {"blurTint", Mode::locked}, {"blurDock", Mode::unset}, {"x", Mode::default_}}));
  EXPECT_EQ(policy->settings.size(), 1u);

  auto mixed = CompanyPolicy::parse(
      json{{"version", 1}, {"modes", {{"blurTint", "locked"}, {"blurDock", 1}}}, {"settings", json::array()}}, &log);
  ASSERT_TRUE(mixed);
  EXPECT_TRUE(mixed->modes.empty());
  EXPECT_TRUE(mixed->settings.empty());
  EXPECT_TRUE(log.contains("\"modes\" is not an object of strings"));
  EXPECT_TRUE(log.contains("\"settings\" is not an object"));
}

TEST_F(CompanyPolicyTest, ALockedValueIsClampedLockedAndRecorded) {
  auto result = apply(doc({{"blurTint", "locked"}}, {{"blurTint", 0.9}}));
  EXPECT_EQ(prefs->blurTint(), 0.6);
  EXPECT_EQ(result.changedKeys, Keys{"blurTint"});
  EXPECT_EQ(result.lockedKeys, Keys{"blurTint"});
  EXPECT_EQ(prefs->lockedKeys(), Keys{"blurTint"});
  EXPECT_EQ(prefs->appliedDefaults().at("blurTint"), "0.600");
  EXPECT_FALSE(prefs->applyingPolicy);

  prefs->blurTint.set(0.1);  // the user cannot move it
  EXPECT_EQ(prefs->blurTint(), 0.6);
  apply(doc({{"blurIntensity", "locked"}}, {{"blurIntensity", -2}}));
  EXPECT_EQ(prefs->blurIntensity(), 0.0);
  EXPECT_EQ(prefs->lockedKeys(), Keys{"blurIntensity"});  // blurTint is unset now, so unlocked
}

TEST_F(CompanyPolicyTest, ADefaultIsWrittenUntilTheUserChangesIt) {
  const json policy = doc({{"autoDetectEnabled", "default"}}, {{"autoDetectEnabled", false}});
  EXPECT_EQ(apply(policy).changedKeys, Keys{"autoDetectEnabled"});
  EXPECT_FALSE(prefs->autoDetectEnabled());
  EXPECT_TRUE(prefs->lockedKeys().empty());

  prefs->autoDetectEnabled.set(true);  // the user's own choice survives the next delivery
  EXPECT_TRUE(apply(policy).changedKeys.empty());
  EXPECT_TRUE(prefs->autoDetectEnabled());

  prefs->autoDetectEnabled.set(false);  // back to what the policy wrote: the policy owns it again
  EXPECT_EQ(apply(policy).changedKeys, Keys{"autoDetectEnabled"});
}

TEST_F(CompanyPolicyTest, KeysWithoutValuesOrWithUnknownModesBehaveAsDescribed) {
  apply(doc({{"blurDock", "locked"}, {"blurDesktop", "locked"}}, {{"blurDock", true}, {"blurDesktop", true}}));
  // blurDock stays locked (no value given); "forced" is no mode, so blurDesktop is unlocked.
  auto result = apply(doc({{"blurDock", "locked"}, {"blurDesktop", "forced"}}, json::object()));
  EXPECT_EQ(result.lockedKeys, Keys{"blurDock"});
  EXPECT_TRUE(result.changedKeys.empty());
  EXPECT_TRUE(prefs->blurDock());
  EXPECT_TRUE(prefs->blurDesktop());
}

TEST_F(CompanyPolicyTest, WrongValueTypesChangeNothingExceptAppListsWhichEmpty) {
  prefs->protectedApps.set({{"com.apple.mail", "Mail"}});
  prefs->blurDock.set(true);
  prefs->sensitiveTabRules.set({"bank"});
  auto result = apply(doc(
      {{"protectedApps", "locked"}, {"blurDock", "locked"}, {"sensitiveTabRules", "default"}, {"blurTint", "locked"}},
      {{"protectedApps", {"com.apple.mail"}},
       {"blurDock", "yes"},
       {"sensitiveTabRules", {"a", 1}},
       {"blurTint", "0.5"}}));
  EXPECT_TRUE(prefs->protectedApps().empty());
  EXPECT_TRUE(prefs->blurDock());
  EXPECT_EQ(prefs->sensitiveTabRules(), std::vector<std::string>{"bank"});
  EXPECT_EQ(prefs->blurTint(), 0.3);
  EXPECT_EQ(result.changedKeys, (Keys{"blurDock", "blurTint", "protectedApps", "sensitiveTabRules"}));
  EXPECT_EQ(prefs->appliedDefaults().at("blurDock"), "1");
  EXPECT_TRUE(log.contains("\"protectedApps\" is not an array of objects; an empty list is applied"));
  EXPECT_TRUE(log.contains("\"blurDock\" is not a Boolean"));
}

TEST_F(CompanyPolicyTest, PolicyAppEntriesAreTrimmedNamedAndDeduplicated) {
  apply(doc({{"triggerApps", "locked"}},
            {{"triggerApps",
              {{{"macBundleID", " us.zoom.xos\n"}, {"name", " Zoom "}, {"windowsId", "zoom"}},
               {{"macBundleID", "us.zoom.xos"}, {"name", "Second Zoom"}},
               {{"macBundleID", "com.example.tool"}, {"name", ""}},
               {{"macBundleID", "   "}},
               {{"windowsId", "only-windows"}},
               {{"macBundleID", 42}},
               {{"macBundleID", "com.example.other"}, {"name", 7}}}}}));
  EXPECT_EQ(prefs->triggerApps(), (std::vector<AppRef>{{"us.zoom.xos", "Zoom"},
                                                       {"com.example.tool", "com.example.tool"},
                                                       {"com.example.other", "com.example.other"}}));
}

TEST_F(CompanyPolicyTest, DroppingModesUnlocksEverythingAndEndsTheKeepRunningRequirement) {
  apply(doc({{"requireCorvane", "locked"}, {"blurDock", "locked"}}, {{"requireCorvane", true}, {"blurDock", true}}));
  EXPECT_TRUE(prefs->requireCorvane());
  EXPECT_EQ(prefs->lockedKeys(), (Keys{"blurDock", "requireCorvane"}));

  auto result = apply(json{{"version", 2}, {"modes", "locked"}, {"settings", {{"blurDock", false}}}});
  EXPECT_FALSE(prefs->requireCorvane());
  EXPECT_TRUE(prefs->blurDock());  // values stay; only the locks go
  EXPECT_TRUE(result.lockedKeys.empty());
  EXPECT_EQ(prefs->policyVersion(), 2);
}

TEST_F(CompanyPolicyTest, TheCachedPolicyIsAppliedAgainAtTheNextStart) {
  EXPECT_EQ(CompanyPolicy::applyCached(*prefs), CompanyPolicy::ApplyResult{});
  const json policy =
      doc({{"blurDesktop", "locked"}, {"somethingNew", "locked"}}, {{"blurDesktop", true}, {"somethingNew", 1}});
  apply(policy);
  EXPECT_EQ(json::parse(*prefs->policyCache()), policy);

  prefs = std::make_unique<Preferences>(store, dispatcher, log);  // a new launch
  store.set(applicationDomain, "blurDesktop", false);             // changed behind the store's back
  prefs = std::make_unique<Preferences>(store, dispatcher, log);
  auto result = CompanyPolicy::applyCached(*prefs);
  EXPECT_EQ(result.lockedKeys, Keys{"blurDesktop"});
  EXPECT_TRUE(prefs->blurDesktop());

  store.set(applicationDomain, "companyPolicyCache", "{broken");
  prefs = std::make_unique<Preferences>(store, dispatcher, log);
  store.clearWrites();
  EXPECT_EQ(CompanyPolicy::applyCached(*prefs), CompanyPolicy::ApplyResult{});
  EXPECT_TRUE(store.writes().empty());
  EXPECT_TRUE(log.contains("cached company policy could not be decoded"));
}

TEST_F(CompanyPolicyTest, TheSettingsSnapshotForPushUsesThePolicyForm) {
  prefs->protectedApps.set({{"com.tinyspeck.slackmacgap", "Slack"}, {"com.example.inhouse", "In-house"}});
  prefs->requireCorvane.set(true);
  json pushed = CompanyPolicy::snapshotForPush(*prefs);
  EXPECT_EQ(pushed.size(), 12u);
  EXPECT_FALSE(pushed.contains("requireCorvane"));
  EXPECT_EQ(pushed["protectedApps"],
            json::parse(R"([{"name":"Slack","macBundleID":"com.tinyspeck.slackmacgap","windowsId":"slack"},
                            {"name":"In-house","macBundleID":"com.example.inhouse"}])"));
  EXPECT_EQ(pushed["blurTint"], 0.3);
  EXPECT_EQ(pushed["autoDetectEnabled"], true);
  EXPECT_EQ(pushed["sensitiveTabRules"], json::array());

  // Published as a policy, it gives the same settings back.
  MemoryDefaultsStore otherStore;
  Preferences other(otherStore, dispatcher, log);
  json modes = json::object();
  for (const auto& [key, value] : pushed.items()) modes[key] = "default";
  ASSERT_TRUE(CompanyPolicy::parse(doc(modes, pushed)));
  CompanyPolicy::parse(doc(modes, pushed))->apply(other);
  EXPECT_EQ(other.protectedApps(), prefs->protectedApps());
  EXPECT_EQ(CompanyPolicy::snapshotForPush(other), pushed);
}

}  // namespace
}  // namespace corvane
