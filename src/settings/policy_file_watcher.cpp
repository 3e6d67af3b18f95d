#include "settings/policy_file_watcher.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/dispatch.h"
#include "base/files.h"
#include "base/log.h"
#include "settings/company_policy.h"

namespace corvane {

struct PolicyFileWatcher::FileState {
  bool present = false;
  // What identifies the version of the file last looked at.
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  std::string lastError;                // the stat error last logged
  std::optional<std::string> lastText;  // the content last handled

  bool sameAs(const struct stat& st) const {
    return present && device == st.st_dev && inode == st.st_ino && size == st.st_size &&
           modified.tv_sec == st.st_mtim.tv_sec && modified.tv_nsec == st.st_mtim.tv_nsec &&
           changed.tv_sec == st.st_ctim.tv_sec && changed.tv_nsec == st.st_ctim.tv_nsec;
  }
  void remember(const struct stat& st) {
    present = true;
    device = st.st_dev;
    inode = st.st_ino;
    size = st.st_size;
    modified = st.st_mtim;
    changed = st.st_ctim;
  }
};

std::string PolicyFileWatcher::standardPath() {
  const char* overridden = std::getenv("CORVANE_POLICY_PATH");
  return overridden && *overridden ? overridden : "/etc/corvane/policy.json";
}

PolicyFileWatcher::PolicyFileWatcher(std::string path, Dispatcher& dispatcher, LogSink& log, Delivery onPolicy)
    : path_(std::move(path)),
      dispatcher_(dispatcher),
      log_(log),
      onPolicy_(std::move(onPolicy)),
      state_(std::make_unique<FileState>()),
      alive_(std::make_shared<bool>(true)) {}

PolicyFileWatcher::~PolicyFileWatcher() {
  *alive_ = false;
  timer_.reset();
}

void PolicyFileWatcher::start() {
  if (!timer_) {
    std::weak_ptr<bool> alive = alive_;
    timer_ = dispatcher_.makeTimer(dispatcher_.main(), [this, alive] {
      auto token = alive.lock();
      if (token && *token) checkNow();
    });
  }
  std::weak_ptr<bool> alive = alive_;
  checkNow();
  auto token = alive.lock();
  if (!token || !*token) return;  // the delivery destroyed the watcher
  timer_->schedule(checkInterval, checkInterval, checkInterval / 2);
}

void PolicyFileWatcher::stop() {
  if (timer_) timer_->cancel();
}

void PolicyFileWatcher::checkNow() {
  FileState& state = *state_;
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      if (state.present || state.lastText) {
        log_.log("Corvane: company policy file " + path_ + " was removed; the policy last applied stays in force");
      }
      *state_ = FileState{};
      return;
    }
    std::string reason = std::strerror(error);
    if (state.lastError != reason) {
      log_.log("Corvane: company policy file " + path_ + " could not be read (" + reason + "); nothing changes");
    }
    *state_ = FileState{};
    state_->lastError = reason;
    return;
  }
  state.lastError.clear();
  if (state.sameAs(st)) return;
  state.remember(st);

  std::string error;
  auto text = readFileText(path_, &error, CompanyPolicy::maxDocumentBytes);
  if (!text) {
    log_.log("Corvane: company policy file " + path_ + " could not be read (" + error + "); nothing changes");
    state.lastText.reset();
    return;
  }
  if (state.lastText == text) return;  // touched, not changed
  state.lastText = *text;

  auto document = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) {
    log_.log("Corvane: company policy file " + path_ + " is not valid JSON; nothing changes");
    return;
  }
  if (!document.is_object()) {
    log_.log("Corvane: company policy file " + path_ + " does not hold a JSON object; nothing changes");
    return;
  }
  auto policy = CompanyPolicy::parse(document, &log_);
  if (!policy) return;  // the reason is logged
  log_.log("Corvane: company policy file " + path_ + " read (version " + std::to_string(policy->version) + ")");
  if (onPolicy_) {
    auto deliver = onPolicy_;  // the callback may destroy the watcher
    deliver(document);
  }
}

}  // namespace corvane
