// The simulated desktop's state and its rules, without locking (SimDesktop guards it). A plain
// value, so that the loader can build a whole new world and swap it in only on success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_motion.h"

namespace corvane::sim {

// The keys of a window-list entry, as SimWindow::missingKeys and wrongTypeKeys name them.
enum class EntryKey : uint32_t { number, layer, ownerPID, ownerName, alpha, bounds, name, isOnscreen, sharingState };
std::optional<EntryKey> entryKeyNamed(std::string_view name);
// Bit (1 << key) for each known name; unknown names are ignored.
uint32_t entryKeyMask(const std::vector<std::string>& names);

struct WindowRecord {
  SimWindow window;
  uint32_t missing = 0;    // entryKeyMask(window.missingKeys)
  uint32_t wrongType = 0;  // entryKeyMask(window.wrongTypeKeys)
  bool isVisible() const { return window.onScreen && !window.minimised && !window.appHidden; }
  bool isDesktopElement() const { return window.desktopElement || window.level <= Level::desktopIcon; }

  // Recent changes of the bounds: when each happened and the bounds before it (oldest first), for
  // the readers that see the window server's state late.
  std::vector<std::pair<double, Rect>> boundsBefore;
  // The bounds as they were at media time `t` (the current ones when nothing changed since).
  Rect boundsAsOf(double t) const;
  // The bounds changed at `at` from `before`; changes older than `keep` seconds are forgotten.
  void noteBoundsChange(const Rect& before, double at, double keep);
};

struct World {
  static constexpr pid_t kDefaultSelfPID = 400;

  std::vector<SimApp> apps;             // launch order, terminated ones too
  std::vector<WindowRecord> windows;    // front to back, banded by level (higher level first)
  std::vector<SimDisplay> displays;     // the first is the main display
  std::optional<pid_t> frontmost;
  pid_t selfPID = kDefaultSelfPID;
  pid_t nextPID = 500;                  // for launches that ask the world to pick one
  // The window server hands out numbers from one counter and never gives out a number twice: a
  // window added without a number takes the next one that no window has and nobody reserved.
  // Windows described with a number (a desktop file, a scenario) stand for windows the server
  // numbered; their numbers are reserved up front, so the program's own windows never take them.
  WindowID nextNumber = 100;
  std::set<WindowID> reservedNumbers;
  SimMotion motion;

  World();

  const SimApp* findApp(pid_t pid) const;
  SimApp* findApp(pid_t pid);
  // Index in `windows`, or -1.
  ptrdiff_t indexOf(WindowID number) const;
  const WindowRecord* findWindow(WindowID number) const;
  WindowRecord* findWindow(WindowID number);
  double mainDisplayHeight() const;
  uint32_t contentColor(const WindowRecord& record) const;

  pid_t launchApp(SimApp app);
  void quitApp(pid_t pid);
  void forgetApp(pid_t pid);
  void activateApp(pid_t pid);
  // Hides or shows every window of the application (they leave and rejoin the on-screen list,
  // keeping their order). Hiding the frontmost application passes activation on as quitting does.
  // False for an unknown or terminated application, or one already in that state.
  bool setAppHidden(pid_t pid, bool hidden);

  // In front of (or at the back of) the window's level band.
  WindowID addWindow(SimWindow window, bool atBack);
  bool closeWindow(WindowID number);
  bool setLevel(WindowID number, int64_t level);
  bool orderWindow(WindowID number, bool above, WindowID relativeTo);

  // Appends the window list's entries for these options to `out` (front to back), with the bounds
  // as they were motion.windowListLatency before media time `now`.
  void copyWindowInfo(uint32_t options, WindowID relativeTo, std::vector<WindowListEntry>& out,
                      double now) const;

 private:
  // Where a window of `level` goes: the first index of its band (front) or one past its last.
  size_t bandFront(int64_t level) const;
  size_t bandEnd(int64_t level) const;
  void insertAt(size_t index, WindowRecord record);
  // The owner of the frontmost normal-level window of a running, regular, unhidden application.
  std::optional<pid_t> nextFrontmost() const;
};

}  // namespace corvane::sim
