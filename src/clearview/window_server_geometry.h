// Window bounds and window moves straight from the window server, without the application
// framework: the overlay manager reads a window's live frame while it is dragged, and the
// geometry followers move frost windows and mirror plates between refreshes.
//
// Bounds are queried on a connection of their own when the window server grants one (so that
// queries from the followers' queues do not contend with the main connection), otherwise on the
// main connection; that choice is made once, on first use. Without the private entry points there
// are no bounds and no moves.
//
// Threading: any thread. The entry points and the query connection are resolved once, on first
// use, whichever thread gets there first.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "base/geometry.h"
#include "platform/window_server.h"
#include "platform/window_server_private.h"

namespace corvane {

class WindowServerGeometry {
 public:
  // `privateServer` may be null (no private interface on this platform). `windowServer` gives the
  // main display's height for the conversions.
  WindowServerGeometry(WindowServerPrivate* privateServer, WindowServer& windowServer);
  WindowServerGeometry(const WindowServerGeometry&) = delete;
  WindowServerGeometry& operator=(const WindowServerGeometry&) = delete;

  // The window's bounds in screen space (origin bottom-left of the main display, y up). Nothing
  // for a window number below 1 (the window server is not asked), without a query connection or
  // the bounds entry point, on an error status, or for bounds not wider and higher than 1 point.
  std::optional<Rect> bounds(int64_t ofWindowNumber);

  // Moves one of this process's windows so that its frame, given by its bottom-left origin in
  // screen space and its height, lands there. True when the window server reports success.
  bool move(int64_t windowNumber, Point toOrigin, double height);

  // Whether bounds() and move() can work at all (the followers need both).
  bool canQueryBounds();
  bool canMove();

 private:
  struct Resolved {
    std::optional<WindowServerConnection> queryConnection;
    bool mainConnection = false;
    bool getWindowBounds = false;
    bool moveWindow = false;
  };
  const Resolved& resolved();
  double mainDisplayHeight();

  WindowServerPrivate* privateServer_;
  WindowServer& windowServer_;
  std::once_flag once_;
  Resolved resolved_;
};

}  // namespace corvane
