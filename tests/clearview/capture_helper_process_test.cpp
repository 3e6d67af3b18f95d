// The capture roles of the real executable, started as a parent starts them, on the demo desktop.
// Real processes do not run on the virtual clock: these tests poll with a generous deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "base/files.h"
#include "base/virtual_dispatcher.h"
#include "clearview/clear_view_shared_frame.h"
#include "platform/posix/posix_processes.h"
#include "platform/sim/sim_desktop.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
constexpr auto kPatience = std::chrono::seconds(20);
const std::string kDemoDesktop = std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo-desktop.json";

class CaptureHelperProcessTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  PosixProcesses processes{dispatcher, CORVANE_EXE};
  PrivateDirectory dir{fs::temp_directory_path().string(), "corvane-helper-"};

  struct Helper {
    std::unique_ptr<ClearViewSharedFrame> owner;
    std::unique_ptr<ChildProcess> child;
    std::optional<int> status;
  };

  // Creates the file as the owner does and launches `corvane FLAG [WID] PATH` on the demo desktop.
  std::unique_ptr<Helper> launch(const std::string& name, std::vector<std::string> arguments,
                                 const std::function<void(ClearViewSharedFrame&)>& prepare = {}) {
    auto helper = std::make_unique<Helper>();
    const std::string path = dir.path() + "/" + name;
    helper->owner = ClearViewSharedFrame::createForOwner(path, false);
    if (!helper->owner) return nullptr;
    if (prepare) prepare(*helper->owner);
    arguments.push_back(path);
    LaunchRequest request;
    request.arguments = std::move(arguments);
    request.environment = {{"CORVANE_BACKEND", "sim"}, {"CORVANE_SIM_DESKTOP", kDemoDesktop}};
    helper->child = processes.launchSelf(request);
    if (!helper->child) return nullptr;
    Helper* raw = helper.get();
    helper->child->setTerminationHandler([raw](int status) { raw->status = status; });
    return helper;
  }
  bool waitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      dispatcher.runUntilIdle();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  CommandResult shell(const std::string& command) {
    return processes.runCommand("/bin/sh", {"-c", "CORVANE_BACKEND=sim CORVANE_SIM_DESKTOP=" + kDemoDesktop + " " +
                                                      CORVANE_EXE + " " + command + " 2>&1"});
  }
};

uint32_t u32(const std::string& b, size_t offset) {
  uint32_t v;
  std::memcpy(&v, b.data() + offset, 4);
  return v;
}

TEST_F(CaptureHelperProcessTest, EachRoleWritesFramesOfTheDemoDesktopAndEndsWithStatusZeroOnStop) {
  auto window = launch("corvane-cv-1-101.shm", {"--capture-loop", "101"});
  auto desktopHelper = launch("corvane-desktop-1-1.shm", {"--capture-desktop"}, [](ClearViewSharedFrame& f) {
    f.setDesktopCapture({140, 101}, Rect(0, 0, 1512, 982));
  });
  auto notify = launch("corvane-notify-1-130.shm", {"--capture-notifications"}, [](ClearViewSharedFrame& f) {
    f.setDesktopCapture({130}, Rect(1226, 550, 280, 220));
  });
  ASSERT_TRUE(window && desktopHelper && notify);
  ASSERT_TRUE(waitFor([&] {
    return window->owner->frameSequence() > 2 && desktopHelper->owner->frameSequence() > 0 &&
           notify->owner->frameSequence() > 0;
  }));

  // The window's frame, read with nothing but the layout's offsets, is the window's content.
  std::ifstream in(window->owner->path(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), 16'388'096u);
  EXPECT_EQ(bytes.substr(0, 4), "1FVC");
  const uint32_t w = u32(bytes, 8);
  const uint32_t h = u32(bytes, 12);
  ASSERT_EQ(w, 760u);
  ASSERT_EQ(h, 520u);
  VirtualDispatcher localDispatcher;
  sim::SimDesktop expected(localDispatcher);
  std::string error;
  ASSERT_TRUE(expected.loadFile(kDemoDesktop, &error)) << error;
  auto content = expected.windowContent(101);
  ASSERT_TRUE(content);
  EXPECT_EQ(0, std::memcmp(bytes.data() + 4096, content->bytes.data(), size_t(w) * h * 4));
  EXPECT_TRUE(fs::exists(fs::path(dir.path()) / "corvane-helper-preview.png"));

  EXPECT_EQ(desktopHelper->owner->width(), 1512u);
  EXPECT_EQ(notify->owner->width(), 280u);
  EXPECT_EQ(notify->owner->contentBounds().rect, Rect(1236, 560, 260, 200));

  for (Helper* h : {window.get(), desktopHelper.get(), notify.get()}) h->owner->requestStop();
  ASSERT_TRUE(waitFor([&] { return window->status && desktopHelper->status && notify->status; }));
  EXPECT_EQ(*window->status, 0);
  EXPECT_EQ(*desktopHelper->status, 0);
  EXPECT_EQ(*notify->status, 0);
}

TEST_F(CaptureHelperProcessTest, AMissingFileEndsWithItsMessageAndAStoppedFileEndsAtOnce) {
  const std::string missing = dir.path() + "/none.shm";
  auto result = shell("--capture-loop 101 " + missing);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.standardOutput, "capture-loop: could not map " + missing + "\n");
  result = shell("--capture-notifications " + missing);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.standardOutput, "capture-notifications: could not map " + missing + "\n");

  const std::string stopped = dir.path() + "/stopped.shm";
  auto owner = ClearViewSharedFrame::createForOwner(stopped, false);
  ASSERT_TRUE(owner);
  owner->requestStop();
  result = shell("--capture-desktop " + stopped);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(owner->frameSequence(), 0u);
}

}  // namespace
}  // namespace corvane
