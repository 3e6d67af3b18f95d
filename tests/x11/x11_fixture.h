// A virtual X server with a real window manager for the X11 backend's tests, and test
// applications to drive on it.
//
// One Xvfb and one openbox serve the whole test program (they start with the first test that
// needs them). Without Xvfb on the machine those tests skip with a message; the bootstrap installs
// it. Waiting for the server or the window manager is bounded: a test that waits in vain fails.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/pixel_buffer.h"

extern char** environ;

namespace corvane::x11::test {

// A child process with its standard input and output on pipes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, bool pipes) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipes && pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    if (in[0] >= 0) close(in[0]);
    if (out[1] >= 0) close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void send(const std::string& line) {
    if (input_ >= 0) (void)!write(input_, (line + "\n").data(), line.size() + 1);
  }
  // One line of the child's output, or empty after `seconds`.
  std::string readLine(double seconds) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (output_ >= 0 && std::chrono::steady_clock::now() < end) {
      pollfd p{output_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char ch;
      if (read(output_, &ch, 1) != 1) break;
      if (ch == '\n') return line;
      line += ch;
    }
    return {};
  }
  void stop() {
    if (input_ >= 0) close(input_);
    if (output_ >= 0) close(output_);
    input_ = output_ = -1;
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = 0;
    }
  }

 private:
  pid_t pid_ = 0;
  int input_ = -1;
  int output_ = -1;
};

inline bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    if (access((dirs.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// Polls `done` until it holds or `seconds` of wall time pass (waiting for other processes).
inline bool waitFor(const std::function<bool()>& done, double seconds = 5) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Xvfb and openbox; DISPLAY points at them while they run.
class VirtualX {
 public:
  static VirtualX* shared(std::string* skipReason) {
    static std::unique_ptr<VirtualX> instance;
    static std::string reason;
    static bool tried = false;
    if (!tried) {
      tried = true;
      instance = start(&reason);
    }
    if (!instance && skipReason) *skipReason = reason;
    return instance.get();
  }
  const std::string& display() const { return display_; }

  ~VirtualX() {
    windowManager_.reset();
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
  }

 private:
  static std::unique_ptr<VirtualX> start(std::string* reason) {
    if (!onPath("Xvfb")) {
      *reason = "Xvfb is not installed (scripts/bootstrap installs it): the X11 tests are skipped";
      return nullptr;
    }
    if (!onPath("openbox")) {
      *reason = "openbox is not installed (scripts/bootstrap installs it): the X11 tests are skipped";
      return nullptr;
    }
    // A test application that is gone must not take the test program with it.
    signal(SIGPIPE, SIG_IGN);
    auto x = std::unique_ptr<VirtualX>(new VirtualX);
    int fds[2];
    if (pipe(fds) != 0) return nullptr;
    // Xvfb picks a free display and writes its number to the pipe.
    const std::string fd = std::to_string(fds[1]);
    std::vector<std::string> argv = {"Xvfb", "-displayfd", fd, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    if (posix_spawnp(&x->server_, "Xvfb", &actions, nullptr, args.data(), environ) != 0) x->server_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (x->server_ > 0 && poll(&p, 1, 10000) > 0) {
      char ch;
      if (read(fds[0], &ch, 1) != 1 || ch == '\n') break;
      number += ch;
    }
    close(fds[0]);
    if (number.empty()) {
      *reason = "FAIL: Xvfb did not start";
      return nullptr;
    }
    x->display_ = ":" + number;
    setenv("DISPLAY", x->display_.c_str(), 1);
    x->windowManager_ = std::make_unique<Child>(std::vector<std::string>{"openbox", "--sm-disable"}, false);
    // The window manager is ready once it names itself on the root.
    xcb_connection_t* c = xcb_connect(x->display_.c_str(), nullptr);
    const bool ready = !xcb_connection_has_error(c) && waitFor([&] {
      xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
      const char* name = "_NET_SUPPORTING_WM_CHECK";
      auto* a = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
      if (!a) return false;
      auto* prop = xcb_get_property_reply(c, xcb_get_property(c, 0, screen->root, a->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
      const bool set = prop && xcb_get_property_value_length(prop) == 4;
      std::free(a);
      std::free(prop);
      return set;
    }, 40);
    // ... and manages windows once a test application's window shows.
    // (openbox may leave the very first window of its session unmapped for a long while, so a
    // probe that does not show is followed by another).
    const bool manages = ready && [&] {
      std::vector<std::unique_ptr<Child>> probes;
      for (int attempt = 0; attempt < 20; ++attempt) {
        probes.push_back(std::make_unique<Child>(std::vector<std::string>{CORVANE_X11_TESTAPP, "--geometry", "10x10+0+0"}, true));
        if (!probes.back()->readLine(2).empty()) return true;
      }
      return false;
    }();
    xcb_disconnect(c);
    if (!ready || !manages) {
      *reason = "FAIL: openbox did not manage windows on the virtual X server";
      return nullptr;
    }
    return x;
  }

  VirtualX() = default;
  pid_t server_ = 0;
  std::string display_;
  std::unique_ptr<Child> windowManager_;
};

// A test application's window (see test_app.cpp).
struct TestApp {
  TestApp(const std::string& cls, const std::string& title, const std::string& geometry, uint32_t colorA,
          uint32_t colorB, const std::vector<std::string>& extra = {})
      : colors{colorA, colorB},
        process([&] {
          char buf[32];
          std::snprintf(buf, sizeof buf, "%06x,%06x", colorA, colorB);
          std::vector<std::string> argv = {CORVANE_X11_TESTAPP, "--class", cls, "--title", title, "--geometry", geometry,
                                           "--colors", buf};
          argv.insert(argv.end(), extra.begin(), extra.end());
          return argv;
        }(), true) {
    window = uint32_t(std::strtoul(process.readLine(10).c_str(), nullptr, 10));
  }
  uint32_t colors[2];
  Child process;
  uint32_t window = 0;
};

// Pixels of an image (BGRA) that show exactly one of the colours (0xRRGGBB).
inline size_t countColor(const PixelBuffer& image, const uint32_t* colors, size_t count) {
  size_t hits = 0;
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* p = image.pixel(0, y);
    for (int x = 0; x < image.width; ++x, p += 4) {
      const uint32_t rgb = (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
      for (size_t i = 0; i < count; ++i) hits += rgb == colors[i];
    }
  }
  return hits;
}

}  // namespace corvane::x11::test
