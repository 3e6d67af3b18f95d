#include "detect/framebuffer_share.h"

#include "base/text.h"

namespace corvane {

FramebufferShare::FramebufferShare(WindowServer& windowServer, const Clock& clock)
    : windowServer_(windowServer), clock_(clock) {}

bool FramebufferShare::scan() { return scan(windowServer_.copyWindowInfo(WindowListOption::onScreenOnly, 0)); }

bool FramebufferShare::scan(const std::optional<std::vector<WindowListEntry>>& onScreenList) {
  if (!onScreenList) return false;
  for (const auto& entry : *onScreenList) {
    auto owner = asString(entry.ownerName);
    if (!owner) continue;
    if (*owner == "CptHost") {
      // Bounds that are missing or malformed count as empty: no height, so no share.
      auto bounds = asBounds(entry.bounds);
      if (bounds && bounds->width() >= 200 && bounds->height() >= 200) return true;
    } else if (*owner == "zoom.us") {
      const std::string title = text::lowercased(asString(entry.name).value_or(std::string()));
      if (title == "zoom share statusbar window" || title == "zoom share toolbar window" ||
          title.starts_with("select a window or an application")) {
        return true;
      }
    }
  }
  return false;
}

bool FramebufferShare::throttledScan() {
  const double now = clock_.mediaTime();
  if (!lastScanAt_ || now - *lastScanAt_ >= kThrottleInterval) return freshScan();
  return lastResult_;
}

bool FramebufferShare::freshScan() {
  lastScanAt_ = clock_.mediaTime();
  lastResult_ = scan();
  return lastResult_;
}

bool FramebufferShare::throttledScan(const std::optional<std::vector<WindowListEntry>>& onScreenList) {
  const double now = clock_.mediaTime();
  if (!lastScanAt_ || now - *lastScanAt_ >= kThrottleInterval) {
    lastScanAt_ = now;
    lastResult_ = scan(onScreenList);
  }
  return lastResult_;
}

}  // namespace corvane
