// Points, sizes and rectangles of doubles with the window system's semantics.
//
// A rectangle may be the null rectangle (what an empty intersection gives: no position at all) or
// the infinite rectangle (contains every point). Sizes may be negative on input; every operation
// works on the standardised form (non-negative size, origin moved accordingly).
//
// Two coordinate spaces meet in this code base: screen space (origin at the bottom-left of the main
// display, y up), in which window frames and screens are given, and window-server space (origin at
// the top-left of the main display, y down), in which the window list reports bounds. They convert
// with the main display's height H: y' = H - (y + height). The same formula goes both ways.
#pragma once

#include <iosfwd>
#include <string>

namespace corvane {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  Point origin;
  Size size;

  constexpr Rect() = default;
  constexpr Rect(double x, double y, double width, double height)
      : origin{x, y}, size{width, height} {}
  constexpr Rect(Point o, Size s) : origin(o), size(s) {}

  static Rect null();
  static Rect infinite();
  static Rect zero() { return {}; }

  bool isNull() const;
  bool isInfinite() const;
  // Null, or zero width or zero height.
  bool isEmpty() const;

  Rect standardized() const;
  // The smallest rectangle with integral origin and size that contains this one.
  Rect integral() const;
  // Each side moved inwards by dx (left and right) and dy (top and bottom); negative grows.
  // A result with a negative width or height is null.
  Rect insetBy(double dx, double dy) const;
  Rect offsetBy(double dx, double dy) const;

  // The overlap of two rectangles; null when they do not meet. Rectangles that only touch give a
  // rectangle of zero width or height along the shared edge.
  Rect intersection(const Rect& other) const;
  // The smallest rectangle containing both; the null rectangle is the identity.
  Rect unionWith(const Rect& other) const;
  // True when the overlap has a positive area.
  bool intersects(const Rect& other) const;
  // Min edges are inside, max edges outside.
  bool contains(Point p) const;
  bool contains(const Rect& other) const;

  double minX() const;
  double midX() const;
  double maxX() const;
  double minY() const;
  double midY() const;
  double maxY() const;
  double width() const;
  double height() const;

  // Window-server space <-> screen space for a main display of the given height.
  Rect flipped(double mainDisplayHeight) const;

  // Exact comparison of the standardised forms; all null rectangles are equal.
  friend bool operator==(const Rect& a, const Rect& b);
};

std::string describe(const Rect& r);
std::ostream& operator<<(std::ostream& os, const Rect& r);
std::ostream& operator<<(std::ostream& os, const Point& p);

}  // namespace corvane
