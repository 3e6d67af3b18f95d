#include "lifecycle/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace corvane {

namespace {

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::optional<std::string> privateRuntimeDirectory(const std::string& runtimeDir, unsigned uid, std::string* error) {
  const std::string path =
      runtimeDir.empty() ? "/tmp/corvane-" + std::to_string(uid) : runtimeDir + "/corvane";
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = systemError("cannot create " + path);
    return std::nullopt;
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (error) *error = systemError("cannot inspect " + path);
    return std::nullopt;
  }
  if (!S_ISDIR(info.st_mode)) {
    if (error) *error = path + " is not a directory";
    return std::nullopt;
  }
  if (info.st_uid != uid) {
    if (error) *error = path + " belongs to another user";
    return std::nullopt;
  }
  if ((info.st_mode & 077) != 0) {
    if (error) *error = path + " is open to other users";
    return std::nullopt;
  }
  return path;
}

std::optional<std::string> privateRuntimeDirectory(std::string* error) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return privateRuntimeDirectory(runtime ? runtime : "", unsigned(::getuid()), error);
}

std::unique_ptr<SingleInstanceLock> SingleInstanceLock::acquire(const std::string& directory, const std::string& name,
                                                                Outcome* outcome, std::string* error) {
  *outcome = Outcome::failed;
  const std::string path = directory + "/" + name + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error) *error = systemError("cannot open " + path);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    if (!held && error) *error = systemError("cannot lock " + path);
    ::close(fd);
    if (held) *outcome = Outcome::heldByAnother;
    return nullptr;
  }
  *outcome = Outcome::acquired;
  return std::unique_ptr<SingleInstanceLock>(new SingleInstanceLock(fd, path));
}

SingleInstanceLock::~SingleInstanceLock() { ::close(fd_); }

}  // namespace corvane
