#include "windows/conferencing.h"
#include "settings/preset_tags.h"

#include <gtest/gtest.h>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"

namespace corvane {
namespace {

using namespace Conferencing;
using Title = std::optional<std::string>;
const std::string kTeamsID = "com.microsoft.teams2";

TEST(Conferencing, HubAndStageTitles) {
  EXPECT_TRUE(titleLooksLikeHub(Title("Chat | Marketing | Microsoft Teams")));
  EXPECT_TRUE(titleLooksLikeHub(Title("General - Discord")));
  EXPECT_TRUE(titleLooksLikeHub(Title("Ops \u2013 Skype")));
  EXPECT_TRUE(titleLooksLikeHub(Title("  CALENDAR | Week\n")));  // normalised before the test
  EXPECT_FALSE(titleLooksLikeHub(Title("Team chat | notes")));   // "chat |" only in the middle
  EXPECT_FALSE(titleLooksLikeHub(Title("General \u2014 Discord")));  // an em dash is no hub suffix
  EXPECT_FALSE(titleLooksLikeHub(std::nullopt));
  EXPECT_FALSE(titleLooksLikeHub(Title("")));

  EXPECT_TRUE(titleLooksLikeStage(Title("Meeting | Weekly sync")));
  EXPECT_TRUE(titleLooksLikeStage(Title("Meeting Compact Overlay")));
  EXPECT_TRUE(titleLooksLikeStage(Title("You\u2019re sharing your screen")));
  EXPECT_TRUE(titleLooksLikeStage(Title("Call with Ana")));
  EXPECT_FALSE(titleLooksLikeStage(Title("Chat | Meeting with Bob")));  // the hub test wins
  EXPECT_FALSE(titleLooksLikeStage(Title("Recall withdrawn")));        // "call with " needs its blank
  EXPECT_FALSE(titleLooksLikeStage(std::nullopt));
}

TEST(Conferencing, HubIdentifiersAndFamilies) {
  EXPECT_TRUE(isHub("com.microsoft.teams2"));
  EXPECT_FALSE(isHub("COM.MICROSOFT.TEAMS2"));  // the listed identifiers are exact
  EXPECT_TRUE(isHub("Discord"));                // hub names in any case
  EXPECT_TRUE(isHub("MS-Teams"));
  EXPECT_FALSE(isHub("discord.app"));
  // The same hubs under their Linux identifiers (desktop entries and Flatpaks); other applications'
  // identifiers are no hubs on any platform.
  for (const char* hub : {"com.microsoft.teams2", "com.microsoft.teams", "com.hnc.Discord", "com.skype.skype"}) {
    for (const std::string& id : PresetTags::identifiersOf(hub)) {
      EXPECT_TRUE(isHub(id)) << id;
      EXPECT_EQ(hubFamilyRoot(id), id);
    }
  }
  for (const std::string& id : PresetTags::identifiersOf("com.tinyspeck.slackmacgap")) EXPECT_FALSE(isHub(id)) << id;
  EXPECT_EQ(hubFamilyParent("com.discordapp.Discord.helper"), "com.discordapp.Discord");

  EXPECT_EQ(hubFamilyParent("com.microsoft.teams2.helper"), "com.microsoft.teams2");
  EXPECT_EQ(hubFamilyParent("com.microsoft.teams.renderer"), "com.microsoft.teams");
  EXPECT_EQ(hubFamilyParent("com.microsoft.teams2.notificationcenter"), std::nullopt);
  EXPECT_EQ(hubFamilyParent("com.hnc.Discord.Launcher"), std::nullopt);
  EXPECT_EQ(hubFamilyParent("com.microsoft.teams2"), std::nullopt);
  EXPECT_EQ(hubFamilyParent("com.microsoft.teams22"), std::nullopt);
  EXPECT_EQ(hubFamilyRoot("com.microsoft.teams2"), "com.microsoft.teams2");
  EXPECT_EQ(hubFamilyRoot("com.microsoft.teams2.helper"), "com.microsoft.teams2");
  EXPECT_EQ(hubFamilyRoot("Discord"), "Discord");
  EXPECT_EQ(hubFamilyRoot("com.tinyspeck.slackmacgap"), std::nullopt);

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop(dispatcher);
  auto launch = [&](pid_t pid, std::optional<std::string> id) {
    desktop.launchApp({pid, std::move(id), std::string("app"), ActivationPolicy::regular, 0, false});
  };
  launch(600, "com.microsoft.teams2");
  launch(601, "com.microsoft.teams2.helper");
  launch(602, "com.microsoft.teams2.notificationcenter");
  launch(603, std::nullopt);
  launch(604, "com.microsoft.teams2.helper");
  launch(700, "com.tinyspeck.slackmacgap");
  desktop.quitApp(604);
  EXPECT_EQ(familyPIDs(desktop.workspace(), "com.microsoft.teams2"), (std::set<pid_t>{600, 601}));
  EXPECT_TRUE(isSameHubFamily(desktop.workspace(), 601, 600));
  EXPECT_FALSE(isSameHubFamily(desktop.workspace(), 602, 600));
  EXPECT_FALSE(isSameHubFamily(desktop.workspace(), 604, 600));  // no longer running
  EXPECT_TRUE(isSameHubFamily(desktop.workspace(), 603, 603));
  EXPECT_FALSE(isSameHubFamily(desktop.workspace(), 700, 600));
}

TEST(Conferencing, ShapesAndCheapStage) {
  EXPECT_TRUE(cheapStage(kTeamsID, std::nullopt, 600, 60));  // bar-shaped
  EXPECT_TRUE(boundsLookLikeCompactOverlay(300, 200));      // ratio 1.5
  EXPECT_FALSE(boundsLookLikeCompactOverlay(300, 100));     // ratio 3.0, and 3 × 100 is not below 300
  EXPECT_FALSE(cheapStage(kTeamsID, std::nullopt, 300, 100));
  EXPECT_FALSE(boundsLookLikeCompactOverlay(276, 240));     // ratio 1.15 exactly
  EXPECT_FALSE(boundsLookLikeCompactOverlay(480, 200));     // ratio 2.4 exactly
  EXPECT_TRUE(boundsLookLikeCompactOverlay(479, 200));
  EXPECT_TRUE(cheapStage(kTeamsID, Title("Meeting | Standup"), 1200, 800));
  EXPECT_FALSE(cheapStage(kTeamsID, Title("Chat | Standup"), 300, 200));  // a hub title is never a stage
  EXPECT_FALSE(cheapStage("us.zoom.xos", Title("Meeting | Standup"), 300, 200));
  EXPECT_TRUE(cheapStage("discord", std::nullopt, 300, 200));
}

TEST(Conferencing, SettingsNote) {
  const AppRef teams{"com.microsoft.teams2", "Microsoft Teams"};
  const AppRef teamsAgain{"MS-Teams", "microsoft teams"};
  const AppRef discord{"com.hnc.Discord", "Discord"};
  const AppRef slack{"com.tinyspeck.slackmacgap", "Slack"};
  const AppRef zoom{"us.zoom.xos", "zoom.us"};

  EXPECT_EQ(joinAnd({}), "");
  EXPECT_EQ(joinAnd({"Slack"}), "Slack");
  EXPECT_EQ(joinAnd({"Slack", "Teams"}), "Slack and Teams");
  EXPECT_EQ(joinAnd({"Slack", "Teams", "Discord"}), "Slack, Teams, and Discord");
  EXPECT_EQ(uniqueNames({teams, teamsAgain, discord}), (std::vector<std::string>{"Microsoft Teams", "Discord"}));

  EXPECT_EQ(settingsNote({slack}, {zoom}), std::nullopt);
  EXPECT_EQ(settingsNote({slack, discord, teams}, {teams, discord, zoom}),
            "Discord and Microsoft Teams can be a trigger and a protected app at the same time. Chat and hub windows "
            "stay frosted; meeting and call windows stay clear. Privacy auto-on waits until a call is in progress, not "
            "merely because the app is open.");
  // Both lists hold hubs, but not the same ones.
  EXPECT_EQ(settingsNote({teams}, {discord}),
            "Chat and hub windows stay frosted; meeting and call windows stay clear. Teams and Discord only trigger "
            "privacy while a call is in progress.");
  EXPECT_EQ(settingsNote({teams, teamsAgain, slack}, {zoom}),
            "Microsoft Teams meeting and call windows stay clear; chat and hub windows still frost.");
  EXPECT_EQ(settingsNote({slack}, {discord, teams}),
            "Discord and Microsoft Teams will turn privacy on when a call starts \u2014 not while you're only "
            "chatting.");
}

}  // namespace
}  // namespace corvane
