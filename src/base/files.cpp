#include "base/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace corvane {

namespace {

std::string systemError(int error) { return std::strerror(error); }

// The process's file-creation mask, read without changing it (umask() would, for a moment, for
// every thread). Falls back to the usual 022.
mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      try {
        return mode_t(std::stoul(line.substr(6), nullptr, 8)) & 0777;
      } catch (const std::exception&) {
        break;
      }
    }
  }
  return 022;
}

bool writeAll(int fd, const uint8_t* p, size_t left) {
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= size_t(n);
  }
  return true;
}

bool replaceFile(const void* data, size_t size, const std::string& path, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    return false;
  };
  if (path.empty()) return fail("no file name given");
  if (path.back() == '/') return fail("cannot write " + path + ": not a file name");
  const size_t slash = path.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name == "." || name == "..") return fail("cannot write " + path + ": not a file name");

  std::string pattern = (directory == "/" ? "" : directory) + "/." + name + ".tmp-XXXXXX";
  std::vector<char> temporary(pattern.begin(), pattern.end());
  temporary.push_back('\0');
  // mkostemp creates the file exclusively: it never opens an existing name or follows a link.
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return fail("cannot create " + path + ": " + systemError(errno));
  bool ok = ::fchmod(fd, 0644 & ~currentUmask()) == 0 && writeAll(fd, static_cast<const uint8_t*>(data), size);
  int savedErrno = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    ::unlink(temporary.data());
    return fail("cannot write " + path + ": " + systemError(savedErrno));
  }
  // rename replaces the name itself: a link standing at `path` is replaced, not followed.
  if (::rename(temporary.data(), path.c_str()) != 0) {
    savedErrno = errno;
    ::unlink(temporary.data());
    return fail("cannot write " + path + ": " + systemError(savedErrno));
  }
  return true;
}

}  // namespace

FileContents readRegularFile(const std::string& path, size_t maxBytes) {
  FileContents result;
  // Non-blocking, so that opening a FIFO with no writer returns at once; a regular file ignores it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    result.status = (e == ENOENT || e == ENOTDIR) ? FileContents::Status::missing : FileContents::Status::failed;
    result.error = systemError(e);
    return result;
  }
  auto finish = [&](FileContents::Status status, std::string error) {
    ::close(fd);
    result.status = status;
    result.error = std::move(error);
    if (status != FileContents::Status::ok) result.bytes.clear();
    return std::move(result);
  };
  if (::fstat(fd, &result.info) != 0) return finish(FileContents::Status::failed, systemError(errno));
  if (!S_ISREG(result.info.st_mode)) return finish(FileContents::Status::notRegular, "not a regular file");
  const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
  if (uint64_t(result.info.st_size) > maxBytes) return finish(FileContents::Status::tooLarge, tooLarge);
  result.bytes.reserve(size_t(result.info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return finish(FileContents::Status::failed, systemError(errno));
    if (n == 0) break;
    // The file may grow while it is read: the limit holds for what is read, not only for the size.
    if (result.bytes.size() + size_t(n) > maxBytes) return finish(FileContents::Status::tooLarge, tooLarge);
    result.bytes.append(buffer, size_t(n));
  }
  return finish(FileContents::Status::ok, "");
}

bool writeFileBytes(const std::vector<uint8_t>& bytes, const std::string& path, std::string* error) {
  return replaceFile(bytes.data(), bytes.size(), path, error);
}

bool writeFileText(const std::string& text, const std::string& path, std::string* error) {
  return replaceFile(text.data(), text.size(), path, error);
}

std::optional<std::string> readFileText(const std::string& path, std::string* error, size_t maxBytes) {
  FileContents contents = readRegularFile(path, maxBytes);
  if (contents.status != FileContents::Status::ok) {
    if (error) *error = "cannot read " + path + ": " + contents.error;
    return std::nullopt;
  }
  return std::move(contents.bytes);
}

bool makeDirectories(const std::string& path, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) {
    if (error) *error = "cannot create " + path + ": " + ec.message();
    return false;
  }
  return true;
}

bool isPrivateDirectoryOfUser(const std::string& path, std::string* error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (error) *error = path + ": " + systemError(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0) {
    if (error) *error = path + ": not a private directory of this user";
    return false;
  }
  return true;
}

bool ensurePrivateDirectoryOfUser(const std::string& path, std::string* error) {
  if (path.empty()) {
    if (error) *error = "no directory name given";
    return false;
  }
  // mkdir never follows a link standing at the path: it fails with EEXIST, and the check refuses it.
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error) *error = "cannot create " + path + ": " + systemError(errno);
    return false;
  }
  return isPrivateDirectoryOfUser(path, error);
}

PrivateDirectory::PrivateDirectory(const std::string& parent, const std::string& prefix, std::string* error) {
  std::string pattern = (parent.empty() ? "." : parent) + "/" + prefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!::mkdtemp(name.data())) {
    if (error) *error = "cannot create a directory in " + parent + ": " + systemError(errno);
    return;
  }
  // mkdtemp made it, but check anyway: it must be ours, private, and not a link.
  if (!isPrivateDirectoryOfUser(name.data(), error)) return;
  path_ = name.data();
}

PrivateDirectory::~PrivateDirectory() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string userRuntimeDirectoryPath(const char* runtimeDirectory, uid_t uid) {
  if (runtimeDirectory && runtimeDirectory[0] == '/') {
    std::string base = runtimeDirectory;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return (base == "/" ? "" : base) + "/corvane";
  }
  return "/tmp/corvane-" + std::to_string(uid);
}

std::optional<std::string> userRuntimeDirectory(std::string* error) {
  std::string path = userRuntimeDirectoryPath(std::getenv("XDG_RUNTIME_DIR"), ::geteuid());
  if (!ensurePrivateDirectoryOfUser(path, error)) return std::nullopt;
  return path;
}

}  // namespace corvane
