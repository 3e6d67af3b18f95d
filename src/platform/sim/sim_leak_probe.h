// The leak probe: which pixels of the share view show the content of a window that must not be
// seen (a protected window that is neither a meeting window nor revealed).
//
// The count is exact: it comes from the visibility map that the renderer fills while it draws the
// share view (sim_render.h), not from comparing pictures. A pixel leaks a window when at least a
// fifth of its colour comes from that window's own content; frost laid over the window counts as
// covering it (its blur is made from the window, but shows none of it legibly).
#pragma once

#include <cstdint>
#include <map>
#include <set>

#include "platform/pixel_buffer.h"
#include "platform/sim/sim_render.h"
#include "platform/window_server.h"

namespace corvane::sim {

class SimDesktop;

struct LeakReport {
  // Every window that must not be seen, with the number of share-view pixels that show it.
  std::map<WindowID, uint64_t> leakedPixels;
  // The share view that was probed, and its visibility map.
  PixelBuffer shareView;
  VisibilityMap visibility;

  uint64_t total() const;
  bool isClean() const { return total() == 0; }
  // The share view with every leaking pixel painted pure red, for a person to look at.
  PixelBuffer highlighted() const;
};

LeakReport probeLeaks(const SimDesktop& desktop, const std::set<WindowID>& mustNotBeSeen);

}  // namespace corvane::sim
