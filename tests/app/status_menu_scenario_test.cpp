// The status menu worked through a scenario, as a user works it: opened, pictured, chosen by title.
#include <gtest/gtest.h>

#include <cstring>

#include "base/png.h"
#include "scenario_play.h"

namespace corvane {
namespace {

using json = nlohmann::json;

class StatusMenuScenarioTest : public ScenarioPlayTest {
 protected:
  static std::vector<std::string> titles(const json& picture) {
    std::vector<std::string> out;
    for (const auto& row : picture.value("menu", json::array())) out.push_back(row["title"]);
    return out;
  }
};

TEST_F(StatusMenuScenarioTest, MenuIsOpenedPicturedAndChosenByTitle) {
  const json r = report("status-menu.json");
  const json& open = picture(r, "menu-open");
  const auto before = titles(open);
  ASSERT_GE(before.size(), 3u);
  EXPECT_EQ(before[0], "Privacy Mode: Auto Detect");
  EXPECT_EQ(before[1], "Ready \u00B7 turns on when you share") << "a Teams call is going on";
  EXPECT_EQ(before.back(), "Quit Corvane");
  EXPECT_EQ(titles(picture(r, "menu-on")).at(0), "Turn Privacy Mode Off");
  EXPECT_EQ(picture(r, "menu-on")["statusItem"]["toolTip"], "Corvane (on)");
  EXPECT_FALSE(picture(r, "app-shown").contains("menu")) << "choosing closes the menu";

  // On from the menu at 2.3 s, off again from it at 4.5 s.
  ASSERT_EQ(r["timeline"].size(), 2u) << r["timeline"].dump();
  EXPECT_TRUE(r["timeline"][0]["privacy"].get<bool>());
  EXPECT_NEAR(r["timeline"][0]["t"].get<double>(), 2.3, 0.02);
  EXPECT_FALSE(r["timeline"][1]["privacy"].get<bool>());
  EXPECT_EQ(r["leaks"]["steadyFrames"], 0);

  // The open menu is the user's alone: the two pictures differ only while it is open.
  std::string error;
  auto share = readPNG(open["share"].get<std::string>(), &error);
  auto local = readPNG(open["local"].get<std::string>(), &error);
  const json& closed = picture(r, "menu-closed");
  auto closedShare = readPNG(closed["share"].get<std::string>(), &error);
  auto closedLocal = readPNG(closed["local"].get<std::string>(), &error);
  ASSERT_TRUE(share && local && closedShare && closedLocal) << error;
  // A point of the menu's first rows, below the status item.
  const int x = 1450, y = 40;
  auto same = [&](const PixelBuffer& a, const PixelBuffer& b) { return std::memcmp(a.pixel(x, y), b.pixel(x, y), 4) == 0; };
  EXPECT_FALSE(same(*share, *local));
  EXPECT_TRUE(same(*share, *closedShare));
  EXPECT_TRUE(same(*closedShare, *closedLocal));
}

TEST_F(StatusMenuScenarioTest, ChoosingAMissingOrDisabledItemFailsTheRun) {
  for (const char* title : {"No Such Item", "Peek all for 4s"}) {
    SCOPED_TRACE(title);
    const std::string path = (out.string() + "-scenario.json");
    json scenario = {{"desktopFile", std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo-desktop.json"},
                     {"duration", 1},
                     {"timeline", {{{"at", 0.5}, {"event", "chooseMenuItem"}, {"title", title}}}}};
    std::string error;
    ASSERT_TRUE(writeFileText(scenario.dump(), path, &error)) << error;
    const CommandResult result = play(path);
    std::filesystem::remove(path);
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.standardOutput.find(title), std::string::npos) << result.standardOutput;
  }
}

}  // namespace
}  // namespace corvane
