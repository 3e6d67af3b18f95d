// The preferences store: every user setting as an observable property, written through to the
// defaults store (the application's domain) at once, with the company policy's locks and bookkeeping.
//
// Assigning a property (`prefs.blurTint.set(0.4)`) sends, in this order and before the property
// holds the new value, the will-change signal of the whole object and the new value on the
// property's own stream; a subscriber that reads the property synchronously still sees the old value.
// `subscribeWillChangeOnMain` delivers the will-change events later on the main queue instead, when
// the property already holds the new value.
//
// Locks: the 13 managed settings go through `persistOrRevert`: while a key is in `lockedKeys` and
// no policy is being applied (`applyingPolicy`), a different value is undone at once (subscribers
// see the new value and then the old one) and only the old value is stored again.
//
// Stored forms (application domain): Booleans and doubles as such; "protectedApps", "triggerApps"
// and "sensitiveTabRules" as JSON in a data blob; policy bookkeeping under "companyPolicyLockedKeys"
// (array of strings), "companyPolicyAppliedDefaults" (dictionary of strings), "companyPolicyCache"
// (string) and "companyPolicyVersion" (integer). A stored value that is missing, of another type or
// (for blobs) not decodable gives the setting's default; nothing is written while reading.
//
// Threading: main thread only, like every subscriber it notifies.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/observable.h"
#include "settings/app_ref.h"

namespace corvane {

class DefaultsStore;
class Dispatcher;
class LogSink;
class Preferences;

// One observable setting of the preferences store.
template <typename T>
class PreferenceProperty {
 public:
  PreferenceProperty(Signal<>& objectWillChange, T initial)
      : objectWillChange_(objectWillChange), observable_(std::move(initial)) {}
  PreferenceProperty(const PreferenceProperty&) = delete;
  PreferenceProperty& operator=(const PreferenceProperty&) = delete;

  const T& value() const { return observable_.value(); }
  const T& operator()() const { return value(); }

  // An assignment: notifies, stores, then applies the store's rules for this setting.
  void set(T newValue) {
    T oldValue = value();
    T assigned = newValue;
    objectWillChange_.emit();
    observable_.set(std::move(newValue));
    if (didAssign_) didAssign_(oldValue, assigned);
  }

  // The property's own stream: each assigned value, before the property holds it.
  [[nodiscard]] Subscription subscribe(std::function<void(const T&)> callback) {
    return observable_.subscribe(std::move(callback));
  }

 private:
  friend class Preferences;
  Signal<>& objectWillChange_;
  Observable<T> observable_;
  std::function<void(const T& oldValue, const T& newValue)> didAssign_;
};

class Preferences {
 public:
  // The settings a company policy can set or lock, in the order a policy is applied.
  static constexpr std::array<std::string_view, 13> managedKeys = {"protectedApps",     "triggerApps",
                                                                   "autoDetectEnabled", "blurOnlyWhenTriggerAppOpen",
                                                                   "blurTint",          "blurIntensity",
                                                                   "blurDesktop",       "blurDock",
                                                                   "blurSensitiveTabs", "enhancedProtectionEnabled",
                                                                   "sensitiveTabRules", "launchAtLogin",
                                                                   "requireCorvane"};

  // The default trigger application.
  static AppRef defaultTriggerApp() { return AppRef{"us.zoom.xos", "zoom.us"}; }

  // Reads every setting from `defaults`; writes nothing. Events of subscribeWillChangeOnMain go to
  // the dispatcher's main queue; problems with stored values are logged to `log`.
  Preferences(DefaultsStore& defaults, Dispatcher& dispatcher, LogSink& log);
  ~Preferences();
  Preferences(const Preferences&) = delete;
  Preferences& operator=(const Preferences&) = delete;

  // The process-wide instance installed at start-up. Calling shared() before installShared() is a
  // programming error and aborts.
  static Preferences& shared();
  static bool hasShared();
  // Installs the instance (null removes it) and returns the one it replaces.
  static std::unique_ptr<Preferences> installShared(std::unique_ptr<Preferences> preferences);

  // The will-change signal of the whole object: synchronous, before the property holds the value.
  [[nodiscard]] Subscription subscribeWillChange(std::function<void()> callback);
  // The same events, each delivered asynchronously on the main queue (the property then holds the
  // new value). Nothing is delivered once the subscription has ended.
  [[nodiscard]] Subscription subscribeWillChangeOnMain(std::function<void()> callback);

 private:
  DefaultsStore& defaults_;
  Dispatcher& dispatcher_;
  LogSink& log_;
  Signal<> objectWillChange_;

 public:
  // Set while a company policy is applied (and during a revert), so that locks let assignments through.
  bool applyingPolicy = false;

  PreferenceProperty<std::vector<AppRef>> protectedApps;
  PreferenceProperty<std::vector<AppRef>> triggerApps;
  PreferenceProperty<bool> autoDetectEnabled;
  PreferenceProperty<bool> blurOnlyWhenTriggerAppOpen;
  // 0 ... maxBlurTint; a stored or policy value outside is clamped into it.
  PreferenceProperty<double> blurTint;
  // 0 ... maxBlurIntensity; likewise.
  PreferenceProperty<double> blurIntensity;
  static constexpr double maxBlurTint = 0.6;
  static constexpr double maxBlurIntensity = 1.0;
  PreferenceProperty<bool> blurDesktop;
  // Always true: an assignment of false is followed at once by an assignment of true. Never stored.
  PreferenceProperty<bool> clearViewEnabled;
  PreferenceProperty<bool> blurDock;
  PreferenceProperty<bool> blurSensitiveTabs;
  PreferenceProperty<bool> enhancedProtectionEnabled;
  PreferenceProperty<std::vector<std::string>> sensitiveTabRules;
  PreferenceProperty<bool> launchAtLogin;
  PreferenceProperty<bool> requireCorvane;
  // Stored on every assignment, never locked.
  PreferenceProperty<bool> hasCompletedOnboarding;
  // Stored only by setPolicyMeta.
  PreferenceProperty<std::set<std::string>> lockedKeys;

  // Managed key -> snapshot text of the value the policy last wrote.
  const std::map<std::string, std::string>& appliedDefaults() const { return appliedDefaults_; }
  // The last applied policy document (JSON text).
  const std::optional<std::string>& policyCache() const { return policyCache_; }
  int64_t policyVersion() const { return policyVersion_; }

  // True when the key is locked by policy or forced by the managed defaults layer, and for
  // "launchAtLogin" also while requireCorvane is on.
  bool isEffectivelyLocked(std::string_view key) const;
  // True when any key is locked or requireCorvane is on.
  bool hasManagedSettings() const;
  // A managed setting's current value as comparable text: app lists as their sorted bundle
  // identifiers, tab rules lower-cased and sorted (each joined with "\n"), the two doubles with
  // three decimals, Booleans as "1" or "0"; any other key gives "".
  std::string snapshot(std::string_view key) const;
  // Records an applied policy: sets the version, applied defaults, locked keys (observers are told)
  // and cache, then stores all four in one step.
  void setPolicyMeta(int64_t version, std::map<std::string, std::string> appliedDefaults,
                     std::set<std::string> lockedKeys, std::string cacheJSON);

  LogSink& log() const { return log_; }
  DefaultsStore& defaults() const { return defaults_; }

 private:
  template <typename T>
  void persistOrRevert(PreferenceProperty<T>& property, std::string_view key, const T& oldValue, const T& newValue);
  void store(std::string_view key, bool value);
  void store(std::string_view key, double value);
  void store(std::string_view key, const std::vector<AppRef>& value);
  void store(std::string_view key, const std::vector<std::string>& value);

  std::map<std::string, std::string> appliedDefaults_;
  std::optional<std::string> policyCache_;
  int64_t policyVersion_ = 0;
};

}  // namespace corvane
