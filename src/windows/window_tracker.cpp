#include "windows/window_tracker.h"

#include <sstream>

namespace corvane {

std::string describe(const WindowInfo& info) {
  std::ostringstream os;
  os << "WindowInfo(windowNumber: " << info.windowNumber << ", ownerPID: " << info.ownerPID
     << ", frame: " << info.frame << ", stackingWindowNumber: " << info.stackingWindowNumber
     << ", title: ";
  if (info.title) {
    os << '"' << *info.title << '"';
  } else {
    os << "nil";
  }
  os << ")";
  return os.str();
}

WindowListRecord WindowListRecord::read(const WindowListEntry& entry) {
  WindowListRecord r;
  r.number = asInteger(entry.number);
  r.ownerPID = asInt32(entry.ownerPID);
  r.layer = asInteger(entry.layer);
  r.alpha = asDouble(entry.alpha);
  r.bounds = asBounds(entry.bounds);
  if (auto title = asString(entry.name); title && !title->empty()) r.title = std::move(title);
  return r;
}

namespace WindowFilter {
bool layerZero(const WindowListRecord& r) { return r.layer && *r.layer == 0; }
bool visibleAlpha(const WindowListRecord& r) { return !r.alpha || *r.alpha > 0.01; }
bool nonDegenerate(const Rect& b) { return b.width() > 1 && b.height() > 1; }
bool substantial(const Rect& b) { return b.width() > 80 && b.height() > 80; }
bool barShaped(const Rect& b) {
  double w = b.width();
  double h = b.height();
  return w >= 240 && h >= 28 && h <= 140 && 3 * h < w;
}
}  // namespace WindowFilter

WindowTracker::WindowTracker(WindowServer& windowServer, pid_t ownPID, std::function<pid_t()> mirrorHostPID)
    : windowServer_(windowServer), ownPID_(ownPID), mirrorHostPID_(std::move(mirrorHostPID)) {}

pid_t WindowTracker::mirrorHostPID() const { return mirrorHostPID_ ? mirrorHostPID_() : 0; }

bool WindowTracker::isOurs(pid_t ownerPID) const { return ownerPID == ownPID_ || ownerPID == mirrorHostPID(); }

std::vector<WindowListRecord> WindowTracker::readList(uint32_t options) const {
  std::vector<WindowListRecord> records;
  auto list = windowServer_.copyWindowInfo(options, 0);
  if (!list) return records;
  records.reserve(list->size());
  for (const auto& entry : *list) records.push_back(WindowListRecord::read(entry));
  return records;
}

double WindowTracker::mainDisplayHeight() const {
  Rect main = windowServer_.displayBounds(windowServer_.mainDisplayID());
  return main.isNull() ? 0 : main.height();
}

std::vector<WindowInfo> WindowTracker::onScreenWindows(const std::set<pid_t>& ownedBy, bool layerZeroOnly) const {
  std::vector<WindowInfo> result;
  if (ownedBy.empty()) return result;
  auto list = windowServer_.copyWindowInfo(kListOptions, 0);
  if (!list) return result;
  const double height = mainDisplayHeight();
  for (const auto& entry : *list) {
    auto pid = asInt32(entry.ownerPID);
    if (!pid || !ownedBy.contains(*pid)) continue;
    auto layer = asInteger(entry.layer);
    if (!layer || (layerZeroOnly && *layer != 0)) continue;
    auto number = asInteger(entry.number);
    if (!number) continue;
    if (auto alpha = asDouble(entry.alpha); alpha && *alpha <= 0.01) continue;
    auto bounds = asBounds(entry.bounds);
    if (!bounds || !WindowFilter::nonDegenerate(*bounds)) continue;
    WindowInfo info;
    info.windowNumber = *number;
    info.ownerPID = *pid;
    info.frame = screenFrame(*bounds, height);
    info.stackingWindowNumber = *number;
    if (auto title = asString(entry.name); title && !title->empty()) info.title = std::move(title);
    result.push_back(std::move(info));
  }
  return result;
}

}  // namespace corvane
