// The diagnostic dump: written on request into a fresh private directory, never through a symbolic
// link, never over or into something of another owner.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "overlay/diagnostic_dump.h"
#include "overlay_test_support.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using overlaytest::OverlayDesktop;

std::string readAll(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class OverlayDumpTest : public OverlayDesktop {
 protected:
  fs::path dir;
  fs::path trigger, out;
  WindowID secret = 0;

  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "corvane-dump-test-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(templ.data()));
    dir = templ;
    trigger = dir / "corvane-clearview-dump";
    out = dir / "corvane-clearview-out";
    const pid_t pid = launch(501, "com.example.secret", "Secret", 0x993333, true);
    secret = addWindow(pid, Rect(100, 200, 400, 300));
    desktop.activateApp(pid);
    makeManager([&](OverlayManager::Dependencies& d) { d.dumpDirectory = dir.string(); });
    refresh();
  }
  void TearDown() override {
    OverlayDesktop::TearDown();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  void request() { std::ofstream(trigger) << ""; }
};

TEST_F(OverlayDumpTest, WritesStateAndReportOnRequest) {
  manager->handleDumpRequestIfNeeded();
  EXPECT_FALSE(fs::exists(out)) << "no request, no dump";

  request();
  manager->handleDumpRequestIfNeeded();
  EXPECT_FALSE(fs::exists(trigger)) << "the request is used up";
  ASSERT_TRUE(fs::is_directory(out));
  EXPECT_EQ(fs::status(out).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(out / "state.json").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(clearViewLog.contains("Wrote Clear View dump to " + out.string()));

  const auto state = nlohmann::json::parse(readAll(out / "state.json"));
  EXPECT_EQ(state["clearViewActive"], false);
  EXPECT_TRUE(state["status"].is_null());
  EXPECT_EQ(state["frontmostPID"], 501);
  ASSERT_EQ(state["frost"].size(), 1u);
  const auto& frost = state["frost"][0];
  EXPECT_EQ(frost["target"], secret);
  EXPECT_EQ(frost["stacking"], secret);
  EXPECT_EQ(frost["ownerPID"], 501);
  EXPECT_EQ(frost["window"], overlayOf(secret)->windowNumber());
  EXPECT_EQ(frost["visible"], true);
  EXPECT_EQ(frost["level"], 2);
  EXPECT_EQ(frost["revealed"], false);
  EXPECT_EQ(frost["frame"], "100,200 400x300");
  EXPECT_TRUE(state["mirrors"].empty());
  EXPECT_LT(readAll(out / "state.json").find("\"clearViewActive\""), readAll(out / "state.json").find("\"frost\""))
      << "sorted keys";

  const std::string report = readAll(out / "report.txt");
  EXPECT_EQ(report.rfind("status=none\nmirrors=0\nscreens=0,0 1512x982\n", 0), 0u) << report;
  const std::string line = "overlay id=" + std::to_string(secret) +
                           " win=" + std::to_string(overlayOf(secret)->windowNumber()) +
                           " vis=1 level=2 revealed=0 origin=100,200 size=400x300 holes=0\n";
  EXPECT_NE(report.find(line), std::string::npos) << report;

  // A second request replaces the old dump, whatever was left in it.
  fs::create_directories(out / "old" / "deeper");
  std::ofstream(out / "old" / "deeper" / "stale.txt") << "stale";
  std::ofstream(dir / "outside.txt") << "keep";
  fs::create_symlink(dir / "outside.txt", out / "link");
  request();
  manager->handleDumpRequestIfNeeded();
  EXPECT_FALSE(fs::exists(out / "old"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(out / "link")));
  EXPECT_EQ(readAll(dir / "outside.txt"), "keep") << "a link in the old dump is removed, not followed";
  EXPECT_TRUE(fs::exists(out / "report.txt"));
}

TEST_F(OverlayDumpTest, NeverFollowsALinkOrReplacesSomethingElse) {
  // A trigger that is a link (or not a regular file) is not a request and stays where it is.
  std::ofstream(dir / "target.txt") << "x";
  fs::create_symlink(dir / "target.txt", trigger);
  manager->handleDumpRequestIfNeeded();
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(trigger)));
  EXPECT_FALSE(fs::exists(out));
  fs::remove(trigger);
  fs::create_directory(trigger);
  manager->handleDumpRequestIfNeeded();
  EXPECT_TRUE(fs::is_directory(trigger));
  EXPECT_FALSE(fs::exists(out));
  fs::remove(trigger);

  // The output path is a link to another directory: the link and the directory stay untouched.
  const fs::path elsewhere = dir / "elsewhere";
  fs::create_directory(elsewhere);
  std::ofstream(elsewhere / "precious.txt") << "precious";
  fs::create_directory_symlink(elsewhere, out);
  request();
  manager->handleDumpRequestIfNeeded();
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(out)));
  EXPECT_EQ(readAll(elsewhere / "precious.txt"), "precious");
  EXPECT_FALSE(fs::exists(elsewhere / "report.txt"));
  EXPECT_TRUE(clearViewLog.contains("Clear View dump not written: "));
  fs::remove(out);

  // A plain file in its place stays too.
  std::ofstream(out) << "not a directory";
  request();
  manager->handleDumpRequestIfNeeded();
  EXPECT_EQ(readAll(out), "not a directory");
}

TEST(DiagnosticDumpTest, LeavesWhatBelongsToOtherUsersAlone) {
  std::string templ = (fs::temp_directory_path() / "corvane-dump-owner-XXXXXX").string();
  ASSERT_TRUE(::mkdtemp(templ.data()));
  const fs::path dir = templ;
  const fs::path foreignDir = dir / "corvane-clearview-out";
  const fs::path foreignTrigger = dir / "corvane-clearview-dump";
  fs::create_directory(foreignDir);
  std::ofstream(foreignDir / "theirs.txt") << "theirs";
  std::ofstream(foreignTrigger) << "";
  const fs::path mixed = dir / "mixed";
  fs::create_directories(mixed / "sub");
  std::ofstream(mixed / "theirs.txt") << "theirs";
  // Files of ours around it, so that whichever order the directory lists them in, some come first.
  for (int i = 0; i < 12; ++i) {
    std::ofstream(mixed / ("ours-" + std::to_string(i) + ".txt")) << "ours";
    std::ofstream(mixed / "sub" / ("ours-" + std::to_string(i) + ".txt")) << "ours";
  }
  // Hand them to another user; only root may do that, so without it the test takes paths that
  // root owns instead.
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(foreignDir.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(foreignTrigger.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown((mixed / "theirs.txt").c_str(), 65534, 65534), 0);
  }
  std::string error;
  const std::string target = root ? foreignDir.string() : "/usr";
  EXPECT_FALSE(DiagnosticDump::replaceDirectory(target, {{"report.txt", "x"}}, &error));
  EXPECT_NE(error.find("belongs to another user"), std::string::npos) << error;
  EXPECT_FALSE(DiagnosticDump::consumeTrigger(root ? foreignTrigger.string() : "/etc/hostname"))
      << "a trigger of another user is no request";
  if (root) {
    EXPECT_EQ(readAll(foreignDir / "theirs.txt"), "theirs");
    EXPECT_FALSE(fs::exists(foreignDir / "report.txt"));
    EXPECT_TRUE(fs::exists(foreignTrigger));
    // Our directory with a file of another user in it: the file is not deleted, nothing is written,
    // and nothing of ours in it was deleted either (the tree is checked before anything goes).
    EXPECT_FALSE(DiagnosticDump::replaceDirectory(mixed.string(), {{"report.txt", "x"}}, &error));
    EXPECT_EQ(readAll(mixed / "theirs.txt"), "theirs");
    EXPECT_FALSE(fs::exists(mixed / "report.txt"));
    for (int i = 0; i < 12; ++i) {
      EXPECT_TRUE(fs::exists(mixed / ("ours-" + std::to_string(i) + ".txt"))) << i;
      EXPECT_TRUE(fs::exists(mixed / "sub" / ("ours-" + std::to_string(i) + ".txt"))) << i;
    }
  }
  EXPECT_FALSE(DiagnosticDump::replaceDirectory((dir / "..").string(), {}, &error));
  EXPECT_FALSE(DiagnosticDump::replaceDirectory((dir / "fresh").string(), {{"../escape.txt", "x"}}, &error));
  EXPECT_FALSE(fs::exists(dir.parent_path() / "escape.txt"));
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace corvane
