#include "settings/preset_tags.h"

#include <gtest/gtest.h>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"

namespace corvane {
namespace {

std::vector<std::string> ids(const std::vector<AppRef>& apps) {
  std::vector<std::string> result;
  for (const auto& app : apps) result.push_back(app.bundleID);
  return result;
}

TEST(PresetTagsTest, SuggestionsPutPresetsFirstAndHonourExclusionsAndTheLimit) {
  const auto& presets = PresetTags::protectedAppPresets();
  const std::vector<AppRef> running = {{"com.example.teamspace", "TeamSpace"},
                                       {"com.microsoft.teams2", "Microsoft Teams (work)"},
                                       {"org.example.chat", "Chat"},
                                       {"com.example.STEAMS", "Boiler"}};
  EXPECT_EQ(ids(PresetTags::suggestApps("  TEAMS \n", presets, running, {}, 8)),
            (std::vector<std::string>{"com.microsoft.teams2", "com.microsoft.teams", "com.example.teamspace",
                                      "com.example.STEAMS"}));
  EXPECT_EQ(ids(PresetTags::suggestApps("team", presets, running, {{"com.microsoft.teams", "x"}}, 8)),
            (std::vector<std::string>{"com.microsoft.teams2", "com.example.teamspace", "com.example.STEAMS"}));
  EXPECT_EQ(PresetTags::suggestApps("team", presets, running, {}, 1).size(), 1u);
  EXPECT_TRUE(PresetTags::suggestApps("team", presets, running, {}, 0).empty());
  // An empty query offers the presets only; a bundle identifier matches when the name does not.
  EXPECT_EQ(PresetTags::suggestApps(" ", presets, running, {}, 100), presets);
  EXPECT_EQ(ids(PresetTags::suggestApps("org.example", presets, running, {}, 8)),
            std::vector<std::string>{"org.example.chat"});
  EXPECT_EQ(ids(PresetTags::suggestApps("ÜBER", {}, {{"a.b", "Überblick"}}, {}, 8)), std::vector<std::string>{"a.b"});
}

TEST(PresetTagsTest, RunningAppsAreTheRegularOnesWithBundleIdentifiersByName) {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop(dispatcher);
  desktop.launchApp({.bundleID = "org.example.zed", .name = "zed"});
  desktop.launchApp({.bundleID = "org.example.alpha", .name = "Alpha"});
  desktop.launchApp({.bundleID = "org.example.alpha", .name = "Alpha helper"});
  desktop.launchApp({.bundleID = std::nullopt, .name = "No identifier"});
  desktop.launchApp({.bundleID = "org.example.agent", .name = "Agent", .policy = ActivationPolicy::accessory});
  desktop.launchApp({.bundleID = "org.example.unnamed", .name = std::nullopt});
  auto apps = PresetTags::runningApps(desktop.workspace());
  EXPECT_EQ(apps, (std::vector<AppRef>{{"org.example.alpha", "Alpha"},
                                       {"org.example.unnamed", "org.example.unnamed"},
                                       {"org.example.zed", "zed"}}));
}

}  // namespace
}  // namespace corvane
