#include "settings/policy_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>
#include <filesystem>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "platform/http_transport.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_session.h"
#include "settings/memory_defaults_store.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

using json = nlohmann::json;

constexpr const char* kToken = "s3cret-token-value";

// Keeps every request; the test answers them in order.
struct FakeTransport final : HttpTransport {
  struct Pending {
    HttpRequest request;
    std::function<void(HttpResponse)> completion;
  };
  std::deque<Pending> pending;
  void send(HttpRequest request, std::function<void(HttpResponse)> completion) override {
    pending.push_back({std::move(request), std::move(completion)});
  }
  HttpRequest answer(int status, std::string body = {}, std::map<std::string, std::string> headers = {},
                     std::string error = {}) {
    Pending next = std::move(pending.front());
    pending.pop_front();
    next.completion(HttpResponse{status, std::move(headers), std::move(body), std::move(error)});
    return next.request;
  }
};

std::string header(const HttpRequest& request, const std::string& name) {
  for (const auto& [n, v] : request.headers) {
    if (n == name) return v;
  }
  return {};
}

TEST(PolicyServerConfigurationTest, OnlyTheManagedSettingsConfigureAnAcceptableServer) {
  struct Row {
    const char* what;
    std::optional<std::string> forcedURL;
    std::optional<std::string> forcedTokenFile;
    std::optional<std::string> expectedBase;
    const char* logged;
  };
  const std::vector<Row> rows = {
      {"not configured", {}, {}, {}, nullptr},
      {"https", "https://corp.example/corvane/", "/etc/corvane/token", "https://corp.example/corvane", nullptr},
      {"plain http to another machine", "http://corp.example", "/etc/corvane/token", {}, "is not https"},
      {"plain http to this machine", "http://127.0.0.1:8080", "/etc/corvane/token", "http://127.0.0.1:8080", nullptr},
      {"a look-alike of localhost", "http://localhost.evil.example", "/t", {}, "is not https"},
      {"another scheme", "ftp://corp.example", "/t", {}, "is not https"},
      {"no token file", "https://corp.example", {}, {}, "access token file"},
      {"a relative token file", "https://corp.example", "token", {}, "access token file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    MemoryDefaultsStore store;
    MemoryLog log;
    if (row.forcedURL) store.setForced(PolicyServer::urlKey, PlistValue(*row.forcedURL));
    if (row.forcedTokenFile) store.setForced(PolicyServer::tokenFileKey, PlistValue(*row.forcedTokenFile));
    auto configuration = PolicyServer::configuration(store, log);
    ASSERT_EQ(configuration.has_value(), row.expectedBase.has_value());
    if (configuration) {
      EXPECT_EQ(configuration->baseURL, *row.expectedBase);
    }
    if (row.logged) {
      EXPECT_TRUE(log.contains(row.logged)) << (log.lines().empty() ? "" : log.lines().back());
    }
  }
  // The user's own settings never point the program at a server.
  MemoryDefaultsStore store;
  MemoryLog log;
  store.set(applicationDomain, PolicyServer::urlKey, PlistValue("https://attacker.example"));
  store.set(applicationDomain, PolicyServer::tokenFileKey, PlistValue("/tmp/t"));
  EXPECT_FALSE(PolicyServer::configuration(store, log));
  EXPECT_EQ(PolicyServer::displayURL("https://user:pw@corp.example:8443/p?token=x#f"), "https://corp.example:8443/p");
}

TEST(PolicyServerTokenTest, OnlyAPrivateFileOfTheUserGivesAToken) {
  testing::TempDir dir;
  const std::string path = dir / "token";
  struct Row {
    const char* what;
    std::string content;
    mode_t mode;
    std::optional<std::string> token;
    const char* reason;
  };
  const std::vector<Row> rows = {
      {"private", std::string(kToken) + "\n", 0600, kToken, nullptr},
      {"read-only private", std::string(kToken), 0400, kToken, nullptr},
      {"readable by everyone", kToken, 0644, {}, "mode 0644"},
      {"readable by the group", kToken, 0640, {}, "mode 0640"},
      {"writable by others", kToken, 0602, {}, "mode 0602"},
      {"empty", "\n", 0600, {}, "is empty"},
      {"two lines", std::string(kToken) + "\nother\n", 0600, {}, "more than one"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(path);
    testing::writeFile(path, row.content);
    ::chmod(path.c_str(), row.mode);
    std::string reason;
    EXPECT_EQ(PolicyServer::readToken(path, &reason), row.token);
    if (row.reason) {
      EXPECT_NE(reason.find(row.reason), std::string::npos) << reason;
      EXPECT_EQ(reason.find(kToken), std::string::npos) << "the token never appears in a reason";
    }
  }
  // A link is never followed, a missing file is named.
  std::filesystem::remove(path);
  testing::writeFile(dir / "real", kToken);
  ::chmod((dir / "real").c_str(), 0600);
  std::filesystem::create_symlink(dir / "real", path);
  std::string reason;
  EXPECT_FALSE(PolicyServer::readToken(path, &reason));
  EXPECT_FALSE(PolicyServer::readToken(dir / "missing", &reason));
  EXPECT_NE(reason.find("missing"), std::string::npos);
}

struct PolicyServerFixture : ::testing::Test {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  MemoryLog log;
  FakeTransport transport;
  testing::TempDir dir;
  std::vector<json> delivered;

  void SetUp() override {
    testing::writeFile(dir / "token", std::string(kToken) + "\n");
    ::chmod((dir / "token").c_str(), 0600);
  }
  std::unique_ptr<PolicyServer> makeServer() {
    return std::make_unique<PolicyServer>(PolicyServer::Dependencies{
        dispatcher, log, transport, &desktop.session(), {"https://corp.example/api", dir / "token"},
        dir / "state/policy-server.json", [this](const json& document) { delivered.push_back(document); }});
  }
  void expectNoTokenInLog() {
    for (const auto& line : log.lines()) EXPECT_EQ(line.find(kToken), std::string::npos) << line;
  }
};

const json kPolicy = {{"version", 3}, {"modes", {{"blurTint", "locked"}}}, {"settings", {{"blurTint", 0.3}}}};

TEST_F(PolicyServerFixture, FetchesAppliesKeepsAndAsksAgainWithTheETag) {
  auto server = makeServer();
  server->start();
  ASSERT_EQ(transport.pending.size(), 1u);
  HttpRequest first = transport.answer(200, kPolicy.dump(), {{"etag", "\"v3\""}});
  EXPECT_EQ(first.method, "GET");
  EXPECT_EQ(first.url, "https://corp.example/api/policy");
  EXPECT_EQ(header(first, "Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(header(first, "If-None-Match"), "");
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0], kPolicy);
  EXPECT_EQ(*server->nextFetchIn(), PolicyServer::refreshInterval);

  // Every 15 minutes, with the ETag; 304 changes nothing.
  dispatcher.advance(PolicyServer::refreshInterval);
  ASSERT_EQ(transport.pending.size(), 1u);
  HttpRequest second = transport.answer(304);
  EXPECT_EQ(header(second, "If-None-Match"), "\"v3\"");
  EXPECT_EQ(delivered.size(), 1u);

  // The same document again (another ETag) is not delivered twice.
  server->fetchNow();
  transport.answer(200, kPolicy.dump(), {{"etag", "\"v3b\""}});
  EXPECT_EQ(delivered.size(), 1u);
  EXPECT_EQ(server->etag(), "\"v3b\"");

  // A wake asks at once.
  desktop.session().wake();
  dispatcher.runUntilIdle();
  EXPECT_EQ(transport.pending.size(), 1u);
  transport.answer(304);

  // The next start delivers the kept policy before the server answers (offline launches).
  server.reset();
  delivered.clear();
  auto restarted = makeServer();
  restarted->start();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0], kPolicy);
  transport.answer(0, {}, {}, "Could not resolve host: corp.example");
  EXPECT_EQ(delivered.size(), 1u);
  expectNoTokenInLog();
}

TEST_F(PolicyServerFixture, BadAnswersKeepTheLastGoodPolicyLogWhyAndBackOff) {
  auto server = makeServer();
  server->start();
  transport.answer(200, kPolicy.dump(), {{"etag", "\"v3\""}});
  ASSERT_EQ(delivered.size(), 1u);
  struct Row {
    int status;
    std::string body;
    const char* logged;
    double retryIn;
  };
  const std::vector<Row> rows = {
      {500, "oops", "answered HTTP 500", 60},
      {200, "{not json", "not a JSON object", 120},
      {200, R"({"version": 0})", "not a valid policy", 240},
      {200, "[1,2]", "not a JSON object", 480},
      {403, "", "refused the access token (HTTP 403)", 960},
      {0, "", "could not be reached (no answer within 20 seconds)", 1920},
      {502, "", "answered HTTP 502", 3600},
      {503, "", "answered HTTP 503", 3600},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.logged);
    server->fetchNow();
    ASSERT_EQ(transport.pending.size(), 1u);
    transport.answer(row.status, row.body, {}, row.status == 0 ? "no answer within 20 seconds" : "");
    EXPECT_TRUE(log.contains(row.logged));
    EXPECT_TRUE(log.contains("the last good policy stays in force"));
    EXPECT_EQ(*server->nextFetchIn(), row.retryIn);
  }
  EXPECT_EQ(delivered.size(), 1u);
  // A success ends the back-off.
  dispatcher.advance(3600);
  transport.answer(304);
  EXPECT_EQ(server->consecutiveFailures(), 0);
  EXPECT_EQ(*server->nextFetchIn(), PolicyServer::refreshInterval);

  // A token file opened up to others is refused before any request.
  ::chmod((dir / "token").c_str(), 0644);
  server->fetchNow();
  EXPECT_TRUE(transport.pending.empty());
  EXPECT_TRUE(log.contains("may be read or changed by others (mode 0644"));
  expectNoTokenInLog();
}

TEST_F(PolicyServerFixture, PushReportsTheSuccessOrTheErrorText) {
  auto server = makeServer();
  std::vector<PolicyServer::PushResult> results;
  const json document = {{"blurTint", 0.2}};
  server->pushDefaults(document, [&](const PolicyServer::PushResult& r) { results.push_back(r); });
  HttpRequest push = transport.answer(201);
  EXPECT_EQ(push.method, "POST");
  EXPECT_EQ(push.url, "https://corp.example/api/defaults");
  EXPECT_EQ(json::parse(push.body), document);
  EXPECT_EQ(header(push, "Content-Type"), "application/json");
  server->pushDefaults(document, [&](const PolicyServer::PushResult& r) { results.push_back(r); });
  transport.answer(500);
  ::chmod((dir / "token").c_str(), 0644);
  server->pushDefaults(document, [&](const PolicyServer::PushResult& r) { results.push_back(r); });
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results[0].ok);
  EXPECT_EQ(results[0].message, "Pushed to your team. Lock any setting in the team portal to enforce it for everyone.");
  EXPECT_FALSE(results[1].ok);
  EXPECT_EQ(results[1].message, "Could not push company defaults: the organisation's server https://corp.example/api answered HTTP 500");
  EXPECT_FALSE(results[2].ok);
  EXPECT_NE(results[2].message.find("mode 0644"), std::string::npos);
  expectNoTokenInLog();
}

}  // namespace
}  // namespace corvane
