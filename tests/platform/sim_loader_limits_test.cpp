// Desktop descriptions that ask for more than the simulated desktop can draw or hold.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/virtual_dispatcher.h"
#include "platform/defaults_store.h"
#include "platform/sim/sim_desktop.h"

namespace corvane::sim {
namespace {

using json = nlohmann::json;

json desktopWith(json displays, json windowBounds) {
  return json{{"displays", std::move(displays)},
              {"apps", {{{"pid", 501}, {"name", "Slack"}}}},
              {"windows", {{{"number", 101}, {"pid", 501}, {"bounds", std::move(windowBounds)}}}}};
}

TEST(SimLoaderLimitsTest, NumbersOutsideTheirRangesAndUndrawableDisplaysAreRefused) {
  VirtualDispatcher dispatcher;
  SimDesktop desktop(dispatcher);
  std::string error;
  const json fine = {{{"id", 1}, {"frame", {0, 0, 32768, 2000}}}};
  EXPECT_TRUE(desktop.load(desktopWith(fine, {10, 10, 300, 200}), &error)) << error;

  // The renderer draws at most 32,768 points a side; a wider display would show nothing to the probe.
  EXPECT_FALSE(desktop.load(desktopWith({{{"id", 1}, {"frame", {0, 0, 32769, 2000}}}}, {10, 10, 300, 200}), &error));
  EXPECT_EQ(error, "displays[0].frame: width and height must be at most 32768");
  EXPECT_FALSE(desktop.load(desktopWith(fine, {1e7, 10, 300, 200}), &error));
  EXPECT_EQ(error, "windows[0].bounds: expected numbers from -1000000 to 1000000");
  EXPECT_FALSE(desktop.load(desktopWith(fine, {10, 10, 300, 1e300}), &error));
  EXPECT_FALSE(desktop.load(desktopWith({{{"id", 4294967296}, {"frame", {0, 0, 100, 100}}}}, {0, 0, 1, 1}), &error));
  EXPECT_EQ(error, "displays[0].id: expected an integer from 1 to 4294967295");

  json wrapped = desktopWith(fine, {10, 10, 300, 200});
  wrapped["apps"][0]["pid"] = 4294967797;  // 501 once wrapped to 32 bits
  EXPECT_FALSE(desktop.load(wrapped, &error));
  EXPECT_EQ(error, "apps[0].pid: expected an integer from 1 to 2147483647");
  wrapped = desktopWith(fine, {10, 10, 300, 200});
  wrapped["windows"][0]["number"] = 4294967397;  // 101 once wrapped
  EXPECT_FALSE(desktop.load(wrapped, &error));
  EXPECT_EQ(error, "windows[0].number: expected an integer from 1 to 4294967295");
  EXPECT_EQ(desktop.windows().size(), 1u) << "a refused description changes nothing";
}

TEST(SimLoaderLimitsTest, DesktopFilesNestedWithoutEndOrThatAreNotFilesAreRefused) {
  VirtualDispatcher dispatcher;
  SimDesktop desktop(dispatcher);
  PrivateDirectory dir("/tmp", "corvane-desk-");
  ASSERT_FALSE(dir.path().empty());
  const std::string deep = dir.path() + "/deep.json";
  std::string error;
  ASSERT_TRUE(writeFileText("{\"displays\": " + std::string(200000, '[') + std::string(200000, ']') + "}", deep, &error));
  EXPECT_FALSE(desktop.loadFile(deep, &error));
  EXPECT_EQ(error, deep + ": nested deeper than 256 levels");

  const std::string fifo = dir.path() + "/fifo.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(desktop.loadFile(fifo, &error));
  EXPECT_EQ(error, fifo + ": cannot be read (not a regular file)");
  EXPECT_FALSE(desktop.loadFile("/dev/zero", &error));
}

TEST(SimDesktopSettingsTest, SettingsNeverGoToADirectoryAnotherUserPreparedInTheTemporaryDirectory) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can hand a directory to another user";
  // Directories under the names a desktop of this process would once have taken, made by someone else.
  std::vector<std::string> planted;
  for (int n = 0; n < 2000; ++n) {
    planted.push_back("/tmp/corvane-sim-defaults-" + std::to_string(::getpid()) + "-" + std::to_string(n));
    if (::mkdir(planted.back().c_str(), 0777) == 0) {
      ASSERT_EQ(::chown(planted.back().c_str(), 65534, 65534), 0);
    }
  }
  {
    VirtualDispatcher dispatcher;
    SimDesktop desktop(dispatcher);
    EXPECT_TRUE(desktop.defaultsStore().set(applicationDomain, "x", true));
  }
  for (const auto& dir : planted) {
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << dir;
    std::filesystem::remove_all(dir);
  }
}

}  // namespace
}  // namespace corvane::sim
