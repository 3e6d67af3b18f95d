// The organisation's server: it delivers the company policy and receives an administrator's pushed
// defaults. Optional; the administrator turns it on in the managed settings (values the user's own
// settings cannot override):
//   "PolicyServerURL"        the server's base URL: https, or http to this machine's loopback
//                            address only (a test or a local proxy);
//   "PolicyServerTokenFile"  a file holding the access token, a regular file owned by the user or
//                            root that no one else may read or write (mode 0600 or stricter);
//   "PolicyServerAdministrator"  true for a team administrator: the settings window then offers to
//                            push this Mac's settings to the team as company defaults.
// A looser token file is refused with a log line, and the server is not asked.
//
// Requests (the token goes as "Authorization: Bearer TOKEN" and never into a log line):
//   GET  BASE/policy    the policy document (JSON), with If-None-Match when a good one is kept;
//   POST BASE/defaults  the pushed settings document (CompanyPolicy::snapshotForPush).
//
// Fetching: at start, every 15 minutes and on every wake. A 200 answer with a valid policy is
// handed to the delivery callback (the same path as the policy file) and kept, with its ETag, as
// the last good policy in the user's state directory (replaced atomically); at the next start that
// one is delivered before the server is asked, so its locks hold offline. 304 Not Modified changes
// nothing. Any other answer, no answer within the timeout, or a document that is not a policy keeps
// the last good policy, logs why and backs off: the next try comes 1 minute later, then 2, 4, ...
// at most 60 minutes apart, until a fetch succeeds.
//
// Threading: main thread. The transport answers on the main queue; callbacks are dropped once the
// server object is gone.
#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "base/observable.h"

namespace corvane {

class DefaultsStore;
class Dispatcher;
class HttpTransport;
class LogSink;
class SessionState;
class Timer;
struct HttpResponse;

class PolicyServer {
 public:
  static constexpr double refreshInterval = 15 * 60;
  static constexpr double firstRetryDelay = 60;
  static constexpr double maxRetryDelay = 60 * 60;
  static constexpr double requestTimeout = 20;
  static constexpr const char* urlKey = "PolicyServerURL";
  static constexpr const char* tokenFileKey = "PolicyServerTokenFile";
  static constexpr const char* administratorKey = "PolicyServerAdministrator";

  struct Configuration {
    std::string baseURL;  // without a trailing slash
    std::string tokenFile;
  };
  // The managed configuration; none when the server is not configured (nothing logged) or the
  // configuration is unusable (logged with its reason).
  static std::optional<Configuration> configuration(DefaultsStore& defaults, LogSink& log);
  // Whether the URL is one we send a token to (see the header comment).
  static bool isAcceptableURL(const std::string& url);
  // The URL without user information, query or fragment: what log lines show.
  static std::string displayURL(const std::string& url);
  // The token, or none with the reason (the token itself never appears in it).
  static std::optional<std::string> readToken(const std::string& path, std::string* reason);
  // $XDG_STATE_HOME/corvane/policy-server.json, or ~/.local/state/corvane/policy-server.json.
  static std::string standardStatePath();

  using Delivery = std::function<void(const nlohmann::json& document)>;
  struct Dependencies {
    Dispatcher& dispatcher;
    LogSink& log;
    HttpTransport& transport;
    SessionState* session = nullptr;  // wakes; none: only the timer fetches
    Configuration configuration;
    std::string statePath;  // where the last good policy is kept
    Delivery onPolicy;
  };

  explicit PolicyServer(Dependencies dependencies);
  ~PolicyServer();
  PolicyServer(const PolicyServer&) = delete;
  PolicyServer& operator=(const PolicyServer&) = delete;

  // Delivers the kept policy, if any, then fetches and keeps fetching.
  void start();
  // Fetches now unless a fetch is under way.
  void fetchNow();

  struct PushResult {
    bool ok = false;
    std::string message;  // the success text, or the error text
  };
  void pushDefaults(const nlohmann::json& document, std::function<void(const PushResult&)> completion);

  bool isFetching() const { return fetching_; }
  int consecutiveFailures() const { return failures_; }
  // Seconds until the next scheduled fetch; none when nothing is scheduled.
  std::optional<double> nextFetchIn() const;
  const std::string& etag() const { return etag_; }

 private:
  void handleFetch(const HttpResponse& response);
  void succeeded();
  void failed(const std::string& why);
  void scheduleNext(double delay);
  void loadKept();
  void keep(const std::string& etag, const nlohmann::json& document);

  Dependencies deps_;
  std::string etag_;
  std::optional<nlohmann::json> kept_;
  bool fetching_ = false;
  int failures_ = 0;
  std::optional<double> nextFetchAt_;
  Subscription wakeSubscription_;
  std::unique_ptr<Timer> timer_;
  // Last: callbacks check it.
  std::shared_ptr<PolicyServer*> alive_;
};

}  // namespace corvane
