#include "base/geometry.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <ostream>
#include <sstream>

namespace corvane {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
// The infinite rectangle spans the whole range of doubles, centred on the origin.
constexpr double kInfiniteOrigin = -DBL_MAX / 2;
constexpr double kInfiniteSize = DBL_MAX;
}  // namespace

Rect Rect::null() { return Rect(kInf, kInf, 0, 0); }
Rect Rect::infinite() { return Rect(kInfiniteOrigin, kInfiniteOrigin, kInfiniteSize, kInfiniteSize); }

bool Rect::isNull() const { return std::isinf(origin.x) || std::isinf(origin.y) || std::isnan(origin.x) || std::isnan(origin.y); }

bool Rect::isInfinite() const {
  Rect s = standardized();
  return !isNull() && s.origin.x <= kInfiniteOrigin && s.origin.y <= kInfiniteOrigin &&
         s.size.width >= kInfiniteSize && s.size.height >= kInfiniteSize;
}

bool Rect::isEmpty() const { return isNull() || size.width == 0 || size.height == 0; }

Rect Rect::standardized() const {
  if (isNull()) return null();
  Rect r = *this;
  if (r.size.width < 0) {
    r.origin.x += r.size.width;
    r.size.width = -r.size.width;
  }
  if (r.size.height < 0) {
    r.origin.y += r.size.height;
    r.size.height = -r.size.height;
  }
  return r;
}

double Rect::minX() const { return isNull() ? kInf : standardized().origin.x; }
double Rect::minY() const { return isNull() ? kInf : standardized().origin.y; }
double Rect::maxX() const {
  if (isNull()) return -kInf;
  Rect s = standardized();
  return s.origin.x + s.size.width;
}
double Rect::maxY() const {
  if (isNull()) return -kInf;
  Rect s = standardized();
  return s.origin.y + s.size.height;
}
double Rect::midX() const {
  if (isNull()) return kInf;
  Rect s = standardized();
  return s.origin.x + s.size.width / 2;
}
double Rect::midY() const {
  if (isNull()) return kInf;
  Rect s = standardized();
  return s.origin.y + s.size.height / 2;
}
double Rect::width() const { return isNull() ? 0 : std::fabs(size.width); }
double Rect::height() const { return isNull() ? 0 : std::fabs(size.height); }

Rect Rect::integral() const {
  if (isNull() || isInfinite()) return *this;
  Rect s = standardized();
  double x0 = std::floor(s.origin.x);
  double y0 = std::floor(s.origin.y);
  double x1 = std::ceil(s.origin.x + s.size.width);
  double y1 = std::ceil(s.origin.y + s.size.height);
  return Rect(x0, y0, x1 - x0, y1 - y0);
}

Rect Rect::insetBy(double dx, double dy) const {
  if (isNull()) return null();
  if (isInfinite()) return *this;
  Rect s = standardized();
  s.origin.x += dx;
  s.origin.y += dy;
  s.size.width -= 2 * dx;
  s.size.height -= 2 * dy;
  if (s.size.width < 0 || s.size.height < 0) return null();
  return s;
}

Rect Rect::offsetBy(double dx, double dy) const {
  if (isNull() || isInfinite()) return *this;
  Rect s = standardized();
  s.origin.x += dx;
  s.origin.y += dy;
  return s;
}

Rect Rect::intersection(const Rect& other) const {
  if (isNull() || other.isNull()) return null();
  if (isInfinite()) return other.standardized();
  if (other.isInfinite()) return standardized();
  Rect a = standardized();
  Rect b = other.standardized();
  double x0 = std::max(a.minX(), b.minX());
  double y0 = std::max(a.minY(), b.minY());
  double x1 = std::min(a.maxX(), b.maxX());
  double y1 = std::min(a.maxY(), b.maxY());
  if (x1 < x0 || y1 < y0) return null();
  return Rect(x0, y0, x1 - x0, y1 - y0);
}

Rect Rect::unionWith(const Rect& other) const {
  if (isNull()) return other.standardized();
  if (other.isNull()) return standardized();
  if (isInfinite() || other.isInfinite()) return infinite();
  double x0 = std::min(minX(), other.minX());
  double y0 = std::min(minY(), other.minY());
  double x1 = std::max(maxX(), other.maxX());
  double y1 = std::max(maxY(), other.maxY());
  return Rect(x0, y0, x1 - x0, y1 - y0);
}

bool Rect::intersects(const Rect& other) const {
  Rect i = intersection(other);
  return !i.isNull() && i.size.width > 0 && i.size.height > 0;
}

bool Rect::contains(Point p) const {
  if (isNull()) return false;
  if (isInfinite()) return true;
  return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
}

bool Rect::contains(const Rect& other) const {
  if (isNull() || other.isNull()) return false;
  if (isInfinite()) return true;
  return other.minX() >= minX() && other.maxX() <= maxX() && other.minY() >= minY() &&
         other.maxY() <= maxY();
}

Rect Rect::flipped(double mainDisplayHeight) const {
  if (isNull() || isInfinite()) return *this;
  Rect s = standardized();
  s.origin.y = mainDisplayHeight - (s.origin.y + s.size.height);
  return s;
}

bool operator==(const Rect& a, const Rect& b) {
  if (a.isNull() || b.isNull()) return a.isNull() && b.isNull();
  Rect x = a.standardized();
  Rect y = b.standardized();
  return x.origin == y.origin && x.size == y.size;
}

std::string describe(const Rect& r) {
  std::ostringstream os;
  os << r;
  return os.str();
}

std::ostream& operator<<(std::ostream& os, const Rect& r) {
  if (r.isNull()) return os << "(null)";
  if (r.isInfinite()) return os << "(infinite)";
  return os << "(" << r.origin.x << ", " << r.origin.y << ", " << r.size.width << ", "
            << r.size.height << ")";
}

std::ostream& operator<<(std::ostream& os, const Point& p) {
  return os << "(" << p.x << ", " << p.y << ")";
}

}  // namespace corvane
