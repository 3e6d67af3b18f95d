#include "settings/plist_defaults_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/clock.h"
#include "base/log.h"

namespace corvane {
namespace {

struct PlistFree {
  void operator()(void* node) const {
    if (node) plist_free(node);
  }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Nesting deeper than this is not a settings value; such a value reads as missing.
constexpr int maxDepth = 64;
// Settings files are small; anything larger is not one of ours and is left alone.
constexpr off_t maxFileSize = 16 << 20;

std::string errnoText(int error) { return std::strerror(error); }

// ---- Conversion between libplist nodes and PlistValue ------------------------------------------

std::optional<PlistValue> fromNode(plist_t node, int depth) {
  if (!node || depth > maxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PlistValue(b != 0);
    }
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return PlistValue(static_cast<int64_t>(v));
    }
    case PLIST_REAL: {
      double v = 0;
      plist_get_real_val(node, &v);
      return PlistValue(v);
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return PlistValue(std::string(text ? text : "", text ? length : 0));
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      PlistValue::Data data;
      if (bytes) data.assign(reinterpret_cast<const uint8_t*>(bytes), reinterpret_cast<const uint8_t*>(bytes) + length);
      return PlistValue(std::move(data));
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return PlistValue(PlistDate{sec + usec / 1e6});
    }
    case PLIST_ARRAY: {
      PlistValue::Array array;
      uint32_t n = plist_array_get_size(node);
      for (uint32_t i = 0; i < n; ++i) {
        auto element = fromNode(plist_array_get_item(node, i), depth + 1);
        if (!element) return std::nullopt;  // an element we cannot represent spoils the whole value
        array.push_back(std::move(*element));
      }
      return PlistValue(std::move(array));
    }
    case PLIST_DICT: {
      PlistValue::Dictionary dict;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      bool ok = true;
      while (it) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (!value) {
          std::free(key);
          break;
        }
        auto converted = fromNode(value, depth + 1);
        if (converted && key) {
          dict.emplace(key, std::move(*converted));
        } else {
          ok = false;
        }
        std::free(key);
        if (!ok) break;
      }
      std::free(it);
      if (!ok) return std::nullopt;
      return PlistValue(std::move(dict));
    }
    default:
      return std::nullopt;
  }
}

plist_t toNode(const PlistValue& value) {
  switch (value.type()) {
    case PlistValue::Type::boolean:
      return plist_new_bool(*value.get<bool>() ? 1 : 0);
    case PlistValue::Type::integer:
      return plist_new_uint(static_cast<uint64_t>(*value.get<int64_t>()));
    case PlistValue::Type::real:
      return plist_new_real(*value.get<double>());
    case PlistValue::Type::string: {
      const auto& s = *value.get<std::string>();
      // libplist strings end at the first NUL; keep what it can hold.
      return plist_new_string(s.c_str());
    }
    case PlistValue::Type::data: {
      const auto& d = *value.get<PlistValue::Data>();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case PlistValue::Type::date: {
      double t = value.get<PlistDate>()->secondsSinceReferenceDate;
      if (!std::isfinite(t)) t = 0;
      t = std::fmax(std::fmin(t, 2147483647.0), -2147483648.0);
      double sec = std::floor(t);
      return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>((t - sec) * 1e6));
    }
    case PlistValue::Type::array: {
      plist_t array = plist_new_array();
      for (const auto& element : *value.get<PlistValue::Array>()) plist_array_append_item(array, toNode(element));
      return array;
    }
    case PlistValue::Type::dictionary: {
      plist_t dict = plist_new_dict();
      for (const auto& [k, v] : *value.get<PlistValue::Dictionary>()) plist_dict_set_item(dict, k.c_str(), toNode(v));
      return dict;
    }
  }
  return plist_new_bool(0);
}

// ---- Files -------------------------------------------------------------------------------------

// What identifies one version of a file: a replaced or edited file changes at least one field.
struct Signature {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  bool operator==(const Signature& o) const {
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
  }
};

Signature signatureOf(const struct stat& st) {
  return Signature{true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

Signature statPath(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return signatureOf(st);
}

struct ReadResult {
  enum class Status { ok, missing, failed } status = Status::missing;
  std::string bytes;
  Signature signature;
  std::string error;
};

ReadResult readFile(const std::string& path) {
  ReadResult result;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // ENOTDIR: some component of the directory is not a directory, so the file cannot exist.
    if (errno == ENOENT || errno == ENOTDIR) return result;
    result.status = ReadResult::Status::failed;
    result.error = errnoText(errno);
    result.signature = statPath(path);
    return result;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    result.status = ReadResult::Status::failed;
    result.error = "not a regular file";
    result.signature = statPath(path);
    ::close(fd);
    return result;
  }
  result.signature = signatureOf(st);
  if (st.st_size > maxFileSize) {
    result.status = ReadResult::Status::failed;
    result.error = "the file is too large to be a settings file";
    ::close(fd);
    return result;
  }
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.status = ReadResult::Status::failed;
      result.error = errnoText(errno);
      ::close(fd);
      return result;
    }
    if (n == 0) break;
    result.bytes.append(buffer, static_cast<size_t>(n));
    if (result.bytes.size() > static_cast<size_t>(maxFileSize)) {
      result.status = ReadResult::Status::failed;
      result.error = "the file is too large to be a settings file";
      ::close(fd);
      return result;
    }
  }
  ::close(fd);
  result.status = ReadResult::Status::ok;
  return result;
}

// The parsed root dictionary, or null when the bytes are not a property list with a dictionary root.
PlistPtr parseDictionary(const std::string& bytes) {
  if (bytes.empty()) return nullptr;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  PlistPtr owned(root);
  if (!owned || plist_get_node_type(root) != PLIST_DICT) return nullptr;
  return owned;
}

bool makePrivateDirectories(const std::string& path, std::string* error) {
  if (path.empty()) {
    *error = "no directory";
    return false;
  }
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) == 0 || errno == EEXIST) continue;
    *error = "cannot create " + part + ": " + errnoText(errno);
    return false;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = path + " is not a directory";
    return false;
  }
  return true;
}

// An advisory lock on the settings directory, shared by every process that writes there.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& directory) {
    if (directory.empty()) return;
    fd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_ = -1;
};

bool writeAll(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Writes the bytes to a new temporary file beside `path`, flushes it and renames it over `path`.
bool replaceAtomically(const std::string& directory, const std::string& fileName, const std::string& path,
                       const char* bytes, size_t length, std::string* error) {
  std::string pattern = directory + "/." + fileName + ".tmp-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot create a temporary file: " + errnoText(errno);
    return false;
  }
  bool ok = writeAll(fd, bytes, length);
  if (!ok) *error = "cannot write the temporary file: " + errnoText(errno);
  if (ok && ::fsync(fd) != 0) {
    *error = "cannot flush the temporary file: " + errnoText(errno);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    *error = "cannot close the temporary file: " + errnoText(errno);
    ok = false;
  }
  if (ok && ::rename(name.data(), path.c_str()) != 0) {
    *error = "cannot replace the file: " + errnoText(errno);
    ok = false;
  }
  if (!ok) {
    ::unlink(name.data());
    return false;
  }
  // Make the rename itself durable.
  int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

// Temporary files a killed writer left behind. Only called under the directory lock, so no live
// writer's temporary file is among them.
void removeStaleTemporaries(const std::string& directory, const std::string& fileName) {
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return;
  std::string prefix = "." + fileName + ".tmp-";
  while (dirent* entry = ::readdir(dir)) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

std::string utcStamp(double wallTime) {
  time_t t = static_cast<time_t>(std::floor(wallTime));
  struct tm parts {};
  if (!::gmtime_r(&t, &parts)) return "0";
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

// Renames the file to "<path>.corrupt-<stamp>", never replacing an existing file. Returns the new
// path, or nothing (with the reason) when the file could not be moved.
std::optional<std::string> moveAside(const std::string& path, const std::string& stamp, std::string* error) {
  for (int attempt = 1; attempt <= 100; ++attempt) {
    std::string candidate = path + ".corrupt-" + stamp + (attempt > 1 ? "-" + std::to_string(attempt) : "");
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, candidate.c_str(), RENAME_NOREPLACE) == 0) return candidate;
    if (errno == EEXIST) continue;
    if (errno == EINVAL || errno == ENOSYS) {
      // The file system cannot rename without replacing: link the new name, then drop the old one.
      if (::link(path.c_str(), candidate.c_str()) == 0) {
        ::unlink(path.c_str());
        return candidate;
      }
      if (errno == EEXIST) continue;
    }
    *error = errnoText(errno);
    return std::nullopt;
  }
  *error = "too many files set aside already";
  return std::nullopt;
}

bool validDomainName(std::string_view domain) {
  if (domain.empty() || domain.size() > 200 || domain.front() == '.') return false;
  for (char c : domain) {
    if (c == '/' || c == '\0') return false;
  }
  return true;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

struct PlistDefaultsStore::Domain {
  std::string fileName;
  std::string path;
  PlistPtr contents{plist_new_dict()};  // always a dictionary: the file's values plus pending ones
  // Changes not yet durable (a value, or nothing for a removal); re-applied over a reloaded file.
  std::map<std::string, std::optional<PlistValue>, std::less<>> pending;
  Signature seen;  // the file as last read or written
  bool loaded = false;
  bool blocked = false;  // the file can be neither read nor set aside: never write over it
  std::string blockedReason;
  bool needsRewrite = false;  // the file was set aside while its values were in use
  bool failing = false;       // the last write failed (logged once until a write succeeds)
};

struct PlistDefaultsStore::Managed {
  PlistPtr root;  // a dictionary, or null
  Signature seen;
  bool checked = false;
};

PlistDefaultsStore::PlistDefaultsStore(std::string directory, std::string managedPlistPath, LogSink& log,
                                       const Clock& clock)
    : directory_(std::move(directory)),
      managedPath_(std::move(managedPlistPath)),
      log_(log),
      clock_(clock),
      managed_(std::make_unique<Managed>()) {
  while (directory_.size() > 1 && directory_.back() == '/') directory_.pop_back();
}

PlistDefaultsStore::~PlistDefaultsStore() = default;

std::string PlistDefaultsStore::standardDirectory() {
  std::string xdg = environment("XDG_CONFIG_HOME");
  if (!xdg.empty() && xdg.front() == '/') return xdg + "/corvane";
  std::string home = environment("HOME");
  if (home.empty()) {
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) home = entry->pw_dir;
  }
  if (home.empty()) return "";
  return home + "/.config/corvane";
}

std::string PlistDefaultsStore::standardManagedPath() {
  std::string overridden = environment("CORVANE_MANAGED_PLIST");
  return overridden.empty() ? "/etc/corvane/managed.plist" : overridden;
}

std::unique_ptr<PlistDefaultsStore> PlistDefaultsStore::makeStandard(LogSink& log, const Clock& clock) {
  return std::make_unique<PlistDefaultsStore>(standardDirectory(), standardManagedPath(), log, clock);
}

std::string PlistDefaultsStore::pathForDomain(std::string_view domain) const {
  if (!validDomainName(domain) || directory_.empty()) return "";
  return directory_ + "/" + std::string(domain) + ".plist";
}

PlistDefaultsStore::Domain* PlistDefaultsStore::load(std::string_view name) {
  if (!validDomainName(name)) return nullptr;
  auto it = domains_.find(name);
  if (it == domains_.end()) {
    auto d = std::make_unique<Domain>();
    d->fileName = std::string(name) + ".plist";
    d->path = pathForDomain(name);
    it = domains_.emplace(std::string(name), std::move(d)).first;
  }
  Domain& d = *it->second;
  if (directory_.empty()) {
    d.loaded = true;
    return &d;
  }
  if (d.loaded && statPath(d.path) == d.seen) return &d;
  DirectoryLock lock(directory_);
  reload(d);
  if (d.needsRewrite) flushLocked(d);
  return &d;
}

void PlistDefaultsStore::reload(Domain& d) {
  ReadResult read = readFile(d.path);
  PlistPtr base;
  switch (read.status) {
    case ReadResult::Status::missing:
      base.reset(plist_new_dict());
      d.seen = Signature{};
      break;
    case ReadResult::Status::failed:
      if (!d.blocked || d.blockedReason != read.error) {
        log_.log("Corvane: settings file " + d.path + " could not be read (" + read.error +
                 "); it is left untouched and these settings are kept in memory only");
      }
      d.blocked = true;
      d.blockedReason = read.error;
      d.seen = read.signature;
      d.loaded = true;
      return;
    case ReadResult::Status::ok:
      base = parseDictionary(read.bytes);
      if (base) {
        d.seen = read.signature;
        break;
      }
      {
        std::string error;
        auto aside = moveAside(d.path, utcStamp(clock_.wallTime()), &error);
        if (!aside) {
          if (!d.blocked || d.blockedReason != error) {
            log_.log("Corvane: settings file " + d.path +
                     " is not a valid property list and could not be moved aside (" + error +
                     "); it is left untouched and these settings are kept in memory only");
          }
          d.blocked = true;
          d.blockedReason = error;
          d.seen = read.signature;
          d.loaded = true;
          return;
        }
        log_.log("Corvane: settings file " + d.path + " is not a valid property list; moved it aside to " + *aside +
                 (d.loaded ? " and kept the settings in use" : " and using the defaults"));
        if (d.loaded) {
          base.reset(plist_copy(d.contents.get()));
          d.needsRewrite = plist_dict_get_size(base.get()) > 0;
        } else {
          base.reset(plist_new_dict());
        }
        d.seen = Signature{};
      }
      break;
  }
  for (const auto& [key, value] : d.pending) {
    if (value) {
      plist_dict_set_item(base.get(), key.c_str(), toNode(*value));
    } else if (plist_dict_get_item(base.get(), key.c_str())) {
      plist_dict_remove_item(base.get(), key.c_str());
    }
  }
  d.contents = std::move(base);
  d.blocked = false;
  d.blockedReason.clear();
  d.loaded = true;
}

bool PlistDefaultsStore::flush(Domain& d) {
  if (d.pending.empty() && !d.needsRewrite) return true;
  std::string error;
  if (!makePrivateDirectories(directory_, &error)) {
    if (!d.failing) {
      log_.log("Corvane: could not save settings to " + (d.path.empty() ? d.fileName : d.path) + " (" + error +
               "); the changes are kept in memory");
    }
    d.failing = true;
    return false;
  }
  DirectoryLock lock(directory_);
  return flushLocked(d);
}

bool PlistDefaultsStore::flushLocked(Domain& d) {
  // Another process may have replaced the file since it was read: merge its values first.
  if (d.blocked || statPath(d.path) != d.seen) reload(d);
  std::string error;
  bool ok = false;
  if (d.blocked) {
    error = "the existing file could not be read or set aside";
  } else {
    removeStaleTemporaries(directory_, d.fileName);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(d.contents.get(), &xml, &length);
    if (!xml) {
      error = "the settings could not be encoded";
    } else {
      ok = replaceAtomically(directory_, d.fileName, d.path, xml, length, &error);
      plist_to_xml_free(xml);
    }
  }
  if (!ok) {
    if (!d.failing)
      log_.log("Corvane: could not save settings to " + d.path + " (" + error + "); the changes are kept in memory");
    d.failing = true;
    return false;
  }
  if (d.failing) log_.log("Corvane: settings saved to " + d.path + " again");
  d.failing = false;
  d.pending.clear();
  d.needsRewrite = false;
  d.seen = statPath(d.path);
  return true;
}

void PlistDefaultsStore::refreshManaged() {
  if (managedPath_.empty()) return;
  Signature now = statPath(managedPath_);
  if (managed_->checked && now == managed_->seen) return;
  managed_->checked = true;
  managed_->seen = now;
  managed_->root.reset();
  ReadResult read = readFile(managedPath_);
  if (read.status == ReadResult::Status::missing) return;
  if (read.status == ReadResult::Status::failed) {
    log_.log("Corvane: managed settings file " + managedPath_ + " could not be read (" + read.error +
             "); no setting is forced");
    return;
  }
  managed_->root = parseDictionary(read.bytes);
  if (!managed_->root) {
    log_.log("Corvane: managed settings file " + managedPath_ + " is not a valid property list; no setting is forced");
  }
}

bool PlistDefaultsStore::canOpen(std::string_view domain) { return validDomainName(domain); }

std::optional<PlistValue> PlistDefaultsStore::object(std::string_view domain, std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string k(key);
  if (domain == applicationDomain) {
    refreshManaged();
    if (managed_->root) {
      if (plist_t forced = plist_dict_get_item(managed_->root.get(), k.c_str())) return fromNode(forced, 0);
    }
  }
  Domain* d = load(domain);
  if (!d) return std::nullopt;
  return fromNode(plist_dict_get_item(d->contents.get(), k.c_str()), 0);
}

bool PlistDefaultsStore::change(std::string_view domain, const PlistValue::Dictionary& values,
                                const std::vector<std::string>& removals) {
  std::lock_guard<std::mutex> guard(mutex_);
  Domain* d = load(domain);
  if (!d) {
    log_.log("Corvane: settings domain \"" + std::string(domain) + "\" cannot be opened");
    return false;
  }
  for (const auto& [key, value] : values) {
    plist_dict_set_item(d->contents.get(), key.c_str(), toNode(value));
    d->pending[key] = value;
  }
  for (const auto& key : removals) {
    if (plist_dict_get_item(d->contents.get(), key.c_str())) plist_dict_remove_item(d->contents.get(), key.c_str());
    d->pending[key] = std::nullopt;
  }
  if (directory_.empty()) {
    if (!d->failing) log_.log("Corvane: no configuration directory; settings are kept in memory only");
    d->failing = true;
    return false;
  }
  return flush(*d);
}

bool PlistDefaultsStore::set(std::string_view domain, std::string_view key, PlistValue value) {
  PlistValue::Dictionary values;
  values.emplace(std::string(key), std::move(value));
  return change(domain, values, {});
}

bool PlistDefaultsStore::setValues(std::string_view domain, PlistValue::Dictionary values) {
  return change(domain, values, {});
}

bool PlistDefaultsStore::remove(std::string_view domain, std::string_view key) {
  return change(domain, {}, {std::string(key)});
}

bool PlistDefaultsStore::synchronize(std::string_view domain) {
  std::lock_guard<std::mutex> guard(mutex_);
  Domain* d = load(domain);
  if (!d) return false;
  if (directory_.empty()) return d->pending.empty();
  return flush(*d);
}

bool PlistDefaultsStore::isForced(std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  refreshManaged();
  return managed_->root && plist_dict_get_item(managed_->root.get(), std::string(key).c_str()) != nullptr;
}

}  // namespace corvane
