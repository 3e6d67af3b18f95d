#include "clearview/clear_view_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>


namespace corvane {

namespace {

std::atomic<ClearViewLog*> sharedLog{nullptr};

std::string parentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return slash == 0 ? "/" : "";
  return path.substr(0, slash);
}

// Makes the directory and its missing parents. Parents may be links (a home directory often lies
// behind one); the directory itself must be a real directory of ours, never a link.
bool prepareDirectory(const std::string& dir, mode_t mode) {
  if (dir.empty()) return false;
  struct stat info {};
  if (::lstat(dir.c_str(), &info) == 0) return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
  if (errno != ENOENT) return false;
  const std::string parent = parentOf(dir);
  if (!parent.empty() && parent != dir && ::access(parent.c_str(), F_OK) != 0 && !prepareDirectory(parent, 0755)) {
    return false;
  }
  if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) return false;
  return ::lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

ClearViewLog::ClearViewLog(LogSink& systemLog, const Clock& clock, std::string filePath)
    : systemLog_(systemLog), clock_(clock), filePath_(std::move(filePath)) {}

std::string ClearViewLog::defaultPath(const std::map<std::string, std::string>& environment) {
  auto absolute = [&](const char* key) -> std::string {
    auto it = environment.find(key);
    return it != environment.end() && !it->second.empty() && it->second.front() == '/' ? it->second : "";
  };
  std::string state = absolute("XDG_STATE_HOME");
  if (state.empty()) {
    const std::string home = absolute("HOME");
    if (home.empty()) return {};
    state = home + "/.local/state";
  }
  return state + "/corvane/clearview.log";
}

std::string ClearViewLog::defaultPath() {
  std::map<std::string, std::string> environment;
  for (const char* key : {"XDG_STATE_HOME", "HOME"}) {
    if (const char* value = std::getenv(key)) environment[key] = value;
  }
  return defaultPath(environment);
}

ClearViewLog* ClearViewLog::shared() { return sharedLog.load(); }
void ClearViewLog::install(ClearViewLog* log) { sharedLog.store(log); }

std::string ClearViewLog::iso8601(double wallTime) {
  const std::time_t seconds = std::time_t(std::floor(wallTime));
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) return "1970-01-01T00:00:00Z";
  return text;
}

void ClearViewLog::line(std::string_view message) {
  systemLog_.log("[Corvane] " + std::string(message));
  if (filePath_.empty()) return;
  std::string text = iso8601(clock_.wallTime());
  text.push_back(' ');
  text.append(message);
  text.push_back('\n');
  append(text);
}

void ClearViewLog::append(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!prepareDirectory(parentOf(filePath_), 0700)) return;
  // O_NOFOLLOW: a link planted at the file's place is refused; O_NONBLOCK: a FIFO never blocks us.
  const int fd = ::open(filePath_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
      const ssize_t n = ::write(fd, data, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      data += n;
      left -= size_t(n);
    }
  }
  ::close(fd);
}

}  // namespace corvane
