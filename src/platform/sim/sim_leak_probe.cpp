#include "platform/sim/sim_leak_probe.h"

#include <algorithm>
#include <utility>
#include <cmath>

#include "platform/sim/sim_desktop.h"

namespace corvane::sim {

namespace {

// Map entries per band of rows: 512 KiB of map, which stays in cache.
constexpr int64_t kBandEntries = int64_t(1) << 16;

// The pixels of a display's picture (`picture` pixels in size) that a rectangle of window-server
// space may touch (drawing rounds edges to whole pixels, so the area is rounded outwards).
PixelArea areaOf(const Rect& bounds, const SimDisplay& display, Size picture) {
  auto clamped = [](double v, double hi) { return int(std::clamp(v, 0.0, hi)); };
  const double x = bounds.minX() - display.frame.minX();
  const double y = bounds.minY() - display.frame.minY();
  return {clamped(std::floor(x), picture.width), clamped(std::floor(y), picture.height),
          clamped(std::ceil(x + bounds.width()), picture.width), clamped(std::ceil(y + bounds.height()), picture.height)};
}

// Whether the share can show any of the window.
bool mayShow(const SimWindow& w) {
  return w.onScreen && !w.minimised && !w.captureExcluded && w.sharingState != WindowSharingState::none &&
         w.alpha > 0 && !w.bounds.isNull();
}

}  // namespace

uint64_t LeakReport::total() const {
  uint64_t sum = 0;
  for (const auto& [window, pixels] : leakedPixels) sum += pixels;
  return sum;
}

PixelBuffer LeakReport::highlighted() const {
  PixelBuffer picture = shareView;
  const PixelArea area = visibility.area();
  for (int y = std::max(area.y0, 0); y < std::min(area.y1, picture.height); ++y) {
    for (int x = std::max(area.x0, 0); x < std::min(area.x1, picture.width); ++x) {
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

void countLeaks(const SimDesktop& desktop, const std::set<WindowID>& mustNotBeSeen, LeakReport& report) {
  report.leakedPixels.clear();
  report.unprobedDisplays.clear();
  for (WindowID window : mustNotBeSeen) report.leakedPixels[window] = 0;
  std::vector<std::pair<WindowID, Rect>> shown;
  for (WindowID window : mustNotBeSeen) {
    if (auto w = desktop.window(window); w && mayShow(*w)) shown.emplace_back(window, w->bounds.standardized());
  }
  if (shown.empty()) return;

  // A window's content shows only inside its own bounds, so each watched window is counted over
  // its own area alone (with every watched window recorded, so that a front one takes the pixels
  // it hides from a back one).
  VisibilityMap& map = report.band;
  if (map.watched != mustNotBeSeen) map.watched = mustNotBeSeen;
  for (const SimDisplay& display : desktop.displays()) {
    const Size picture = pictureSize(display.frame.size);
    for (const auto& [window, bounds] : shown) {
      if (!bounds.intersects(display.frame)) continue;
      if (!(picture.width > 0)) {
        report.unprobedDisplays.push_back(display.id);
        break;
      }
      const PixelArea area = areaOf(bounds, display, picture);
      if (area.isEmpty()) continue;
      uint64_t& count = report.leakedPixels[window];
      const int rowsPerBand = int(std::max<int64_t>(1, kBandEntries / area.width()));
      for (int top = area.y0; top < area.y1; top += rowsPerBand) {
        map.reset(PixelArea{area.x0, top, area.x1, std::min(area.y1, top + rowsPerBand)});
        if (!desktop.recordShareVisibility(display.id, map)) {
          report.unprobedDisplays.push_back(display.id);
          break;
        }
        for (int r = 0; r < map.height; ++r) {
          if (!map.rowHasOwner[size_t(r)]) continue;
          const size_t begin = size_t(r) * size_t(map.width);
          const float* share = map.share.data() + begin;
          const WindowID* owner = map.owner.data() + begin;
          uint64_t n = 0;
          for (int x = 0; x < map.width; ++x) {
            n += uint64_t((share[x] >= VisibilityMap::visibleShare) & (owner[x] == window));
          }
          count += n;
        }
      }
      if (!report.unprobedDisplays.empty() && report.unprobedDisplays.back() == display.id) break;
    }
  }
}

uint64_t countAreaLeaks(const SimDesktop& desktop, const std::vector<PrivateArea>& areas, LeakReport& scratch) {
  scratch.unprobedDisplays.clear();
  uint64_t leaked = 0;
  VisibilityMap& map = scratch.band;
  for (const PrivateArea& privateArea : areas) {
    const Rect bounds = privateArea.bounds.standardized();
    if (bounds.isNull() || bounds.isEmpty()) continue;
    // Every window of another program that lies under the area: any of them may show there.
    std::set<WindowID> under;
    for (const SimWindow& w : desktop.windows()) {
      if (w.ownerPID != desktop.selfPID() && w.level < privateArea.level && mayShow(w) && w.bounds.intersects(bounds)) {
        under.insert(w.number);
      }
    }
    if (under.empty()) continue;
    if (map.watched != under) map.watched = std::move(under);
    for (const SimDisplay& display : desktop.displays()) {
      if (!bounds.intersects(display.frame)) continue;
      const Size picture = pictureSize(display.frame.size);
      if (!(picture.width > 0)) {
        scratch.unprobedDisplays.push_back(display.id);
        continue;
      }
      // The pixels whose centres lie in the area (as a frost drawn over exactly the area covers).
      auto pixel = [](double edge, double hi) { return int(std::clamp(double(firstPixelAtOrAfter(edge)), 0.0, hi)); };
      const double x = bounds.minX() - display.frame.minX();
      const double y = bounds.minY() - display.frame.minY();
      const PixelArea area{pixel(x, picture.width), pixel(y, picture.height), pixel(x + bounds.width(), picture.width),
                           pixel(y + bounds.height(), picture.height)};
      if (area.isEmpty()) continue;
      const int rowsPerBand = int(std::max<int64_t>(1, kBandEntries / area.width()));
      for (int top = area.y0; top < area.y1; top += rowsPerBand) {
        map.reset(PixelArea{area.x0, top, area.x1, std::min(area.y1, top + rowsPerBand)});
        if (!desktop.recordShareVisibility(display.id, map)) {
          scratch.unprobedDisplays.push_back(display.id);
          break;
        }
        for (int y = map.y0; y < map.y0 + map.height; ++y) {
          for (int x = map.x0; x < map.x0 + map.width; ++x) leaked += map.visibleAt(x, y) != 0;
        }
      }
    }
  }
  return leaked;
}

LeakReport probeLeaks(const SimDesktop& desktop, const std::set<WindowID>& mustNotBeSeen) {
  LeakReport report;
  countLeaks(desktop, mustNotBeSeen, report);
  report.visibility.watched = mustNotBeSeen;
  report.shareView = desktop.renderShareView(report.visibility);
  return report;
}

}  // namespace corvane::sim
