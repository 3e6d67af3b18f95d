// The settings window worked through scenarios: the tour on first launch, settings changed from
// the window, and settings the organisation locked that the window refuses to change.
#include <gtest/gtest.h>

#include "scenario_play.h"

namespace corvane {
namespace {

using json = nlohmann::json;

class SettingsScenarioTest : public ScenarioPlayTest {
 protected:
  static std::string highlighted(const json& picture) {
    for (const auto& s : picture["settingsWindow"]["sections"]) {
      if (s["highlighted"].get<bool>()) return s["anchor"];
    }
    return "";
  }
  static json control(const json& picture, const std::string& text) {
    for (const auto& s : picture["settingsWindow"]["sections"]) {
      for (const auto& c : s["controls"]) {
        if (c["text"] == text) return c;
      }
    }
    return nullptr;
  }
};

TEST_F(SettingsScenarioTest, FirstLaunchWalksTheTourAndChangesSettings) {
  const json r = report("settings-first-launch.json");
  EXPECT_EQ(r["settingsOpened"], 2) << "at first launch, and again from the menu";
  const std::pair<const char*, const char*> steps[] = {{"tour-step1", "onboarding-protectedApps"},
                                                       {"tour-step2", "onboarding-whenYouShare"},
                                                       {"tour-step3", "onboarding-permissions"},
                                                       {"tour-done", ""},
                                                       {"reopened", ""}};
  for (const auto& [name, anchor] : steps) {
    SCOPED_TRACE(name);
    const json& p = picture(r, name);
    ASSERT_TRUE(p.contains("settingsWindow"));
    EXPECT_EQ(highlighted(p), anchor);
  }
  EXPECT_EQ(picture(r, "reopened")["settingsWindow"]["scrollAnchor"], "settings-top");
  // Added from the search field's suggestion and from the running applications, in that order.
  const json rows = picture(r, "tour-step2")["settingsWindow"]["sections"];
  std::vector<std::string> listed;
  for (const auto& s : rows) {
    for (const auto& c : s["controls"]) {
      if (c.value("listRow", "") == "Frost these apps") listed.push_back(c["text"]);
    }
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"Slack", "1Password"}));
  EXPECT_TRUE(control(picture(r, "tour-step1"), "Turn on when a call or share starts")["on"].get<bool>());
  EXPECT_FALSE(control(picture(r, "tour-step1"), "Blur the desktop")["on"].get<bool>());
  EXPECT_TRUE(control(picture(r, "tour-done"), "Blur the desktop")["on"].get<bool>());
  EXPECT_DOUBLE_EQ(control(picture(r, "tour-done"), "Frost look")["value"].get<double>(), 0.8);
  EXPECT_TRUE(picture(r, "tour-search")["settingsWindow"]["sections"].dump().find("\"Slack\"") != std::string::npos);
}

TEST_F(SettingsScenarioTest, LockedSettingsShowAsManagedAndRefuseChanges) {
  const json r = report("settings-managed.json");
  const json& p = picture(r, "managed");
  for (const char* text : {"Blur the desktop", "Frost look"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(control(p, text)["enabled"].get<bool>());
  }
  EXPECT_TRUE(control(p, "Open at login")["enabled"].get<bool>());
  EXPECT_DOUBLE_EQ(control(p, "Frost look")["value"].get<double>(), 0.9) << "the policy's value stays";
  EXPECT_TRUE(control(p, "Blur the desktop")["on"].get<bool>());
  int captions = 0;
  for (const auto& s : p["settingsWindow"]["sections"]) {
    for (const auto& c : s["controls"]) captions += c.value("caption", false) && c["text"] == "Managed by your organization";
  }
  EXPECT_EQ(captions, 2);

  // A scenario that expects a locked control to work fails, naming the control.
  const std::string path = (out.parent_path() / ("corvane-settings-" + std::to_string(::getpid()) + ".json")).string();
  std::string text = *readFileText(std::string(CORVANE_SOURCE_DIR) + "/scenarios/settings-managed.json", nullptr);
  const std::string expect = ", \"expect\": \"disabled\"";
  text.erase(text.find(expect), expect.size());
  text.replace(text.find("\"desktopFile\": \""), 16, "\"desktopFile\": \"" + std::string(CORVANE_SOURCE_DIR) + "/scenarios/");
  std::string error;
  ASSERT_TRUE(writeFileText(text, path, &error)) << error;
  const CommandResult result = play(path);
  std::filesystem::remove(path);
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.standardOutput.find("the settings control \"Frost look\" is disabled"), std::string::npos)
      << result.standardOutput;
}

}  // namespace
}  // namespace corvane
