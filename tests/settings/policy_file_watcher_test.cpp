#include "settings/policy_file_watcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "settings/company_policy.h"
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

using nlohmann::json;

class PolicyFileWatcherTest : public ::testing::Test {
 protected:
  std::unique_ptr<PolicyFileWatcher> watch() {
    return std::make_unique<PolicyFileWatcher>(path, dispatcher, log,
                                               [this](const json& document) { delivered.push_back(document); });
  }
  // Replaces the policy file the way an administrator's tools do.
  void drop(const std::string& text) {
    testing::writeFile(path + ".new", text);
    ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
  }

  VirtualDispatcher dispatcher;
  MemoryLog log;
  testing::TempDir dir;
  std::string path = dir / "policy.json";
  std::vector<json> delivered;
};

TEST_F(PolicyFileWatcherTest, APolicyPresentAtStartIsDeliveredAtOnceAndOnlyOnce) {
  drop(R"({"version": 3})");
  auto watcher = watch();
  watcher->start();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0]["version"], 3);
  dispatcher.advance(5);
  testing::writeFile(path, R"({"version": 3})");  // rewritten with the same text
  dispatcher.advance(5);
  EXPECT_EQ(delivered.size(), 1u);
}

TEST_F(PolicyFileWatcherTest, ChangesAreDeliveredWithinASecondAndBadDocumentsAreLoggedOnly) {
  auto watcher = watch();
  watcher->start();
  EXPECT_TRUE(delivered.empty());
  EXPECT_TRUE(log.lines().empty());  // no file is the ordinary, unmanaged case

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"{\"version\": 1,", "is not valid JSON"},
      {"[1, 2]", "does not hold a JSON object"},
      {"{\"version\": \"1\"}", "company policy rejected"},
  };
  for (const auto& [text, complaint] : bad) {
    drop(text);
    dispatcher.advance(PolicyFileWatcher::checkInterval);
    EXPECT_TRUE(log.contains(complaint)) << text;
  }
  size_t lines = log.lines().size();
  dispatcher.advance(10);
  EXPECT_EQ(log.lines().size(), lines);  // a bad file is reported once, not every second
  EXPECT_TRUE(delivered.empty());

  drop(R"({"version": 4, "modes": {"blurDock": "locked"}})");
  dispatcher.advance(PolicyFileWatcher::checkInterval);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0]["version"], 4);

  ::unlink(path.c_str());
  dispatcher.advance(2);
  EXPECT_TRUE(log.contains("was removed; the policy last applied stays in force"));
  EXPECT_EQ(delivered.size(), 1u);
}

TEST_F(PolicyFileWatcherTest, TheCallbackMayDestroyTheWatcher) {
  std::unique_ptr<PolicyFileWatcher> watcher;
  int calls = 0;
  watcher = std::make_unique<PolicyFileWatcher>(path, dispatcher, log, [&](const json&) {
    ++calls;
    watcher.reset();
  });
  watcher->start();
  drop(R"({"version": 1})");
  dispatcher.advance(3);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(watcher);
  EXPECT_EQ(dispatcher.pendingCount(), 0u);
}

TEST_F(PolicyFileWatcherTest, APolicyFileWrittenWhileRunningIsApplied) {
  MemoryDefaultsStore store;
  Preferences prefs(store, dispatcher, log);
  PolicyFileWatcher watcher(path, dispatcher, log, [&](const json& document) {
    if (auto policy = CompanyPolicy::parse(document, &log)) policy->apply(prefs);
  });
  watcher.start();
  dispatcher.advance(30);
  drop(R"({"version": 1, "modes": {"blurIntensity": "locked"}, "settings": {"blurIntensity": 0.9}})");
  dispatcher.advance(PolicyFileWatcher::checkInterval);
  EXPECT_EQ(prefs.blurIntensity(), 0.9);
  EXPECT_TRUE(prefs.isEffectivelyLocked("blurIntensity"));
}

}  // namespace
}  // namespace corvane
