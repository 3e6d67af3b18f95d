#include "settings/preset_tags.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

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

TEST(PresetTagsTest, AnApplicationIsTheSameUnderEveryPlatformsIdentifier) {
  auto has = [](const std::vector<std::string>& ids, const std::string& id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  };
  // Each identifier, from whichever platform, leads to the others (the one asked for first).
  const std::vector<std::vector<std::string>> sameApps = {
      {"com.tinyspeck.slackmacgap", "slack", "com.slack.Slack"},
      {"us.zoom.xos", "Zoom", "us.zoom.Zoom"},
      {"com.hnc.Discord", "discord", "com.discordapp.Discord"},
      {"org.whispersystems.signal-desktop", "signal-desktop", "org.signal.Signal"},
      {"ru.keepcoder.Telegram", "org.telegram.desktop"},
      {"com.1password.1password", "1password"},
      {"com.google.Chrome", "google-chrome"},
      {"org.mozilla.firefox", "firefox"},
      {"com.microsoft.teams2", "teams-for-linux"}};
  for (const auto& app : sameApps) {
    for (const std::string& id : app) {
      const auto ids = PresetTags::identifiersOf(id);
      ASSERT_FALSE(ids.empty());
      EXPECT_EQ(ids.front(), id);
      for (const std::string& other : app) EXPECT_TRUE(has(ids, other)) << id << " does not lead to " << other;
      EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size()) << id << " repeats an identifier";
    }
  }
  // Unknown applications, and identifiers in another case, are only themselves.
  EXPECT_EQ(PresetTags::identifiersOf("org.example.tool"), std::vector<std::string>{"org.example.tool"});
  EXPECT_EQ(PresetTags::identifiersOf("SLACK"), std::vector<std::string>{"SLACK"});
  // Applications that are not the same stay apart.
  EXPECT_FALSE(has(PresetTags::identifiersOf("com.microsoft.teams2"), "com.microsoft.teams"));

  // No Linux id stands for two applications.
  std::map<std::string, std::string> owner;
  for (const auto& app : PresetTags::knownApplications()) {
    for (const auto& l : app.onLinux) {
      auto [it, fresh] = owner.emplace(l.bundleID, std::string(app.name));
      EXPECT_TRUE(fresh || it->second == app.name) << l.bundleID << " is both " << it->second << " and " << app.name;
    }
  }
}

TEST(PresetTagsTest, LinuxPresetsAreThePresetApplicationsUnderTheirLinuxIds) {
  for (const auto* presets : {&PresetTags::protectedAppPresets(), &PresetTags::triggerAppPresets()}) {
    const auto onLinux = PresetTags::linuxPresets(*presets);
    ASSERT_FALSE(onLinux.empty());
    // Each entry is a preset application, in the presets' order, and no id comes twice.
    size_t lastPreset = 0;
    std::set<std::string> seen;
    for (const AppRef& app : onLinux) {
      EXPECT_TRUE(seen.insert(app.bundleID).second) << app.bundleID;
      const auto ids = PresetTags::identifiersOf(app.bundleID);
      auto preset = std::find_if(presets->begin(), presets->end(), [&](const AppRef& p) {
        return std::find(ids.begin(), ids.end(), p.bundleID) != ids.end();
      });
      ASSERT_NE(preset, presets->end()) << app.bundleID << " is no preset application";
      const size_t index = size_t(preset - presets->begin());
      EXPECT_GE(index, lastPreset) << app.bundleID << " is out of order";
      lastPreset = index;
    }
  }
  // Applications of the reference platform alone have no Linux entry; those with one keep it.
  const auto onLinux = PresetTags::linuxPresets({{"com.apple.Notes", "Notes"}, {"com.hnc.Discord", "Discord"}});
  EXPECT_EQ(ids(onLinux), (std::vector<std::string>{"discord", "com.discordapp.Discord"}));
  EXPECT_EQ(onLinux.front().name, "Discord");
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
