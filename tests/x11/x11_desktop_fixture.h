// The X11 desktop over the shared virtual X server, with desktop entries of the test
// applications' own, on a virtual-time dispatcher that the tests drive.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "platform/window_server.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_desktop.h"
#include "x11/x11_fixture.h"
#include "x11/x11_wm.h"

namespace corvane::x11::test {

// Colour patterns of the test applications.
constexpr uint32_t kSecret[2] = {0xc0ffee, 0x7a0b1c};
constexpr uint32_t kPlain[2] = {0x123456, 0x654321};
constexpr uint32_t kOther[2] = {0x2e7d32, 0xfbc02d};

// Desktop entries for the test applications, in a data directory of this test program's own.
inline void installTestDesktopEntries() {
  static bool done = false;
  if (done) return;
  done = true;
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("corvane-x11-data-" + std::to_string(getpid()));
  fs::create_directories(root / "applications");
  std::ofstream(root / "applications/com.example.Secret.desktop")
      << "[Desktop Entry]\nType=Application\nName=Secret Notes\nStartupWMClass=SecretApp\nExec=secret-notes\n";
  std::ofstream(root / "applications/com.discordapp.Discord.desktop")
      << "[Desktop Entry]\nType=Application\nName=Discord\nStartupWMClass=discord\nExec=discord\n";
  setenv("XDG_DATA_HOME", root.c_str(), 1);
  setenv("XDG_DATA_DIRS", (root / "none").c_str(), 1);
  static struct Cleanup {
    fs::path path;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  } cleanup{root};
}

class X11DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    if (!VirtualX::shared(&reason)) {
      // Only a machine without the virtual X server skips; one that cannot start it fails.
      if (reason.rfind("FAIL: ", 0) == 0) GTEST_FAIL() << reason.substr(6);
      GTEST_SKIP() << reason;
    }
    installTestDesktopEntries();
    std::string error;
    desktop = X11Desktop::open(dispatcher, nullptr, log, &error);
    ASSERT_TRUE(desktop) << error;
  }

  xcb_connection_t* xcb() { return desktop->connection().xcb(); }
  WindowServer& windowServer() { return desktop->platform().windowServer; }

  // Lets the X events that arrived reach the ports and runs what is due now.
  void pump() {
    desktop->connection().roundTrip();
    desktop->processEvents();
    dispatcher.advance(0);
  }

  std::optional<WindowListEntry> entry(uint32_t window, uint32_t options = WindowListOption::all) {
    auto list = windowServer().copyWindowInfo(options, 0);
    if (!list) return std::nullopt;
    for (const auto& e : *list) {
      if (asInteger(e.number) == int64_t(window)) return e;
    }
    return std::nullopt;
  }
  std::vector<int64_t> numbers(uint32_t options) {
    std::vector<int64_t> out;
    for (const auto& e : windowServer().copyWindowInfo(options, 0).value_or(std::vector<WindowListEntry>{})) {
      out.push_back(asInteger(e.number).value_or(-1));
    }
    return out;
  }
  // Waits until the window manager has put the window where the list reports it as given.
  bool waitForEntry(uint32_t window, const std::function<bool(const WindowListEntry&)>& check) {
    return waitFor([&] {
      auto e = entry(window);
      return e && check(*e);
    });
  }
  size_t sharePixels(const uint32_t* colors, size_t count = 2) {
    desktop->connection().roundTrip();
    auto image = windowServer().captureDisplay(windowServer().mainDisplayID());
    return image ? countColor(*image, colors, count) : SIZE_MAX;
  }

  VirtualDispatcher dispatcher;
  MemoryLog log;
  std::unique_ptr<X11Desktop> desktop;
};

}  // namespace corvane::x11::test
