// Safe handling of fixed paths in the shared temporary directory, for the overlay manager's
// diagnostic dump: a trigger file that anyone could create and an output directory that anyone could
// have created first (or replaced with a symbolic link to somewhere else).
//
// Nothing here follows a symbolic link at the final component, and nothing deletes, replaces or
// writes into a file or directory that this user does not own. Anything unexpected is left exactly
// as it is and reported as a failure with a message.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace corvane::DiagnosticDump {

// Whether the trigger at `path` asks for a dump: a regular file (not a link), owned by this user.
// Such a trigger is removed; true only when it was.
bool consumeTrigger(const std::string& path);

// Replaces the directory at `path` with a fresh, private one (mode 0700) holding `files` (name,
// contents), each created new with mode 0600. An existing directory is emptied and removed first,
// but only when it, and everything in it, belongs to this user: the whole tree is checked before
// anything is deleted, so a link or a foreign file at `path` or anywhere inside it stops everything
// and leaves the old directory exactly as it was. The parent directory itself is taken as it is.
bool replaceDirectory(const std::string& path, const std::vector<std::pair<std::string, std::string>>& files,
                      std::string* error);

}  // namespace corvane::DiagnosticDump
