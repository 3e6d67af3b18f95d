// One running copy per user: a held lock on a file in the user's private runtime directory.
//
// The directory is the user's runtime directory (userRuntimeDirectory: $XDG_RUNTIME_DIR/corvane, or
// /tmp/corvane-UID), refused unless it is a real directory of this user's that no one else may
// reach, since another user could have prepared it. The lock is an flock on "<name>.lock" in it (opened without following links, mode 0600), held
// for the life of the process: a crash releases it with the process, so no stale file can keep the
// next copy from starting.
//
// Threading: any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace corvane {

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
