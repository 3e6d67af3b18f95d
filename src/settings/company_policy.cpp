#include "settings/company_policy.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/json_limits.h"
#include "base/log.h"
#include "settings/preferences.h"
#include "base/text.h"

namespace corvane {
namespace {

using nlohmann::json;

// Deeper documents are not policies; refusing them keeps every later copy and re-serialisation
// (which recurse) safe.
constexpr size_t maxDocumentDepth = 100;

// A JSON number with an integral value that fits in 64 bits. Booleans are not numbers here.
std::optional<int64_t> integerOf(const json& value) {
  if (value.is_number_unsigned()) {
    auto u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.2e18) return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

std::optional<double> numberOf(const json& value) {
  if (!value.is_number()) return std::nullopt;
  double d = value.get<double>();
  if (std::isnan(d)) return std::nullopt;
  return d;
}

void logTo(LogSink* log, const std::string& line) {
  if (log) log->log(line);
}

PreferenceProperty<bool>* booleanSetting(Preferences& p, std::string_view key) {
  if (key == "autoDetectEnabled") return &p.autoDetectEnabled;
  if (key == "blurOnlyWhenTriggerAppOpen") return &p.blurOnlyWhenTriggerAppOpen;
  if (key == "blurDesktop") return &p.blurDesktop;
  if (key == "blurDock") return &p.blurDock;
  if (key == "blurSensitiveTabs") return &p.blurSensitiveTabs;
  if (key == "enhancedProtectionEnabled") return &p.enhancedProtectionEnabled;
  if (key == "launchAtLogin") return &p.launchAtLogin;
  if (key == "requireCorvane") return &p.requireCorvane;
  return nullptr;
}

// Converts the policy's value for `key` and assigns it to the store's property. A value of the
// wrong type changes nothing, except for the app lists, which become empty.
void writeSetting(Preferences& p, std::string_view key, const json& value) {
  auto wrong = [&](std::string_view expected, std::string_view effect) {
    p.log().log("Corvane: company policy setting \"" + std::string(key) + "\" is not " + std::string(expected) + "; " +
                std::string(effect));
  };
  if (key == "protectedApps" || key == "triggerApps") {
    auto apps = CompanyPolicy::appsFromPolicy(value);
    if (!apps) wrong("an array of objects", "an empty list is applied");
    (key == "protectedApps" ? p.protectedApps : p.triggerApps).set(apps.value_or(std::vector<AppRef>{}));
    return;
  }
  if (key == "blurTint" || key == "blurIntensity") {
    auto number = numberOf(value);
    if (!number) {
      wrong("a number", "left unchanged");
      return;
    }
    if (key == "blurTint") {
      p.blurTint.set(std::clamp(*number, 0.0, Preferences::maxBlurTint));
    } else {
      p.blurIntensity.set(std::clamp(*number, 0.0, Preferences::maxBlurIntensity));
    }
    return;
  }
  if (key == "sensitiveTabRules") {
    bool strings =
        value.is_array() && std::all_of(value.begin(), value.end(), [](const json& e) { return e.is_string(); });
    if (!strings) {
      wrong("an array of strings", "left unchanged");
      return;
    }
    p.sensitiveTabRules.set(value.get<std::vector<std::string>>());
    return;
  }
  if (auto* setting = booleanSetting(p, key)) {
    if (!value.is_boolean()) {
      wrong("a Boolean", "left unchanged");
      return;
    }
    setting->set(value.get<bool>());
  }
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& PolicyAppMap::entries() {
  static const std::vector<std::pair<std::string, std::string>> map = {
      {"com.tinyspeck.slackmacgap", "slack"},  {"com.1password.1password", "1password"},
      {"com.bitwarden.desktop", "bitwarden"},  {"org.whispersystems.signal-desktop", "signal"},
      {"net.whatsapp.WhatsApp", "whatsapp"},   {"com.hnc.Discord", "discord"},
      {"ru.keepcoder.Telegram", "telegram"},   {"notion.id", "notion"},
      {"com.apple.finder", "explorer"},        {"us.zoom.xos", "zoom"},
      {"com.microsoft.teams2", "ms-teams"},    {"com.microsoft.teams", "teams"},
      {"com.cisco.webexmeetingsapp", "webex"}, {"com.skype.skype", "skype"},
      {"com.google.Chrome", "chrome"},         {"com.obsproject.obs-studio", "obs64"},
  };
  return map;
}

std::optional<std::string> PolicyAppMap::windowsId(std::string_view bundleID) {
  for (const auto& [id, windowsId] : entries()) {
    if (id == bundleID) return windowsId;
  }
  return std::nullopt;
}

CompanyPolicy::Mode CompanyPolicy::modeFromRawValue(std::string_view raw) {
  if (raw == "default") return Mode::default_;
  if (raw == "locked") return Mode::locked;
  return Mode::unset;
}

std::string_view CompanyPolicy::rawValue(Mode mode) {
  switch (mode) {
    case Mode::default_:
      return "default";
    case Mode::locked:
      return "locked";
    case Mode::unset:
      break;
  }
  return "unset";
}

std::optional<CompanyPolicy> CompanyPolicy::parse(const json& document, LogSink* log) {
  auto reject = [log](const std::string& reason) -> std::optional<CompanyPolicy> {
    logTo(log, "Corvane: company policy rejected: " + reason + "; nothing changes");
    return std::nullopt;
  };
  if (!document.is_object()) return reject("the document is not a JSON object");
  if (jsonDeeperThan(document, maxDocumentDepth)) return reject("the document is nested too deeply");
  auto versionMember = document.find("version");
  if (versionMember == document.end()) return reject("it has no \"version\"");
  auto version = integerOf(*versionMember);
  if (!version || *version < 1) return reject("\"version\" is not an integer of at least 1");

  CompanyPolicy policy;
  policy.version = *version;

  if (auto modes = document.find("modes"); modes != document.end()) {
    bool strings =
        modes->is_object() && std::all_of(modes->begin(), modes->end(), [](const json& v) { return v.is_string(); });
    if (strings) {
      for (const auto& [key, raw] : modes->items())
        policy.modes[key] = modeFromRawValue(raw.get_ref<const std::string&>());
    } else {
      logTo(log, "Corvane: company policy: \"modes\" is not an object of strings; every setting counts as unset");
    }
  }
  if (auto settings = document.find("settings"); settings != document.end()) {
    if (settings->is_object()) {
      for (const auto& [key, value] : settings->items()) policy.settings.emplace(key, value);
    } else {
      logTo(log, "Corvane: company policy: \"settings\" is not an object; no setting has a value");
    }
  }
  try {
    policy.cacheJSON = document.dump();
  } catch (const json::exception&) {
    policy.cacheJSON.clear();
  }
  // Refused here, before anything is cached: a larger document would be written into the settings
  // file and could make it too large to be read at the next start.
  if (policy.cacheJSON.size() > maxDocumentBytes) {
    return reject("the document is larger than " + std::to_string(maxDocumentBytes) + " bytes");
  }
  if (auto updatedAt = document.find("updatedAt"); updatedAt != document.end() && updatedAt->is_string()) {
    policy.updatedAt = updatedAt->get<std::string>();
  }
  return policy;
}

std::optional<std::vector<AppRef>> CompanyPolicy::appsFromPolicy(const json& value) {
  if (!value.is_array()) return std::nullopt;
  if (!std::all_of(value.begin(), value.end(), [](const json& e) { return e.is_object(); })) return std::nullopt;
  std::vector<AppRef> apps;
  std::set<std::string> seen;
  for (const auto& entry : value) {
    auto id = entry.find("macBundleID");
    if (id == entry.end() || !id->is_string()) continue;
    std::string bundleID = text::trimmed(id->get_ref<const std::string&>());
    if (bundleID.empty() || !seen.insert(bundleID).second) continue;
    std::string name;
    if (auto n = entry.find("name"); n != entry.end() && n->is_string())
      name = text::trimmed(n->get_ref<const std::string&>());
    if (name.empty()) name = bundleID;
    apps.push_back(AppRef{std::move(bundleID), std::move(name)});
  }
  return apps;
}

CompanyPolicy::ApplyResult CompanyPolicy::apply(Preferences& p) const {
  std::set<std::string> locked = p.lockedKeys.value();
  std::map<std::string, std::string> applied = p.appliedDefaults();
  std::set<std::string> changed;
  bool wasApplying = std::exchange(p.applyingPolicy, true);

  for (std::string_view keyView : Preferences::managedKeys) {
    std::string key(keyView);
    auto modeEntry = modes.find(key);
    Mode mode = modeEntry == modes.end() ? Mode::unset : modeEntry->second;
    if (mode == Mode::unset) {
      locked.erase(key);
      // The keep-running requirement ends when the policy no longer sets it.
      if (key == "requireCorvane") p.requireCorvane.set(false);
      continue;
    }
    auto setting = settings.find(key);
    if (setting == settings.end()) continue;  // lock state and value stay as they were
    if (mode == Mode::locked) {
      writeSetting(p, key, setting->second);
      locked.insert(key);
      applied[key] = p.snapshot(key);
      changed.insert(key);
    } else {
      locked.erase(key);
      auto previous = applied.find(key);
      // Write unless the user has changed the value since the policy last wrote it.
      if (previous == applied.end() || previous->second == p.snapshot(key)) {
        writeSetting(p, key, setting->second);
        applied[key] = p.snapshot(key);
        changed.insert(key);
      }
    }
  }

  p.setPolicyMeta(version, applied, locked, cacheJSON);
  p.applyingPolicy = wasApplying;
  return ApplyResult{std::move(changed), std::move(locked)};
}

CompanyPolicy::ApplyResult CompanyPolicy::applyCached(Preferences& p) {
  const auto& cache = p.policyCache();
  if (!cache) return {};
  auto document = json::parse(*cache, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded() || !document.is_object()) {
    p.log().log("Corvane: the cached company policy could not be decoded; it is ignored");
    return {};
  }
  auto policy = parse(document, &p.log());
  if (!policy) return {};
  return policy->apply(p);
}

json CompanyPolicy::snapshotForPush(const Preferences& p) {
  auto apps = [](const std::vector<AppRef>& list) {
    json array = json::array();
    for (const auto& app : list) {
      json entry = {{"name", app.name}, {"macBundleID", app.bundleID}};
      if (auto windowsId = PolicyAppMap::windowsId(app.bundleID)) entry["windowsId"] = *windowsId;
      array.push_back(std::move(entry));
    }
    return array;
  };
  json document = json::object();
  document["protectedApps"] = apps(p.protectedApps.value());
  document["triggerApps"] = apps(p.triggerApps.value());
  document["autoDetectEnabled"] = p.autoDetectEnabled.value();
  document["blurOnlyWhenTriggerAppOpen"] = p.blurOnlyWhenTriggerAppOpen.value();
  document["blurTint"] = p.blurTint.value();
  document["blurIntensity"] = p.blurIntensity.value();
  document["blurDesktop"] = p.blurDesktop.value();
  document["blurDock"] = p.blurDock.value();
  document["blurSensitiveTabs"] = p.blurSensitiveTabs.value();
  document["enhancedProtectionEnabled"] = p.enhancedProtectionEnabled.value();
  document["sensitiveTabRules"] = p.sensitiveTabRules.value();
  document["launchAtLogin"] = p.launchAtLogin.value();
  return document;
}

}  // namespace corvane
