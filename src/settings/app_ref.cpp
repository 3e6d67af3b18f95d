#include "settings/app_ref.h"

#include <nlohmann/json.hpp>

namespace corvane {
namespace {

std::vector<uint8_t> dumpBytes(const nlohmann::json& document, bool* replaced) {
  std::string strict;
  bool ok = true;
  try {
    strict = document.dump();
  } catch (const nlohmann::json::exception&) {
    ok = false;
  }
  if (replaced) *replaced = !ok;
  // Text that is not UTF-8 cannot go into JSON as it is: replace the bad bytes.
  std::string text = ok ? std::move(strict) : document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::optional<nlohmann::json> parseBytes(std::span<const uint8_t> bytes) {
  auto document = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return std::nullopt;
  return document;
}

}  // namespace

nlohmann::json AppRef::toJSON() const { return nlohmann::json{{"bundleID", bundleID}, {"name", name}}; }

std::optional<AppRef> AppRef::fromJSON(const nlohmann::json& object) {
  if (!object.is_object()) return std::nullopt;
  auto id = object.find("bundleID");
  auto name = object.find("name");
  if (id == object.end() || name == object.end() || !id->is_string() || !name->is_string()) return std::nullopt;
  return AppRef{id->get<std::string>(), name->get<std::string>()};
}

std::vector<uint8_t> AppRef::encodeList(const std::vector<AppRef>& apps, bool* replaced) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& app : apps) array.push_back(app.toJSON());
  return dumpBytes(array, replaced);
}

std::optional<std::vector<AppRef>> AppRef::decodeList(std::span<const uint8_t> bytes) {
  auto document = parseBytes(bytes);
  if (!document || !document->is_array()) return std::nullopt;
  std::vector<AppRef> apps;
  apps.reserve(document->size());
  for (const auto& element : *document) {
    auto app = fromJSON(element);
    if (!app) return std::nullopt;
    apps.push_back(std::move(*app));
  }
  return apps;
}

std::vector<uint8_t> encodeStringList(const std::vector<std::string>& strings, bool* replaced) {
  return dumpBytes(nlohmann::json(strings), replaced);
}

std::optional<std::vector<std::string>> decodeStringList(std::span<const uint8_t> bytes) {
  auto document = parseBytes(bytes);
  if (!document || !document->is_array()) return std::nullopt;
  std::vector<std::string> strings;
  for (const auto& element : *document) {
    if (!element.is_string()) return std::nullopt;
    strings.push_back(element.get<std::string>());
  }
  return strings;
}

}  // namespace corvane
