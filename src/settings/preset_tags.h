// The preset applications offered as quick picks in the settings window, the search that
// suggests applications to add, and the identities of well-known applications across platforms.
//
// The presets name applications by their bundle identifiers. On Linux the same applications are
// known by the ids of their desktop entries: one per packaging (the vendor's or the distribution's
// package, and the Flatpak, whose id is reverse-domain), so one application may have several.
//
// Threading: the tables are constants; runningApps reads the workspace (main thread).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "settings/app_ref.h"

namespace corvane {

class Workspace;

// One application under its identifiers: its bundle identifier, and its desktop-entry ids on Linux
// with the name each packaging goes by.
struct KnownApplication {
  std::string_view name;
  std::string_view bundleID;
  std::vector<AppRef> onLinux;
};

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

  // The applications whose identifiers on each platform are known: those of both preset lists that
  // exist on Linux, and a few more that are often protected or start calls.
  static const std::vector<KnownApplication>& knownApplications();
  // Every identifier of the application `id` names, on any platform: `id` first, then the others
  // (bundle identifier, then desktop-entry ids), each once. Just `id` for an unknown application;
  // compared exactly, as identifiers are.
  static std::vector<std::string> identifiersOf(std::string_view id);
  // The presets as a Linux user picks them: each application once per Linux packaging, in the
  // presets' order; applications without a Linux version are left out.
  static std::vector<AppRef> linuxPresets(const std::vector<AppRef>& presets);

  // The running applications a user can pick: regular ones with a bundle identifier, named by their
  // localised names (the bundle identifier when they have none), one per bundle identifier, sorted
  // by lower-cased name.
  static std::vector<AppRef> runningApps(Workspace& workspace);
};

}  // namespace corvane
