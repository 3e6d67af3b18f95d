#include "windows/title_bar_chrome.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "windows/accessibility_window.h"
#include "windows/window_tracker.h"

namespace corvane {

namespace {

std::unique_ptr<TitleBarChrome>& sharedSlot() {
  static std::unique_ptr<TitleBarChrome> instance;
  return instance;
}

bool isClusterRole(const std::optional<std::string>& role) {
  return role == AXRole::button || role == AXRole::checkBox || role == AXRole::menuButton || role == AXRole::image ||
         role == AXRole::staticText;
}

}  // namespace

TitleBarChrome::TitleBarChrome(const WindowTracker& tracker, Accessibility* accessibility, const Clock& clock)
    : tracker_(tracker), accessibility_(accessibility), clock_(clock) {}

TitleBarChrome& TitleBarChrome::shared() {
  auto& instance = sharedSlot();
  if (!instance) {
    std::fputs("Corvane: TitleBarChrome::shared() used before start-up installed it\n", stderr);
    std::abort();
  }
  return *instance;
}

bool TitleBarChrome::hasShared() { return sharedSlot() != nullptr; }

std::unique_ptr<TitleBarChrome> TitleBarChrome::installShared(std::unique_ptr<TitleBarChrome> chrome) {
  return std::exchange(sharedSlot(), std::move(chrome));
}

std::optional<double> TitleBarChrome::trailingClusterMinX(pid_t pid, int64_t windowNumber, const Rect& windowFrame) {
  const double now = clock_.mediaTime();
  if (auto it = cache_.find(windowNumber); it != cache_.end() && it->second.expiresAt > now) return it->second.minX;
  auto minX = measure(pid, windowNumber, windowFrame);
  if (cache_.size() >= cachePruneSize) {
    // Entries of closed windows would otherwise pile up.
    std::erase_if(cache_, [now](const auto& entry) { return entry.second.expiresAt <= now; });
  }
  cache_[windowNumber] = Entry{minX, now + cacheTTL};
  return minX;
}

std::optional<double> TitleBarChrome::measure(pid_t pid, int64_t windowNumber, const Rect& windowFrame) {
  if (!accessibility_ || !accessibility_->isProcessTrusted()) return std::nullopt;
  const auto candidates = AccessibilityWindow::candidatePIDs(tracker_, pid);
  for (pid_t candidate : candidates) AccessibilityWindow::enableManualAccessibility(*accessibility_, candidate);
  const double height = tracker_.mainDisplayHeight();
  auto window = AccessibilityWindow::find(*accessibility_, candidates, windowNumber, windowFrame, height);
  if (!window) return std::nullopt;
  const Rect frame = windowFrame.standardized();
  const Rect band(frame.minX(), frame.maxY() - bandHeight, frame.width(), bandHeight);
  const double threshold = frame.minX() + thresholdFraction * frame.width();
  std::optional<double> minX;
  int visited = 0;
  visit(*window, 0, visited, band, threshold, height, minX);
  return minX;
}

void TitleBarChrome::visit(AXUIElement element, int depth, int& visited, const Rect& band, double threshold,
                           double height, std::optional<double>& minX) {
  if (visited >= walkElementLimit || depth > walkDepthLimit) return;
  ++visited;
  const auto role = axString(accessibility_->copyAttributeValue(element, AXAttribute::role));
  if (role == AXRole::menuBar || role == AXRole::menu) return;
  if (isClusterRole(role)) {
    auto f = AccessibilityWindow::frame(*accessibility_, element, height);
    if (f && !band.intersection(*f).isNull() && f->midX() >= threshold && f->width() < maxControlWidth &&
        f->height() < maxControlHeight) {
      minX = std::min(minX.value_or(f->minX()), f->minX());
    }
  }
  if (depth >= walkDepthLimit) return;
  auto children = axElements(accessibility_->copyAttributeValue(element, AXAttribute::children));
  if (!children) return;
  for (AXUIElement child : *children) {
    if (visited >= walkElementLimit) return;
    visit(child, depth + 1, visited, band, threshold, height, minX);
  }
}

}  // namespace corvane
