#include "scenario.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>

#include "base/files.h"
#include "base/json_limits.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_loader.h"

namespace corvane::simtool {

namespace {

using json = nlohmann::json;

// Required and optional members of each event kind.
struct EventShape {
  std::vector<std::string> required;
  std::vector<std::string> optional;
};

const std::map<std::string, EventShape>& eventShapes() {
  static const std::map<std::string, EventShape> shapes = {
      {"launch", {{"app"}, {}}},
      {"quit", {{"pid"}, {}}},
      {"activate", {{"pid"}, {}}},
      {"openWindow", {{"window"}, {}}},
      {"closeWindow", {{"number"}, {}}},
      {"moveWindow", {{"number", "origin"}, {"duration"}}},
      {"resizeWindow", {{"number", "size"}, {"duration"}}},
      {"drag", {{"by"}, {"number", "from", "duration", "edge"}}},
      {"setTitle", {{"number", "title"}, {}}},
      {"startShare", {{"kind"}, {"pid"}}},
      {"stopShare", {{"kind"}, {"pid"}}},
      {"callAudio", {{"pid"}, {"input", "output"}}},
      {"microphone", {{"inUse"}, {}}},
      {"hotKey", {{"key"}, {"action"}}},
      {"commandTab", {{"to"}, {"tabs", "release"}}},
      {"click", {{"point"}, {"count"}}},
      {"menu", {{"item"}, {}}},
      {"openMenu", {{}, {}}},
      {"closeMenu", {{}, {}}},
      {"chooseMenuItem", {{"title"}, {}}},
      {"listenAccess", {{"granted"}, {}}},
      {"picture", {{"name"}, {"dump"}}},
      {"preferences", {{"set"}, {}}},
      {"minimise", {{"number"}, {}}},
      {"restore", {{"number"}, {}}},
      {"hide", {{"pid"}, {}}},
      {"unhide", {{"pid"}, {}}},
      {"setLevel", {{"number", "level"}, {}}},
      {"setAlpha", {{"number", "alpha"}, {}}},
      {"setSharing", {{"number", "sharing"}, {}}},
      {"raiseWindow", {{"number"}, {}}},
      {"killCaptureHelper", {{"number"}, {}}},
      {"addDisplay", {{"display"}, {}}},
      {"removeDisplay", {{"id"}, {}}},
      {"key", {{"key"}, {"action", "times", "interval"}}},
      {"accessibility", {{}, {"trusted", "apps", "windows"}}},
      {"policy", {{"document"}, {}}},
      {"meetingWindows", {{"windows"}, {}}},
      {"notify", {{"app", "title"}, {"body", "seconds"}}},
      {"userInput", {{}, {}}},
      {"screenLock", {{"locked"}, {}}},
      {"wake", {{}, {}}},
      {"installBuild", {{"build"}, {}}},
      {"defaults", {{"key", "value"}, {}}},
      {"settings", {{}, {"toggle", "on", "slider", "value", "search", "text", "add", "remove", "list", "press", "close", "expect"}}},
  };
  return shapes;
}

bool isCoordinate(const json& v) {
  return v.is_number() && v.get<double>() >= -sim::kMaxCoordinate && v.get<double>() <= sim::kMaxCoordinate;
}

bool isPoint(const json& v) { return v.is_array() && v.size() == 2 && isCoordinate(v[0]) && isCoordinate(v[1]); }


// A whole number within lo ... hi. Values are compared before any conversion, so one beyond the
// range of the type it becomes (a pid of 4294967797) is refused rather than wrapped.
bool isWholeNumberIn(const json& v, int64_t lo, int64_t hi) {
  if (v.is_number_unsigned()) return v.get<uint64_t>() >= uint64_t(std::max<int64_t>(lo, 0)) && v.get<uint64_t>() <= uint64_t(hi);
  if (v.is_number_integer()) return v.get<int64_t>() >= lo && v.get<int64_t>() <= hi;
  return false;
}

struct WholeRange {
  const char* key;
  int64_t lo, hi;
};

// The ranges of the whole-number members of events: process ids, window numbers, and how many
// times Tab is pressed while Command is held.
constexpr WholeRange kWholeRanges[] = {
    {"pid", 1, INT32_MAX},
    {"to", 1, INT32_MAX},
    {"number", 1, UINT32_MAX},
    {"tabs", 1, kMaxTabs},
    {"id", 1, UINT32_MAX},
    {"times", 1, 10},
    {"count", 1, 3},
};

std::string rangeText(int64_t lo, int64_t hi) { return std::to_string(lo) + " to " + std::to_string(hi); }

// A run's name becomes the name of its output directory under out/: one plain path component.
bool isSafeName(const std::string& name) {
  if (name.empty() || name.size() > 100 || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
  });
}

// The default name, from the file name: characters a name may not hold become '_'.
std::string nameFromFile(const std::string& path) {
  std::string name = std::filesystem::path(path).stem().string();
  for (char& c : name) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) c = '_';
  }
  while (!name.empty() && name.front() == '.') name.erase(name.begin());
  if (name.size() > 100) name.resize(100);
  return name.empty() ? "scenario" : name;
}

}  // namespace

std::optional<WindowSharingState> sharingType(const nlohmann::json& v) {
  static constexpr const char* names[] = {"none", "readOnly", "readWrite"};
  for (int i = 0; i < 3; ++i) {
    if ((v.is_string() && v.get<std::string>() == names[i]) || (v.is_number_integer() && v.get<int64_t>() == i)) {
      return static_cast<WindowSharingState>(i);
    }
  }
  return std::nullopt;
}

namespace {

bool readApps(const json& v, std::vector<AppRef>& out, std::string& what) {
  if (!v.is_array()) {
    what = "expected an array of {\"bundleID\", \"name\"}";
    return false;
  }
  out.clear();
  for (size_t i = 0; i < v.size(); ++i) {
    const json& a = v[i];
    if (!a.is_object() || !a.contains("bundleID") || !a["bundleID"].is_string() || !a.contains("name") ||
        !a["name"].is_string()) {
      what = "[" + std::to_string(i) + "]: expected {\"bundleID\": string, \"name\": string}";
      return false;
    }
    out.push_back(AppRef{a["bundleID"].get<std::string>(), a["name"].get<std::string>()});
  }
  return true;
}

// Checks one event's members beyond their presence.
std::optional<std::string> checkEvent(const ScenarioEvent& e) {
  const json& s = e.fields;
  auto boolean = [&](const char* key) -> std::optional<std::string> {
    if (s.contains(key) && !s[key].is_boolean()) return std::string(key) + ": expected true or false";
    return std::nullopt;
  };
  auto point = [&](const char* key) -> std::optional<std::string> {
    if (s.contains(key) && !isPoint(s[key])) return std::string(key) + ": expected [x, y]";
    return std::nullopt;
  };
  auto oneOf = [&](const char* key, std::initializer_list<const char*> values) -> std::optional<std::string> {
    if (!s.contains(key)) return std::nullopt;
    if (s[key].is_string()) {
      for (const char* v : values) {
        if (s[key].get<std::string>() == v) return std::nullopt;
      }
    }
    std::string list;
    for (const char* v : values) list += (list.empty() ? "" : ", ") + std::string("\"") + v + "\"";
    return std::string(key) + ": expected one of " + list;
  };
  for (const auto& range : kWholeRanges) {
    if (s.contains(range.key) && !isWholeNumberIn(s[range.key], range.lo, range.hi)) {
      return std::string(range.key) + ": expected a whole number from " + rangeText(range.lo, range.hi);
    }
  }
  for (const char* key : {"input", "output", "inUse", "granted", "release", "trusted", "locked"}) {
    if (auto err = boolean(key)) return err;
  }
  for (const char* key : {"by", "size", "point", "origin", "from"}) {
    if (auto err = point(key)) return err;
  }
  if (e.kind == "resizeWindow" && (s["size"][0].get<double>() <= 0 || s["size"][1].get<double>() <= 0)) {
    return std::string("size: expected a positive width and height");
  }
  if (e.kind == "app" || e.kind == "launch") {
    if (!s["app"].is_object()) return std::string("app: expected an application object");
  }
  if (e.kind == "openWindow" && !s["window"].is_object()) return std::string("window: expected a window object");
  if (e.kind == "setTitle" && !s["title"].is_string()) return std::string("title: expected a string");
  if (e.kind == "drag") {
    if (s.contains("number") == s.contains("from")) return std::string("give exactly one of \"number\" and \"from\"");
    if (s.contains("from") && s.contains("edge")) return std::string("edge: only a window's drag has an edge");
    if (auto err = oneOf("edge", {"titleBar", "left", "right", "top", "bottom", "topLeft", "topRight", "bottomLeft",
                                  "bottomRight"})) {
      return err;
    }
  }
  if ((e.kind == "drag" || e.kind == "moveWindow" || e.kind == "resizeWindow") && s.contains("duration") &&
      (!s["duration"].is_number() || s["duration"].get<double>() <= 0 || s["duration"].get<double>() > 60)) {
    return std::string("duration: expected seconds above 0, at most 60");
  }
  if (e.kind == "startShare" || e.kind == "stopShare") {
    if (auto err = oneOf("kind", {"screenWatcher", "zoomFramebuffer", "picker"})) return err;
    if (s["kind"] == "zoomFramebuffer" && !s.contains("pid")) return std::string("pid: the Zoom client's pid is needed");
  }
  if (e.kind == "hotKey") {
    if (auto err = oneOf("key", {"B", "P", "R"})) return err;
    if (auto err = oneOf("action", {"press", "release", "tap"})) return err;
  }
  if (e.kind == "menu") {
    if (auto err = oneOf("item", {"toggle", "peek"})) return err;
  }
  if (e.kind == "chooseMenuItem" && (!s["title"].is_string() || s["title"].get<std::string>().empty())) {
    return std::string("title: expected the title of a menu item");
  }
  if (e.kind == "picture") {
    if (!s["name"].is_string() || s["name"].get<std::string>().empty()) return std::string("name: expected a name");
    for (char c : s["name"].get<std::string>()) {
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) {
        return std::string("name: only letters, digits, '-' and '_' may be used");
      }
    }
    if (s.contains("dump") && !s["dump"].is_boolean()) return std::string("dump: expected true or false");
  }
  if (e.kind == "preferences" && !s["set"].is_object()) return std::string("set: expected an object of preferences");
  if (e.kind == "setLevel") {
    const json& level = s["level"];
    if (level.is_string() ? !sim::levelNamed(level.get<std::string>()).has_value()
                          : !isWholeNumberIn(level, INT32_MIN, INT32_MAX)) {
      return std::string("level: expected a level name or an integer from -2147483648 to 2147483647");
    }
  }
  if (e.kind == "setAlpha" &&
      !(s["alpha"].is_number() && s["alpha"].get<double>() >= 0 && s["alpha"].get<double>() <= 1)) {
    return std::string("alpha: expected a number from 0 to 1");
  }
  if (e.kind == "setSharing" && !sharingType(s["sharing"])) {
    return std::string("sharing: expected \"none\", \"readOnly\", \"readWrite\" or 0 to 2");
  }
  if (e.kind == "addDisplay" && !s["display"].is_object()) return std::string("display: expected a display object");
  if (e.kind == "key") {
    if (auto err = oneOf("key", {"escape", "tab", "command", "shift", "option", "control"})) return err;
    if (auto err = oneOf("action", {"press", "release", "tap"})) return err;
    if (s.contains("times") && s.value("action", std::string("tap")) != "tap") {
      return std::string("times: only taps repeat");
    }
    if (s.contains("interval") &&
        (!s["interval"].is_number() || s["interval"].get<double>() <= 0 || s["interval"].get<double>() > 1)) {
      return std::string("interval: expected seconds above 0, at most 1");
    }
  }
  if (e.kind == "accessibility" && !s.contains("trusted") && !s.contains("apps") && !s.contains("windows")) {
    return std::string("expected \"windows\", \"apps\" or \"trusted\"");
  }
  if (e.kind == "policy" && !s["document"].is_object()) return std::string("document: expected a policy object");
  if (e.kind == "notify") {
    if (!s["app"].is_string() || !s["title"].is_string() || (s.contains("body") && !s["body"].is_string())) {
      return std::string("app, title and body: expected strings");
    }
    if (s.contains("seconds") &&
        (!s["seconds"].is_number() || s["seconds"].get<double>() <= 0 || s["seconds"].get<double>() > 600)) {
      return std::string("seconds: expected seconds above 0, at most 600");
    }
  }
  if (e.kind == "installBuild" && !isWholeNumberIn(s["build"], 0, int64_t(1) << 53)) {
    return std::string("build: expected a build number (a whole number from 0)");
  }
  if (e.kind == "defaults") {
    if (!s["key"].is_string() || s["key"].get<std::string>().empty()) return std::string("key: expected a defaults key");
    if (!s["value"].is_number() && !s["value"].is_boolean() && !s["value"].is_string()) {
      return std::string("value: expected a number, true or false, or a string");
    }
  }
  if (e.kind == "settings") {
    static const char* const actions[] = {"toggle", "slider", "search", "add", "remove", "press", "close"};
    int count = 0;
    for (const char* action : actions) {
      if (!s.contains(action)) continue;
      ++count;
      if (std::string(action) == "close" ? !(s[action].is_boolean() && s[action].get<bool>())
                                         : !(s[action].is_string() && !s[action].get<std::string>().empty())) {
        return std::string(action) + (std::string(action) == "close" ? ": expected true" : ": expected a label");
      }
    }
    if (count != 1) return std::string("expected exactly one of \"toggle\", \"slider\", \"search\", \"add\", \"remove\", \"press\", \"close\"");
    if (auto err = oneOf("expect", {"done", "disabled"})) return err;
    if (s.contains("on") && !s.contains("toggle")) return std::string("on: only with \"toggle\"");
    if (s.contains("on") && !s["on"].is_boolean()) return std::string("on: expected true or false");
    if (s.contains("slider") != s.contains("value")) return std::string("value: a slider needs a value, and only a slider");
    if (s.contains("value") && !(s["value"].is_number() && std::isfinite(s["value"].get<double>()))) {
      return std::string("value: expected a number");
    }
    if (s.contains("search") != s.contains("text")) return std::string("text: a search needs a text, and only a search");
    if (s.contains("text") && !s["text"].is_string()) return std::string("text: expected a string");
    if (s.contains("list") && !((s.contains("add") || s.contains("remove")) && s["list"].is_string())) {
      return std::string("list: expected the title of a list, with \"add\" or \"remove\"");
    }
  }
  if (e.kind == "meetingWindows") {
    if (!s["windows"].is_array() || !std::all_of(s["windows"].begin(), s["windows"].end(),
                                                   [](const json& v) { return isWholeNumberIn(v, 1, UINT32_MAX); })) {
      return std::string("windows: expected an array of window numbers");
    }
  }
  return std::nullopt;
}

}  // namespace

std::string ScenarioEvent::describe() const {
  char at_[32];
  std::snprintf(at_, sizeof at_, "%.2f", at);
  return "timeline[" + std::to_string(index) + "] (" + kind + " at " + at_ + " s)";
}

// Applies the members of a "preferences" object onto the scenario's starting preferences.
static bool readPreferences(const json& p, Scenario& s, const std::string& where, std::string& what) {
  if (!p.is_object()) {
    what = where + ": expected an object";
    return false;
  }
  for (const auto& [key, value] : p.items()) {
    std::string inner;
    if (key == "protectedApps") {
      if (!readApps(value, s.protectedApps, inner)) return what = where + ".protectedApps" + inner, false;
    } else if (key == "triggerApps") {
      if (!readApps(value, s.triggerApps, inner)) return what = where + ".triggerApps" + inner, false;
    } else if (key == "blurDesktop") {
      if (!value.is_boolean()) return what = where + ".blurDesktop: expected true or false", false;
      s.blurDesktop = value.get<bool>();
    } else if (key == "autoDetectEnabled" || key == "requireCorvane" || key == "hasCompletedOnboarding") {
      if (!value.is_boolean()) return what = where + "." + key + ": expected true or false", false;
      (key == "autoDetectEnabled" ? s.autoDetectEnabled
                                  : key == "requireCorvane" ? s.requireCorvane : s.hasCompletedOnboarding) = value.get<bool>();
    } else if (key == "blurIntensity") {
      if (!value.is_number() || !(value.get<double>() >= 0 && value.get<double>() <= 1)) {
        return what = where + ".blurIntensity: expected a number from 0 to 1", false;
      }
      s.blurIntensity = value.get<double>();
    } else {
      what = where + ": unknown preference \"" + key + "\"";
      return false;
    }
  }
  return true;
}

std::optional<Scenario> loadScenario(const std::string& path, std::string* error) {
  std::string readError;
  auto text = readFileText(path, &readError);
  if (!text) {
    if (error) *error = path + ": " + readError;
    return std::nullopt;
  }
  return loadScenarioText(*text, path, error);
}

std::optional<Scenario> loadScenarioText(const std::string& text, const std::string& path, std::string* error) {
  auto fail = [&](const std::string& what) -> std::optional<Scenario> {
    if (error) *error = path + ": " + what;
    return std::nullopt;
  };
  std::string readError;
  auto parsed = parseBoundedJSON(text, sim::kMaxDescriptionDepth, &readError);
  if (!parsed) return fail(readError);
  const json& doc = *parsed;
  if (!doc.is_object()) return fail("expected a JSON object");

  Scenario s;
  s.path = path;
  s.name = nameFromFile(path);
  static const std::set<std::string> known = {"name", "description", "desktop", "desktopFile", "preferences",
                                              "listenAccess", "meetingWindows", "duration", "timeline",
                                              "motion", "windowServer", "desktopPicture"};
  for (const auto& [key, value] : doc.items()) {
    if (!known.contains(key)) return fail("unknown member \"" + key + "\"");
  }
  if (doc.contains("name")) {
    if (!doc["name"].is_string()) return fail("name: expected a string");
    if (!isSafeName(doc["name"].get<std::string>())) {
      return fail("name: expected 1 to 100 letters, digits, '-', '_' or '.', not starting with '.'");
    }
    s.name = doc["name"].get<std::string>();
  }
  if (doc.contains("desktop") == doc.contains("desktopFile")) return fail("give exactly one of \"desktop\" and \"desktopFile\"");
  if (doc.contains("desktop")) {
    s.desktop = doc["desktop"];
  } else {
    if (!doc["desktopFile"].is_string()) return fail("desktopFile: expected a path");
    std::filesystem::path desktopPath = std::filesystem::path(path).parent_path() / doc["desktopFile"].get<std::string>();
    auto desktopText = readFileText(desktopPath.string(), &readError);
    if (!desktopText) return fail("desktopFile: " + readError);
    auto desktop = parseBoundedJSON(*desktopText, sim::kMaxDescriptionDepth, &readError);
    if (!desktop) return fail("desktopFile: " + desktopPath.string() + ": " + readError);
    s.desktop = std::move(*desktop);
  }
  // The scenario's motion model and private window-server interface replace the desktop's (the
  // desktop's loader checks them).
  for (const char* key : {"motion", "windowServer"}) {
    if (!doc.contains(key)) continue;
    if (!s.desktop.is_object()) return fail(std::string(key) + ": the desktop is not an object");
    s.desktop[key] = doc[key];
  }
  s.triggerApps = {AppRef{"us.zoom.xos", "zoom.us"}};
  std::string what;
  if (doc.contains("preferences") && !readPreferences(doc["preferences"], s, "preferences", what)) return fail(what);
  if (doc.contains("listenAccess")) {
    if (!doc["listenAccess"].is_boolean()) return fail("listenAccess: expected true or false");
    s.listenAccess = doc["listenAccess"].get<bool>();
  }
  if (doc.contains("meetingWindows")) {
    if (!doc["meetingWindows"].is_array()) return fail("meetingWindows: expected an array of window numbers");
    for (const auto& n : doc["meetingWindows"]) {
      if (!isWholeNumberIn(n, 1, UINT32_MAX)) {
        return fail("meetingWindows: expected an array of window numbers from 1 to " + std::to_string(UINT32_MAX));
      }
      s.meetingWindows.insert(n.get<int64_t>());
    }
  }
  if (doc.contains("desktopPicture")) {
    const json& picture = doc["desktopPicture"];
    const auto color = picture.is_object() && picture.contains("color") && picture["color"].is_string()
                           ? picture["color"].get<std::string>()
                           : std::string();
    if (color.size() != 7 || color[0] != '#' ||
        color.find_first_not_of("0123456789abcdefABCDEF", 1) != std::string::npos) {
      return fail("desktopPicture.color: expected a colour \"#RRGGBB\"");
    }
    s.desktopPictureColor = uint32_t(std::stoul(color.substr(1), nullptr, 16));
    for (const auto& [key, value] : picture.items()) {
      if (key != "color" && key != "icons") return fail("desktopPicture: unknown member \"" + key + "\"");
    }
    if (picture.contains("icons")) {
      const json& icons = picture["icons"];
      if (!icons.is_array() || icons.size() > 8 ||
          !std::all_of(icons.begin(), icons.end(), [](const json& v) { return v.is_string(); })) {
        return fail("desktopPicture.icons: expected up to 8 names");
      }
      for (const auto& name : icons) s.desktopIcons.push_back(name.get<std::string>());
    }
  }
  if (doc.contains("duration")) {
    if (!doc["duration"].is_number() || doc["duration"].get<double>() <= 0 || doc["duration"].get<double>() > 600) {
      return fail("duration: expected seconds above 0, at most 600");
    }
    s.duration = doc["duration"].get<double>();
  }
  if (doc.contains("timeline")) {
    const json& timeline = doc["timeline"];
    if (!timeline.is_array()) return fail("timeline: expected an array of events");
    for (size_t i = 0; i < timeline.size(); ++i) {
      const json& item = timeline[i];
      std::string where = "timeline[" + std::to_string(i) + "]";
      if (!item.is_object()) return fail(where + ": expected an event object");
      if (!item.contains("at") || !item["at"].is_number() || item["at"].get<double>() < 0 ||
          !std::isfinite(item["at"].get<double>())) {
        return fail(where + ".at: expected a time in seconds, 0 or more");
      }
      if (!item.contains("event") || !item["event"].is_string()) return fail(where + ".event: expected an event name");
      ScenarioEvent e;
      e.at = item["at"].get<double>();
      e.kind = item["event"].get<std::string>();
      e.fields = item;
      e.index = i;
      auto shape = eventShapes().find(e.kind);
      if (shape == eventShapes().end()) return fail(e.describe() + ": unknown event \"" + e.kind + "\"");
      for (const auto& [key, value] : item.items()) {
        if (key == "at" || key == "event") continue;
        const auto& req = shape->second.required;
        const auto& opt = shape->second.optional;
        if (std::find(req.begin(), req.end(), key) == req.end() && std::find(opt.begin(), opt.end(), key) == opt.end()) {
          return fail(e.describe() + ": unknown member \"" + key + "\"");
        }
      }
      for (const auto& key : shape->second.required) {
        if (!item.contains(key)) return fail(e.describe() + ": missing \"" + key + "\"");
      }
      if (auto problem = checkEvent(e)) return fail(e.describe() + ": " + *problem);
      if (e.kind == "preferences") {
        Scenario scratch = s;
        if (!readPreferences(item["set"], scratch, e.describe() + ".set", what)) return fail(what);
      }
      if (e.at > s.duration) return fail(e.describe() + ": after the end of the scenario (duration " + std::to_string(s.duration) + " s)");
      s.events.push_back(std::move(e));
    }
    std::stable_sort(s.events.begin(), s.events.end(), [](const auto& a, const auto& b) { return a.at < b.at; });
  }
  return s;
}

}  // namespace corvane::simtool
