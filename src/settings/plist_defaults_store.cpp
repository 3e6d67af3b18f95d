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
#include "base/files.h"
#include "base/log.h"

namespace corvane {
namespace {

// Frees a node tree of any depth. libplist's own free recurses once per level, which a hostile file
// nested a million levels deep turns into a stack overflow; this one walks down to a leaf, frees it,
// and goes on from its parent.
// With keepRoot, only the node's contents go and the node stays (an empty container).
void freeTree(plist_t root, bool keepRoot = false) {
  if (!root) return;
  std::vector<plist_t> path{root};
  while (!path.empty()) {
    plist_t node = path.back();
    plist_t child = nullptr;
    if (plist_get_node_type(node) == PLIST_ARRAY) {
      uint32_t n = plist_array_get_size(node);
      if (n > 0) child = plist_array_get_item(node, n - 1);
    } else if (plist_get_node_type(node) == PLIST_DICT) {
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      char* key = nullptr;
      if (it) plist_dict_next_item(node, it, &key, &child);
      std::free(key);
      std::free(it);
    }
    if (child) {
      path.push_back(child);
      continue;
    }
    path.pop_back();
    if (path.empty()) {
      if (!keepRoot) plist_free(node);  // a leaf, or a container emptied above
    } else if (plist_get_node_type(path.back()) == PLIST_ARRAY) {
      plist_array_item_remove(node);
    } else {
      plist_t key = plist_dict_item_get_key(node);
      char* name = nullptr;
      if (key) plist_get_key_val(key, &name);
      if (name) {
        plist_dict_remove_item(path.back(), name);
        std::free(name);
      } else {
        return;  // cannot happen with a dictionary libplist built; leak rather than loop
      }
    }
  }
}

struct PlistFree {
  void operator()(void* node) const { freeTree(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Nesting deeper than this is not a settings value: such a value reads as missing, is never
// written, and is left out of a file when it is read.
constexpr int maxDepth = 64;
// Settings files are small; anything larger is not one of ours and is left alone.
constexpr size_t maxFileSize = 16 << 20;
// A binary property list may share objects between containers, which the parser copies out into a
// tree, and it parses in time growing with the square of the depth. Binary lists deeper or larger
// than this (once expanded) are refused before they are parsed.
constexpr uint64_t maxBinaryHeight = 256;
constexpr uint64_t maxBinaryNodes = 1 << 20;

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

// Whether a value nests deeper than maxDepth (the value itself is at depth 0).
bool nestedTooDeeply(const PlistValue& value) {
  std::vector<std::pair<const PlistValue*, int>> stack{{&value, 0}};
  while (!stack.empty()) {
    auto [v, depth] = stack.back();
    stack.pop_back();
    if (depth > maxDepth) return true;
    if (const auto* array = v->get<PlistValue::Array>()) {
      for (const auto& element : *array) stack.emplace_back(&element, depth + 1);
    } else if (const auto* dict = v->get<PlistValue::Dictionary>()) {
      for (const auto& [key, element] : *dict) stack.emplace_back(&element, depth + 1);
    }
  }
  return false;
}

// Only called with values nestedTooDeeply refused, so the recursion is bounded.
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
  FileContents contents = readRegularFile(path, maxFileSize);
  switch (contents.status) {
    case FileContents::Status::ok:
      result.status = ReadResult::Status::ok;
      result.bytes = std::move(contents.bytes);
      result.signature = signatureOf(contents.info);
      return result;
    case FileContents::Status::missing:
      return result;
    case FileContents::Status::tooLarge:
      result.error = "the file is too large to be a settings file";
      break;
    case FileContents::Status::notRegular:
    case FileContents::Status::failed:
      result.error = contents.error;
      break;
  }
  result.status = ReadResult::Status::failed;
  result.signature = statPath(path);
  return result;
}

uint64_t bigEndian(const uint8_t* p, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = v << 8 | p[i];
  return v;
}

// Whether a binary property list is small and shallow enough to hand to the parser: its objects,
// expanded into the tree the parser builds, are at most maxBinaryNodes, nested at most
// maxBinaryHeight deep, with no cycle. Anything this cannot make sense of is refused too; the
// parser would refuse it as well, and this store only ever writes XML.
bool binaryListIsTame(const std::string& bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t size = bytes.size();
  if (size < 8 + 32) return false;
  const uint8_t* trailer = data + size - 32;
  const size_t offsetWidth = trailer[6];
  const size_t refWidth = trailer[7];
  const uint64_t count = bigEndian(trailer + 8, 8);
  const uint64_t top = bigEndian(trailer + 16, 8);
  const uint64_t table = bigEndian(trailer + 24, 8);
  // More objects than the expanded tree may hold nodes is refused at once, which also bounds the
  // bookkeeping below.
  if (offsetWidth < 1 || offsetWidth > 8 || refWidth < 1 || refWidth > 8 || count == 0 || count > maxBinaryNodes ||
      top >= count || table < 8 || table > size - 32 || (size - 32 - table) / offsetWidth < count) {
    return false;
  }
  auto offsetOf = [&](uint64_t object) { return bigEndian(data + table + object * offsetWidth, offsetWidth); };
  // A container's references: where they start and how many (dictionaries: keys, then values).
  auto references = [&](uint64_t object, uint64_t& first, uint64_t& n) -> bool {
    n = 0;
    const uint64_t at = offsetOf(object);
    if (at < 8 || at >= table) return false;
    const uint8_t marker = data[at];
    const uint8_t kind = marker >> 4;
    if (kind != 0xA && kind != 0xC && kind != 0xD) return true;  // not a container
    uint64_t length = marker & 0x0F;
    uint64_t cursor = at + 1;
    if (length == 0x0F) {
      if (cursor >= table || (data[cursor] >> 4) != 0x1) return false;
      const size_t width = size_t(1) << (data[cursor] & 0x0F);
      if (width > 8 || cursor + 1 + width > table) return false;
      length = bigEndian(data + cursor + 1, width);
      cursor += 1 + width;
    }
    if (kind == 0xD) {
      if (length > size) return false;
      length *= 2;
    }
    if (length > (table - cursor) / refWidth) return false;
    first = cursor;
    n = length;
    return true;
  };
  // Strings holding a NUL character are refused: the library's reader of dictionary keys aborts the
  // process on them, and a settings file never holds one.
  for (uint64_t object = 0; object < count; ++object) {
    const uint64_t at = offsetOf(object);
    if (at < 8 || at >= table) return false;
    const uint8_t kind = data[at] >> 4;
    if (kind != 0x5 && kind != 0x6) continue;
    uint64_t length = data[at] & 0x0F;
    uint64_t cursor = at + 1;
    if (length == 0x0F) {
      if (cursor >= table || (data[cursor] >> 4) != 0x1) return false;
      const size_t width = size_t(1) << (data[cursor] & 0x0F);
      if (width > 8 || cursor + 1 + width > table) return false;
      length = bigEndian(data + cursor + 1, width);
      cursor += 1 + width;
    }
    const uint64_t unit = kind == 0x6 ? 2 : 1;
    if (length > (table - cursor) / unit) return false;
    for (uint64_t i = 0; i < length; ++i) {
      if (data[cursor + i * unit] == 0 && (unit == 1 || data[cursor + i * unit + 1] == 0)) return false;
    }
  }
  // Post-order walk with memoised heights and expanded sizes; state 1 marks objects on the path.
  std::vector<uint32_t> height(count, 0);
  std::vector<uint64_t> nodes(count, 0);
  std::vector<uint8_t> state(count, 0);  // 0 new, 1 on the path, 2 done
  struct Frame {
    uint64_t object, first, n, next;
  };
  std::vector<Frame> stack;
  auto enter = [&](uint64_t object) -> bool {
    Frame f{object, 0, 0, 0};
    if (!references(object, f.first, f.n)) return false;
    state[object] = 1;
    height[object] = 1;
    nodes[object] = 1;
    stack.push_back(f);
    return stack.size() <= maxBinaryHeight;
  };
  if (!enter(top)) return false;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.n) {
      const uint64_t done = f.object;
      state[done] = 2;
      stack.pop_back();
      if (!stack.empty()) {
        const uint64_t parent = stack.back().object;
        height[parent] = std::max(height[parent], height[done] + 1);
        nodes[parent] = std::min<uint64_t>(nodes[parent] + nodes[done], maxBinaryNodes + 1);
        if (nodes[parent] > maxBinaryNodes) return false;
      }
      continue;
    }
    const uint64_t child = bigEndian(data + f.first + f.next * refWidth, refWidth);
    ++f.next;
    if (child >= count || state[child] == 1) return false;  // out of range, or a cycle
    if (state[child] == 2) {
      const uint64_t parent = f.object;
      height[parent] = std::max(height[parent], height[child] + 1);
      nodes[parent] = std::min<uint64_t>(nodes[parent] + nodes[child], maxBinaryNodes + 1);
      if (height[parent] > maxBinaryHeight || nodes[parent] > maxBinaryNodes) return false;
      continue;
    }
    if (!enter(child)) return false;
  }
  return true;
}

// Whether the value nests deeper than maxDepth (the value itself is at depth 0).
bool tooDeep(plist_t value) {
  std::vector<std::pair<plist_t, int>> stack{{value, 0}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (depth > maxDepth) return true;
    if (plist_get_node_type(node) == PLIST_ARRAY) {
      for (uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i)
        stack.emplace_back(plist_array_get_item(node, i), depth + 1);
    } else if (plist_get_node_type(node) == PLIST_DICT) {
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      while (it) {
        char* key = nullptr;
        plist_t child = nullptr;
        plist_dict_next_item(node, it, &key, &child);
        std::free(key);
        if (!child) break;
        stack.emplace_back(child, depth + 1);
      }
      std::free(it);
    }
  }
  return false;
}

// The parsed root dictionary, or null when the bytes are not a property list with a dictionary root.
// Values nested deeper than maxDepth are taken out (their keys are added to `leftOut`), so that the
// rest of the file stays in use and nothing too deep is ever written back.
PlistPtr parseDictionary(const std::string& bytes, std::vector<std::string>* leftOut = nullptr) {
  if (bytes.empty()) return nullptr;
  if (plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size())) && !binaryListIsTame(bytes)) return nullptr;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  PlistPtr owned(root);
  if (!owned || plist_get_node_type(root) != PLIST_DICT) return nullptr;
  std::vector<std::string> deep;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(root, &it);
  while (it) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, it, &key, &value);
    if (!value) {
      std::free(key);
      break;
    }
    if (key && tooDeep(value)) deep.emplace_back(key);
    std::free(key);
  }
  std::free(it);
  for (const auto& key : deep) {
    freeTree(plist_dict_get_item(root, key.c_str()), /*keepRoot=*/true);
    plist_dict_remove_item(root, key.c_str());
  }
  if (leftOut) leftOut->insert(leftOut->end(), deep.begin(), deep.end());
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
  // A directory someone else made first (in a shared place) is not where this user's settings go.
  if (st.st_uid != ::geteuid()) {
    *error = path + " belongs to another user";
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
    case ReadResult::Status::ok: {
      std::vector<std::string> leftOut;
      base = parseDictionary(read.bytes, &leftOut);
      for (const auto& key : leftOut) {
        log_.log("Corvane: settings file " + d.path + ": the value of \"" + key +
                 "\" is nested too deeply; it is left out and the other settings are kept");
      }
      if (base) {
        d.seen = read.signature;
        break;
      }
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
  std::vector<std::string> leftOut;
  managed_->root = parseDictionary(read.bytes, &leftOut);
  for (const auto& key : leftOut) {
    log_.log("Corvane: managed settings file " + managedPath_ + ": the value of \"" + key +
             "\" is nested too deeply; it is not forced");
  }
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
    if (nestedTooDeeply(value)) {
      log_.log("Corvane: the value for \"" + key + "\" is nested too deeply to be saved; nothing is changed");
      return false;
    }
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
