// The organisation's company policy: per managed setting a value and a mode (leave alone, offer as
// a default the user may change, or lock), applied to the preferences store.
//
// Policy document (a JSON object):
//   "version"   integer >= 1, required (a document without one is rejected as a whole)
//   "modes"     object of strings: "unset", "default" or "locked" (other words count as "unset");
//               anything else, or missing, gives no modes, which unlocks every key
//   "settings"  object: per managed key a value; anything else gives no settings
//   "updatedAt" string, optional
// Members of "modes" and "settings" named after no managed key are kept in the cache, never applied.
//
// Applying remembers, per key, the snapshot text of the value the policy wrote, so that a later
// policy in default mode does not overwrite a user's own change; the document itself is kept as the
// store's policy cache and applied again at every start (`applyCached`), so locks hold at once.
//
// Threading: main thread (the preferences store's thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings/app_ref.h"

namespace corvane {

class LogSink;
class Preferences;

// Bundle identifier -> the same application's identifier on the organisation's other platform.
struct PolicyAppMap {
  static const std::vector<std::pair<std::string, std::string>>& entries();
  static std::optional<std::string> windowsId(std::string_view bundleID);
};

struct CompanyPolicy {
  // "default" is a keyword in C++, hence the trailing underscore.
  enum class Mode { unset, default_, locked };
  // "unset", "default", "locked"; any other text is `unset`.
  static Mode modeFromRawValue(std::string_view raw);
  static std::string_view rawValue(Mode mode);

  struct ApplyResult {
    std::set<std::string> changedKeys;  // managed keys whose values the policy wrote
    std::set<std::string> lockedKeys;   // the locked keys after the application
    friend bool operator==(const ApplyResult&, const ApplyResult&) = default;
  };

  // The largest policy accepted, in bytes: of its file, and of its JSON text as kept for the next
  // start. It keeps the cached copy well inside what the settings file may hold, so a policy can
  // never make the settings file unreadable.
  static constexpr size_t maxDocumentBytes = size_t(1) << 20;

  int64_t version = 1;
  std::optional<std::string> updatedAt;
  std::map<std::string, Mode> modes;
  std::map<std::string, nlohmann::json> settings;
  std::string cacheJSON;  // the whole source document as JSON text, for the next start

  // The policy of a decoded document, or nothing when it has no valid "version", is not an object,
  // nests too deeply or is larger than maxDocumentBytes. When `log` is given, a rejection and malformed members are logged with their reason.
  static std::optional<CompanyPolicy> parse(const nlohmann::json& document, LogSink* log = nullptr);

  // Applies the policy to the store (see the header comment); values of the wrong type are logged
  // to the store's log.
  ApplyResult apply(Preferences& preferences) const;
  // Parses and applies the store's cached policy; empty sets and no change when there is none or it
  // no longer decodes.
  static ApplyResult applyCached(Preferences& preferences);
  // The current settings in the policy's "settings" form, ready to publish as the organisation's
  // defaults (12 members; "requireCorvane" and modes are not part of it).
  static nlohmann::json snapshotForPush(const Preferences& preferences);

  // The applications of a policy app list: entries are objects with "macBundleID" (trimmed;
  // entries without one, or with an empty one, and later repeats are skipped) and "name" (trimmed;
  // the bundle identifier when missing or empty). Nothing when the value is not an array of objects.
  static std::optional<std::vector<AppRef>> appsFromPolicy(const nlohmann::json& value);
};

}  // namespace corvane
