// Keeps a window out of every screen capture and share through the window server's tag word: the
// mirror host applies it to each plate and shows the plate only once the window server confirmed
// it.
//
// Threading: any thread.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/window_server_private.h"

namespace corvane {

class WindowServerCaptureExclusion {
 public:
  // `privateServer` may be null (no private interface on this platform).
  explicit WindowServerCaptureExclusion(WindowServerPrivate* privateServer) : privateServer_(privateServer) {}

  // Sets the capture-exclusion tag (bit 37 alone) on the window over the main connection and
  // returns the window server's status: 0 means the window is now left out of captures, anything
  // else that it is not. Nothing when the main connection or the tag entry point is missing.
  // A window number the window server cannot take (below 1, or beyond 32 bits) is refused with
  // an illegal-argument status without asking it.
  std::optional<WindowServerStatus> apply(int64_t toWindowNumber);

 private:
  WindowServerPrivate* privateServer_;
};

}  // namespace corvane
