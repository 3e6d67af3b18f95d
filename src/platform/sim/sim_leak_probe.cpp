#include "platform/sim/sim_leak_probe.h"

#include "platform/sim/sim_desktop.h"

namespace corvane::sim {

uint64_t LeakReport::total() const {
  uint64_t sum = 0;
  for (const auto& [window, pixels] : leakedPixels) sum += pixels;
  return sum;
}

PixelBuffer LeakReport::highlighted() const {
  PixelBuffer picture = shareView;
  for (int y = 0; y < picture.height && y < visibility.height; ++y) {
    for (int x = 0; x < picture.width && x < visibility.width; ++x) {
      if (visibility.visibleAt(x, y) == 0) continue;
      uint8_t* p = picture.pixel(x, y);
      p[0] = 0;
      p[1] = 0;
      p[2] = 255;
      p[3] = 255;
    }
  }
  return picture;
}

LeakReport probeLeaks(const SimDesktop& desktop, const std::set<WindowID>& mustNotBeSeen) {
  LeakReport report;
  report.visibility.watched = mustNotBeSeen;
  report.shareView = desktop.renderShareView(report.visibility);
  for (WindowID window : mustNotBeSeen) report.leakedPixels[window] = 0;
  const VisibilityMap& map = report.visibility;
  for (int y = 0; y < map.height; ++y) {
    if (!map.rowHasOwner[size_t(y)]) continue;
    for (int x = 0; x < map.width; ++x) {
      if (WindowID window = map.visibleAt(x, y)) ++report.leakedPixels[window];
    }
  }
  return report;
}

}  // namespace corvane::sim
