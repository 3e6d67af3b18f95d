// The organisation's server over real HTTP: libcurl against a local server started by the test.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/log.h"
#include "base/real_dispatcher.h"
#include "platform/posix/curl_http_transport.h"
#include "settings/company_policy.h"
#include "settings/memory_defaults_store.h"
#include "settings/policy_server.h"
#include "settings/preferences.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

using json = nlohmann::json;

constexpr const char* kToken = "tok-3f9a1c77e2";

// A policy server on the loopback address, on a port of its own choosing.
struct LocalServer {
  httplib::Server http;
  int port = 0;
  std::thread thread;
  std::atomic<int> status{200};
  std::atomic<double> delay{0};
  std::string body;
  std::mutex mutex;
  std::vector<std::string> seenIfNoneMatch;
  std::vector<std::string> pushed;

  LocalServer() {
    http.Get("/api/policy", [this](const httplib::Request& request, httplib::Response& response) {
      if (delay > 0) std::this_thread::sleep_for(std::chrono::duration<double>(delay.load()));
      if (request.get_header_value("Authorization") != std::string("Bearer ") + kToken) {
        response.status = 401;
        return;
      }
      std::lock_guard<std::mutex> lock(mutex);
      const std::string etag = "\"" + std::to_string(std::hash<std::string>()(body)) + "\"";
      seenIfNoneMatch.push_back(request.get_header_value("If-None-Match"));
      response.status = status;
      if (status == 200 && request.get_header_value("If-None-Match") == etag) {
        response.status = 304;
        return;
      }
      response.set_header("ETag", etag);
      response.set_content(body, "application/json");
    });
    http.Post("/api/defaults", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex);
      pushed.push_back(request.body);
      response.status = request.get_header_value("Authorization") == std::string("Bearer ") + kToken ? 204 : 401;
    });
    port = http.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { http.listen_after_bind(); });
    while (!http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LocalServer() {
    delay = 0;
    http.stop();
    thread.join();
  }
  void serve(const json& document, int answer = 200) {
    std::lock_guard<std::mutex> lock(mutex);
    body = document.is_string() ? document.get<std::string>() : document.dump();
    status = answer;
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port) + "/api"; }
};

struct PolicyServerHttpFixture : ::testing::Test {
  RealDispatcher dispatcher;
  MemoryLog log;
  MemoryDefaultsStore store;
  testing::TempDir dir;
  LocalServer local;
  std::unique_ptr<Preferences> prefs;
  std::unique_ptr<CurlHttpTransport> transport;
  std::unique_ptr<PolicyServer> server;
  int applied = 0;

  void SetUp() override {
    testing::writeFile(dir / "token", std::string(kToken) + "\n");
    ::chmod((dir / "token").c_str(), 0600);
    prefs = std::make_unique<Preferences>(store, dispatcher, log);
    transport = std::make_unique<CurlHttpTransport>(dispatcher);
    server = std::make_unique<PolicyServer>(PolicyServer::Dependencies{
        dispatcher, log, *transport, nullptr, {local.base(), dir / "token"}, dir / "state.json",
        [this](const json& document) {
          if (auto policy = CompanyPolicy::parse(document, &log)) {
            policy->apply(*prefs);
            ++applied;
          }
        }});
  }
  void TearDown() override {
    server.reset();
    transport.reset();
  }
  // Runs the main queue until the fetch under way has been answered.
  void fetch() {
    server->fetchNow();
    ASSERT_TRUE(dispatcher.runMainLoopUntil([this] { return !server->isFetching(); }, 15));
  }
};

TEST_F(PolicyServerHttpFixture, ANewPolicyLocksASetting304ChangesNothingAndBadAnswersKeepTheLastGood) {
  local.serve({{"version", 2}, {"modes", {{"blurTint", "locked"}}}, {"settings", {{"blurTint", 0.25}}}});
  fetch();
  EXPECT_EQ(applied, 1);
  EXPECT_DOUBLE_EQ(prefs->blurTint(), 0.25);
  EXPECT_TRUE(prefs->lockedKeys().contains("blurTint"));

  fetch();
  EXPECT_EQ(applied, 1);
  EXPECT_NE(local.seenIfNoneMatch.back(), "") << "the second request names the ETag it holds";

  local.serve(json("internal error"), 500);
  fetch();
  local.serve(json("{\"version\": "));
  fetch();
  EXPECT_EQ(applied, 1);
  EXPECT_TRUE(log.contains("answered HTTP 500"));
  EXPECT_TRUE(log.contains("not a JSON object"));
  EXPECT_TRUE(prefs->lockedKeys().contains("blurTint"));

  // The administrator's push reaches the server as the snapshot's document.
  std::optional<PolicyServer::PushResult> pushed;
  server->pushDefaults(CompanyPolicy::snapshotForPush(*prefs), [&](const PolicyServer::PushResult& r) { pushed = r; });
  ASSERT_TRUE(dispatcher.runMainLoopUntil([&] { return pushed.has_value(); }, 15));
  EXPECT_TRUE(pushed->ok) << pushed->message;
  ASSERT_EQ(local.pushed.size(), 1u);
  EXPECT_EQ(json::parse(local.pushed[0])["blurTint"], 0.25);

  for (const auto& line : log.lines()) EXPECT_EQ(line.find(kToken), std::string::npos) << line;
}

TEST_F(PolicyServerHttpFixture, ASlowServerTimesOutWithoutHoldingUpTheMainQueue) {
  local.delay = 2.0;
  HttpRequest request;
  request.url = local.base() + "/policy";
  request.timeoutSeconds = 0.3;
  std::optional<HttpResponse> response;
  bool mainQueueRan = false;
  const auto started = std::chrono::steady_clock::now();
  transport->send(request, [&](HttpResponse r) { response = std::move(r); });
  dispatcher.main().async([&] { mainQueueRan = !response.has_value(); });
  ASSERT_TRUE(dispatcher.runMainLoopUntil([&] { return response.has_value(); }, 10));
  EXPECT_TRUE(mainQueueRan) << "the main queue went on while the request waited";
  EXPECT_EQ(response->status, 0);
  EXPECT_NE(response->error.find("no answer within"), std::string::npos) << response->error;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1900));
}

}  // namespace
}  // namespace corvane
