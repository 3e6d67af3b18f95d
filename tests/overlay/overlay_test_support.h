// A simulated desktop with the window tracker and an overlay manager over it, for the overlay
// manager's tests and the leak tests: applications, windows given by their screen-space frames,
// refreshes as the privacy controller runs them, and the stacking order to look at.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "overlay/overlay_manager.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_leak_probe.h"
#include "platform/sim/sim_ui.h"
#include "windows/window_tracker.h"

namespace corvane::overlaytest {

class OverlayDesktop : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  sim::SimUI& ui = desktop.ui();
  WindowTracker tracker{desktop.platform()};
  MemoryLog clearViewLog;
  std::vector<AppRef> protectedApps;
  std::unique_ptr<OverlayManager> manager;

  // A manager with the defaults; `configure` may add a mirror side, a follower, a dump directory.
  void makeManager(const std::function<void(OverlayManager::Dependencies&)>& configure = {}) {
    OverlayManager::Dependencies d(ui, tracker, desktop.workspace(), dispatcher.clock(), clearViewLog);
    if (configure) configure(d);
    manager = std::make_unique<OverlayManager>(std::move(d));
  }
  void TearDown() override { manager.reset(); }

  pid_t launch(pid_t pid, const std::string& bundleID, const std::string& name, uint32_t color,
               bool isProtected = false) {
    const pid_t launched = desktop.launchApp({pid, bundleID, name, ActivationPolicy::regular, color, false});
    if (isProtected) protectedApps.push_back({bundleID, name});
    return launched;
  }
  double mainHeight() const { return desktop.mainDisplayHeight(); }
  // Corners of the windows the tests add, as the platform rounds its windows.
  static constexpr double windowCornerRadius = 16;
  // A window in front of the others of its level, at a screen-space frame.
  WindowID addWindow(pid_t pid, Rect frame, int64_t level = 0, double cornerRadius = windowCornerRadius) {
    sim::SimWindow w;
    w.ownerPID = pid;
    w.level = level;
    w.cornerRadius = cornerRadius;
    w.bounds = frame.flipped(mainHeight());
    return desktop.addWindow(w);
  }
  void moveWindow(WindowID number, Rect frame) { desktop.setBounds(number, frame.flipped(mainHeight())); }

  std::vector<WindowInfo> protectedWindows() const { return tracker.protectedWindows(protectedApps); }
  // One refresh of the privacy controller, then the end of its turn (the commit of the content).
  void refresh() {
    manager->update(protectedWindows());
    dispatcher.runUntilIdle();
  }
  // Time passes, then a refresh.
  void tick(double seconds = 0.1) {
    dispatcher.advance(seconds);
    refresh();
  }

  OverlayWindow* overlayOf(WindowID number) const { return manager->overlay(number); }
  // Index in the window server's stacking order, front first; -1 when absent.
  ptrdiff_t stackIndex(int64_t number) const {
    const auto all = desktop.windows();
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].number == WindowID(number)) return ptrdiff_t(i);
    }
    return -1;
  }
  // The overlay stands directly in front of its window.
  bool directlyAbove(const OverlayWindow& overlay, WindowID source) const {
    return overlay.isVisible() && stackIndex(overlay.windowNumber()) + 1 == stackIndex(source);
  }

  // The protected windows that are not revealed (by window or by application).
  std::set<WindowID> mustNotBeSeen() const {
    std::set<WindowID> result;
    for (const WindowInfo& w : protectedWindows()) {
      if (manager && manager->revealedWindowNumbers().contains(w.windowNumber)) continue;
      bool revealedByApp = false;
      if (auto app = desktop.app(w.ownerPID); app && app->bundleID && manager) {
        for (const AppRef& ref : protectedApps) {
          if (ref.bundleID == *app->bundleID && manager->isAppRevealed(ref)) revealedByApp = true;
        }
      }
      if (!revealedByApp) result.insert(WindowID(w.windowNumber));
    }
    return result;
  }
  sim::LeakReport probe() const { return sim::probeLeaks(desktop, mustNotBeSeen()); }
  // The pixels a window draws on the main display when nothing covers it (its rounded shape).
  uint64_t drawnPixels(WindowID window) const {
    const auto w = desktop.window(window);
    if (!w) return 0;
    const Rect b = w->bounds;
    const int width = int(desktop.displays().front().frame.width());
    const int height = int(desktop.displays().front().frame.height());
    uint64_t count = 0;
    for (int y = std::max(0, int(b.minY())); y < std::min(height, int(b.maxY())); ++y) {
      const double inset = sim::roundedRowInset(b.minY(), b.maxY(), b.width(), w->cornerRadius, y);
      const int x0 = std::max(0, sim::firstPixelAtOrAfter(b.minX() + inset));
      const int x1 = std::min(width, sim::firstPixelAtOrAfter(b.maxX() - inset));
      if (x1 > x0) count += uint64_t(x1 - x0);
    }
    return count;
  }
  // Share-view pixels that show the window's own content (leaked or not).
  uint64_t visiblePixels(WindowID window) const { return sim::probeLeaks(desktop, {window}).leakedPixels.at(window); }
};

}  // namespace corvane::overlaytest
