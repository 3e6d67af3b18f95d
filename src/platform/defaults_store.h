// The per-user defaults store: typed key-value settings kept per domain.
//
// A domain is the application's own settings (`applicationDomain`) or a suite that other software
// owns, such as the Dock's "com.apple.dock". Values are property-list values (`PlistValue`). On top
// of the user's own values sits a read-only managed layer: settings that an organisation forces for
// the application's domain. A forced key reads as its managed value whatever the user stored, and
// `isForced(key)` says whether a key is forced.
//
// Typed look-ups return an empty optional when the key is missing *or* holds a value of another
// type, so that the caller's default applies. The one widening is `doubleValue`, which also accepts
// an integer (a number typed by hand as "300" is still a number).
//
// Writes: `set`, `setValues` and `remove` change the value at once for every later read through the
// same store and return true only when the change is durable (on a file-backed store: the domain's
// file has been replaced). On false the change still holds in memory, the failure has been logged,
// and the store tries again with the next write or `synchronize`.
//
// Threading: every method may be called from any thread; each call is atomic with respect to the
// others. Values are returned by copy; the caller owns them.
#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace corvane {

// The application's own domain.
inline constexpr std::string_view applicationDomain = "com.corvane.Corvane";

// A date, as seconds since 2001-01-01T00:00:00Z (the property-list reference date).
struct PlistDate {
  double secondsSinceReferenceDate = 0;
  friend bool operator==(const PlistDate&, const PlistDate&) = default;
};

// One property-list value: Boolean, integer, real, string, data, date, array or dictionary.
class PlistValue {
 public:
  using Data = std::vector<uint8_t>;
  using Array = std::vector<PlistValue>;
  using Dictionary = std::map<std::string, PlistValue, std::less<>>;
  enum class Type { boolean, integer, real, string, data, date, array, dictionary };

  PlistValue() : value_(false) {}
  // A template, so that pointers and string literals never quietly become Booleans.
  template <typename T>
  requires std::same_as<T, bool> PlistValue(T value) : value_(value) {}
  PlistValue(int value) : value_(int64_t{value}) {}
  PlistValue(int64_t value) : value_(value) {}
  PlistValue(double value) : value_(value) {}
  PlistValue(std::string value) : value_(std::move(value)) {}
  PlistValue(std::string_view value) : value_(std::string(value)) {}
  PlistValue(const char* value) : value_(std::string(value ? value : "")) {}
  PlistValue(Data value) : value_(std::move(value)) {}
  PlistValue(PlistDate value) : value_(value) {}
  PlistValue(Array value) : value_(std::move(value)) {}
  PlistValue(Dictionary value) : value_(std::move(value)) {}

  Type type() const { return static_cast<Type>(value_.index()); }
  // The value when it has type T (bool, int64_t, double, std::string, Data, PlistDate, Array,
  // Dictionary), else null.
  template <typename T>
  const T* get() const {
    return std::get_if<T>(&value_);
  }
  template <typename T>
  T* get() {
    return std::get_if<T>(&value_);
  }

  friend bool operator==(const PlistValue&, const PlistValue&) = default;

 private:
  std::variant<bool, int64_t, double, std::string, Data, PlistDate, Array, Dictionary> value_;
};

class DefaultsStore {
 public:
  virtual ~DefaultsStore() = default;

  // False when the domain cannot be opened (an invalid name); every operation on it then fails.
  virtual bool canOpen(std::string_view domain) = 0;
  // Any property-list value under the key.
  virtual std::optional<PlistValue> object(std::string_view domain, std::string_view key) = 0;
  virtual bool set(std::string_view domain, std::string_view key, PlistValue value) = 0;
  // Several keys in one durable step: after a crash either all of them or none are stored.
  virtual bool setValues(std::string_view domain, PlistValue::Dictionary values) = 0;
  virtual bool remove(std::string_view domain, std::string_view key) = 0;
  // Writes out any change an earlier failure left in memory only. True when nothing is pending.
  virtual bool synchronize(std::string_view domain) = 0;
  // True when the organisation forces this key of the application's domain.
  virtual bool isForced(std::string_view key) = 0;

  // ---- Typed look-ups (a value of another type reads as missing) ----------------------------
  std::optional<bool> boolValue(std::string_view domain, std::string_view key) { return typed<bool>(domain, key); }
  std::optional<int64_t> integerValue(std::string_view domain, std::string_view key) {
    return typed<int64_t>(domain, key);
  }
  std::optional<double> doubleValue(std::string_view domain, std::string_view key) {
    auto value = object(domain, key);
    if (!value) return std::nullopt;
    if (auto* d = value->get<double>()) return *d;
    if (auto* i = value->get<int64_t>()) return static_cast<double>(*i);
    return std::nullopt;
  }
  std::optional<std::string> stringValue(std::string_view domain, std::string_view key) {
    return typed<std::string>(domain, key);
  }
  std::optional<PlistValue::Data> dataValue(std::string_view domain, std::string_view key) {
    return typed<PlistValue::Data>(domain, key);
  }
  // An array whose every element is a string; any other element makes the whole value missing.
  std::optional<std::vector<std::string>> stringArrayValue(std::string_view domain, std::string_view key) {
    auto value = object(domain, key);
    auto* array = value ? value->get<PlistValue::Array>() : nullptr;
    if (!array) return std::nullopt;
    std::vector<std::string> result;
    for (const auto& element : *array) {
      auto* s = element.get<std::string>();
      if (!s) return std::nullopt;
      result.push_back(*s);
    }
    return result;
  }
  // A dictionary whose every value is a string; any other value makes the whole value missing.
  std::optional<std::map<std::string, std::string>> stringDictionaryValue(std::string_view domain,
                                                                          std::string_view key) {
    auto value = object(domain, key);
    auto* dict = value ? value->get<PlistValue::Dictionary>() : nullptr;
    if (!dict) return std::nullopt;
    std::map<std::string, std::string> result;
    for (const auto& [k, v] : *dict) {
      auto* s = v.get<std::string>();
      if (!s) return std::nullopt;
      result.emplace(k, *s);
    }
    return result;
  }

 private:
  template <typename T>
  std::optional<T> typed(std::string_view domain, std::string_view key) {
    auto value = object(domain, key);
    if (!value) return std::nullopt;
    if (auto* v = value->template get<T>()) return std::move(*v);
    return std::nullopt;
  }
};

}  // namespace corvane
