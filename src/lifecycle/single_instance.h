// One running copy per user: a held lock on a file in the user's private runtime directory.
//
// The directory is $XDG_RUNTIME_DIR/corvane, or /tmp/corvane-UID without XDG_RUNTIME_DIR. It is
// created with mode 0700 and then verified: a real directory (not a link), owned by this user, with
// no access for anyone else; otherwise it is refused, since another user could have prepared it.
// The lock is an flock on "<name>.lock" in it (opened without following links, mode 0600), held
// for the life of the process: a crash releases it with the process, so no stale file can keep the
// next copy from starting.
//
// Threading: any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace corvane {

// The private runtime directory, created and verified as above; nothing, with the reason in
// *error, when it cannot be made safe. `runtimeDir` and `uid` stand in for $XDG_RUNTIME_DIR
// (empty: unset) and the user id.
std::optional<std::string> privateRuntimeDirectory(const std::string& runtimeDir, unsigned uid, std::string* error);
// The same for this process's environment and user.
std::optional<std::string> privateRuntimeDirectory(std::string* error);

class SingleInstanceLock {
 public:
  enum class Outcome { acquired, heldByAnother, failed };

  // Tries once, without waiting. On `acquired` the returned lock holds it until destroyed.
  static std::unique_ptr<SingleInstanceLock> acquire(const std::string& directory, const std::string& name,
                                                     Outcome* outcome, std::string* error);
  ~SingleInstanceLock();
  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

  const std::string& path() const { return path_; }

 private:
  SingleInstanceLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

}  // namespace corvane
