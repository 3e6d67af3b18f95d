// A simulated desktop with the window tracker and the meeting-window classifier over it, and
// helpers to describe conferencing windows and their accessibility trees.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_accessibility.h"
#include "platform/sim/sim_desktop.h"
#include "windows/meeting_window_classifier.h"
#include "windows/window_tracker.h"

namespace corvane::hubtest {

inline const std::string kTeams = "com.microsoft.teams2";
inline const std::string kDiscord = "com.hnc.Discord";

inline sim::SimAXElement axElement(std::string role, std::string title = {}, std::vector<sim::SimAXElement> children = {}) {
  sim::SimAXElement e;
  e.role = std::move(role);
  if (!title.empty()) e.title = std::move(title);
  e.children = std::move(children);
  return e;
}
inline sim::SimAXElement axButton(std::string title) { return axElement("AXButton", std::move(title)); }
inline sim::SimAXElement axGroup(std::vector<sim::SimAXElement> children) {
  return axElement("AXGroup", {}, std::move(children));
}

class HubDesktop : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  sim::SimAccessibility& ax = desktop.accessibility();
  WindowTracker tracker{desktop.platform()};
  MeetingWindowClassifier classifier{tracker, &ax, dispatcher};

  void SetUp() override { tracker.setClassifier(&classifier); }

  pid_t launch(pid_t pid, std::optional<std::string> bundleID, std::string name) {
    return desktop.launchApp({pid, std::move(bundleID), std::move(name), ActivationPolicy::regular, 0x445566, false});
  }
  // Bounds in window-server space; an empty title leaves the list's name out.
  WindowID addWindow(pid_t pid, Rect bounds, std::string title = {}, std::vector<sim::SimAXElement> tree = {}) {
    sim::SimWindow w;
    w.ownerPID = pid;
    w.bounds = bounds;
    if (!title.empty()) w.title = sim::SimTitle::of(std::move(title));
    WindowID number = desktop.addWindow(w);
    if (!tree.empty()) setTree(number, std::move(tree));
    return number;
  }
  void setTree(WindowID number, std::vector<sim::SimAXElement> tree) {
    sim::SimAXWindow w;
    w.children = std::move(tree);
    ax.setWindow(number, std::move(w));
  }
  // The window as the tracker reports it.
  WindowInfo info(WindowID number) {
    auto w = desktop.window(number);
    for (auto& i : tracker.onScreenWindows({w->ownerPID}, false)) {
      if (i.windowNumber == number) return i;
    }
    ADD_FAILURE() << "window " << number << " is not on screen";
    return {};
  }
  std::vector<int64_t> numbers(const std::vector<WindowInfo>& windows) {
    std::vector<int64_t> out;
    for (const auto& w : windows) out.push_back(w.windowNumber);
    return out;
  }
};

}  // namespace corvane::hubtest
