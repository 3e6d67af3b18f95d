// One application, by bundle identifier and display name.
//
// Two AppRefs are equal when both fields are equal, and hash on both; lists use `bundleID` as the
// identity. JSON form: {"bundleID": "...", "name": "..."}; decoding needs both members as strings
// (other members are ignored). Lists are stored as the JSON array of these objects, as UTF-8 bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace corvane {

struct AppRef {
  std::string bundleID;  // case-sensitive; the identity
  std::string name;      // as shown in lists and messages

  friend bool operator==(const AppRef&, const AppRef&) = default;

  nlohmann::json toJSON() const;
  static std::optional<AppRef> fromJSON(const nlohmann::json& object);

  // The stored form of a list. Text that is not UTF-8 is stored with U+FFFD in place of the bad
  // bytes (`*replaced` tells), so that one bad name never costs the rest of the list.
  static std::vector<uint8_t> encodeList(const std::vector<AppRef>& apps, bool* replaced = nullptr);
  // The list, or nothing when the bytes are not a JSON array of AppRef objects (one bad element
  // spoils the whole list).
  static std::optional<std::vector<AppRef>> decodeList(std::span<const uint8_t> bytes);
};

// Lists of plain strings, stored the same way (a JSON array of strings as UTF-8 bytes).
std::vector<uint8_t> encodeStringList(const std::vector<std::string>& strings, bool* replaced = nullptr);
std::optional<std::vector<std::string>> decodeStringList(std::span<const uint8_t> bytes);

}  // namespace corvane

template <>
struct std::hash<corvane::AppRef> {
  size_t operator()(const corvane::AppRef& app) const noexcept {
    size_t a = std::hash<std::string>{}(app.bundleID);
    size_t b = std::hash<std::string>{}(app.name);
    return a ^ (b + 0x9e3779b97f4a7c15ULL + (a << 6) + (a >> 2));
  }
};
