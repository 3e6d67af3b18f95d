#include "settings/policy_server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/dispatch.h"
#include "base/files.h"
#include "base/format.h"
#include "base/localization.h"
#include "base/log.h"
#include "platform/defaults_store.h"
#include "platform/http_transport.h"
#include "platform/session_state.h"
#include "settings/company_policy.h"

namespace corvane {

namespace {

constexpr size_t kMaxTokenBytes = 4096;

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

// The host of an http(s) URL, without user information or port; empty when there is none.
std::string hostOf(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return {};
  const size_t start = scheme + 3;
  const size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    return close == std::string::npos ? std::string{} : authority.substr(0, close + 1);
  }
  return lowercase(authority.substr(0, authority.find(':')));
}

std::string modeText(mode_t mode) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%04o", unsigned(mode & 07777));
  return buffer;
}

std::string pushFailure(const std::string& reason) {
  return format(localized("Could not push company defaults: %@", "Push settings error"), {FormatArg(reason)});
}

}  // namespace

// ---- Configuration ------------------------------------------------------------------------------

bool PolicyServer::isAcceptableURL(const std::string& url) {
  const std::string lower = lowercase(url);
  for (char c : url) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
  }
  if (lower.rfind("https://", 0) == 0) return !hostOf(url).empty();
  if (lower.rfind("http://", 0) == 0) {
    const std::string host = hostOf(url);
    return host == "localhost" || host == "[::1]" || host.rfind("127.", 0) == 0;
  }
  return false;
}

std::string PolicyServer::displayURL(const std::string& url) {
  const size_t scheme = url.find("://");
  std::string shown = url.substr(0, url.find_first_of("?#"));
  if (scheme == std::string::npos) return shown;
  const size_t start = scheme + 3;
  const size_t end = shown.find('/', start);
  const size_t at = shown.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at != std::string::npos && at >= start) shown.erase(start, at + 1 - start);
  return shown;
}

std::optional<PolicyServer::Configuration> PolicyServer::configuration(DefaultsStore& defaults, LogSink& log) {
  // Only the organisation's managed settings configure the server.
  if (!defaults.isForced(urlKey)) return std::nullopt;
  auto url = defaults.stringValue(applicationDomain, urlKey);
  if (!url || url->empty()) {
    log.log("Corvane: the organisation's server is configured without a URL; not connecting");
    return std::nullopt;
  }
  if (!isAcceptableURL(*url)) {
    log.log("Corvane: the organisation's server URL " + displayURL(*url) +
            " is not https (plain http is allowed only to this machine); not connecting");
    return std::nullopt;
  }
  auto tokenFile = defaults.isForced(tokenFileKey) ? defaults.stringValue(applicationDomain, tokenFileKey) : std::nullopt;
  if (!tokenFile || tokenFile->empty() || tokenFile->front() != '/') {
    log.log("Corvane: the organisation's server is configured without an absolute access token file path; not connecting");
    return std::nullopt;
  }
  std::string base = *url;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return Configuration{base, *tokenFile};
}

std::optional<std::string> PolicyServer::readToken(const std::string& path, std::string* reason) {
  auto refuse = [reason](std::string why) -> std::optional<std::string> {
    if (reason) *reason = std::move(why);
    return std::nullopt;
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return refuse("the access token file " + path + " cannot be opened (" + std::strerror(errno) + ")");
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return refuse("the access token file " + path + " is not a regular file");
  }
  if (st.st_uid != ::geteuid() && st.st_uid != 0) {
    ::close(fd);
    return refuse("the access token file " + path + " belongs to another user");
  }
  if ((st.st_mode & 077) != 0) {
    ::close(fd);
    return refuse("the access token file " + path + " may be read or changed by others (mode " + modeText(st.st_mode) +
                  "; it must be 0600 or stricter)");
  }
  if (st.st_size > off_t(kMaxTokenBytes)) {
    ::close(fd);
    return refuse("the access token file " + path + " is larger than " + std::to_string(kMaxTokenBytes) + " bytes");
  }
  std::string token(size_t(st.st_size), '\0');
  size_t got = 0;
  while (got < token.size()) {
    const ssize_t n = ::read(fd, token.data() + got, token.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  ::close(fd);
  token.resize(got);
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  size_t first = 0;
  while (first < token.size() && std::isspace(static_cast<unsigned char>(token[first]))) ++first;
  token.erase(0, first);
  if (token.empty()) return refuse("the access token file " + path + " is empty");
  for (char c : token) {
    // A header value: no line breaks or other control characters.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return refuse("the access token file " + path + " holds more than one token line");
  }
  return token;
}

std::string PolicyServer::standardStatePath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::string(state) + "/corvane/policy-server.json";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/state/corvane/policy-server.json";
}

// ---- The connection -----------------------------------------------------------------------------

PolicyServer::PolicyServer(Dependencies dependencies)
    : deps_(std::move(dependencies)), alive_(std::make_shared<PolicyServer*>(this)) {}

PolicyServer::~PolicyServer() {
  *alive_ = nullptr;
  timer_.reset();
}

void PolicyServer::start() {
  std::weak_ptr<PolicyServer*> weak = alive_;
  timer_ = deps_.dispatcher.makeTimer(deps_.dispatcher.main(), [weak] {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->fetchNow();
  });
  if (deps_.session) {
    wakeSubscription_ = deps_.session->addWakeObserver([weak] {
      auto alive = weak.lock();
      if (alive && *alive) (*alive)->fetchNow();
    });
  }
  loadKept();
  if (kept_) {
    auto deliver = deps_.onPolicy;
    const nlohmann::json document = *kept_;
    if (deliver) deliver(document);
    auto alive = weak.lock();
    if (!alive || !*alive) return;  // the delivery ended the connection
  }
  fetchNow();
}

void PolicyServer::loadKept() {
  std::string error;
  auto text = readFileText(deps_.statePath, &error, CompanyPolicy::maxDocumentBytes * 2);
  if (!text) return;
  auto state = nlohmann::json::parse(*text, nullptr, false);
  if (state.is_discarded() || !state.is_object() || !state.contains("document") || !state["document"].is_object() ||
      !CompanyPolicy::parse(state["document"])) {
    deps_.log.log("Corvane: the kept policy of the organisation's server (" + deps_.statePath +
                  ") is unreadable; ignoring it");
    return;
  }
  kept_ = state["document"];
  if (state.contains("etag") && state["etag"].is_string()) etag_ = state["etag"].get<std::string>();
}

void PolicyServer::keep(const std::string& etag, const nlohmann::json& document) {
  kept_ = document;
  etag_ = etag;
  std::string error;
  const size_t slash = deps_.statePath.rfind('/');
  if (slash != std::string::npos && slash > 0) makeDirectories(deps_.statePath.substr(0, slash), &error);
  nlohmann::json state = {{"etag", etag}, {"document", document}};
  if (!writeFileText(state.dump() + "\n", deps_.statePath, &error)) {
    deps_.log.log("Corvane: could not keep the organisation's policy for offline starts (" + error + ")");
  }
}

void PolicyServer::fetchNow() {
  if (fetching_) return;
  std::string reason;
  auto token = readToken(deps_.configuration.tokenFile, &reason);
  if (!token) {
    failed(reason);
    return;
  }
  HttpRequest request;
  request.method = "GET";
  request.url = deps_.configuration.baseURL + "/policy";
  request.headers = {{"Authorization", "Bearer " + *token}, {"Accept", "application/json"}};
  if (kept_ && !etag_.empty()) request.headers.emplace_back("If-None-Match", etag_);
  request.timeoutSeconds = requestTimeout;
  request.maxResponseBytes = CompanyPolicy::maxDocumentBytes;
  fetching_ = true;
  nextFetchAt_.reset();
  if (timer_) timer_->cancel();
  std::weak_ptr<PolicyServer*> weak = alive_;
  deps_.transport.send(std::move(request), [weak](HttpResponse response) {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->handleFetch(response);
  });
}

void PolicyServer::handleFetch(const HttpResponse& response) {
  fetching_ = false;
  const std::string server = "the organisation's server " + displayURL(deps_.configuration.baseURL);
  if (response.status == 0) {
    failed(server + " could not be reached (" + response.error + ")");
    return;
  }
  if (response.status == 304) {
    succeeded();
    return;
  }
  if (response.status == 401 || response.status == 403) {
    failed(server + " refused the access token (HTTP " + std::to_string(response.status) + ")");
    return;
  }
  if (response.status != 200) {
    failed(server + " answered HTTP " + std::to_string(response.status));
    return;
  }
  auto document = nlohmann::json::parse(response.body, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    failed(server + " sent a policy that is not a JSON object");
    return;
  }
  if (!CompanyPolicy::parse(document, &deps_.log)) {
    failed(server + " sent a document that is not a valid policy");
    return;
  }
  auto etag = response.headers.find("etag");
  const bool same = kept_ && *kept_ == document;
  keep(etag == response.headers.end() ? std::string{} : etag->second, document);
  succeeded();
  if (same) return;
  deps_.log.log("Corvane: new policy from " + server);
  auto deliver = deps_.onPolicy;  // may end the connection
  if (deliver) deliver(document);
}

void PolicyServer::succeeded() {
  failures_ = 0;
  scheduleNext(refreshInterval);
}

void PolicyServer::failed(const std::string& why) {
  ++failures_;
  double delay = firstRetryDelay;
  for (int i = 1; i < failures_ && delay < maxRetryDelay; ++i) delay *= 2;
  delay = std::min(delay, maxRetryDelay);
  deps_.log.log("Corvane: " + why + "; the last good policy stays in force; trying again in " +
                std::to_string(int(delay)) + " s");
  scheduleNext(delay);
}

void PolicyServer::scheduleNext(double delay) {
  if (!timer_) return;
  nextFetchAt_ = deps_.dispatcher.clock().mediaTime() + delay;
  timer_->schedule(delay, 0);
}

std::optional<double> PolicyServer::nextFetchIn() const {
  if (!nextFetchAt_) return std::nullopt;
  return *nextFetchAt_ - deps_.dispatcher.clock().mediaTime();
}

void PolicyServer::pushDefaults(const nlohmann::json& document, std::function<void(const PushResult&)> completion) {
  std::string reason;
  auto token = readToken(deps_.configuration.tokenFile, &reason);
  if (!token) {
    deps_.log.log("Corvane: could not push company defaults: " + reason);
    if (completion) completion(PushResult{false, pushFailure(reason)});
    return;
  }
  HttpRequest request;
  request.method = "POST";
  request.url = deps_.configuration.baseURL + "/defaults";
  request.headers = {{"Authorization", "Bearer " + *token}, {"Content-Type", "application/json"}};
  request.body = document.dump();
  request.timeoutSeconds = requestTimeout;
  request.maxResponseBytes = 64 * 1024;
  std::weak_ptr<PolicyServer*> weak = alive_;
  const std::string server = "the organisation's server " + displayURL(deps_.configuration.baseURL);
  deps_.transport.send(std::move(request), [weak, server, completion = std::move(completion)](HttpResponse response) {
    auto alive = weak.lock();
    if (!alive || !*alive) return;
    PushResult result;
    if (response.status >= 200 && response.status < 300) {
      result.ok = true;
      result.message = localized("Pushed to your team. Lock any setting in the team portal to enforce it for everyone.",
                                 "Push settings success");
    } else {
      const std::string why = response.status == 0 ? server + " could not be reached (" + response.error + ")"
                                                   : server + " answered HTTP " + std::to_string(response.status);
      (*alive)->deps_.log.log("Corvane: could not push company defaults: " + why);
      result.message = pushFailure(why);
    }
    if (completion) completion(result);
  });
}

}  // namespace corvane
