// What the X11 ports share inside the backend: the connection, the program's own windows and the
// reading of the window list.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/dispatch.h"
#include "base/geometry.h"
#include "platform/window_server.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_desktop_entries.h"

namespace corvane {
class LogSink;
}

namespace corvane::x11 {

// Levels of the reference platform that X11 window types and states map to.
namespace Level {
constexpr int64_t desktop = -2147483623;  // desktop icons: the desktop window holds them here
constexpr int64_t below = -20;
constexpr int64_t normal = 0;
constexpr int64_t above = 3;
constexpr int64_t dock = 20;
constexpr int64_t popUpMenu = 101;
}  // namespace Level

// One of the program's own windows as the window list reports it.
struct OwnWindow {
  int64_t level = 0;
  double alpha = 1;
  int64_t sharingState = 1;
};

// One top-level window as the list reads it: a managed client (number = the client window, bounds
// = its frame) or one of the program's own windows.
struct WindowRecord {
  xcb_window_t number = 0;
  xcb_window_t topLevel = 0;
  pid_t pid = 0;
  std::string wmInstance;
  std::string wmClass;
  std::optional<std::string> title;
  int64_t layer = 0;
  double alpha = 1;
  int64_t sharingState = 1;
  bool onScreen = false;
  bool desktopElement = false;
  bool own = false;
  bool unmanaged = false;  // a top-level window that no window manager frame holds
  Rect bounds;  // window-server space (root coordinates)
};

// Which records of a front-to-back list a window-list read with `options` returns, by index.
std::vector<size_t> selectWindowList(const std::vector<WindowRecord>& records, uint32_t options, WindowID relativeTo);

struct State {
  State(Connection& c, Dispatcher& d, LogSink& l) : conn(c), dispatcher(d), log(l) {}
  Connection& conn;
  Dispatcher& dispatcher;
  LogSink& log;
  pid_t ownPid = 0;
  DesktopEntries entries;
  // The thread that runs the main queue (the one that opened the desktop).
  std::thread::id mainThread = std::this_thread::get_id();
  // In debug and sanitizer builds, stops the program when a main-thread port is called from
  // another thread (the event reader's, or a background queue's).
  void checkMainThread(const char* where) const;

  std::mutex mutex;  // guards what follows
  std::map<xcb_window_t, OwnWindow> ownWindows;
  std::map<xcb_window_t, xcb_window_t> frameOfClient;  // a cache, checked against the root's children

  // Every managed client and own window, front to back (one pipelined batch of requests).
  std::optional<std::vector<WindowRecord>> readWindows();
  // Unlisted frames' clients, by top-level window.
  std::map<xcb_window_t, xcb_window_t> clientInsideCache;
  xcb_window_t clientInside(xcb_window_t topLevel);
  // The top-level window of a client from the last list read, else asked of the server.
  xcb_window_t frameOf(xcb_window_t window);
  // The client window of a top-level window (or the window itself).
  xcb_window_t clientOf(xcb_window_t topLevel);
  // The owner of a window (client or own), 0 when unknown.
  pid_t pidOf(xcb_window_t window);
  // The executable's file name of a process, empty when unknown.
  static std::string executableName(pid_t pid);
  // Screens: the displays' bounds, the main (primary) one first.
  std::vector<std::pair<DisplayID, Rect>> displays();
  // Forgets the displays read last (RandR or the root's size told of a change).
  void displaysChanged();
  std::optional<std::vector<std::pair<DisplayID, Rect>>> displayCache;  // guarded by mutex
  double mainDisplayHeight();
};

// Converts a ZPixmap image of `depth` (24 or 32 bits in 32-bit pixels) to BGRA.
std::optional<PixelBuffer> imageToPixels(xcb_connection_t* c, xcb_drawable_t drawable, int x, int y, int width,
                                         int height, uint8_t depth);

}  // namespace corvane::x11

namespace corvane {
class Input;
namespace ui {
class UserInterface;
}
}  // namespace corvane

namespace corvane::x11 {
std::unique_ptr<ui::UserInterface> makeUserInterface(State& state);
std::unique_ptr<Input> makeInput(State& state);
}  // namespace corvane::x11
