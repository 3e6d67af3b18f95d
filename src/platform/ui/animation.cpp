#include "platform/ui/animation.h"

#include <algorithm>
#include <cmath>

#include "platform/ui/view.h"

namespace corvane::ui {

namespace {

// A cubic Bézier timing curve from (0, 0) to (1, 1) with control points (x1, y1) and (x2, y2).
struct Curve {
  double x1, y1, x2, y2;

  static double at(double a, double b, double s) {
    // Bernstein form with P0 = 0 and P3 = 1.
    const double u = 1 - s;
    return 3 * u * u * s * a + 3 * u * s * s * b + s * s * s;
  }
  double x(double s) const { return at(x1, x2, s); }
  double y(double s) const { return at(y1, y2, s); }
  double dx(double s) const {
    const double u = 1 - s;
    return 3 * u * u * x1 + 6 * u * s * (x2 - x1) + 3 * s * s * (1 - x2);
  }
  double solve(double t) const {
    double s = t;
    for (int i = 0; i < 8; ++i) {
      const double err = x(s) - t;
      if (std::fabs(err) < 1e-7) return y(s);
      const double d = dx(s);
      if (std::fabs(d) < 1e-6) break;
      s -= err / d;
    }
    double lo = 0, hi = 1;
    s = t;
    for (int i = 0; i < 60; ++i) {
      if (x(s) < t) {
        lo = s;
      } else {
        hi = s;
      }
      s = (lo + hi) / 2;
    }
    return y(s);
  }
};

}  // namespace

double timingProgress(AnimationTiming timing, double t) {
  t = std::clamp(std::isnan(t) ? 1.0 : t, 0.0, 1.0);
  switch (timing) {
    case AnimationTiming::linear:
      return t;
    case AnimationTiming::easeIn:
      return Curve{0.42, 0, 1, 1}.solve(t);
    case AnimationTiming::easeOut:
      return Curve{0, 0, 0.58, 1}.solve(t);
    case AnimationTiming::easeInEaseOut:
      return Curve{0.42, 0, 0.58, 1}.solve(t);
    case AnimationTiming::defaultTiming:
      return Curve{0.25, 0.1, 0.25, 1}.solve(t);
  }
  return t;
}

double interpolate(double from, double to, double progress) { return from + (to - from) * progress; }

Rect interpolate(const Rect& from, const Rect& to, double progress) {
  return Rect(interpolate(from.origin.x, to.origin.x, progress), interpolate(from.origin.y, to.origin.y, progress),
              interpolate(from.size.width, to.size.width, progress),
              interpolate(from.size.height, to.size.height, progress));
}

}  // namespace corvane::ui
