#include "clearview/window_server_capture_exclusion.h"

#include <limits>

namespace corvane {

std::optional<WindowServerStatus> WindowServerCaptureExclusion::apply(int64_t toWindowNumber) {
  WindowServerPrivate* server = privateServer_;
  if (!server || !server->has(PrivateEntryPoint::mainConnectionID) ||
      !server->has(PrivateEntryPoint::setWindowTags)) {
    return std::nullopt;
  }
  if (toWindowNumber < 1 || toWindowNumber > int64_t(std::numeric_limits<WindowID>::max())) {
    return WindowServerError::illegalArgument;
  }
  auto connection = server->mainConnectionID();
  if (!connection) return std::nullopt;
  return server->setWindowTags(*connection, WindowID(toWindowNumber), WindowTag::captureExcluded,
                               WindowTag::wordBits);
}

}  // namespace corvane
