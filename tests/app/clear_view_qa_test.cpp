#include "app/clear_view_qa.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/scenario_play.h"
#include "base/files.h"
#include "base/png.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

void paint(PixelBuffer& picture, int x, int y, uint8_t r, uint8_t g, uint8_t b) {
  uint8_t* p = picture.pixel(x, y);
  p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
}

// A window's content: bright stripes with sharp edges.
PixelBuffer windowContent(int width, int height) {
  PixelBuffer content(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if ((y / 4) % 2) paint(content, x, y, 230, 200, 120);
      else paint(content, x, y, 90, 160, 240);
    }
  }
  return content;
}

// A screen of 500 x 400 points (at `scale` pixels per point) whose desktop has sharp lines, with
// window 101 at 50,50 320x220 (screen space, y up: picture rows 130 to 350): covered by a soft flat
// frost, or leaked.
struct Scene {
  int scale = 1;
  bool leaked = false;

  PixelBuffer share() const {
    PixelBuffer picture(500 * scale, 400 * scale);
    for (int y = 0; y < picture.height; ++y) {
      for (int x = 0; x < picture.width; ++x) paint(picture, x, y, 20, 40, (y / 3) % 2 ? 90 : 180);
    }
    const PixelBuffer content = windowContent(320 * scale, 220 * scale);
    for (int y = 0; y < 220 * scale; ++y) {
      for (int x = 0; x < 320 * scale; ++x) {
        const int px = 50 * scale + x, py = 130 * scale + y;
        if (leaked) std::copy_n(content.pixel(x, y), 4, picture.pixel(px, py));
        else paint(picture, px, py, 110, 105, 120);
      }
    }
    return picture;
  }
};

// A sound dump of that scene: the frost of window 101 (window 900) with its plate (window 901)
// directly above it.
json soundState() {
  return {{"clearViewActive", true},
          {"status", "Live: 1/1 windows @ 30 fps — share sees frost"},
          {"frontmostPID", 501},
          {"frost",
           {{{"target", 101}, {"window", 900}, {"stacking", 101}, {"ownerPID", 501}, {"visible", true},
             {"level", 0}, {"revealed", false}, {"clearViewMode", true}, {"frame", "50,50 320x220"},
             {"holes", json::array()}}}},
          {"mirrors",
           {{{"target", 101}, {"window", 901}, {"visible", true}, {"hasFrame", true}, {"level", 0},
             {"frame", "50,50 320x220"}}}},
          {"stack", {901, 900, 101, 7}}};
}

class ClearViewQATest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("corvane-qa-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dump());
  }
  void TearDown() override { fs::remove_all(dir); }

  fs::path dump() const { return dir / "dump"; }
  fs::path sharePath() const { return dir / "share.png"; }
  fs::path outDir() const { return dir / "out"; }

  void writeText(const fs::path& path, const std::string& text) {
    std::string error;
    ASSERT_TRUE(writeFileText(text, path.string(), &error)) << error;
  }
  void writePicture(const fs::path& path, const PixelBuffer& picture) {
    std::string error;
    ASSERT_TRUE(writePNG(picture, path.string(), &error)) << error;
  }
  // The dump and pictures of a scene; `source`: the mirror's frame of window 101 is in the dump.
  void prepare(const json& state, const Scene& scene, bool source = true) {
    writeText(dump() / "state.json", state.dump(2));
    writeText(dump() / "report.txt", "status=Live\nmirrors=1\nscreens=0,0 500x400\n");
    writePicture(sharePath(), scene.share());
    if (source) writePicture(dump() / "source-101.png", windowContent(320 * scene.scale, 220 * scene.scale));
  }

  int run() {
    out.str("");
    err.str("");
    return ClearViewQA::run(dump().string(), sharePath().string(), outDir().string(), out, err);
  }
  bool printed(const std::string& line) const { return out.str().find(line) != std::string::npos; }

  fs::path dir;
  std::ostringstream out, err;
};

TEST_F(ClearViewQATest, StackingAndLeaksAreFoundWithTheirOwnLines) {
  struct Case {
    const char* name;
    std::function<void(json&)> doctor;
    Scene scene;
    bool source;
    int status;
    std::vector<std::string> lines;
  } cases[] = {
      {"sound", [](json&) {}, {}, true, 0,
       {"PASS plate of window 101 stands directly above its frost at level 0",
        "PASS plate of window 101 lies within its frost",
        "PASS share shows frost over window 101 (0.0% of the area matches the window)", "INFO result: 3 PASS, 0 FAIL"}},
      {"plate below its frost", [](json& s) { s["stack"] = {900, 901, 101}; }, {}, true, 1,
       {"FAIL plate of window 101 is below its frost (window 901 under window 900)"}},
      {"a window between", [](json& s) { s["stack"] = {901, 55, 900, 101}; }, {}, true, 1,
       {"FAIL plate of window 101 is not directly above its frost (1 window between them)"}},
      {"plate missing from the order", [](json& s) { s["stack"] = {900, 101}; }, {}, true, 1,
       {"FAIL plate of window 101: plate window 901 is not in the window order"}},
      {"plate at another level", [](json& s) { s["mirrors"][0]["level"] = 2; }, {}, true, 1,
       {"FAIL plate of window 101 stands at level 2, its frost at level 0"}},
      {"plate wider than its frost", [](json& s) { s["mirrors"][0]["frame"] = "50,50 350x220"; }, {}, true, 1,
       {"FAIL plate of window 101 reaches outside its frost: plate 50,50 350x220, frost 50,50 320x220"}},
      {"frost missing", [](json& s) { s["frost"] = json::array(); }, {}, true, 1,
       {"FAIL plate of window 101 is visible but the window has no frost"}},
      {"frost hidden under a visible plate", [](json& s) { s["frost"][0]["visible"] = false; }, {}, true, 1,
       {"FAIL plate of window 101 is visible but its frost is not"}},
      {"an older dump without window order", [](json& s) { s.erase("stack"); }, {}, true, 0,
       {"INFO the dump holds no window order", "PASS plate of window 101 stands at its frost's level 0"}},
      {"hidden plate of a revealed window", [](json& s) {
         s["mirrors"][0]["visible"] = false;
         s["frost"][0]["revealed"] = true;
       }, {.leaked = true}, true, 0,
       {"INFO plate of window 101 is hidden", "INFO window 101 is shown to the meeting"}},
      {"leak seen against the source frame", [](json&) {}, {.leaked = true}, true, 1,
       {"FAIL share shows window 101 where its frost should be (100.0% of the area matches the window)"}},
      {"leak where the frost is missing", [](json& s) { s["frost"] = json::array(); }, {.leaked = true}, true, 1,
       {"FAIL share shows window 101 where its frost should be"}},
      {"leak seen by its edges", [](json& s) { s["mirrors"] = json::array(); }, {.leaked = true}, false, 1,
       {"FAIL share shows sharp content over window 101 where its frost should be"}},
      {"frost told by its softness", [](json& s) { s["mirrors"] = json::array(); }, {}, false, 0,
       {"PASS share shows soft frost over window 101 (0.0% sharp edges"}},
      {"a frost of the leaked area cut by a hole", [](json& s) { s["frost"][0]["holes"] = {"50,50 320x220"}; },
       {.leaked = true}, true, 0,
       {"INFO window 101: its source frame has nothing bright enough to compare"}},
      {"retina picture", [](json&) {}, {.scale = 2}, true, 0,
       {"2.00 pixels per point", "PASS share shows frost over window 101"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json state = soundState();
    c.doctor(state);
    fs::remove(dump() / "source-101.png");
    prepare(state, c.scene, c.source);
    EXPECT_EQ(run(), c.status) << out.str() << err.str();
    for (const std::string& line : c.lines) EXPECT_TRUE(printed(line)) << "no \"" << line << "\" in\n" << out.str();
    EXPECT_EQ(err.str(), "");
  }
}

TEST_F(ClearViewQATest, CompositeShowsThePlatesContentLessTheHolesAndTheChecksAreKept) {
  json state = soundState();
  // A foreign window in front of the left quarter of window 101: the user sees it, not the plate.
  state["frost"][0]["holes"] = {"50,50 80x220"};
  prepare(state, Scene{.scale = 2});
  ASSERT_EQ(run(), 0) << out.str() << err.str();

  std::string error;
  auto local = readPNG((outDir() / "local-composite.png").string(), &error);
  ASSERT_TRUE(local) << error;
  const PixelBuffer share = Scene{.scale = 2}.share();
  const PixelBuffer content = windowContent(640, 440);
  ASSERT_EQ(local->width, 1000);
  ASSERT_EQ(local->height, 800);
  // Inside the plate, right of the hole: the window's own pixels, in place.
  for (auto [x, y] : {std::pair{300, 300}, {500, 405}, {739, 699}}) {
    EXPECT_TRUE(std::equal(local->pixel(x, y), local->pixel(x, y) + 4, content.pixel(x - 100, y - 260))) << x << "," << y;
  }
  // In the hole and outside the plate: the share as it was.
  for (auto [x, y] : {std::pair{150, 400}, {20, 20}, {900, 750}}) {
    EXPECT_TRUE(std::equal(local->pixel(x, y), local->pixel(x, y) + 4, share.pixel(x, y))) << x << "," << y;
  }
  auto source = readPNG((outDir() / "source-101.png").string(), &error);
  ASSERT_TRUE(source) << error;
  EXPECT_EQ(source->width, 640);
  EXPECT_EQ(readFileText((outDir() / "checks.txt").string(), &error), out.str());
}

TEST_F(ClearViewQATest, UnreadableDumpsAndPicturesGiveOneClearMessage) {
  const std::string state = (dump() / "state.json").string();
  struct Case {
    const char* name;
    std::function<void()> spoil;
    std::string message;
  } cases[] = {
      {"no dump", [&] { fs::remove(state); }, "qa: no state.json in " + dump().string() + "\n"},
      {"not JSON", [&] { writeText(state, "{\"frost\": ["); }, "qa: cannot read " + state + "\nqa: " + state + ": not valid JSON"},
      {"a directory", [&] { fs::remove(state), fs::create_directory(state); }, "qa: cannot read " + state + "\n"},
      {"nested too deep", [&] { writeText(state, std::string(10000, '[') + std::string(10000, ']')); }, "nested deeper"},
      {"no frost list", [&] { writeText(state, R"({"mirrors": []})"); }, "state: no \"frost\""},
      {"a frame that is no frame", [&] {
         json s = soundState();
         s["frost"][0]["frame"] = "50,50 200";
         writeText(state, s.dump());
       }, "frost[0].frame: expected a frame \"x,y wxh\""},
      {"a negative size", [&] {
         json s = soundState();
         s["mirrors"][0]["frame"] = "50,50 -200x150";
         writeText(state, s.dump());
       }, "mirrors[0].frame: expected a frame"},
      {"a level as text", [&] {
         json s = soundState();
         s["mirrors"][0]["level"] = "0";
         writeText(state, s.dump());
       }, "mirrors[0].level: expected a whole number"},
      {"a huge number", [&] {
         writeText(state, R"({"frost": [{"target": 18446744073709551615, "window": 1}], "mirrors": []})");
       }, "frost[0].target: expected a whole number"},
      {"a hole that is not text", [&] {
         json s = soundState();
         s["frost"][0]["holes"] = {7};
         writeText(state, s.dump());
       }, "frost[0].holes[0]: expected a frame"},
      {"no share picture", [&] { fs::remove(sharePath()); }, "qa: cannot read " + sharePath().string()},
      {"a share picture cut short", [&] {
         auto bytes = readFileText(sharePath().string(), nullptr);
         writeText(sharePath(), bytes->substr(0, bytes->size() / 2));
       }, "qa: cannot read " + sharePath().string()},
      {"a corrupt source frame", [&] { writeText(dump() / "source-101.png", "not a picture"); },
       "qa: cannot read " + (dump() / "source-101.png").string()},
      {"a picture of another screen", [&] { writePicture(sharePath(), PixelBuffer(300, 300)); },
       "does not fit the main screen 0,0 500x400"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dump());
    fs::create_directories(dump());
    prepare(soundState(), Scene{});
    c.spoil();
    EXPECT_EQ(run(), 1);
    EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(fs::exists(outDir() / "checks.txt"));
  }
}

// The dump that a simulated meeting writes passes, through the real executable, at each moment the
// meeting takes one (frosted, one window shown to the meeting, frosted again).
class ClearViewQAMeetingTest : public ScenarioPlayTest {};

TEST_F(ClearViewQAMeetingTest, DumpsOfTheDemoMeetingPass) {
  std::string error;
  auto text = readFileText(std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo.json", &error);
  ASSERT_TRUE(text) << error;
  json scenario = json::parse(*text);
  scenario["desktopFile"] = std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo-desktop.json";
  scenario["duration"] = 9;
  json& timeline = scenario["timeline"];
  timeline.erase(std::remove_if(timeline.begin(), timeline.end(), [](const json& e) { return e["at"].get<double>() >= 9; }),
                 timeline.end());
  std::vector<std::string> dumped;
  for (json& event : timeline) {
    if (event["event"] == "picture" && event["at"].get<double>() > 2.5 && event["at"].get<double>() < 9) {
      event["dump"] = true;
      dumped.push_back(event["name"]);
    }
  }
  ASSERT_EQ(dumped.size(), 3u);
  fs::create_directories(out);
  const std::string path = (out / "qa-meeting.json").string();
  ASSERT_TRUE(writeFileText(scenario.dump(), path, &error)) << error;
  auto played = play(path);
  ASSERT_EQ(played.status, 0) << played.standardOutput;

  for (const std::string& name : dumped) {
    SCOPED_TRACE(name);
    const std::string dumpDir = (out / (name + "-dump")).string();
    auto stateText = readFileText(dumpDir + "/state.json", &error);
    ASSERT_TRUE(stateText) << error;
    // The window order in the dump: every visible frost stands above the window it covers.
    const json state = json::parse(*stateText);
    const auto& stack = state["stack"];
    auto at = [&](const json& window) { return std::find(stack.begin(), stack.end(), window) - stack.begin(); };
    for (const json& frost : state["frost"]) {
      if (frost["visible"] == true) {
        EXPECT_LT(at(frost["window"]), at(frost["target"])) << frost.dump();
      }
    }
    auto result = processes.runCommand(CORVANE_EXE, {"--qa-composite", dumpDir, (out / (name + "-share.png")).string(),
                                                     (out / (name + "-qa")).string()});
    EXPECT_EQ(result.status, 0) << result.standardOutput;
    EXPECT_EQ(result.standardOutput.find("FAIL "), std::string::npos) << result.standardOutput;
    // Every protected window (Slack, 1Password, the Teams chat) is judged, or shown to the meeting.
    for (const char* window : {"window 101", "window 120", "window 140"}) {
      EXPECT_NE(result.standardOutput.find(window), std::string::npos) << result.standardOutput;
    }
    EXPECT_TRUE(fs::exists(out / (name + "-qa") / "local-composite.png"));
  }
  // The share picture taken before the frost came up shows every window: the check sees it, by the
  // mirror's own frame of the window that the dump holds.
  auto before = processes.runCommand(CORVANE_EXE, {"--qa-composite", (out / "sharing-dump").string(),
                                                   (out / "before-share.png").string(), (out / "before-qa").string()});
  EXPECT_EQ(before.status, 1);
  EXPECT_NE(before.standardOutput.find("FAIL share shows window 101 where its frost should be"), std::string::npos)
      << before.standardOutput;
}

}  // namespace
}  // namespace corvane
