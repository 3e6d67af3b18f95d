#include "lifecycle/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane {

namespace {

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

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
