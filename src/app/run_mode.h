// The process entry's decision: which role this process plays, from its command line alone.
//
// Flags are matched by exact whole-string equality anywhere in the argument list (the first
// occurrence counts) and tested in a fixed order; the first flag present with all its arguments
// wins. A flag with too few arguments, or with a window number that does not parse, is skipped and
// the next flag is tried, finally falling through to the menu-bar application.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

enum class RunRole {
  mirrorHost,            // --mirror-host
  captureDesktop,        // --capture-desktop P
  captureNotifications,  // --capture-notifications P
  captureLoop,           // --capture-loop WID P
  captureWindow,         // --capture-window WID P (diagnostic)
  captureSCKWindow,      // --capture-sck-window WID DIR (diagnostic)
  qaComposite,           // --qa-composite D S O (diagnostic)
  captureDisplayStream,  // --capture-display-stream P (diagnostic)
  captureDisplay,        // --capture-display P [--excluding-apps a,b,...] (diagnostic)
  menuBarApp,            // none of the above
};

struct RunMode {
  RunRole role = RunRole::menuBarApp;
  // The flag's own arguments, window number excluded (paths and directories, in order).
  std::vector<std::string> paths;
  // For the roles that take a window number.
  uint32_t windowID = 0;
  // For --capture-display: the bundle identifiers given with --excluding-apps.
  std::vector<std::string> excludedBundleIDs;
};

// `arguments[0]` is the executable path; like every element it is compared whole.
RunMode decideRunMode(const std::vector<std::string>& arguments);

// An unsigned 32-bit decimal window number: digits only (no sign, no blanks), at most 4294967295.
std::optional<uint32_t> parseWindowID(std::string_view text);

// The list after --excluding-apps: split at every comma, empty pieces dropped, pieces not trimmed.
std::vector<std::string> splitExcludedApps(std::string_view text);

const char* roleFlag(RunRole role);

}  // namespace corvane
