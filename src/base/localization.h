// Localised text. The English text is the key, and each lookup carries a fixed comment for the
// translators that names where the text is used:
//
//   std::string title = localized("Reveal", "Button to temporarily unblur this window");
//
// The answer comes from the installed table, or is the key itself when the table has no entry (or
// no table is installed). Every (key, comment) pair looked up is recorded, so that tests can check
// that a text goes out with its comment. Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// Translations: English text -> translated text.
class LocalizationTable {
 public:
  // A JSON object mapping each English text to its translation, e.g. {"Blur": "Flouter"}. On
  // failure returns nothing, with a message in *error (when given).
  static std::optional<LocalizationTable> fromJSON(std::string_view text, std::string* error);
  static std::optional<LocalizationTable> loadFile(const std::string& path, std::string* error);

  void set(std::string key, std::string text);
  // The translation, when the table has one.
  std::optional<std::string> lookup(std::string_view key) const;
  size_t size() const { return entries_.size(); }

 private:
  std::map<std::string, std::string, std::less<>> entries_;
};

// Every (key, comment) pair that has been looked up.
class LocalizationRegistry {
 public:
  void record(std::string_view key, std::string_view comment);
  // True when `key` has been looked up with exactly this comment.
  bool contains(std::string_view key, std::string_view comment) const;
  // The comments `key` has been looked up with (more than one points at an inconsistency).
  std::vector<std::string> commentsFor(std::string_view key) const;
  std::vector<std::pair<std::string, std::string>> entries() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::set<std::pair<std::string, std::string>> entries_;
};

// The table used by localized(); null restores the English texts.
void installLocalizationTable(std::shared_ptr<const LocalizationTable> table);
// The process-wide registry that localized() records into.
LocalizationRegistry& localizationRegistry();

std::string localized(std::string_view key, std::string_view comment);

}  // namespace corvane
