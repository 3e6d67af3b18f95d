#include "lifecycle/app_updater.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "lifecycle/safe_restart.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_session.h"
#include "platform/sim/sim_ui.h"
#include "settings/memory_defaults_store.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

TEST(AppUpdaterBuildFileTest, OnlyOnePlainDecimalNumberCounts) {
  testing::TempDir dir;
  const std::string path = dir / "corvane.build";
  const std::vector<std::pair<std::string, std::optional<int64_t>>> rows = {
      {"2\n", 2},          {"  17 \n", 17}, {"0", 0},        {"", std::nullopt},  {"abc\n", std::nullopt},
      {"12abc", std::nullopt}, {"-3", std::nullopt},  {"+3", std::nullopt}, {"1 2", std::nullopt},
      {"99999999999999999999", std::nullopt}, {std::string(100, '1'), std::nullopt},
  };
  for (const auto& [text, expected] : rows) {
    testing::writeFile(path, text);
    EXPECT_EQ(AppUpdater::readBuildFile(path), expected) << "\"" << text << "\"";
  }
  EXPECT_EQ(AppUpdater::readBuildFile(dir / "missing"), std::nullopt);
  EXPECT_EQ(AppUpdater::readBuildFile(dir.path()), std::nullopt) << "a directory";
}

struct AppUpdaterFixture : ::testing::Test {
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  MemoryDefaultsStore defaults;
  MemoryLog log;
  testing::TempDir dir;
  SafeRestart restart;
  int relaunchesAllowed = 0;

  void SetUp() override {
    restart.isSharing = [] { return true; };  // a share keeps every scheduled restart pending
    restart.configure(SafeRestart::Environment{dispatcher, log, desktop.processes(), &desktop.session(), &defaults,
                                               nullptr, nullptr, nullptr, "/x"});
  }
  std::unique_ptr<AppUpdater> makeUpdater(std::string executable = "/nonexistent/bin/corvane",
                                          ui::UserInterface* ui = nullptr) {
    return std::make_unique<AppUpdater>(AppUpdater::Dependencies{dispatcher, log, restart, &defaults,
                                                                 &desktop.session(), ui, "0.1.0", 5, executable,
                                                                 dir / "corvane.build"});
  }
  void install(int64_t build) { testing::writeFile(dir / "corvane.build", std::to_string(build) + "\n"); }
};

TEST_F(AppUpdaterFixture, ANewerInstalledBuildIsSeenEvery300SecondsAndOnWake) {
  auto updater = makeUpdater();
  updater->start();
  EXPECT_TRUE(updater->isWatching());
  install(5);  // the running build again
  dispatcher.advance(300);
  install(4);
  desktop.session().wake();
  dispatcher.runUntilIdle();
  EXPECT_FALSE(restart.hasPending()) << "an equal or lower build never restarts";

  install(6);
  dispatcher.advance(299);
  EXPECT_FALSE(restart.hasPending());
  dispatcher.advance(1);
  EXPECT_TRUE(restart.hasPending());
  EXPECT_FALSE(updater->isWatching()) << "the watch stops once a newer build is seen";
  EXPECT_TRUE(log.contains("Corvane: build 6 is installed (running build 5)"));

  // Wakes still look, and schedule again.
  log.clear();
  desktop.session().wake();
  dispatcher.runUntilIdle();
  EXPECT_TRUE(log.contains("Corvane: update ready"));

  // The pending action is the relaunch.
  restart.isSharing = [] { return false; };
  desktop.session().setScreenLocked(true);
  dispatcher.advance(30);
  EXPECT_EQ(desktop.detachedStarts().size(), 1u);
  EXPECT_TRUE(restart.isRestartingForUpdate());
}

TEST_F(AppUpdaterFixture, ManagedByITWhenForcedOrACompanyInstallationTheUserCannotReplace) {
  const std::string writable = dir / "corvane";
  testing::writeFile(writable, "");
  struct Row {
    const char* what;
    std::optional<PlistValue> forcedManagedUpdates;
    std::optional<PlistValue> userManagedUpdates;
    bool companyServer;
    std::string executable;
    bool managed;
  };
  const std::vector<Row> rows = {
      {"nothing managed", {}, {}, false, "/nonexistent/corvane", false},
      {"forced true", PlistValue(true), {}, false, writable, true},
      {"forced false, no company deployment", PlistValue(false), {}, false, "/nonexistent/corvane", false},
      {"forced to another type", PlistValue("yes"), {}, false, "/nonexistent/corvane", false},
      {"the user's own value does not count", {}, PlistValue(true), false, "/nonexistent/corvane", false},
      {"company installation the user cannot replace", {}, {}, true, "/nonexistent/corvane", true},
      {"company installation the user can replace", {}, {}, true, writable, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    MemoryDefaultsStore store;
    if (row.forcedManagedUpdates) store.setForced(AppUpdater::managedUpdatesKey, *row.forcedManagedUpdates);
    if (row.userManagedUpdates) store.set(applicationDomain, AppUpdater::managedUpdatesKey, *row.userManagedUpdates);
    if (row.companyServer) store.setForced(AppUpdater::companyServerKey, PlistValue("https://corp.example"));
    AppUpdater updater(AppUpdater::Dependencies{dispatcher, log, restart, &store, nullptr, nullptr, "0.1.0", 5,
                                                row.executable, dir / "corvane.build"});
    EXPECT_EQ(updater.isManagedByIT(), row.managed);
  }
}

TEST_F(AppUpdaterFixture, CheckingByHandExplainsThatUpdatesAreAutomatic) {
  auto plain = makeUpdater("/nonexistent/corvane", &desktop.ui());
  plain->checkManually();
  defaults.setForced(AppUpdater::managedUpdatesKey, PlistValue(true));
  plain->checkManually();
  auto alerts = desktop.ui().alertsShown();
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_EQ(alerts[0].messageText, "Updates are automatic");
  EXPECT_EQ(alerts[0].informativeText, "You have Corvane 0.1.0.");
  EXPECT_EQ(alerts[0].buttons, std::vector<std::string>{"OK"});
  EXPECT_EQ(alerts[1].informativeText, "Your organization keeps Corvane up to date. You have version 0.1.0.");

  // Without a way to show an alert, its text goes to the log.
  makeUpdater()->checkManually();
  EXPECT_TRUE(log.contains("Corvane: Updates are automatic \u2014 Your organization keeps Corvane up to date."));
}

}  // namespace
}  // namespace corvane
