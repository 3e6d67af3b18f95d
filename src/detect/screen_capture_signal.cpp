#include "detect/screen_capture_signal.h"

namespace corvane {

ScreenCaptureSignal::ScreenCaptureSignal(WindowServerPrivate* privateServer, WindowServer& windowServer)
    : privateServer_(privateServer), windowServer_(windowServer) {}

bool ScreenCaptureSignal::hasWatcherPresent() {
  if (!watcherResolved_) {
    watcherResolved_ = privateServer_ && privateServer_->has(PrivateEntryPoint::isScreenWatcherPresent);
  }
  return *watcherResolved_;
}

std::optional<bool> ScreenCaptureSignal::watcherPresent() {
  if (!hasWatcherPresent()) return std::nullopt;
  return privateServer_->isScreenWatcherPresent();
}

bool ScreenCaptureSignal::systemPickerOpen() {
  return systemPickerOpen(windowServer_.copyWindowInfo(WindowListOption::onScreenOnly, 0));
}

bool ScreenCaptureSignal::systemPickerOpen(const std::optional<std::vector<WindowListEntry>>& onScreenList) {
  if (!onScreenList) return false;
  for (const auto& entry : *onScreenList) {
    auto owner = asString(entry.ownerName);
    auto title = asString(entry.name);
    if (owner && title && *owner == "Control Center" && title->starts_with("SharedContentPicker")) return true;
  }
  return false;
}

}  // namespace corvane
