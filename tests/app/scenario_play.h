// Plays scenarios through the real corvane-sim executable into a temporary output directory of the
// test's own, and reads the report it wrote.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/virtual_dispatcher.h"
#include "platform/posix/posix_processes.h"

namespace corvane {

class ScenarioPlayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    out = std::filesystem::temp_directory_path() / ("corvane-play-" + std::to_string(::getpid()));
    std::filesystem::remove_all(out);
  }
  void TearDown() override { std::filesystem::remove_all(out); }

  // Runs corvane-sim on the scenario file at `path`; standard error is folded into the output.
  CommandResult play(const std::string& path) {
    return processes.runCommand("/bin/sh",
                                {"-c", std::string(CORVANE_SIM_EXE) + " " + path + " --out " + out.string() + " 2>&1"});
  }
  // The report of the last run; an empty object (and a failure) when there is none.
  nlohmann::json readReport() {
    std::string error;
    auto text = readFileText((out / "report.json").string(), &error);
    EXPECT_TRUE(text) << error;
    return text ? nlohmann::json::parse(*text) : nlohmann::json::object();
  }
  // Plays the bundled scenarios/FILE, expects it to succeed and returns its report.
  nlohmann::json report(const std::string& file, std::string* output = nullptr) {
    auto result = play(std::string(CORVANE_SOURCE_DIR) + "/scenarios/" + file);
    if (output) *output = result.standardOutput;
    EXPECT_EQ(result.status, 0) << result.standardOutput;
    return readReport();
  }

  // The report's entry of the picture called `name`; an empty object (and a failure) when none.
  static const nlohmann::json& picture(const nlohmann::json& report, const std::string& name) {
    for (const auto& p : report["pictures"]) {
      if (p["name"] == name) return p;
    }
    static const nlohmann::json none = nlohmann::json::object();
    ADD_FAILURE() << "no picture " << name;
    return none;
  }

  VirtualDispatcher dispatcher;
  PosixProcesses processes{dispatcher};
  std::filesystem::path out;
};

}  // namespace corvane
