// The file-backed defaults store, real on every backend.
//
// Each domain is one property-list file, "<directory>/<domain>.plist". The standard directory is
// "$XDG_CONFIG_HOME/corvane" (when that variable holds an absolute path), else "~/.config/corvane".
// The managed layer is read from "/etc/corvane/managed.plist", or from the file named by the
// environment variable CORVANE_MANAGED_PLIST; it is only ever read, and picked up again when the
// file changes.
//
// Durability: every write replaces the domain's file atomically (a temporary file in the same
// directory is written, flushed and renamed over the old file), under an advisory lock on the
// directory shared by every process that uses it. A crash or a kill at any moment leaves the old or
// the new file, never a torn one. A write first merges changes another process has made to the file
// since it was last read, so two processes never undo each other's settings.
//
// Bad files: a domain file that does not parse as a property list with a dictionary at its root is
// renamed aside to "<file>.corrupt-<UTC timestamp>", a line is logged, and the domain starts empty
// (or, when the file went bad while the program ran, keeps the values it held and writes them back).
// A file that can be neither read nor set aside is never overwritten: the domain then lives in
// memory only and every write reports failure. Only regular files of at most 16 MiB are read (a
// FIFO or device is never waited on). A value nested more than 64 levels deep is left out when the
// file is read (the rest of the file stays in use, and the next write drops it) and refused when it
// is written; a binary property list too deep or too large to parse safely counts as unparsable.
// The directory is used only when it belongs to this user.
//
// Threading: any thread (one mutex serialises the calls).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/defaults_store.h"

namespace corvane {

class Clock;
class LogSink;

class PlistDefaultsStore final : public DefaultsStore {
 public:
  // directory: where the domain files live (created with mode 0700 on the first write; empty means
  // there is no place to keep settings, so they live in memory only). managedPlistPath: the managed
  // layer (empty: none). The clock dates the names of files set aside.
  PlistDefaultsStore(std::string directory, std::string managedPlistPath, LogSink& log, const Clock& clock);
  ~PlistDefaultsStore() override;
  PlistDefaultsStore(const PlistDefaultsStore&) = delete;
  PlistDefaultsStore& operator=(const PlistDefaultsStore&) = delete;

  // The standard locations, from the environment (see above). standardDirectory() is empty when
  // neither XDG_CONFIG_HOME nor a home directory is known.
  static std::string standardDirectory();
  static std::string standardManagedPath();
  static std::unique_ptr<PlistDefaultsStore> makeStandard(LogSink& log, const Clock& clock);

  const std::string& directory() const { return directory_; }
  // The file of a domain ("" for a name that cannot be opened).
  std::string pathForDomain(std::string_view domain) const;

  bool canOpen(std::string_view domain) override;
  std::optional<PlistValue> object(std::string_view domain, std::string_view key) override;
  bool set(std::string_view domain, std::string_view key, PlistValue value) override;
  bool setValues(std::string_view domain, PlistValue::Dictionary values) override;
  bool remove(std::string_view domain, std::string_view key) override;
  bool synchronize(std::string_view domain) override;
  bool isForced(std::string_view key) override;

  struct Domain;
  struct Managed;

 private:
  Domain* load(std::string_view domain);
  void reload(Domain& d);
  bool change(std::string_view domain, const PlistValue::Dictionary& values, const std::vector<std::string>& removals);
  bool flush(Domain& d);
  bool flushLocked(Domain& d);  // the caller holds the directory lock
  void refreshManaged();

  std::string directory_;
  std::string managedPath_;
  LogSink& log_;
  const Clock& clock_;
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<Domain>, std::less<>> domains_;
  std::unique_ptr<Managed> managed_;
};

}  // namespace corvane
