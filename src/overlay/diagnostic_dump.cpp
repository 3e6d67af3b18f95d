#include "overlay/diagnostic_dump.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::DiagnosticDump {

namespace {

// A file descriptor closed on destruction.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool fail(std::string* error, const std::string& message) {
  if (error) *error = message;
  return false;
}

std::string lastError() { return std::strerror(errno); }

void split(const std::string& path, std::string& parent, std::string& name) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    parent = ".";
    name = path;
  } else {
    parent = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

// Walks the directory `name` in `parentFD`, which must be this user's and not a link, and checks
// that everything in it is this user's too. With `remove`, empties and removes it as well; callers
// check the whole tree first, so that a foreign file deep inside stops the dump before anything is
// deleted rather than halfway through.
bool walkTree(int parentFD, const std::string& name, const std::string& shown, bool remove, std::string* error) {
  Descriptor dir(::openat(parentFD, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.get() < 0) return fail(error, shown + ": cannot be opened: " + lastError());
  struct stat st;
  if (::fstat(dir.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return fail(error, shown + ": not a directory of this user; left alone");
  }
  const int listFD = ::dup(dir.get());
  if (listFD < 0) return fail(error, shown + ": " + lastError());
  DIR* stream = ::fdopendir(listFD);
  if (!stream) {
    ::close(listFD);
    return fail(error, shown + ": " + lastError());
  }
  bool ok = true;
  while (ok) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (!entry) break;
    const std::string child = entry->d_name;
    if (child == "." || child == "..") continue;
    struct stat cs;
    if (::fstatat(dir.get(), child.c_str(), &cs, AT_SYMLINK_NOFOLLOW) != 0) {
      ok = fail(error, shown + "/" + child + ": " + lastError());
    } else if (cs.st_uid != ::geteuid()) {
      ok = fail(error, shown + "/" + child + ": belongs to another user; left alone");
    } else if (S_ISDIR(cs.st_mode)) {
      ok = walkTree(dir.get(), child, shown + "/" + child, remove, error);
    } else if (remove && ::unlinkat(dir.get(), child.c_str(), 0) != 0) {
      ok = fail(error, shown + "/" + child + ": cannot be removed: " + lastError());
    }
  }
  ::closedir(stream);
  if (!ok) return false;
  if (remove && ::unlinkat(parentFD, name.c_str(), AT_REMOVEDIR) != 0) {
    return fail(error, shown + ": cannot be removed: " + lastError());
  }
  return true;
}

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += size_t(n);
  }
  return true;
}

}  // namespace

bool consumeTrigger(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return false;
  return ::unlink(path.c_str()) == 0;
}

bool replaceDirectory(const std::string& path, const std::vector<std::pair<std::string, std::string>>& files,
                      std::string* error) {
  std::string parentPath, name;
  split(path, parentPath, name);
  if (name.empty() || name == "." || name == "..") return fail(error, path + ": not a directory name");
  Descriptor parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (parent.get() < 0) return fail(error, parentPath + ": cannot be opened: " + lastError());

  struct stat st;
  if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISDIR(st.st_mode)) return fail(error, path + ": exists and is not a directory; left alone");
    if (st.st_uid != ::geteuid()) return fail(error, path + ": belongs to another user; left alone");
    if (!walkTree(parent.get(), name, path, /*remove=*/false, error)) return false;
    if (!walkTree(parent.get(), name, path, /*remove=*/true, error)) return false;
  } else if (errno != ENOENT) {
    return fail(error, path + ": " + lastError());
  }

  // Created afresh: if anyone slips something in between, mkdir fails rather than reusing it.
  if (::mkdirat(parent.get(), name.c_str(), 0700) != 0) {
    return fail(error, path + ": cannot be created: " + lastError());
  }
  Descriptor dir(::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.get() < 0) return fail(error, path + ": cannot be opened: " + lastError());
  if (::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid() || !S_ISDIR(st.st_mode)) {
    return fail(error, path + ": not the directory just created; left alone");
  }
  for (const auto& [file, contents] : files) {
    if (file.empty() || file.find('/') != std::string::npos || file == "." || file == "..") {
      return fail(error, path + ": bad file name \"" + file + "\"");
    }
    Descriptor out(::openat(dir.get(), file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0) return fail(error, path + "/" + file + ": cannot be created: " + lastError());
    if (!writeAll(out.get(), contents)) return fail(error, path + "/" + file + ": cannot be written: " + lastError());
  }
  return true;
}

}  // namespace corvane::DiagnosticDump
