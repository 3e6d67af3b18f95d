// Small file helpers. Failures come back as false or an empty optional with a message.
//
// Reading: only regular files are read. A path naming a FIFO, a device, a socket or a directory is
// refused without blocking (it is opened non-blocking and checked before a byte is read), and a
// file larger than the caller's limit is refused rather than read into memory.
//
// Writing: an output file is never written through a link that someone else planted at its path.
// The bytes go to a new temporary file beside it (created exclusively, so a name that already
// exists, link or not, is never opened) and that file is renamed over the path: whatever stood at
// the path, a link to another user's file included, is replaced, never written into.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvane {

// What readFileText reads at most unless told otherwise.
inline constexpr size_t kDefaultMaxReadBytes = size_t(64) << 20;

struct FileContents {
  enum class Status {
    ok,
    missing,     // no such file (or a directory on the way is not one)
    notRegular,  // a FIFO, device, socket, directory, ...
    tooLarge,    // larger than the limit
    failed,      // any other error (permissions, I/O)
  };
  Status status = Status::missing;
  std::string bytes;
  struct stat info {};  // the file's status when it could be opened
  std::string error;    // why it was not read, for messages
};

// Reads a whole regular file of at most maxBytes bytes.
FileContents readRegularFile(const std::string& path, size_t maxBytes);

// Creates or replaces the file (see the header comment) and writes all bytes. The new file has
// mode 0644 less the process's umask.
bool writeFileBytes(const std::vector<uint8_t>& bytes, const std::string& path, std::string* error);
bool writeFileText(const std::string& text, const std::string& path, std::string* error);
// The whole regular file at `path`, or nothing with the reason ("not a regular file", "larger than
// N bytes", the system's message).
std::optional<std::string> readFileText(const std::string& path, std::string* error,
                                        size_t maxBytes = kDefaultMaxReadBytes);
// Creates the directory and any missing parents (mode 0755).
bool makeDirectories(const std::string& path, std::string* error);

// True when `path` itself (not what a link there points to) is a directory owned by this process's
// effective user that no one else may read, write or enter. Otherwise false, with the reason.
bool isPrivateDirectoryOfUser(const std::string& path, std::string* error = nullptr);

// A directory of the user's own at a fixed path: made with mode 0700 when it does not exist (its
// parent must), then checked with isPrivateDirectoryOfUser. A link, a directory of someone else's or
// one open to others is refused, never changed or used. False, with the reason, when refused.
bool ensurePrivateDirectoryOfUser(const std::string& path, std::string* error = nullptr);

// The user's private runtime directory, where the program keeps what only this user's copies may
// see (shared frame files, the single-instance lock): `runtimeDirectory` + "/corvane" when it is an
// absolute path, else "/tmp/corvane-UID".
std::string userRuntimeDirectoryPath(const char* runtimeDirectory, uid_t uid);
// That directory for this process ($XDG_RUNTIME_DIR, effective user), made and checked with
// ensurePrivateDirectoryOfUser. Nothing, with the reason, when it cannot be made safe.
std::optional<std::string> userRuntimeDirectory(std::string* error = nullptr);

// A new directory of this process's own: created with mkdtemp (mode 0700, a name nobody else can
// have taken first) under `parent`, its name starting with `prefix`, and removed with everything in
// it when the object is destroyed. It is empty (path() == "") when it could not be made.
class PrivateDirectory {
 public:
  PrivateDirectory(const std::string& parent, const std::string& prefix, std::string* error = nullptr);
  ~PrivateDirectory();
  PrivateDirectory(const PrivateDirectory&) = delete;
  PrivateDirectory& operator=(const PrivateDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace corvane
