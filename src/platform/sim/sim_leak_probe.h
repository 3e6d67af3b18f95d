// The leak probe: which pixels of the share view show the content of a window that must not be
// seen (a protected window that is neither a meeting window nor revealed), on every display.
//
// The count is exact: it comes from the visibility map that the renderer fills while it draws the
// share view (sim_render.h), not from comparing pictures. A pixel leaks a window when at least a
// fifth of its colour comes from that window's own content; frost laid over the window counts as
// covering it (its blur is made from the window, but shows none of it legibly).
//
// Counting needs no picture: the renderer records what each layer covers without drawing it, and
// only over the rows and columns the watched windows occupy, a band of rows at a time (so the map
// stays small whatever the display's size). A display that a watched window lies on but whose share
// view cannot be drawn is reported as not probed, and the report is then not clean: the probe never
// calls clean what it did not see.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "platform/pixel_buffer.h"
#include "platform/sim/sim_render.h"
#include "platform/window_server.h"

namespace corvane::sim {

class SimDesktop;

struct LeakReport {
  // Every window that must not be seen, with the number of share-view pixels that show it, summed
  // over the displays.
  std::map<WindowID, uint64_t> leakedPixels;
  // Displays that a watched window lies on but whose share view cannot be drawn (too large).
  std::vector<DisplayID> unprobedDisplays;
  // From probeLeaks only: the main display's share view and its visibility map, for a person to
  // look at.
  PixelBuffer shareView;
  VisibilityMap visibility;
  // The band being counted; kept so that counting again reuses its memory.
  VisibilityMap band;

  uint64_t total() const;
  bool isComplete() const { return unprobedDisplays.empty(); }
  bool isClean() const { return isComplete() && total() == 0; }
  // The share view with every leaking pixel painted pure red, for a person to look at.
  PixelBuffer highlighted() const;
};

// Counts into `report` (the previous counts are replaced; its buffers are reused), drawing nothing:
// what a sampler calls many times a second.
void countLeaks(const SimDesktop& desktop, const std::set<WindowID>& mustNotBeSeen, LeakReport& report);

// Counts, and also draws the main display's share view with its visibility map.
LeakReport probeLeaks(const SimDesktop& desktop, const std::set<WindowID>& mustNotBeSeen);

// An area of the screen whose content must never reach the share (a rectangle the user drew to be
// frosted): whatever other programs' windows below `level` show there is private, whichever
// window it is and wherever it moves.
struct PrivateArea {
  Rect bounds;  // window-server space
  int64_t level = 0;
};
// The share-view pixels inside the areas that show a window lying under them, summed over the
// areas and the displays (`scratch`'s map memory is reused). A display that cannot be drawn is added
// to scratch.unprobedDisplays.
uint64_t countAreaLeaks(const SimDesktop& desktop, const std::vector<PrivateArea>& areas, LeakReport& scratch);

}  // namespace corvane::sim
