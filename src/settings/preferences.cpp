#include "settings/preferences.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/dispatch.h"
#include "base/format.h"
#include "base/log.h"
#include "platform/defaults_store.h"
#include "base/text.h"

namespace corvane {
namespace {

std::unique_ptr<Preferences>& sharedSlot() {
  static std::unique_ptr<Preferences> instance;
  return instance;
}

void reportUnreadable(LogSink& log, std::string_view key, std::string_view what) {
  log.log("Corvane: stored setting \"" + std::string(key) + "\" " + std::string(what) + "; using its default");
}

bool readBool(DefaultsStore& defaults, LogSink& log, std::string_view key, bool fallback) {
  auto value = defaults.object(applicationDomain, key);
  if (!value) return fallback;
  if (auto* b = value->get<bool>()) return *b;
  reportUnreadable(log, key, "is not a Boolean");
  return fallback;
}

// A stored number, clamped into lo ... hi (a hand-edited or old file may hold anything).
double readDouble(DefaultsStore& defaults, LogSink& log, std::string_view key, double fallback, double lo, double hi) {
  if (!defaults.object(applicationDomain, key)) return fallback;
  auto d = defaults.doubleValue(applicationDomain, key);
  if (!d || std::isnan(*d)) {
    reportUnreadable(log, key, "is not a number");
    return fallback;
  }
  if (*d < lo || *d > hi) {
    log.log("Corvane: stored setting \"" + std::string(key) + "\" is outside " + format("%.1f", {lo}) + " ... " +
            format("%.1f", {hi}) + "; using the nearest allowed value");
  }
  return std::clamp(*d, lo, hi);
}

template <typename T, typename Decode>
T readBlob(DefaultsStore& defaults, LogSink& log, std::string_view key, T fallback, Decode decode) {
  auto value = defaults.object(applicationDomain, key);
  if (!value) return fallback;
  auto* data = value->get<PlistValue::Data>();
  if (!data) {
    reportUnreadable(log, key, "is not a data blob");
    return fallback;
  }
  auto decoded = decode(*data);
  if (!decoded) {
    reportUnreadable(log, key, "could not be decoded");
    return fallback;
  }
  return std::move(*decoded);
}

std::vector<AppRef> readAppList(DefaultsStore& defaults, LogSink& log, std::string_view key,
                                std::vector<AppRef> fallback) {
  return readBlob(defaults, log, key, std::move(fallback),
                  [](const PlistValue::Data& data) { return AppRef::decodeList(data); });
}

std::vector<std::string> readStringList(DefaultsStore& defaults, LogSink& log, std::string_view key) {
  return readBlob(defaults, log, key, std::vector<std::string>{},
                  [](const PlistValue::Data& data) { return decodeStringList(data); });
}

std::set<std::string> readLockedKeys(DefaultsStore& defaults, LogSink& log) {
  constexpr std::string_view key = "companyPolicyLockedKeys";
  if (!defaults.object(applicationDomain, key)) return {};
  auto keys = defaults.stringArrayValue(applicationDomain, key);
  if (!keys) {
    reportUnreadable(log, key, "is not an array of strings");
    return {};
  }
  return std::set<std::string>(keys->begin(), keys->end());
}

std::string joinSorted(std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) text.push_back('\n');
    text += items[i];
  }
  return text;
}

}  // namespace

Preferences::Preferences(DefaultsStore& defaults, Dispatcher& dispatcher, LogSink& log)
    : defaults_(defaults),
      dispatcher_(dispatcher),
      log_(log),
      protectedApps(objectWillChange_, readAppList(defaults, log, "protectedApps", {})),
      triggerApps(objectWillChange_, readAppList(defaults, log, "triggerApps", {defaultTriggerApp()})),
      autoDetectEnabled(objectWillChange_, readBool(defaults, log, "autoDetectEnabled", true)),
      blurOnlyWhenTriggerAppOpen(objectWillChange_, readBool(defaults, log, "blurOnlyWhenTriggerAppOpen", false)),
      blurTint(objectWillChange_, readDouble(defaults, log, "blurTint", 0.3, 0.0, maxBlurTint)),
      blurIntensity(objectWillChange_, readDouble(defaults, log, "blurIntensity", 0.5, 0.0, maxBlurIntensity)),
      blurDesktop(objectWillChange_, readBool(defaults, log, "blurDesktop", false)),
      clearViewEnabled(objectWillChange_, true),
      blurDock(objectWillChange_, readBool(defaults, log, "blurDock", false)),
      blurSensitiveTabs(objectWillChange_, readBool(defaults, log, "blurSensitiveTabs", false)),
      enhancedProtectionEnabled(objectWillChange_, readBool(defaults, log, "enhancedProtectionEnabled", false)),
      sensitiveTabRules(objectWillChange_, readStringList(defaults, log, "sensitiveTabRules")),
      launchAtLogin(objectWillChange_, readBool(defaults, log, "launchAtLogin", false)),
      requireCorvane(objectWillChange_, readBool(defaults, log, "requireCorvane", false)),
      hasCompletedOnboarding(objectWillChange_, readBool(defaults, log, "hasCompletedOnboarding", false)),
      lockedKeys(objectWillChange_, readLockedKeys(defaults, log)) {
  constexpr std::string_view appliedKey = "companyPolicyAppliedDefaults";
  if (defaults.object(applicationDomain, appliedKey)) {
    if (auto applied = defaults.stringDictionaryValue(applicationDomain, appliedKey)) {
      appliedDefaults_ = std::move(*applied);
    } else {
      reportUnreadable(log, appliedKey, "is not a dictionary of strings");
    }
  }
  policyCache_ = defaults.stringValue(applicationDomain, "companyPolicyCache");
  policyVersion_ = defaults.integerValue(applicationDomain, "companyPolicyVersion").value_or(0);

  auto managed = [this]<typename T>(PreferenceProperty<T>& property, std::string_view key) {
    property.didAssign_ = [this, &property, key](const T& oldValue, const T& newValue) {
      persistOrRevert(property, key, oldValue, newValue);
    };
  };
  managed(protectedApps, "protectedApps");
  managed(triggerApps, "triggerApps");
  managed(autoDetectEnabled, "autoDetectEnabled");
  managed(blurOnlyWhenTriggerAppOpen, "blurOnlyWhenTriggerAppOpen");
  managed(blurTint, "blurTint");
  managed(blurIntensity, "blurIntensity");
  managed(blurDesktop, "blurDesktop");
  managed(blurDock, "blurDock");
  managed(blurSensitiveTabs, "blurSensitiveTabs");
  managed(enhancedProtectionEnabled, "enhancedProtectionEnabled");
  managed(sensitiveTabRules, "sensitiveTabRules");
  managed(launchAtLogin, "launchAtLogin");
  managed(requireCorvane, "requireCorvane");
  clearViewEnabled.didAssign_ = [this](const bool&, const bool& newValue) {
    if (!newValue) clearViewEnabled.set(true);
  };
  hasCompletedOnboarding.didAssign_ = [this](const bool&, const bool& newValue) {
    store("hasCompletedOnboarding", newValue);
  };
}

Preferences::~Preferences() = default;

Preferences& Preferences::shared() {
  auto& instance = sharedSlot();
  if (!instance) {
    std::fputs("Corvane: Preferences::shared() used before start-up installed it\n", stderr);
    std::abort();
  }
  return *instance;
}

bool Preferences::hasShared() { return sharedSlot() != nullptr; }

std::unique_ptr<Preferences> Preferences::installShared(std::unique_ptr<Preferences> preferences) {
  return std::exchange(sharedSlot(), std::move(preferences));
}

Subscription Preferences::subscribeWillChange(std::function<void()> callback) {
  return objectWillChange_.subscribe([callback = std::move(callback)] { callback(); });
}

Subscription Preferences::subscribeWillChangeOnMain(std::function<void()> callback) {
  auto active = std::make_shared<bool>(true);
  auto shared = std::make_shared<std::function<void()>>(std::move(callback));
  DispatchQueue& main = dispatcher_.main();
  auto inner = std::make_shared<Subscription>(objectWillChange_.subscribe([active, shared, &main] {
    main.async([active, shared] {
      if (*active) (*shared)();
    });
  }));
  return Subscription([active, inner] {
    *active = false;
    inner->cancel();
  });
}

template <typename T>
void Preferences::persistOrRevert(PreferenceProperty<T>& property, std::string_view key, const T& oldValue,
                                  const T& newValue) {
  if (!applyingPolicy && lockedKeys.value().contains(std::string(key))) {
    if (!(oldValue == newValue)) {
      // Undo the change; the nested assignment stores the old value again.
      applyingPolicy = true;
      property.set(oldValue);
      applyingPolicy = false;
    }
    return;
  }
  store(key, newValue);
}

void Preferences::store(std::string_view key, bool value) { defaults_.set(applicationDomain, key, PlistValue(value)); }

void Preferences::store(std::string_view key, double value) {
  defaults_.set(applicationDomain, key, PlistValue(value));
}

void Preferences::store(std::string_view key, const std::vector<AppRef>& value) {
  bool replaced = false;
  auto bytes = AppRef::encodeList(value, &replaced);
  if (replaced) {
    log_.log("Corvane: setting \"" + std::string(key) +
             "\" holds text that is not UTF-8; stored with replacement characters");
  }
  defaults_.set(applicationDomain, key, PlistValue(std::move(bytes)));
}

void Preferences::store(std::string_view key, const std::vector<std::string>& value) {
  bool replaced = false;
  auto bytes = encodeStringList(value, &replaced);
  if (replaced) {
    log_.log("Corvane: setting \"" + std::string(key) +
             "\" holds text that is not UTF-8; stored with replacement characters");
  }
  defaults_.set(applicationDomain, key, PlistValue(std::move(bytes)));
}

bool Preferences::isEffectivelyLocked(std::string_view key) const {
  if (requireCorvane.value() && key == "launchAtLogin") return true;
  if (lockedKeys.value().contains(std::string(key))) return true;
  // A value the managed layer forces cannot be changed either: it comes back at the next launch.
  return std::find(managedKeys.begin(), managedKeys.end(), key) != managedKeys.end() && defaults_.isForced(key);
}

bool Preferences::hasManagedSettings() const { return !lockedKeys.value().empty() || requireCorvane.value(); }

std::string Preferences::snapshot(std::string_view key) const {
  auto bundleIDs = [](const std::vector<AppRef>& apps) {
    std::vector<std::string> ids;
    for (const auto& app : apps) ids.push_back(app.bundleID);
    return joinSorted(std::move(ids));
  };
  auto flag = [](bool value) { return std::string(value ? "1" : "0"); };
  if (key == "protectedApps") return bundleIDs(protectedApps.value());
  if (key == "triggerApps") return bundleIDs(triggerApps.value());
  if (key == "sensitiveTabRules") {
    std::vector<std::string> rules;
    for (const auto& rule : sensitiveTabRules.value()) rules.push_back(text::lowercased(rule));
    return joinSorted(std::move(rules));
  }
  if (key == "blurTint") return format("%.3f", {blurTint.value()});
  if (key == "blurIntensity") return format("%.3f", {blurIntensity.value()});
  if (key == "autoDetectEnabled") return flag(autoDetectEnabled.value());
  if (key == "blurOnlyWhenTriggerAppOpen") return flag(blurOnlyWhenTriggerAppOpen.value());
  if (key == "blurDesktop") return flag(blurDesktop.value());
  if (key == "blurDock") return flag(blurDock.value());
  if (key == "blurSensitiveTabs") return flag(blurSensitiveTabs.value());
  if (key == "enhancedProtectionEnabled") return flag(enhancedProtectionEnabled.value());
  if (key == "launchAtLogin") return flag(launchAtLogin.value());
  if (key == "requireCorvane") return flag(requireCorvane.value());
  return "";
}

void Preferences::setPolicyMeta(int64_t version, std::map<std::string, std::string> appliedDefaults,
                                std::set<std::string> lockedKeys, std::string cacheJSON) {
  policyVersion_ = version;
  appliedDefaults_ = std::move(appliedDefaults);
  this->lockedKeys.set(std::move(lockedKeys));
  policyCache_ = std::move(cacheJSON);

  PlistValue::Dictionary applied;
  for (const auto& [key, text] : appliedDefaults_) applied.emplace(key, PlistValue(text));
  PlistValue::Array locked;
  for (const auto& key : this->lockedKeys.value()) locked.emplace_back(key);
  PlistValue::Dictionary values;
  values.emplace("companyPolicyVersion", PlistValue(version));
  values.emplace("companyPolicyAppliedDefaults", PlistValue(std::move(applied)));
  values.emplace("companyPolicyLockedKeys", PlistValue(std::move(locked)));
  values.emplace("companyPolicyCache", PlistValue(*policyCache_));
  defaults_.setValues(applicationDomain, std::move(values));
}

}  // namespace corvane
