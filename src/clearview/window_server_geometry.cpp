#include "clearview/window_server_geometry.h"

#include <limits>

namespace corvane {

namespace {

// A window number the window server can take: 1 up to the largest 32-bit window id. Larger
// numbers are not cut down to 32 bits, which would name some other window.
std::optional<WindowID> windowID(int64_t number) {
  if (number < 1 || number > int64_t(std::numeric_limits<WindowID>::max())) return std::nullopt;
  return WindowID(number);
}

}  // namespace

WindowServerGeometry::WindowServerGeometry(WindowServerPrivate* privateServer, WindowServer& windowServer)
    : privateServer_(privateServer), windowServer_(windowServer) {}

const WindowServerGeometry::Resolved& WindowServerGeometry::resolved() {
  std::call_once(once_, [this] {
    WindowServerPrivate* server = privateServer_;
    if (!server) return;
    resolved_.getWindowBounds = server->has(PrivateEntryPoint::getWindowBounds);
    resolved_.moveWindow = server->has(PrivateEntryPoint::moveWindow);
    resolved_.mainConnection = server->has(PrivateEntryPoint::mainConnectionID);
    if (!resolved_.mainConnection) return;
    if (server->has(PrivateEntryPoint::newConnection)) {
      auto made = server->newConnection();
      if (made && made->status == WindowServerError::success && made->connection != 0) {
        resolved_.queryConnection = made->connection;
        return;
      }
    }
    resolved_.queryConnection = server->mainConnectionID();
  });
  return resolved_;
}

double WindowServerGeometry::mainDisplayHeight() {
  const Rect main = windowServer_.displayBounds(windowServer_.mainDisplayID());
  return main.isNull() ? 0 : main.height();
}

bool WindowServerGeometry::canQueryBounds() {
  const Resolved& r = resolved();
  return r.queryConnection && r.getWindowBounds;
}

bool WindowServerGeometry::canMove() {
  const Resolved& r = resolved();
  return r.mainConnection && r.moveWindow;
}

std::optional<Rect> WindowServerGeometry::bounds(int64_t ofWindowNumber) {
  auto window = windowID(ofWindowNumber);
  if (!window || !canQueryBounds()) return std::nullopt;
  auto answer = privateServer_->getWindowBounds(*resolved().queryConnection, *window);
  if (!answer || answer->status != WindowServerError::success) return std::nullopt;
  const Rect r = answer->bounds.standardized();
  if (r.isNull() || !(r.width() > 1 && r.height() > 1)) return std::nullopt;
  return Rect(r.minX(), mainDisplayHeight() - r.maxY(), r.width(), r.height());
}

bool WindowServerGeometry::move(int64_t windowNumber, Point toOrigin, double height) {
  auto window = windowID(windowNumber);
  if (!window || !canMove()) return false;
  auto connection = privateServer_->mainConnectionID();
  if (!connection) return false;
  const Point topLeft{toOrigin.x, mainDisplayHeight() - (toOrigin.y + height)};
  auto status = privateServer_->moveWindow(*connection, *window, topLeft);
  return status && *status == WindowServerError::success;
}

}  // namespace corvane
