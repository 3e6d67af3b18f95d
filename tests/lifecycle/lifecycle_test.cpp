#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "lifecycle/required_corvane.h"
#include "lifecycle/single_instance.h"
#include "lifecycle/xdg_login_services.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_login_services.h"
#include "settings/settings_test_support.h"

namespace corvane {
namespace {

using testing::TempDir;
using testing::readFile;

// ---- The private runtime directory and the single-instance lock ------------------------------

TEST(SingleInstanceTest, OneHolderAtATimeAndTheLockGoesWithItsHolder) {
  TempDir dir;
  SingleInstanceLock::Outcome outcome;
  std::string error;
  auto first = SingleInstanceLock::acquire(dir.path(), "com.corvane.Corvane", &outcome, &error);
  ASSERT_EQ(outcome, SingleInstanceLock::Outcome::acquired) << error;
  auto second = SingleInstanceLock::acquire(dir.path(), "com.corvane.Corvane", &outcome, &error);
  EXPECT_EQ(outcome, SingleInstanceLock::Outcome::heldByAnother);
  EXPECT_EQ(second, nullptr);
  first.reset();
  auto third = SingleInstanceLock::acquire(dir.path(), "com.corvane.Corvane", &outcome, &error);
  EXPECT_EQ(outcome, SingleInstanceLock::Outcome::acquired) << "a lock file left behind does not block";

  // A link planted at the lock's name is never followed.
  TempDir planted;
  std::filesystem::create_symlink(dir / "elsewhere", planted / "x.lock");
  SingleInstanceLock::acquire(planted.path(), "x", &outcome, &error);
  EXPECT_EQ(outcome, SingleInstanceLock::Outcome::failed);
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
}

// ---- The keep-alive service and login item on a freedesktop.org desktop ----------------------

class XdgLoginServicesTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};  // its processes port records the commands run
  TempDir config;
  XdgLoginServices services{desktop.processes(), config.path()};
  const std::string label = "com.corvane.Corvane.keepalive";
};

TEST_F(XdgLoginServicesTest, InstallWritesAUnitThatAlwaysRestartsAndIsIdempotent) {
  std::string error;
  ASSERT_TRUE(services.installKeepAlive(label, "/opt/Corvane 1/corvane", &error)) << error;
  const std::string unit = readFile(config / "systemd/user/com.corvane.Corvane.keepalive.service");
  EXPECT_NE(unit.find("\nExecStart=\"/opt/Corvane 1/corvane\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nRestart=always\n"), std::string::npos);
  EXPECT_NE(unit.find("\nRestartSec=4\n"), std::string::npos);
  EXPECT_NE(unit.find("\nStartLimitIntervalSec=0\n"), std::string::npos) << "systemd never gives up";
  EXPECT_NE(unit.find("\nWantedBy=default.target\n"), std::string::npos);
  ASSERT_TRUE(services.installKeepAlive(label, "/opt/Corvane 1/corvane", &error));
  EXPECT_EQ(readFile(config / "systemd/user/com.corvane.Corvane.keepalive.service"), unit);
  EXPECT_EQ(config.names("systemd/user"), (std::vector<std::string>{"com.corvane.Corvane.keepalive.service"}))
      << "no temporary file is left";
  const std::vector<std::string> once = {"systemctl --user daemon-reload",
                                         "systemctl --user enable --now com.corvane.Corvane.keepalive.service"};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(desktop.commandsRun(), twice);
}

TEST_F(XdgLoginServicesTest, RemoveLeavesNothingAndIsHarmlessWhenNothingIsInstalled) {
  services.removeKeepAlive(label);
  std::string error;
  ASSERT_TRUE(services.installKeepAlive(label, "/usr/bin/corvane", &error));
  // What `systemctl enable` makes.
  std::filesystem::create_directories(config / "systemd/user/default.target.wants");
  std::filesystem::create_symlink(config / "systemd/user/com.corvane.Corvane.keepalive.service",
                                  config / "systemd/user/default.target.wants/com.corvane.Corvane.keepalive.service");
  services.removeKeepAlive(label);
  EXPECT_TRUE(config.names("systemd/user/default.target.wants").empty());
  EXPECT_EQ(config.names("systemd/user"), (std::vector<std::string>{"default.target.wants"}));
  const auto commands = desktop.commandsRun();
  EXPECT_EQ(commands.back(), "systemctl --user daemon-reload");
  EXPECT_EQ(commands[commands.size() - 2], "systemctl --user disable --now com.corvane.Corvane.keepalive.service");
}

TEST_F(XdgLoginServicesTest, AutostartEntryComesAndGoes) {
  std::string error;
  ASSERT_TRUE(services.setLoginItem(true, "/opt/100%/corvane", &error)) << error;
  const std::string entry = readFile(config / "autostart/corvane.desktop");
  EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(entry.find("\nExec=\"/opt/100%%/corvane\"\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos);
  ASSERT_TRUE(services.setLoginItem(false, "", &error));
  EXPECT_TRUE(config.names("autostart").empty());
  EXPECT_TRUE(services.setLoginItem(false, "", &error)) << "disabling twice is fine";
}

TEST_F(XdgLoginServicesTest, PathsTheFilesCannotCarryAreRefused) {
  struct Case {
    std::string path;
    bool unit;
    bool autostart;
  };
  const Case cases[] = {
      {"/opt/a\nExecStartPre=/bin/evil", false, false},
      {"/opt/\"quoted\"/corvane", true, false},
      {"/opt/$HOME/corvane", true, false},
      {"/opt/back\\slash", true, false},
      {"", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string error;
    EXPECT_EQ(XdgLoginServices::unitText(label, c.path, &error).has_value(), c.unit);
    EXPECT_EQ(XdgLoginServices::autostartText(c.path, &error).has_value(), c.autostart);
    if (!c.autostart) {
      EXPECT_FALSE(error.empty());
    }
  }
  auto unit = XdgLoginServices::unitText(label, "/opt/$HOME/50%\"x\"", nullptr);
  ASSERT_TRUE(unit);
  EXPECT_NE(unit->find("ExecStart=\"/opt/$$HOME/50%%\\\"x\\\"\"\n"), std::string::npos) << *unit;
}

// ---- RequiredCorvane and LaunchAtLogin over the login services -------------------------------

TEST(RequiredCorvaneTest, NamesDeriveFromTheBundleAndFailuresAreLogged) {
  EXPECT_EQ(keepAliveLabel(""), "com.corvane.app.keepalive");
  EXPECT_EQ(keepAliveLabel("com.corvane.Corvane"), "com.corvane.Corvane.keepalive");

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  sim::SimLoginServices services;
  MemoryLog log;
  RequiredCorvane required(&services, desktop.processes(), log, "");
  LaunchAtLogin login(&services, desktop.processes(), log);
  required.install();
  EXPECT_EQ(services.keepAlive().at("com.corvane.app.keepalive"), desktop.processes().executablePath());
  EXPECT_TRUE(login.setEnabled(true));

  services.setFailure("disk full");
  required.install();
  EXPECT_FALSE(login.setEnabled(false));
  EXPECT_TRUE(log.contains("Corvane: could not write keepalive agent \u2014 disk full"));
  EXPECT_TRUE(log.contains("Corvane: failed to update login item \u2014 disk full"));

  // Without login services the calls say so and do nothing.
  MemoryLog bareLog;
  RequiredCorvane bare(nullptr, desktop.processes(), bareLog, "com.corvane.Corvane");
  bare.install();
  bare.remove();
  EXPECT_FALSE(LaunchAtLogin(nullptr, desktop.processes(), bareLog).setEnabled(true));
  EXPECT_EQ(bareLog.lines().size(), 2u);
}

}  // namespace
}  // namespace corvane
