// Scenario files that are wrong in the ways a hurried or hostile author gets them wrong.
#include "scenario.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "base/files.h"

namespace corvane::simtool {
namespace {

using json = nlohmann::json;

class ScenarioLoaderTest : public ::testing::Test {
 protected:
  // The text of a scenario on the demo desktop with one event.
  static std::string withEvent(const json& event) {
    json doc = {{"desktopFile", std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo-desktop.json"},
                {"duration", 2},
                {"timeline", {event}}};
    return doc.dump();
  }
  std::optional<Scenario> load(const std::string& text, const std::string& path = "/x/case.json") {
    error.clear();
    return loadScenarioText(text, path, &error);
  }
  std::string error;
};

TEST_F(ScenarioLoaderTest, NumbersAreRefusedOutsideTheirRangesInsteadOfWrapping) {
  struct Case {
    json event;
    std::string message;
  };
  const Case cases[] = {
      {{{"at", 1}, {"event", "quit"}, {"pid", 4294967797}}, "pid: expected a whole number from 1 to 2147483647"},
      {{{"at", 1}, {"event", "activate"}, {"pid", -501}}, "pid: expected a whole number from 1 to 2147483647"},
      {{{"at", 1}, {"event", "quit"}, {"pid", 18446744073709551615u}}, "pid: expected a whole number from 1 to 2147483647"},
      {{{"at", 1}, {"event", "closeWindow"}, {"number", 4294967397}},
       "number: expected a whole number from 1 to 4294967295"},
      {{{"at", 1}, {"event", "commandTab"}, {"to", 501}, {"tabs", 2147483647}}, "tabs: expected a whole number from 1 to 64"},
      {{{"at", 1}, {"event", "commandTab"}, {"to", 501}, {"tabs", 0}}, "tabs: expected a whole number from 1 to 64"},
      {{{"at", 1}, {"event", "moveWindow"}, {"number", 101}, {"origin", {1e300, 0}}}, "origin: expected [x, y]"},
      {{{"at", 1}, {"event", "preferences"}, {"set", {{"blurIntensity", 5}}}}, "blurIntensity: expected a number from 0 to 1"},
      {{{"at", 1}, {"event", "drag"}, {"number", 101}, {"by", {10, 0}}, {"edge", "middle"}}, "edge: expected one of"},
      {{{"at", 1}, {"event", "moveWindow"}, {"number", 101}, {"origin", {0, 0}}, {"duration", 0}},
       "duration: expected seconds above 0, at most 60"},
      {{{"at", 1}, {"event", "drag"}, {"number", 101}, {"from", {5, 5}}, {"by", {10, 0}}},
       "give exactly one of \"number\" and \"from\""},
      {{{"at", 1}, {"event", "drag"}, {"by", {10, 0}}}, "give exactly one of \"number\" and \"from\""},
      {{{"at", 1}, {"event", "key"}, {"key", "command"}, {"times", 11}}, "times: expected a whole number from 1 to 10"},
      {{{"at", 1}, {"event", "key"}, {"key", "command"}, {"action", "press"}, {"times", 3}}, "times: only taps repeat"},
      {{{"at", 1}, {"event", "key"}, {"key", "control"}, {"times", 3}, {"interval", 0}}, "interval: expected seconds"},
      {{{"at", 1}, {"event", "click"}, {"point", {5, 5}}, {"count", 4}}, "count: expected a whole number from 1 to 3"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(load(withEvent(c.event))) << c.event.dump();
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  ASSERT_TRUE(load(withEvent({{"at", 1}, {"event", "commandTab"}, {"to", 501}, {"tabs", 64}}))) << error;
  json windows = json::parse(withEvent({{"at", 1}, {"event", "quit"}, {"pid", 2147483647}}));
  windows["meetingWindows"] = {18446744073709551615u};
  EXPECT_FALSE(load(windows.dump()));
  EXPECT_NE(error.find("meetingWindows: expected an array of window numbers from 1 to 4294967295"), std::string::npos);
  windows["meetingWindows"] = {4294967295u};
  auto fine = load(windows.dump());
  ASSERT_TRUE(fine) << error;
  EXPECT_EQ(fine->meetingWindows, std::set<int64_t>{4294967295});
}

TEST_F(ScenarioLoaderTest, BannersAndTheDesktopPictureAreCheckedBeforeAnythingPlays) {
  const std::pair<json, std::string> events[] = {
      {{{"at", 1}, {"event", "notify"}, {"app", "Mail"}}, "missing \"title\""},
      {{{"at", 1}, {"event", "notify"}, {"app", "Mail"}, {"title", 7}}, "expected strings"},
      {{{"at", 1}, {"event", "notify"}, {"app", "Mail"}, {"title", "t"}, {"seconds", 0}}, "seconds: expected"},
      {{{"at", 1}, {"event", "preferences"}, {"set", {{"blurDesktop", "yes"}}}}, "blurDesktop: expected true or false"},
  };
  for (const auto& [event, message] : events) {
    EXPECT_FALSE(load(withEvent(event))) << event.dump();
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
  json doc = json::parse(withEvent({{"at", 1}, {"event", "notify"}, {"app", "Mail"}, {"title", "Payroll"}}));
  for (const json& picture : {json{{"color", "blue"}}, json{{"color", "#123456"}, {"icons", {1}}},
                              json{{"color", "#123456"}, {"size", 3}}}) {
    doc["desktopPicture"] = picture;
    EXPECT_FALSE(load(doc.dump())) << picture.dump();
    EXPECT_NE(error.find("desktopPicture"), std::string::npos) << error;
  }
  doc["desktopPicture"] = {{"color", "#2E6B8A"}, {"icons", {"Budget.xlsx"}}};
  doc["preferences"] = {{"blurDesktop", true}};
  auto fine = load(doc.dump());
  ASSERT_TRUE(fine) << error;
  EXPECT_EQ(fine->desktopPictureColor, 0x2E6B8Au);
  EXPECT_EQ(fine->desktopIcons, std::vector<std::string>{"Budget.xlsx"});
  EXPECT_TRUE(fine->blurDesktop);
}

// The scenario's motion model and window server replace the desktop file's; they are checked as
// the desktop's are, when the desktop loads.
TEST_F(ScenarioLoaderTest, AScenarioMayPlayItsDesktopOnAnotherMotionModel) {
  json doc = json::parse(withEvent({{"at", 1}, {"event", "drag"}, {"number", 101}, {"by", {10, 0}}, {"edge", "topLeft"}}));
  doc["motion"] = {{"windowListLatency", 0.0167}};
  doc["windowServer"] = {{"missingEntryPoints", {"SLSRegisterConnectionNotifyProc"}}};
  auto s = load(doc.dump());
  ASSERT_TRUE(s) << error;
  EXPECT_EQ(s->desktop["motion"]["windowListLatency"], 0.0167);
  EXPECT_EQ(s->desktop["windowServer"]["missingEntryPoints"][0], "SLSRegisterConnectionNotifyProc");
  EXPECT_TRUE(s->desktop.contains("windows")) << "the rest of the desktop file stays";
}

TEST_F(ScenarioLoaderTest, ANameNeverLeadsOutsideTheOutputDirectory) {
  json doc = json::parse(withEvent({{"at", 1}, {"event", "picture"}, {"name", "p"}}));
  for (const char* bad : {"../..", "..", "a/b", "/etc", ".hidden", ""}) {
    doc["name"] = bad;
    EXPECT_FALSE(load(doc.dump())) << bad;
    EXPECT_NE(error.find("name: expected 1 to 100 letters"), std::string::npos) << error;
  }
  doc["name"] = "my-run_2.b";
  ASSERT_TRUE(load(doc.dump())) << error;
  EXPECT_EQ(load(doc.dump())->name, "my-run_2.b");
  doc.erase("name");
  EXPECT_EQ(load(doc.dump(), "/x/..odd name!.json")->name, "odd_name_");
  EXPECT_EQ(load(doc.dump(), "/x/...json")->name, "scenario");
}

TEST_F(ScenarioLoaderTest, DeepDocumentsAndFilesThatAreNotFilesAreRefused) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  EXPECT_FALSE(load("{\"description\": " + deep + "}"));
  EXPECT_NE(error.find("nested deeper than 256 levels"), std::string::npos) << error;
  EXPECT_FALSE(load("{\"desktop\": {}, \"timeline\": [{\"at\": 0, \"event\": \"launch\", \"app\": " + deep + "}]}"));

  PrivateDirectory dir("/tmp", "corvane-scenario-");
  ASSERT_FALSE(dir.path().empty());
  const std::string fifo = dir.path() + "/fifo.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(loadScenario(fifo, &error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  EXPECT_FALSE(load("{\"desktopFile\": \"/dev/zero\"}"));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  std::string writeError;
  ASSERT_TRUE(writeFileText(deep, dir.path() + "/deep-desktop.json", &writeError));
  EXPECT_FALSE(load("{\"desktopFile\": \"deep-desktop.json\"}", dir.path() + "/s.json"));
  EXPECT_NE(error.find("nested deeper than 256 levels"), std::string::npos) << error;
}

}  // namespace
}  // namespace corvane::simtool
