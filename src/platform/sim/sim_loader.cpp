#include "platform/sim/sim_loader.h"

#include "platform/sim/sim_render.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>

namespace corvane::sim {

namespace {

using json = nlohmann::json;

std::string maxCoordinateText() { return std::to_string(int64_t(kMaxCoordinate)); }

const json* member(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string inQuotes(std::string_view s) {
  std::string quoted(1, '"');
  quoted.append(s).push_back('"');
  return quoted;
}

std::string decimal(double v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

class Loader {
 public:
  explicit Loader(World& world) : world_(world) {}

  bool load(const json& d) {
    if (!d.is_object()) return fail("description", "expected an object");
    world_ = World();
    return loadDisplays(d) && loadApps(d) && loadSelf(d) && loadFrontmost(d) && loadWindows(d);
  }

  std::string error;

 private:
  bool fail(const std::string& path, const std::string& what) {
    error = path + ": " + what;
    return false;
  }

  static std::string at(const std::string& path, const char* key) { return path.empty() ? key : path + "." + key; }

  bool object(const json& v, const std::string& path, std::initializer_list<std::string_view> allowed) {
    if (!v.is_object()) return fail(path, "expected an object");
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (std::find(allowed.begin(), allowed.end(), it.key()) == allowed.end()) {
        return fail(path, "unknown member " + inQuotes(it.key()));
      }
    }
    return true;
  }

  bool has(const json& object, const std::string& path, const char* key) {
    return member(object, key) || fail(at(path, key), "missing");
  }

  // Each reader below reads the member `key` of `object` (found at `path`) into `out`, and leaves
  // `out` alone when there is no such member.

  bool integer(const json& object, const std::string& path, const char* key, int64_t lo, int64_t hi, int64_t& out) {
    const json* v = member(object, key);
    if (!v) return true;
    bool ok = false;
    if (v->is_number_unsigned()) {
      ok = v->get<uint64_t>() <= uint64_t(hi);
      if (ok) out = int64_t(v->get<uint64_t>());
    } else if (v->is_number_integer()) {
      ok = v->get<int64_t>() >= lo && v->get<int64_t>() <= hi;
      if (ok) out = v->get<int64_t>();
    }
    if (ok) return true;
    return fail(at(path, key), "expected an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
  }

  bool number(const json& object, const std::string& path, const char* key, double lo, double hi, double& out) {
    const json* v = member(object, key);
    if (!v) return true;
    if (!v->is_number() || !(v->get<double>() >= lo && v->get<double>() <= hi)) {
      return fail(at(path, key), "expected a number from " + decimal(lo) + " to " + decimal(hi));
    }
    out = v->get<double>();
    return true;
  }

  bool boolean(const json& object, const std::string& path, const char* key, bool& out) {
    const json* v = member(object, key);
    if (!v) return true;
    if (!v->is_boolean()) return fail(at(path, key), "expected true or false");
    out = v->get<bool>();
    return true;
  }

  bool string(const json& object, const std::string& path, const char* key, std::optional<std::string>& out) {
    const json* v = member(object, key);
    if (!v) return true;
    if (!v->is_string()) return fail(at(path, key), "expected a string");
    out = v->get<std::string>();
    return true;
  }

  // [x, y, width, height] with numbers in range (kMaxCoordinate); sizes positive, or not negative
  // when `allowEmpty`, and at most `maxSide`.
  bool rect(const json& object, const std::string& path, const char* key, bool allowEmpty, Rect& out,
            double maxSide = kMaxCoordinate) {
    const json* v = member(object, key);
    if (!v) return true;
    auto isNumber = [](const json& n) { return n.is_number(); };
    auto inRange = [](const json& n) { return n.get<double>() >= -kMaxCoordinate && n.get<double>() <= kMaxCoordinate; };
    if (!v->is_array() || v->size() != 4 || !std::all_of(v->begin(), v->end(), isNumber)) {
      return fail(at(path, key), "expected [x, y, width, height]");
    }
    if (!std::all_of(v->begin(), v->end(), inRange)) {
      return fail(at(path, key), "expected numbers from -" + maxCoordinateText() + " to " + maxCoordinateText());
    }
    const Rect r((*v)[0].get<double>(), (*v)[1].get<double>(), (*v)[2].get<double>(), (*v)[3].get<double>());
    if (r.size.width > maxSide || r.size.height > maxSide) {
      return fail(at(path, key), "width and height must be at most " + std::to_string(int64_t(maxSide)));
    }
    if (allowEmpty && (r.size.width < 0 || r.size.height < 0)) {
      return fail(at(path, key), "width and height must not be negative");
    }
    if (!allowEmpty && (r.size.width <= 0 || r.size.height <= 0)) {
      return fail(at(path, key), "width and height must be positive");
    }
    out = r;
    return true;
  }

  // "#RRGGBB" into a uint32_t or an optional one.
  template <typename Out>
  bool color(const json& object, const std::string& path, const char* key, Out& out) {
    const json* v = member(object, key);
    if (!v) return true;
    const std::string s = v->is_string() ? v->get<std::string>() : std::string();
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (s.size() != 7 || s[0] != '#' || !std::all_of(s.begin() + 1, s.end(), hex)) {
      return fail(at(path, key), "expected a colour \"#RRGGBB\"");
    }
    out = uint32_t(std::stoul(s.substr(1), nullptr, 16));
    return true;
  }

  bool policy(const json& object, const std::string& path, const char* key, ActivationPolicy& out) {
    const json* v = member(object, key);
    if (!v) return true;
    const std::string s = v->is_string() ? v->get<std::string>() : std::string();
    if (s == "regular") {
      out = ActivationPolicy::regular;
    } else if (s == "accessory") {
      out = ActivationPolicy::accessory;
    } else if (s == "prohibited") {
      out = ActivationPolicy::prohibited;
    } else {
      return fail(at(path, key), "expected \"regular\", \"accessory\" or \"prohibited\"");
    }
    return true;
  }

  bool level(const json& object, const std::string& path, const char* key, int64_t& out) {
    const json* v = member(object, key);
    if (!v) return true;
    if (v->is_string()) {
      auto named = levelNamed(v->get<std::string>());
      if (!named) return fail(at(path, key), "unknown level name " + inQuotes(v->get<std::string>()));
      out = *named;
      return true;
    }
    if (!v->is_number_integer()) return fail(at(path, key), "expected a level name or an integer");
    return integer(object, path, key, INT32_MIN, INT32_MAX, out);
  }

  bool sharing(const json& object, const std::string& path, const char* key, WindowSharingState& out) {
    const json* v = member(object, key);
    if (!v) return true;
    static constexpr std::string_view names[] = {"none", "readOnly", "readWrite"};
    for (int i = 0; i < 3; ++i) {
      if ((v->is_string() && v->get<std::string>() == names[i]) || (v->is_number_integer() && v->get<int64_t>() == i)) {
        out = static_cast<WindowSharingState>(i);
        return true;
      }
    }
    return fail(at(path, key), "expected \"none\", \"readOnly\", \"readWrite\" or 0 to 2");
  }

  bool title(const json& object, const char* key, SimTitle& out) {
    const json* v = member(object, key);
    if (v) out = v->is_string() ? SimTitle::of(v->get<std::string>()) : SimTitle::wrong();
    return true;
  }

  bool keyList(const json& object, const std::string& path, const char* key, std::vector<std::string>& out) {
    const json* v = member(object, key);
    if (!v) return true;
    if (!v->is_array()) return fail(at(path, key), "expected an array of key names");
    for (size_t i = 0; i < v->size(); ++i) {
      const json& name = (*v)[i];
      const std::string itemPath = at(path, key) + "[" + std::to_string(i) + "]";
      if (!name.is_string()) return fail(itemPath, "expected a key name");
      if (!entryKeyNamed(name.get<std::string>())) {
        return fail(itemPath, "unknown key " + inQuotes(name.get<std::string>()));
      }
      out.push_back(name.get<std::string>());
    }
    return true;
  }

  // ---- The sections ----

  bool loadDisplays(const json& d) {
    const json* displays = member(d, "displays");
    if (!displays) return true;  // the default main display
    if (!displays->is_array() || displays->empty()) return fail("displays", "expected a non-empty array");
    world_.displays.clear();
    for (size_t i = 0; i < displays->size(); ++i) {
      const json& v = (*displays)[i];
      const std::string path = "displays[" + std::to_string(i) + "]";
      SimDisplay display;
      int64_t id = 0;
      if (!object(v, path, {"id", "frame", "menuBarHeight", "dockHeight"}) || !has(v, path, "id") ||
          !integer(v, path, "id", 1, UINT32_MAX, id) || !has(v, path, "frame") ||
          !rect(v, path, "frame", false, display.frame, kMaxPictureSide)) {
        return false;
      }
      display.id = DisplayID(id);
      for (const auto& other : world_.displays) {
        if (other.id == display.id) return fail(path + ".id", "duplicate display id " + std::to_string(id));
      }
      if (i == 0 && display.frame.origin != Point{0, 0}) {
        return fail(path + ".frame", "the main display must have its origin at (0, 0)");
      }
      const double height = display.frame.size.height;
      if (!number(v, path, "menuBarHeight", 0, height, display.menuBarHeight) ||
          !number(v, path, "dockHeight", 0, height, display.dockHeight)) {
        return false;
      }
      world_.displays.push_back(display);
    }
    return true;
  }

  // One application or window description, checked against the world as it stands.
 public:
  bool readApp(const json& v, const std::string& path, SimApp& app) {
    int64_t pid = 0;
    if (!object(v, path, {"pid", "bundleID", "name", "policy", "color"}) || !has(v, path, "pid") ||
        !integer(v, path, "pid", 1, INT32_MAX, pid)) {
      return false;
    }
    app.pid = pid_t(pid);
    // The pid of an application that has quit may be taken again.
    if (const SimApp* other = world_.findApp(app.pid); other && !other->terminated) {
      return fail(path + ".pid", "duplicate pid " + std::to_string(pid));
    }
    return string(v, path, "bundleID", app.bundleID) && string(v, path, "name", app.name) &&
           policy(v, path, "policy", app.policy) && color(v, path, "color", app.color);
  }


 private:
  bool loadApps(const json& d) {
    const json* apps = member(d, "apps");
    if (!apps) return true;
    if (!apps->is_array()) return fail("apps", "expected an array");
    for (size_t i = 0; i < apps->size(); ++i) {
      SimApp app;
      if (!readApp((*apps)[i], "apps[" + std::to_string(i) + "]", app)) return false;
      world_.launchApp(std::move(app));
    }
    return true;
  }

  bool loadSelf(const json& d) {
    const json* self = member(d, "self");
    if (!self) return true;
    SimApp app;
    if (!readApp(*self, "self", app)) return false;
    world_.selfPID = world_.launchApp(std::move(app));
    return true;
  }

  bool loadFrontmost(const json& d) {
    int64_t pid = 0;
    if (!member(d, "frontmost")) return true;
    if (!integer(d, "", "frontmost", 1, INT32_MAX, pid)) return false;
    if (!world_.findApp(pid_t(pid))) return fail("frontmost", "no application with pid " + std::to_string(pid));
    world_.frontmost = pid_t(pid);
    return true;
  }


 public:
  bool readWindow(const json& v, const std::string& path, SimWindow& w) {
    if (!object(v, path, {"number", "pid", "bounds", "level", "alpha", "title", "sharing", "onScreen", "minimised",
                          "desktopElement", "captureExcluded", "color", "cornerRadius", "liveText", "missingKeys",
                          "wrongTypeKeys"})) {
      return false;
    }
    int64_t id = 0;
    if (!has(v, path, "number") || !integer(v, path, "number", 1, UINT32_MAX, id)) return false;
    w.number = WindowID(id);
    if (world_.findWindow(w.number)) return fail(path + ".number", "duplicate window number " + std::to_string(id));
    int64_t pid = 0;
    if (!has(v, path, "pid") || !integer(v, path, "pid", 1, INT32_MAX, pid)) return false;
    if (!world_.findApp(pid_t(pid))) return fail(path + ".pid", "no application with pid " + std::to_string(pid));
    w.ownerPID = pid_t(pid);
    return has(v, path, "bounds") && rect(v, path, "bounds", true, w.bounds) && level(v, path, "level", w.level) &&
           number(v, path, "alpha", 0, 1, w.alpha) && title(v, "title", w.title) &&
           sharing(v, path, "sharing", w.sharingState) && boolean(v, path, "onScreen", w.onScreen) &&
           boolean(v, path, "minimised", w.minimised) && boolean(v, path, "desktopElement", w.desktopElement) &&
           boolean(v, path, "captureExcluded", w.captureExcluded) && color(v, path, "color", w.color) &&
           number(v, path, "cornerRadius", 0, 200, w.cornerRadius) &&
           keyList(v, path, "missingKeys", w.missingKeys) && keyList(v, path, "wrongTypeKeys", w.wrongTypeKeys) &&
           liveText(v, path, w.liveText);
  }

  // A window's live line: a string of at most 200 bytes.
  bool liveText(const json& v, const std::string& path, std::string& out) {
    std::optional<std::string> text;
    if (!string(v, path, "liveText", text)) return false;
    if (text && text->size() > 200) return fail(at(path, "liveText"), "longer than 200 bytes");
    out = text.value_or("");
    return true;
  }


 private:
  bool loadWindows(const json& d) {
    const json* windows = member(d, "windows");
    if (!windows) return true;
    if (!windows->is_array()) return fail("windows", "expected an array");
    for (size_t i = 0; i < windows->size(); ++i) {
      SimWindow w;
      if (!readWindow((*windows)[i], "windows[" + std::to_string(i) + "]", w)) return false;
      // Listed front to back: each goes behind the ones before it in its level.
      world_.addWindow(std::move(w), true);
    }
    return true;
  }

  World& world_;
};

}  // namespace

bool loadWorld(const nlohmann::json& description, World& world, std::string& error) {
  Loader loader(world);
  if (loader.load(description)) return true;
  error = loader.error;
  return false;
}

bool readAppDescription(const nlohmann::json& description, const World& world, const std::string& path, SimApp& app,
                        std::string& error) {
  World scratch = world;
  Loader loader(scratch);
  if (loader.readApp(description, path, app)) return true;
  error = loader.error;
  return false;
}

bool readWindowDescription(const nlohmann::json& description, const World& world, const std::string& path,
                           SimWindow& window, std::string& error) {
  World scratch = world;
  Loader loader(scratch);
  if (loader.readWindow(description, path, window)) return true;
  error = loader.error;
  return false;
}

}  // namespace corvane::sim
