// The preset applications offered as quick picks in the settings window, and the search that
// suggests applications to add.
//
// Threading: the tables are constants; runningApps reads the workspace (main thread).
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "settings/app_ref.h"

namespace corvane {

class Workspace;

struct PresetTags {
  // Applications commonly protected, in display order.
  static const std::vector<AppRef>& protectedAppPresets();
  // Applications commonly used as triggers, in display order.
  static const std::vector<AppRef>& triggerAppPresets();

  // Suggestions for a search: with an empty query (after trimming) the presets, otherwise the
  // presets followed by the running applications whose lower-cased name, or failing that bundle
  // identifier, contains the lower-cased query. Applications in `excluding` and repeated bundle
  // identifiers are left out (the first occurrence wins); at most `limit` entries.
  static std::vector<AppRef> suggestApps(std::string_view query, const std::vector<AppRef>& presets,
                                         const std::vector<AppRef>& running, const std::vector<AppRef>& excluding,
                                         size_t limit);

  // The running applications a user can pick: regular ones with a bundle identifier, named by their
  // localised names (the bundle identifier when they have none), one per bundle identifier, sorted
  // by lower-cased name.
  static std::vector<AppRef> runningApps(Workspace& workspace);
};

}  // namespace corvane
