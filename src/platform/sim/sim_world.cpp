#include "platform/sim/sim_world.h"

#include <algorithm>
#include <array>
#include <utility>

namespace corvane::sim {

namespace {

constexpr std::array<std::string_view, 9> kEntryKeyNames = {
    "number", "layer", "ownerPID", "ownerName", "alpha", "bounds", "name", "isOnscreen", "sharingState"};

constexpr uint32_t bit(EntryKey key) { return 1u << static_cast<uint32_t>(key); }

constexpr uint32_t kDefaultColor = 0x808080;

}  // namespace

std::optional<EntryKey> entryKeyNamed(std::string_view name) {
  for (size_t i = 0; i < kEntryKeyNames.size(); ++i) {
    if (kEntryKeyNames[i] == name) return static_cast<EntryKey>(i);
  }
  return std::nullopt;
}

uint32_t entryKeyMask(const std::vector<std::string>& names) {
  uint32_t mask = 0;
  for (const auto& name : names) {
    if (auto key = entryKeyNamed(name)) mask |= bit(*key);
  }
  return mask;
}

Rect WindowRecord::boundsAsOf(double t) const {
  for (const auto& [at, before] : boundsBefore) {
    if (at > t) return before;
  }
  return window.bounds;
}

void WindowRecord::noteBoundsChange(const Rect& before, double at, double keep) {
  std::erase_if(boundsBefore, [&](const auto& change) { return change.first < at - keep; });
  if (keep > 0) boundsBefore.emplace_back(at, before);
}

World::World() { displays.push_back(SimDisplay{1, Rect(0, 0, 1512, 982), 25, 0}); }

const SimApp* World::findApp(pid_t pid) const {
  for (const auto& app : apps) {
    if (app.pid == pid) return &app;
  }
  return nullptr;
}

SimApp* World::findApp(pid_t pid) { return const_cast<SimApp*>(std::as_const(*this).findApp(pid)); }

ptrdiff_t World::indexOf(WindowID number) const {
  for (size_t i = 0; i < windows.size(); ++i) {
    if (windows[i].window.number == number) return ptrdiff_t(i);
  }
  return -1;
}

const WindowRecord* World::findWindow(WindowID number) const {
  ptrdiff_t i = indexOf(number);
  return i < 0 ? nullptr : &windows[size_t(i)];
}

WindowRecord* World::findWindow(WindowID number) {
  return const_cast<WindowRecord*>(std::as_const(*this).findWindow(number));
}

double World::mainDisplayHeight() const { return displays.empty() ? 0 : displays.front().frame.height(); }

uint32_t World::contentColor(const WindowRecord& record) const {
  if (record.window.color) return *record.window.color;
  const SimApp* owner = findApp(record.window.ownerPID);
  return owner ? owner->color : kDefaultColor;
}

pid_t World::launchApp(SimApp app) {
  if (app.pid < 0) return 0;
  if (app.pid == 0) {
    while (findApp(nextPID) || nextPID == selfPID) ++nextPID;
    app.pid = nextPID;
  } else if (const SimApp* existing = findApp(app.pid)) {
    if (!existing->terminated) return 0;
    forgetApp(app.pid);
  }
  if (app.pid >= nextPID) nextPID = app.pid + 1;
  app.terminated = false;
  apps.push_back(std::move(app));
  return apps.back().pid;
}

void World::quitApp(pid_t pid) {
  SimApp* app = findApp(pid);
  if (!app || app->terminated) return;
  app->terminated = true;
  std::erase_if(windows, [pid](const WindowRecord& r) { return r.window.ownerPID == pid; });
  if (frontmost == pid) frontmost = nextFrontmost();
}

std::optional<pid_t> World::nextFrontmost() const {
  for (const auto& record : windows) {
    const SimApp* owner = findApp(record.window.ownerPID);
    if (record.window.level == Level::normal && owner && !owner->terminated && !owner->hidden &&
        owner->policy == ActivationPolicy::regular) {
      return owner->pid;
    }
  }
  return std::nullopt;
}

bool World::setAppHidden(pid_t pid, bool hidden) {
  SimApp* app = findApp(pid);
  if (!app || app->terminated || app->hidden == hidden) return false;
  app->hidden = hidden;
  for (auto& record : windows) {
    if (record.window.ownerPID == pid) record.window.appHidden = hidden;
  }
  if (hidden && frontmost == pid) frontmost = nextFrontmost();
  return true;
}

void World::forgetApp(pid_t pid) {
  quitApp(pid);
  std::erase_if(apps, [pid](const SimApp& a) { return a.pid == pid; });
}

void World::activateApp(pid_t pid) {
  const SimApp* app = findApp(pid);
  if (!app || app->terminated) return;
  // Activating a hidden application shows it again.
  setAppHidden(pid, false);
  frontmost = pid;
  // The list is already banded by level, so a stable sort on (level, not this app's) moves the
  // app's windows to the front of each band and keeps every other order as it was.
  std::stable_sort(windows.begin(), windows.end(), [pid](const WindowRecord& a, const WindowRecord& b) {
    if (a.window.level != b.window.level) return a.window.level > b.window.level;
    return a.window.ownerPID == pid && b.window.ownerPID != pid;
  });
}

size_t World::bandFront(int64_t level) const {
  auto it = std::find_if(windows.begin(), windows.end(),
                         [level](const WindowRecord& r) { return r.window.level <= level; });
  return size_t(it - windows.begin());
}

size_t World::bandEnd(int64_t level) const {
  auto it = std::find_if(windows.begin(), windows.end(),
                         [level](const WindowRecord& r) { return r.window.level < level; });
  return size_t(it - windows.begin());
}

void World::insertAt(size_t index, WindowRecord record) {
  windows.insert(windows.begin() + ptrdiff_t(index), std::move(record));
}

WindowID World::addWindow(SimWindow window, bool atBack) {
  const SimApp* owner = findApp(window.ownerPID);
  if (owner && owner->terminated) return 0;
  if (window.number == 0) {
    // Past the last number (UINT32_MAX) the counter wraps, skipping 0.
    for (uint64_t tries = 0; nextNumber == 0 || findWindow(nextNumber) || reservedNumbers.contains(nextNumber);
         ++tries) {
      if (tries > uint64_t(UINT32_MAX)) return 0;
      ++nextNumber;
    }
    window.number = nextNumber++;
  } else if (findWindow(window.number)) {
    return 0;
  } else if (window.number >= nextNumber && window.number != UINT32_MAX) {
    nextNumber = window.number + 1;
  }
  window.appHidden = owner && owner->hidden;
  WindowRecord record;
  record.missing = entryKeyMask(window.missingKeys);
  record.wrongType = entryKeyMask(window.wrongTypeKeys);
  record.window = std::move(window);
  const int64_t level = record.window.level;
  const WindowID number = record.window.number;
  insertAt(atBack ? bandEnd(level) : bandFront(level), std::move(record));
  return number;
}

bool World::closeWindow(WindowID number) {
  ptrdiff_t i = indexOf(number);
  if (i < 0) return false;
  windows.erase(windows.begin() + i);
  return true;
}

bool World::setLevel(WindowID number, int64_t level) {
  ptrdiff_t i = indexOf(number);
  if (i < 0) return false;
  if (windows[size_t(i)].window.level == level) return true;
  WindowRecord record = std::move(windows[size_t(i)]);
  windows.erase(windows.begin() + i);
  record.window.level = level;
  insertAt(bandFront(level), std::move(record));
  return true;
}

bool World::orderWindow(WindowID number, bool above, WindowID relativeTo) {
  ptrdiff_t i = indexOf(number);
  if (i < 0) return false;
  if (relativeTo == number) return true;
  WindowRecord record = std::move(windows[size_t(i)]);
  windows.erase(windows.begin() + i);
  const int64_t level = record.window.level;
  ptrdiff_t j = relativeTo == 0 ? -1 : indexOf(relativeTo);
  size_t position;
  if (j >= 0 && windows[size_t(j)].window.level == level) {
    position = above ? size_t(j) : size_t(j) + 1;
  } else {
    position = above ? bandFront(level) : bandEnd(level);
  }
  insertAt(position, std::move(record));
  return true;
}

void World::copyWindowInfo(uint32_t options, WindowID relativeTo, std::vector<WindowListEntry>& out,
                           double now) const {
  std::optional<size_t> relativeIndex;
  if (ptrdiff_t i = relativeTo == 0 ? -1 : indexOf(relativeTo); i >= 0) relativeIndex = size_t(i);
  const WindowListSelection selection(options, relativeTo, relativeIndex);
  if (selection.none()) return;

  out.reserve(out.size() + windows.size());
  for (size_t i = 0; i < windows.size(); ++i) {
    const WindowRecord& record = windows[i];
    if (!selection.picks(i, record.isVisible(), record.isDesktopElement())) continue;

    const SimWindow& w = record.window;
    const SimApp* owner = findApp(w.ownerPID);
    auto has = [&](EntryKey key) { return !(record.missing & bit(key)); };
    auto spoiled = [&](EntryKey key) { return (record.wrongType & bit(key)) != 0; };
    // A spoiled value of a non-string key is the value written as a string; a spoiled string key
    // carries a number.
    auto integer = [&](EntryKey key, int64_t value) -> WindowListField {
      if (!has(key)) return std::nullopt;
      if (spoiled(key)) return WindowListValue(std::to_string(value));
      return WindowListValue(value);
    };

    WindowListEntry& e = out.emplace_back();
    e.number = integer(EntryKey::number, w.number);
    e.layer = integer(EntryKey::layer, w.level);
    e.ownerPID = integer(EntryKey::ownerPID, w.ownerPID);
    e.sharingState = integer(EntryKey::sharingState, static_cast<int64_t>(w.sharingState));
    if (has(EntryKey::ownerName) && owner && owner->name) {
      e.ownerName = spoiled(EntryKey::ownerName) ? WindowListValue(int64_t(0)) : WindowListValue(*owner->name);
    }
    if (has(EntryKey::alpha)) {
      e.alpha = spoiled(EntryKey::alpha) ? WindowListValue(std::to_string(w.alpha)) : WindowListValue(w.alpha);
    }
    if (has(EntryKey::bounds)) {
      const Rect bounds = record.boundsAsOf(now - motion.windowListLatency);
      e.bounds = spoiled(EntryKey::bounds) ? WindowListValue(describe(bounds)) : WindowListValue(bounds);
    }
    if (has(EntryKey::name) && w.title.kind != SimTitle::Kind::missing) {
      bool wrong = spoiled(EntryKey::name) || w.title.kind == SimTitle::Kind::wrongType;
      e.name = wrong ? WindowListValue(int64_t(0)) : WindowListValue(w.title.text);
    }
    if (has(EntryKey::isOnscreen)) {
      e.isOnscreen = spoiled(EntryKey::isOnscreen) ? WindowListValue(std::string(record.isVisible() ? "1" : "0"))
                                                   : WindowListValue(record.isVisible());
    }
  }
}

}  // namespace corvane::sim
