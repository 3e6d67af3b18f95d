// corvane-sim's output directory: what was in it before a run is still there after it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/files.h"
#include "base/virtual_dispatcher.h"
#include "platform/posix/posix_processes.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

TEST(SimOutputDirTest, ARunNeverDeletesWhatItDidNotCreate) {
  VirtualDispatcher dispatcher;
  PosixProcesses processes{dispatcher};
  PrivateDirectory scratch(fs::temp_directory_path().string(), "corvane-outdir-");
  ASSERT_FALSE(scratch.path().empty());
  const fs::path out = fs::path(scratch.path()) / "out";
  // What a user may well keep there: a directory named config with files in it.
  fs::create_directories(out / "config" / "nested");
  std::ofstream(out / "config" / "nested" / "keep.txt") << "keep";
  const std::string scenario = scratch.path() + "/short.json";
  std::string error;
  ASSERT_TRUE(writeFileText(R"({"desktopFile": ")" + std::string(CORVANE_SOURCE_DIR) +
                                R"(/scenarios/demo-desktop.json", "duration": 0.2})",
                            scenario, &error))
      << error;
  auto result = processes.runCommand(
      "/bin/sh", {"-c", std::string(CORVANE_SIM_EXE) + " " + scenario + " --out " + out.string() + " 2>&1"});
  ASSERT_EQ(result.status, 0) << result.standardOutput;
  EXPECT_TRUE(fs::exists(out / "report.json"));
  EXPECT_TRUE(fs::exists(out / "config" / "nested" / "keep.txt"));
  // The run's own settings directory went with the run.
  for (const auto& entry : fs::directory_iterator(out)) {
    EXPECT_EQ(entry.path().filename().string().rfind(".config-", 0), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace corvane
