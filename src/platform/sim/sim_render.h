// Drawing the simulated desktop: window content and the compositor that lays windows over the
// desktop background, back to front, into a picture of one area of window-server space.
//
// Everything is a pure function of its inputs, so the same world gives the same bytes. Pixels are
// BGRA, premultiplied, one pixel per point.
#pragma once

#include <cstdint>

#include "base/geometry.h"
#include "platform/pixel_buffer.h"
#include "platform/window_server.h"

namespace corvane::sim {

// The largest picture side the simulated desktop draws; larger requests are refused.
constexpr double kMaxPictureSide = 32768;

// A picture of `size` points rounded to whole pixels; empty when it is not positive or too large.
PixelBuffer makePicture(Size size);

class Compositor {
 public:
  // Draws into `target`, whose top-left pixel shows the point `origin` of window-server space.
  Compositor(PixelBuffer& target, Point origin) : target_(target), origin_(origin) {}

  // The desktop background: a vertical gradient over the whole target.
  void fillBackground();
  // A window's content (the colour `rgb` = 0xRRGGBB with a darker label band at the top and
  // lighter text-like stripes) at `bounds`, blended over what is there with `alpha`. The stripes'
  // lengths depend on `number`, so windows of one application still differ.
  void drawWindow(WindowID number, const Rect& bounds, uint32_t rgb, double alpha);

 private:
  PixelBuffer& target_;
  Point origin_;
};

}  // namespace corvane::sim
