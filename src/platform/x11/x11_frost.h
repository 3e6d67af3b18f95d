// Pixel work for the program's own windows on X11: the frost (a strong blur of the covered
// window's own pixels), colour fills, and the window shape as rectangles.
//
// Images are 8-bit BGRA with premultiplied alpha, rows top to bottom (PixelBuffer).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/pixel_buffer.h"

namespace corvane::x11 {

struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// A blur of `source` by about `radius` pixels: the image is averaged down in cells, box-blurred
// twice and scaled back up bilinearly, so its cost hardly grows with the radius. The result has
// the source's size and is opaque.
PixelBuffer frost(const PixelBuffer& source, int radius);

// Draws `image` (same size as the canvas) over the canvas inside `area`, at `opacity` (0...1).
void drawOver(PixelBuffer& canvas, const PixelBuffer& image, PixelRect area, double opacity);
// Fills `area` of the canvas with a colour (components 0...1, not premultiplied) over what is there.
void fillOver(PixelBuffer& canvas, PixelRect area, double red, double green, double blue, double alpha);

// Fills the rounded rectangle `area` (corner `radius` pixels) with a colour over what is there; with
// `lineWidth` > 0 only its outline of that width. A pixel counts when its centre lies inside.
void fillRoundedOver(PixelBuffer& canvas, PixelRect area, double radius, double red, double green, double blue,
                     double alpha, double lineWidth = 0);
// Blends a colour over one pixel of the canvas (outside it: nothing).
void blendOver(PixelBuffer& canvas, int x, int y, double red, double green, double blue, double alpha);

// The covered area of a width x height window as few rectangles: `covers(x, y)` is asked for every
// pixel centre (x + 0.5, y + 0.5, y down); runs of equal rows merge into one rectangle.
std::vector<PixelRect> shapeRectangles(int width, int height, const std::function<bool(double x, double y)>& covers);

}  // namespace corvane::x11
