#include "app/run_mode.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

RunMode decide(std::vector<std::string> args) {
  args.insert(args.begin(), "/opt/corvane/corvane");
  return decideRunMode(args);
}

TEST(RunMode, NoFlagsOrUnknownFlagsStartTheMenuBarApp) {
  EXPECT_EQ(decide({}).role, RunRole::menuBarApp);
  EXPECT_EQ(decide({"--verbose", "capture-desktop"}).role, RunRole::menuBarApp);
  // Whole-string equality only.
  EXPECT_EQ(decide({"--capture-desktop=/tmp/x"}).role, RunRole::menuBarApp);
  EXPECT_EQ(decide({"--Mirror-Host"}).role, RunRole::menuBarApp);
}

TEST(RunMode, MirrorHostWinsWhereverItStands) {
  EXPECT_EQ(decide({"--capture-desktop", "/tmp/d", "--mirror-host"}).role, RunRole::mirrorHost);
  EXPECT_EQ(decide({"--mirror-host", "--capture-loop", "7", "/tmp/p"}).role, RunRole::mirrorHost);
  EXPECT_EQ(decide({"--qa-composite", "a", "b", "c", "--mirror-host"}).role, RunRole::mirrorHost);
}

TEST(RunMode, FlagWithoutItsArgumentsIsSkipped) {
  // i + n must be a valid index.
  EXPECT_EQ(decide({"--capture-desktop"}).role, RunRole::menuBarApp);
  EXPECT_EQ(decide({"--capture-loop", "12"}).role, RunRole::menuBarApp);
  EXPECT_EQ(decide({"--qa-composite", "d", "s"}).role, RunRole::menuBarApp);
  // Skipped, so a later flag in the table still gets its turn.
  auto mode = decide({"--capture-display-stream", "/tmp/s.png", "--capture-desktop"});
  EXPECT_EQ(mode.role, RunRole::captureDisplayStream);
  ASSERT_EQ(mode.paths.size(), 1u);
  EXPECT_EQ(mode.paths[0], "/tmp/s.png");
}

TEST(RunMode, TableOrderNotArgumentOrderDecides) {
  auto mode = decide({"--capture-loop", "5", "/tmp/loop", "--capture-desktop", "/tmp/desk"});
  EXPECT_EQ(mode.role, RunRole::captureDesktop);
  EXPECT_EQ(mode.paths, std::vector<std::string>{"/tmp/desk"});

  auto notify = decide({"--capture-loop", "5", "/tmp/loop", "--capture-notifications", "/tmp/n"});
  EXPECT_EQ(notify.role, RunRole::captureNotifications);

  // The display-stream probe is tested before the display probe.
  EXPECT_EQ(decide({"--capture-display", "a.png", "--capture-display-stream", "b.png"}).role,
            RunRole::captureDisplayStream);
}

TEST(RunMode, FirstOccurrenceCounts) {
  auto mode = decide({"--capture-desktop", "/first", "--capture-desktop", "/second"});
  EXPECT_EQ(mode.paths, std::vector<std::string>{"/first"});
  // The first occurrence lacks its argument only if it is last; here its argument is the second
  // flag itself, which is taken literally as the path.
  auto odd = decide({"--capture-desktop", "--capture-desktop"});
  EXPECT_EQ(odd.role, RunRole::captureDesktop);
  EXPECT_EQ(odd.paths, std::vector<std::string>{"--capture-desktop"});
}

TEST(RunMode, WindowRolesTakeTheWindowNumberThenPaths) {
  auto loop = decide({"--capture-loop", "4294967295", "/tmp/f"});
  EXPECT_EQ(loop.role, RunRole::captureLoop);
  EXPECT_EQ(loop.windowID, 4294967295u);
  EXPECT_EQ(loop.paths, std::vector<std::string>{"/tmp/f"});

  auto sck = decide({"--capture-sck-window", "5", "/tmp/x"});
  EXPECT_EQ(sck.role, RunRole::captureSCKWindow);
  EXPECT_EQ(sck.windowID, 5u);

  auto qa = decide({"--qa-composite", "d", "s", "o"});
  EXPECT_EQ(qa.role, RunRole::qaComposite);
  EXPECT_EQ(qa.paths, (std::vector<std::string>{"d", "s", "o"}));
}

TEST(RunMode, UnparsableWindowNumberFallsThrough) {
  EXPECT_EQ(decide({"--capture-loop", "abc", "/tmp/x"}).role, RunRole::menuBarApp);
  auto mode = decide({"--capture-loop", "abc", "/tmp/x", "--capture-window", "12", "/tmp/y"});
  EXPECT_EQ(mode.role, RunRole::captureWindow);
  EXPECT_EQ(mode.windowID, 12u);
  EXPECT_EQ(mode.paths, std::vector<std::string>{"/tmp/y"});
  for (const char* bad : {"", "-1", "+1", " 1", "1 ", "0x10", "4294967296", "99999999999999999999", "1.0"}) {
    EXPECT_EQ(decide({"--capture-loop", bad, "/tmp/x"}).role, RunRole::menuBarApp) << '"' << bad << '"';
  }
}

TEST(RunMode, WindowNumberParsing) {
  EXPECT_EQ(parseWindowID("0"), 0u);
  EXPECT_EQ(parseWindowID("007"), 7u);
  EXPECT_EQ(parseWindowID("4294967295"), 4294967295u);
  EXPECT_EQ(parseWindowID("00000000004294967295"), 4294967295u);
  EXPECT_FALSE(parseWindowID("4294967296"));
  EXPECT_FALSE(parseWindowID(""));
  EXPECT_FALSE(parseWindowID("-0"));
  EXPECT_FALSE(parseWindowID("12a"));
}

TEST(RunMode, ExcludedAppsBelongToTheDisplayProbeOnly) {
  auto mode = decide({"--capture-display", "out.png", "--excluding-apps", "a,,b"});
  EXPECT_EQ(mode.role, RunRole::captureDisplay);
  EXPECT_EQ(mode.excludedBundleIDs, (std::vector<std::string>{"a", "b"}));

  EXPECT_EQ(decide({"--excluding-apps", "x,y", "--capture-display", "out.png"}).excludedBundleIDs,
            (std::vector<std::string>{"x", "y"}));
  // No element after it: empty list.
  EXPECT_TRUE(decide({"--capture-display", "out.png", "--excluding-apps"}).excludedBundleIDs.empty());
  // Pieces are not trimmed; leading and trailing commas give nothing.
  EXPECT_EQ(splitExcludedApps(",a b, c,"), (std::vector<std::string>{"a b", " c"}));
  EXPECT_TRUE(splitExcludedApps("").empty());
  EXPECT_TRUE(splitExcludedApps(",,,").empty());
  // Other roles ignore it.
  EXPECT_TRUE(decide({"--capture-desktop", "p", "--excluding-apps", "a"}).excludedBundleIDs.empty());
}

}  // namespace
}  // namespace corvane
