#include "base/localization.h"

#include <nlohmann/json.hpp>

#include "base/files.h"

namespace corvane {

namespace {

void setError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

struct Installed {
  std::mutex mutex;
  std::shared_ptr<const LocalizationTable> table;
};

Installed& installed() {
  static Installed instance;
  return instance;
}

}  // namespace

std::optional<LocalizationTable> LocalizationTable::fromJSON(std::string_view text, std::string* error) {
  nlohmann::json document = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) {
    setError(error, "localisation table is not valid JSON");
    return std::nullopt;
  }
  if (!document.is_object()) {
    setError(error, "localisation table is not a JSON object");
    return std::nullopt;
  }
  LocalizationTable table;
  for (const auto& [key, value] : document.items()) {
    if (!value.is_string()) {
      setError(error, "localisation table: the translation of \"" + key + "\" is not a string");
      return std::nullopt;
    }
    table.set(key, value.get<std::string>());
  }
  return table;
}

std::optional<LocalizationTable> LocalizationTable::loadFile(const std::string& path, std::string* error) {
  auto text = readFileText(path, error);
  if (!text) return std::nullopt;
  std::string message;
  auto table = fromJSON(*text, &message);
  if (!table) setError(error, message + " (" + path + ")");
  return table;
}

void LocalizationTable::set(std::string key, std::string text) { entries_[std::move(key)] = std::move(text); }

std::optional<std::string> LocalizationTable::lookup(std::string_view key) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

void LocalizationRegistry::record(std::string_view key, std::string_view comment) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.emplace(std::string(key), std::string(comment));
}

bool LocalizationRegistry::contains(std::string_view key, std::string_view comment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.count({std::string(key), std::string(comment)}) > 0;
}

std::vector<std::string> LocalizationRegistry::commentsFor(std::string_view key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> comments;
  for (auto it = entries_.lower_bound({std::string(key), std::string()}); it != entries_.end() && it->first == key;
       ++it) {
    comments.push_back(it->second);
  }
  return comments;
}

std::vector<std::pair<std::string, std::string>> LocalizationRegistry::entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

void LocalizationRegistry::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

void installLocalizationTable(std::shared_ptr<const LocalizationTable> table) {
  std::lock_guard<std::mutex> lock(installed().mutex);
  installed().table = std::move(table);
}

LocalizationRegistry& localizationRegistry() {
  static LocalizationRegistry registry;
  return registry;
}

std::string localized(std::string_view key, std::string_view comment) {
  localizationRegistry().record(key, comment);
  std::shared_ptr<const LocalizationTable> table;
  {
    std::lock_guard<std::mutex> lock(installed().mutex);
    table = installed().table;
  }
  if (table) {
    if (auto text = table->lookup(key)) return *text;
  }
  return std::string(key);
}

}  // namespace corvane
