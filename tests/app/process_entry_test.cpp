#include "app/process_entry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>

#include "base/png.h"
#include "base/virtual_dispatcher.h"
#include "lifecycle/single_instance.h"
#include "platform/application.h"
#include "platform/posix/posix_processes.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_ui.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// A backend over a desktop the test owns.
class TestBackend final : public Backend {
 public:
  explicit TestBackend(sim::SimDesktop& desktop) : desktop_(desktop) {}
  std::string name() const override { return "test"; }
  Platform platform() override { return desktop_.platform(); }

 private:
  sim::SimDesktop& desktop_;
};

class ProcessEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop.setDisplays({sim::SimDisplay{1, Rect(0, 0, 800, 600), 25, 0}});
    self = desktop.launchApp(sim::SimApp{0, std::string("com.corvane.app"), std::string("Corvane"),
                                         ActivationPolicy::regular, 0x202020, false});
    desktop.setSelfPID(self);
    pid_t slack = desktop.launchApp(sim::SimApp{0, std::string("com.tinyspeck.slackmacgap"), std::string("Slack"),
                                                ActivationPolicy::regular, 0x4A154B, false});
    sim::SimWindow w;
    w.number = 101;
    w.ownerPID = slack;
    w.bounds = Rect(10, 40, 320, 200);
    desktop.addWindow(w);
    dir = fs::temp_directory_path() / ("corvane-entry-" + std::to_string(::getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  int run(std::vector<std::string> args) {
    args.insert(args.begin(), "corvane");
    out.str("");
    err.str("");
    return runProcessEntry(
        args,
        [this](std::string*) -> std::unique_ptr<Backend> {
          ++backendsMade;
          return std::make_unique<TestBackend>(desktop);
        },
        out, err);
  }

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  pid_t self = 0;
  fs::path dir;
  std::ostringstream out;
  std::ostringstream err;
  int backendsMade = 0;
};

TEST_F(ProcessEntryTest, CaptureWindowWritesThePNGAndReportsItsSize) {
  std::string path = (dir / "w.png").string();
  EXPECT_EQ(run({"--capture-window", "101", path}), 0) << err.str();
  EXPECT_EQ(out.str(), "backing 320x200\n");
  std::string error;
  auto image = readPNG(path, &error);
  ASSERT_TRUE(image) << error;
  EXPECT_EQ(image->width, 320);
  EXPECT_EQ(image->height, 200);
  // The same pixels the window server hands out.
  auto expected = desktop.windowContent(101);
  ASSERT_TRUE(expected);
  EXPECT_EQ(image->bytes, expected->bytes);
}

TEST_F(ProcessEntryTest, CaptureWindowFailures) {
  EXPECT_EQ(run({"--capture-window", "999", (dir / "none.png").string()}), 1);
  EXPECT_EQ(err.str(), "CGWindowListCreateImage failed for window 999\n");
  EXPECT_EQ(out.str(), "");
  EXPECT_FALSE(fs::exists(dir / "none.png"));

  EXPECT_EQ(run({"--capture-window", "101", (dir / "missing" / "w.png").string()}), 1);
  EXPECT_EQ(err.str().rfind("Backing-store probe failed: ", 0), 0u) << err.str();
  EXPECT_EQ(out.str(), "");
}

TEST_F(ProcessEntryTest, ProbesReplaceALinkPlantedAtTheirOutputInsteadOfWritingThroughIt) {
  // Another user's file, and a link to it where the probe is told to write (a shared directory).
  const fs::path victim = dir / "victim.txt";
  std::ofstream(victim) << "precious";
  for (const char* name : {"w.png", "d.png"}) fs::create_symlink(victim, dir / name);
  EXPECT_EQ(run({"--capture-window", "101", (dir / "w.png").string()}), 0) << err.str();
  EXPECT_EQ(run({"--capture-display-stream", (dir / "d.png").string()}), 0) << err.str();
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
  for (const char* name : {"w.png", "d.png"}) {
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(dir / name))) << name;
    std::string error;
    EXPECT_TRUE(readPNG((dir / name).string(), &error)) << error;
  }
}

TEST_F(ProcessEntryTest, DisplayStreamProbeWritesOneFrameOfTheMainDisplay) {
  std::string path = (dir / "display.png").string();
  EXPECT_EQ(run({"--capture-display-stream", path}), 0) << err.str();
  std::string error;
  auto image = readPNG(path, &error);
  ASSERT_TRUE(image) << error;
  EXPECT_EQ(image->width, 800);
  EXPECT_EQ(image->height, 600);
  // The 8-second timeout was cancelled and never reports.
  dispatcher.advance(10);
  EXPECT_EQ(err.str(), "");
}

TEST_F(ProcessEntryTest, DisplayStreamProbeReportsAFrameItCannotStore) {
  EXPECT_EQ(run({"--capture-display-stream", (dir / "no" / "d.png").string()}), 1);
  EXPECT_EQ(err.str().rfind("Legacy display stream probe failed: ", 0), 0u) << err.str();
}

TEST_F(ProcessEntryTest, UnavailableProbesAnswerBeforeAnyBackendIsMade) {
  EXPECT_EQ(run({"--capture-sck-window", "5", (dir / "sck").string()}), 1);
  EXPECT_EQ(err.str(), "SCK window probe requires macOS 14 or newer\n");
  EXPECT_FALSE(fs::exists(dir / "sck"));
  EXPECT_EQ(run({"--capture-display", "out.png", "--excluding-apps", "a,b"}), 1);
  EXPECT_EQ(err.str(), "ScreenCaptureKit probe requires macOS 14 or newer\n");
  EXPECT_EQ(backendsMade, 0);
}

// Environment variables set for one test and put back after it.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(std::vector<std::pair<std::string, std::string>> values) {
    for (auto& [name, value] : values) {
      const char* old = std::getenv(name.c_str());
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ~ScopedEnvironment() {
    for (auto& [name, old] : saved_) old ? ::setenv(name.c_str(), old->c_str(), 1) : ::unsetenv(name.c_str());
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class OrdinaryStartTest : public ProcessEntryTest {
 protected:
  // Runs the application as the command line asks, until SIGTERM arrives 2 s into it; whether its
  // status item was there then.
  bool runUntilSigterm(std::vector<std::string> args) {
    ScopedEnvironment env({{"XDG_RUNTIME_DIR", dir.string()},
                           {"XDG_CONFIG_HOME", (dir / "config").string()},
                           {"CORVANE_POLICY_PATH", (dir / "policy.json").string()},
                           {"CORVANE_MANAGED_PLIST", (dir / "managed.plist").string()}});
    size_t statusItems = 0;
    dispatcher.main().asyncAfter(2, [&] {
      statusItems = desktop.ui().statusItemCount();
      std::raise(SIGTERM);
    });
    EXPECT_EQ(run(std::move(args)), 0) << err.str();
    EXPECT_TRUE(desktop.systemLog().contains("Corvane: stopping on SIGTERM"));
    EXPECT_EQ(desktop.ui().statusItemCount(), 0u) << "everything is gone once it returns";
    return statusItems == 1;
  }
};

TEST_F(OrdinaryStartTest, RunsTheApplicationUntilASignalAndASecondCopyLeaves) {
  EXPECT_TRUE(runUntilSigterm({})) << "the application ran with its status item";
  EXPECT_EQ(desktop.application().activationPolicy(), ActivationPolicy::accessory);

  // Another copy holds the lock: this one returns at once, having made nothing.
  SingleInstanceLock::Outcome outcome;
  auto held = SingleInstanceLock::acquire((dir / "corvane").string(), "com.corvane.Corvane", &outcome, nullptr);
  ASSERT_EQ(outcome, SingleInstanceLock::Outcome::acquired);
  desktop.systemLog().clear();
  ScopedEnvironment env({{"XDG_RUNTIME_DIR", dir.string()}});
  EXPECT_EQ(run({}), 0);
  EXPECT_TRUE(desktop.systemLog().lines().empty());
  EXPECT_EQ(backendsMade, 2);
}

TEST_F(OrdinaryStartTest, AProbeWithABadWindowNumberStartsTheApplication) {
  EXPECT_TRUE(runUntilSigterm({"--capture-sck-window", "-5", "/tmp/x"}));
  EXPECT_EQ(err.str(), "");
}

TEST_F(ProcessEntryTest, NoBackendIsAClearError) {
  std::vector<std::string> args{"corvane"};
  int status = runProcessEntry(
      args,
      [](std::string* error) -> std::unique_ptr<Backend> {
        *error = "no window server here";
        return nullptr;
      },
      out, err);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err.str(), "no window server here\n");
}

// The real executable, as a user or a parent process starts it.
class ExecutableTest : public ::testing::Test {
 protected:
  CommandResult shell(const std::string& command) {
    return processes.runCommand("/bin/sh", {"-c", command + " 2>&1"});
  }
  VirtualDispatcher dispatcher;
  PosixProcesses processes{dispatcher};
};

TEST_F(ExecutableTest, SCKWindowProbeReportsTheMissingFramework) {
  auto result = shell(std::string("env -u CORVANE_BACKEND ") + CORVANE_EXE + " --capture-sck-window 5 /tmp/x");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.standardOutput, "SCK window probe requires macOS 14 or newer\n");
}

TEST_F(ExecutableTest, WithoutABackendTheApplicationNamesTheSimulatedDesktop) {
  auto result = shell(std::string("env -u CORVANE_BACKEND ") + CORVANE_EXE + " --capture-desktop");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.standardOutput.find("CORVANE_BACKEND=sim"), std::string::npos) << result.standardOutput;
}

TEST_F(ExecutableTest, CaptureWindowOnTheSimulatedDesktopFromTheEnvironment) {
  std::string png = (std::filesystem::temp_directory_path() / ("corvane-exe-" + std::to_string(::getpid()) + ".png")).string();
  auto result = shell(std::string("CORVANE_BACKEND=sim CORVANE_SIM_DESKTOP=") + CORVANE_SOURCE_DIR +
                      "/scenarios/demo-desktop.json " + CORVANE_EXE + " --capture-window 101 " + png);
  EXPECT_EQ(result.status, 0) << result.standardOutput;
  EXPECT_EQ(result.standardOutput.rfind("backing ", 0), 0u) << result.standardOutput;
  std::string error;
  EXPECT_TRUE(readPNG(png, &error)) << error;
  std::remove(png.c_str());

  auto bad = shell(std::string("CORVANE_BACKEND=sim CORVANE_SIM_DESKTOP=/nonexistent.json ") + CORVANE_EXE +
                   " --capture-window 101 " + png);
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.standardOutput.find("cannot load the simulated desktop"), std::string::npos) << bad.standardOutput;
}

}  // namespace
}  // namespace corvane
