// End to end: corvane-sim plays the bundled demo meeting and the report says what the share saw.
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "app/scenario_play.h"
#include "base/files.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

using SimulatedMeetingTest = ScenarioPlayTest;

TEST_F(SimulatedMeetingTest, TheDemoSharesNoProtectedPixelAndKeepsTheMeetingClear) {
  std::string output;
  json report = this->report("demo.json", &output);
  ASSERT_FALSE(report.empty());

  EXPECT_EQ(report["frames"].get<int>(), 14 * 60 + 1);
  EXPECT_EQ(report["leaks"]["steadyFrames"].get<int>(), 0) << report["leakSpans"].dump();
  EXPECT_EQ(report["frostedMeetingFrames"].get<int>(), 0);

  // The share starts at 2.0 s and ends at 10.0 s.
  const json& timeline = report["timeline"];
  ASSERT_EQ(timeline.size(), 2u) << timeline.dump();
  EXPECT_TRUE(timeline[0]["privacy"].get<bool>());
  EXPECT_GE(timeline[0]["t"].get<double>(), 2.0);
  EXPECT_LE(timeline[0]["t"].get<double>(), 2.25);
  EXPECT_FALSE(timeline[1]["privacy"].get<bool>());
  EXPECT_GE(timeline[1]["t"].get<double>(), 12.0);
  EXPECT_LE(timeline[1]["t"].get<double>(), 12.25);
  // Never less than the release delay after the detector last saw the share.
  const json& signal = report["shareSignal"];
  ASSERT_GE(signal.size(), 2u);
  EXPECT_GE(timeline[1]["t"].get<double>() - 10.0, 2.0 - 1e-9);

  for (const char* name : {"sharing", "slack-revealed", "covered-again"}) {
    EXPECT_TRUE(fs::exists(out / (std::string(name) + "-share.png"))) << name;
    EXPECT_TRUE(fs::exists(out / (std::string(name) + "-local.png"))) << name;
  }
  EXPECT_NE(output.find("0 steady"), std::string::npos) << output;
  EXPECT_EQ(report["leaks"]["unprobedFrames"].get<int>(), 0);
  // The run states its own speed.
  EXPECT_GT(report["speed"]["simulatedSecondsPerCpuSecond"].get<double>(), 0);
  EXPECT_GT(report["speed"]["cpuSeconds"].get<double>(), 0);
  EXPECT_NE(output.find("simulated seconds per CPU second"), std::string::npos) << output;
}

// Every display is probed and pictured. The new Slack window opens on the second display and shows
// for the moment before the next refresh frosts it; after that it stays covered.
TEST_F(SimulatedMeetingTest, EveryDisplayIsProbedAndPictured) {
  json report = this->report("two-displays.json");
  ASSERT_FALSE(report.empty());

  EXPECT_EQ(report["leaks"]["steadyFrames"].get<int>(), 0) << report["leakSpans"].dump();
  EXPECT_EQ(report["leaks"]["unprobedFrames"].get<int>(), 0);
  EXPECT_GT(report["leaks"]["appearFrames"].get<int>(), 0) << "the new window on the second display is probed";
  EXPECT_LE(report["leaks"]["appearFrames"].get<int>(), 6);
  EXPECT_EQ(report["leakedPixelMs"].size(), 1u) << report["leakedPixelMs"].dump();
  EXPECT_TRUE(report["leakedPixelMs"].contains("102")) << report["leakedPixelMs"].dump();

  for (const char* name : {"sharing-share.png", "sharing-local.png", "sharing-share-2.png", "sharing-local-2.png"}) {
    EXPECT_TRUE(fs::exists(out / name)) << name;
  }
  ASSERT_EQ(report["pictures"][0]["otherDisplays"].size(), 1u);
  EXPECT_EQ(report["pictures"][0]["otherDisplays"][0]["display"].get<int>(), 2);
}

// A protected window on a display too large to draw: the share there is unknown, so the run says
// so and fails rather than reporting no leaks.
TEST_F(SimulatedMeetingTest, ADisplayThatCannotBeDrawnFailsTheRun) {
  fs::create_directories(out);
  const std::string path = (out / "huge.json").string();
  std::string error;
  ASSERT_TRUE(writeFileText(R"({"name": "huge", "duration": 1,
      "desktop": {
        "displays": [{"id": 1, "frame": [0, 0, 800, 600]}, {"id": 7, "frame": [800, 0, 40000, 600]}],
        "apps": [{"pid": 501, "bundleID": "com.tinyspeck.slackmacgap", "name": "Slack"}],
        "windows": [{"number": 101, "pid": 501, "bounds": [1000, 100, 400, 300]}]},
      "preferences": {"protectedApps": [{"bundleID": "com.tinyspeck.slackmacgap", "name": "Slack"}],
                      "autoDetectEnabled": false},
      "timeline": []})",
                            path, &error))
      << error;
  auto result = play(path);
  EXPECT_EQ(result.status, 1) << result.standardOutput;
  EXPECT_EQ(result.standardOutput.find("no protected pixel was ever shared"), std::string::npos) << result.standardOutput;
  // A loader that refuses such a display outright is just as honest; one that plays it must say
  // which samples went unprobed.
  if (fs::exists(out / "report.json")) {
    EXPECT_NE(result.standardOutput.find("could not be probed (display 7 is too large to draw)"), std::string::npos)
        << result.standardOutput;
    EXPECT_EQ(readReport()["leaks"]["unprobedFrames"].get<int>(), 61);
  }
}

// Between a share's start and Privacy Mode answering it the share shows everything; those samples
// are counted on their own. A call in progress makes the detector watch every display frame, so
// the share is covered by the next sample; without one it polls four times a second.
TEST_F(SimulatedMeetingTest, ASharePlainlyStartedIsCoveredWithinAFrameDuringACallAndAQuarterSecondWithout) {
  std::string output;
  json during = report("share-during-call.json", &output);
  ASSERT_TRUE(during.is_object());
  // The share starts on a sample, which shows it; the next one is covered.
  EXPECT_EQ(during["leaks"]["beforeDetectionFrames"].get<int>(), 1);
  EXPECT_EQ(during["leaks"]["steadyFrames"].get<int>(), 0) << during["leakSpans"].dump();
  EXPECT_NE(output.find("Privacy Mode was not on yet): 1 sample\n"), std::string::npos) << output;
  ASSERT_EQ(during["timeline"].size(), 1u) << during["timeline"].dump();
  EXPECT_LE(during["timeline"][0]["t"].get<double>() - 1.0, 1.0 / 60 + 1e-3);  // times in whole ms

  json without = report("share-without-call.json");
  ASSERT_TRUE(without.is_object());
  const json& timeline = without["timeline"];
  ASSERT_EQ(timeline.size(), 3u) << timeline.dump();
  // Once just after a poll, once just before one.
  for (double start : {1.0, 3.76}) {
    bool answered = false;
    for (const auto& change : timeline) {
      const double t = change["t"].get<double>();
      if (change["privacy"].get<bool>() && t >= start && t <= start + 0.25 + 1e-3) answered = true;
    }
    EXPECT_TRUE(answered) << "share at " << start << ": " << timeline.dump();
  }
  EXPECT_GE(without["leaks"]["beforeDetectionFrames"].get<int>(), 15 + 1);
  EXPECT_LE(without["leaks"]["beforeDetectionFrames"].get<int>(), 2 * 15);
  EXPECT_EQ(without["leaks"]["steadyFrames"].get<int>(), 0) << without["leakSpans"].dump();
}

// A meeting as people hold it: hiding, minimising, a second display, new windows under numbers of
// their own, Escape in the switcher, a pop-out meeting window, a tree that changes and a policy.
TEST_F(SimulatedMeetingTest, ABusyMeetingLeaksNothingSteadilyAndAppliesThePolicyItReceives) {
  json r = report("busy-meeting.json");
  ASSERT_TRUE(r.is_object());
  EXPECT_EQ(r["leaks"]["steadyFrames"].get<int>(), 0) << r["leakSpans"].dump();
  EXPECT_LE(r["leaks"]["beforeDetectionFrames"].get<int>(), 1);
  EXPECT_EQ(r["frostedMeetingFrames"].get<int>(), 0);
  ASSERT_EQ(r["policies"].size(), 1u) << r["policies"].dump();
  const json& policy = r["policies"][0];
  EXPECT_EQ(policy["version"].get<int>(), 3);
  EXPECT_GE(policy["t"].get<double>(), 12.0);
  EXPECT_LE(policy["t"].get<double>(), 12.0 + 1.0 / 60);
  EXPECT_EQ(policy["lockedKeys"], (json{"blurIntensity", "protectedApps"}));
  // Finder became protected by the policy: its window was frosted from then on, so it leaked
  // nothing after the share started either.
  EXPECT_FALSE(r["leakedPixelMs"].contains("110")) << r["leakedPixelMs"].dump();
  for (const char* name : {"sharing", "slack-hidden", "second-display", "pop-out", "policy", "after"}) {
    EXPECT_TRUE(fs::exists(out / (std::string(name) + "-share.png"))) << name;
  }
  // The share ends at 13.5 s; Privacy Mode goes off after the release delay.
  ASSERT_FALSE(r["timeline"].empty());
  EXPECT_FALSE(r["timeline"].back()["privacy"].get<bool>());
  EXPECT_GE(r["timeline"].back()["t"].get<double>(), 15.5);
}

TEST_F(SimulatedMeetingTest, BadScenarioInputNamesTheFileAndTheEvent) {
  fs::create_directories(out);
  const std::string path = (out / "broken.json").string();
  std::string error;
  ASSERT_TRUE(writeFileText(R"({"desktopFile": ")" + std::string(CORVANE_SOURCE_DIR) +
                                R"(/scenarios/demo-desktop.json", "duration": 2,
        "timeline": [{"at": 0.5, "event": "picture", "name": "ok"},
                     {"at": 1.0, "event": "startShare", "kind": "carrier-pigeon"}]})",
                            path, &error))
      << error;
  auto result = play(path);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.standardOutput.find(path), std::string::npos) << result.standardOutput;
  EXPECT_NE(result.standardOutput.find("timeline[1] (startShare at 1.00 s)"), std::string::npos) << result.standardOutput;
  EXPECT_NE(result.standardOutput.find("kind"), std::string::npos) << result.standardOutput;
  // Nothing ran: no report.
  EXPECT_FALSE(fs::exists(out / "report.json"));

  // An event that fits the format but not the desktop stops the run with the same precision.
  ASSERT_TRUE(writeFileText(R"({"desktopFile": ")" + std::string(CORVANE_SOURCE_DIR) +
                                R"(/scenarios/demo-desktop.json", "duration": 2,
        "timeline": [{"at": 1.0, "event": "closeWindow", "number": 4242}]})",
                            path, &error));
  result = play(path);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.standardOutput.find("timeline[0] (closeWindow at 1.00 s): no window 4242"), std::string::npos)
      << result.standardOutput;

  // The newer events are checked the same way, in the file and against the desktop (at once, so
  // that each run stops at its start).
  auto failsWith = [&](const std::string& event, const std::string& message) {
    ASSERT_TRUE(writeFileText(R"({"desktopFile": ")" + std::string(CORVANE_SOURCE_DIR) +
                                  R"(/scenarios/demo-desktop.json", "duration": 2, "timeline": [)" + event + "]}",
                              path, &error));
    auto r = play(path);
    EXPECT_EQ(r.status, 1) << event;
    EXPECT_NE(r.standardOutput.find(message), std::string::npos) << event << "\n" << r.standardOutput;
  };
  failsWith(R"({"at": 0, "event": "setLevel", "number": 101, "level": "sky"})", "level: expected a level name");
  failsWith(R"({"at": 0, "event": "setAlpha", "number": 101, "alpha": 1.5})", "alpha: expected a number from 0 to 1");
  failsWith(R"({"at": 0, "event": "setSharing", "number": 101, "sharing": "all"})", "sharing: expected");
  failsWith(R"({"at": 0, "event": "key", "key": "F13"})", "key: expected one of");
  failsWith(R"({"at": 0, "event": "accessibility"})", R"(expected "windows", "apps" or "trusted")");
  failsWith(R"({"at": 0, "event": "removeDisplay", "id": 1})", "(removeDisplay at 0.00 s): display 1 is the main display");
  failsWith(R"({"at": 0, "event": "addDisplay", "display": {"id": 1, "frame": [1512, 0, 800, 600]}})",
            "(addDisplay at 0.00 s): display.id: duplicate display id 1");
  failsWith(R"({"at": 0, "event": "hide", "pid": 4242})", "no running application with pid 4242");
  failsWith(R"({"at": 0, "event": "minimise", "number": 4242})", "(minimise at 0.00 s): no window 4242");
  failsWith(R"({"at": 0, "event": "accessibility", "windows": [{"number": 4242}]})",
            "accessibility.windows[0].number: no window with number 4242");
  failsWith(R"({"at": 0, "event": "meetingWindows", "windows": ["141"]})", "windows: expected an array of window numbers");
}

// A quit application's pid may be launched again, and windows the program opens never take the
// numbers the script gives its own windows later.
TEST_F(SimulatedMeetingTest, ScriptsReuseQuitPidsAndKeepTheirWindowNumbers) {
  fs::create_directories(out);
  const std::string path = (out / "numbers.json").string();
  std::string error;
  ASSERT_TRUE(writeFileText(R"({"desktopFile": ")" + std::string(CORVANE_SOURCE_DIR) +
                                R"(/scenarios/demo-desktop.json", "duration": 3,
        "preferences": {"protectedApps": [{"bundleID": "com.tinyspeck.slackmacgap", "name": "Slack"}],
                        "autoDetectEnabled": false},
        "timeline": [
          {"at": 0.5, "event": "openWindow",
           "window": {"number": 300, "pid": 501, "bounds": [100, 100, 300, 200], "cornerRadius": 16}},
          {"at": 1.0, "event": "openWindow",
           "window": {"number": 301, "pid": 501, "bounds": [150, 150, 300, 200], "cornerRadius": 16}},
          {"at": 1.5, "event": "quit", "pid": 501},
          {"at": 2.0, "event": "launch", "app": {"pid": 501, "bundleID": "com.tinyspeck.slackmacgap", "name": "Slack"}},
          {"at": 2.1, "event": "openWindow",
           "window": {"number": 302, "pid": 501, "bounds": [400, 300, 300, 200], "cornerRadius": 16}}]})",
                            path, &error));
  auto result = play(path);
  EXPECT_EQ(result.status, 0) << result.standardOutput;
  EXPECT_EQ(readReport()["leaks"]["steadyFrames"].get<int>(), 0);
}

}  // namespace
}  // namespace corvane
