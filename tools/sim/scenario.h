// A scenario for corvane-sim: a desktop, the user's preferences, and a timeline of what happens.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/window_server.h"
#include "settings/app_ref.h"

namespace corvane::simtool {

struct ScenarioEvent {
  double at = 0;         // seconds after the start
  std::string kind;      // "launch", "quit", "activate", "openWindow", ...
  nlohmann::json fields;   // the whole event object
  size_t index = 0;      // position in the timeline, for messages
  std::string describe() const;
};

struct Scenario {
  std::string path;
  std::string name;
  nlohmann::json desktop;
  std::vector<AppRef> protectedApps;
  std::vector<AppRef> triggerApps;
  bool autoDetectEnabled = true;
  double blurIntensity = 0.5;
  bool blurDesktop = false;
  // The desktop picture's colour (0xRRGGBB) and the names of the icons on it, when the scenario
  // puts one on the desktop.
  std::optional<uint32_t> desktopPictureColor;
  std::vector<std::string> desktopIcons;
  bool requireCorvane = false;
  // A scenario plays an application that has been set up already, unless it says otherwise.
  bool hasCompletedOnboarding = true;
  bool listenAccess = true;
  // Windows that are allowed to show even though their application is protected (meeting windows
  // of a protected conferencing application).
  std::set<int64_t> meetingWindows;
  double duration = 10;
  std::vector<ScenarioEvent> events;  // sorted by time, ties in file order
};

// The most Tab presses one commandTab event may hold.
constexpr int64_t kMaxTabs = 64;
// A window's sharing type as scenarios and desktops write it: "none", "readOnly", "readWrite" or
// 0 to 2; nothing for anything else.
std::optional<WindowSharingState> sharingType(const nlohmann::json& v);

// Reads and checks a scenario file. Every event is checked here, so a bad event is reported before
// anything runs. The message names the file, the event and what is wrong.
std::optional<Scenario> loadScenario(const std::string& path, std::string* error);
// The same for a scenario's text; `path` names it in messages, gives the default name and is where
// a "desktopFile" is looked for.
std::optional<Scenario> loadScenarioText(const std::string& text, const std::string& path, std::string* error);

}  // namespace corvane::simtool
