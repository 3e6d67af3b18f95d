#include "windows/accessibility_window.h"

#include <cmath>

#include "windows/window_tracker.h"

namespace corvane::AccessibilityWindow {

std::vector<pid_t> candidatePIDs(const WindowTracker& tracker, pid_t ownerPID) {
  std::vector<pid_t> pids{ownerPID};
  for (pid_t pid : tracker.familyOf(ownerPID)) {
    if (pid != ownerPID) pids.push_back(pid);
  }
  return pids;
}

void enableManualAccessibility(Accessibility& accessibility, pid_t pid) {
  accessibility.setAttributeValue(accessibility.applicationElement(pid), AXAttribute::manualAccessibility, true);
}

std::optional<Rect> frame(Accessibility& accessibility, AXUIElement element, double mainDisplayHeight) {
  auto position = axPoint(accessibility.copyAttributeValue(element, AXAttribute::position));
  if (!position) return std::nullopt;
  auto size = axSize(accessibility.copyAttributeValue(element, AXAttribute::size));
  if (!size) return std::nullopt;
  return Rect(*position, *size).flipped(mainDisplayHeight);
}

std::optional<AXUIElement> find(Accessibility& accessibility, const std::vector<pid_t>& candidatePIDs,
                                int64_t windowNumber, const Rect& target, double mainDisplayHeight) {
  for (pid_t pid : candidatePIDs) {
    auto windows = axElements(accessibility.copyAttributeValue(accessibility.applicationElement(pid), AXAttribute::windows));
    if (!windows) continue;
    for (AXUIElement window : *windows) {
      if (axString(accessibility.copyAttributeValue(window, AXAttribute::role)) != AXRole::window) continue;
      if (axInteger(accessibility.copyAttributeValue(window, AXAttribute::windowNumber)) == windowNumber) return window;
      auto f = frame(accessibility, window, mainDisplayHeight);
      if (!f || !(f->width() > 1) || !(f->height() > 1)) continue;
      if (std::fabs(f->minX() - target.minX()) < frameTolerance && std::fabs(f->minY() - target.minY()) < frameTolerance &&
          std::fabs(f->width() - target.width()) < frameTolerance &&
          std::fabs(f->height() - target.height()) < frameTolerance) {
        return window;
      }
    }
  }
  return std::nullopt;
}

}  // namespace corvane::AccessibilityWindow
