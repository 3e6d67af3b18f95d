#include "platform/ui/view.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/ui/window.h"

namespace corvane::ui {

bool PathShape::contains(Point p) const {
  const Rect r = rect.standardized();
  if (!r.contains(p)) return false;
  // In a corner's square, the point must lie within the corner's circle.
  auto outside = [&](double radius, double cx, double cy, bool left, bool bottom) {
    const double rr = std::min({radius, r.width() / 2, r.height() / 2});
    if (rr <= 0) return false;
    const double ox = left ? cx + rr : cx - rr;
    const double oy = bottom ? cy + rr : cy - rr;
    const bool inSquare = (left ? p.x < ox : p.x > ox) && (bottom ? p.y < oy : p.y > oy);
    return inSquare && std::hypot(p.x - ox, p.y - oy) > rr;
  };
  return !(outside(radii.bottomLeft, r.minX(), r.minY(), true, true) ||
           outside(radii.bottomRight, r.maxX(), r.minY(), false, true) ||
           outside(radii.topLeft, r.minX(), r.maxY(), true, false) ||
           outside(radii.topRight, r.maxX(), r.maxY(), false, false));
}

bool ShapeMask::covers(Point p) const {
  int count = 0;
  for (const PathShape& shape : path) {
    if (shape.contains(p)) ++count;
  }
  return fillRule == FillRule::evenOdd ? (count % 2) == 1 : count > 0;
}

// ---- Layer ------------------------------------------------------------------------------------

void Layer::setCornerRadius(double radius) {
  if (assignIfChanged(cornerRadius_, radius)) owner_.setNeedsDisplay();
}
void Layer::setMasksToBounds(bool masks) {
  if (assignIfChanged(masksToBounds_, masks)) owner_.setNeedsDisplay();
}
void Layer::setBackgroundColor(std::optional<Color> color) {
  if (assignIfChanged(backgroundColor_, color)) owner_.setNeedsDisplay();
}
void Layer::setBorderWidth(double width) {
  if (assignIfChanged(borderWidth_, width)) owner_.setNeedsDisplay();
}
void Layer::setBorderColor(Color color) {
  if (assignIfChanged(borderColor_, color)) owner_.setNeedsDisplay();
}
void Layer::setOpaque(bool opaque) {
  if (assignIfChanged(opaque_, opaque)) owner_.setNeedsDisplay();
}
void Layer::setMask(std::optional<ShapeMask> mask) {
  if (assignIfChanged(mask_, std::move(mask))) owner_.setNeedsDisplay();
}

// ---- View -------------------------------------------------------------------------------------

View::View(const Rect& frame) : frame_(frame) {}

View::~View() = default;

void View::setFrame(const Rect& frame) {
  frameAnimation_.reset();
  if (frame_ == frame) return;
  if (frame_.size != frame.size) needsLayout_ = true;
  frame_ = frame;
  setNeedsDisplay();
}

void View::setFrameSize(Size size) { setFrame(Rect(frame_.origin, size)); }

void View::setFrameOrigin(Point origin) { setFrame(Rect(origin, frame_.size)); }

void View::setHidden(bool hidden) {
  if (assignIfChanged(hidden_, hidden)) setNeedsDisplay();
}

void View::setAlphaValue(double alpha) {
  const bool animating = alphaAnimation_.has_value();
  alphaAnimation_.reset();
  if (assignIfChanged(alpha_, alpha) || animating) setNeedsDisplay();
}

void View::setWantsLayer(bool wants) {
  if (!wants || layer_) return;
  layer_.reset(new Layer(*this));
  setNeedsDisplay();
}

Window* View::window() const {
  const View* root = this;
  while (root->superview_) root = root->superview_;
  return root->window_;
}

void View::setNeedsLayout() {
  needsLayout_ = true;
  setNeedsDisplay();
}

void View::layoutSubtreeIfNeeded() {
  if (needsLayout_) {
    needsLayout_ = false;
    layout();
  }
  for (const auto& subview : subviews_) subview->layoutSubtreeIfNeeded();
}

View* View::hitTest(Point point) {
  if (hidden_ || !frame_.contains(point)) return nullptr;
  const Point local{point.x - frame_.origin.x, point.y - frame_.origin.y};
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    if (View* hit = (*it)->hitTest(local)) return hit;
  }
  return this;
}

Point View::originInWindow() const {
  Point origin;
  for (const View* v = this; v; v = v->superview_) {
    origin.x += v->frame_.origin.x;
    origin.y += v->frame_.origin.y;
  }
  return origin;
}

Point View::convertToWindow(Point p) const {
  const Point o = originInWindow();
  return {p.x + o.x, p.y + o.y};
}

Point View::convertFromWindow(Point p) const {
  const Point o = originInWindow();
  return {p.x - o.x, p.y - o.y};
}

Rect View::convertToWindow(const Rect& r) const {
  if (r.isNull() || r.isInfinite()) return r;
  return Rect(convertToWindow(r.standardized().origin), r.standardized().size);
}

Rect View::convertFromWindow(const Rect& r) const {
  if (r.isNull() || r.isInfinite()) return r;
  return Rect(convertFromWindow(r.standardized().origin), r.standardized().size);
}

void View::setNeedsDisplay() {
  if (Window* w = window()) w->contentDidChange();
}

void View::adopt(std::unique_ptr<View> view) {
  view->superview_ = this;
  subviews_.push_back(std::move(view));
  setNeedsDisplay();
}

// ---- ViewAnimator -----------------------------------------------------------------------------

void ViewAnimator::setAlphaValue(double alpha) {
  if (context_.duration <= 0) {
    view_.setAlphaValue(alpha);
    return;
  }
  const double now = context_.beginTime();
  const double from = view_.presentationAlpha(now);
  view_.alpha_ = alpha;
  view_.alphaAnimation_ = ValueAnimation<double>{from, alpha, now, context_.duration, context_.timingFunction};
  view_.setNeedsDisplay();
}

void ViewAnimator::setFrame(const Rect& frame) {
  if (context_.duration <= 0) {
    view_.setFrame(frame);
    return;
  }
  const double now = context_.beginTime();
  const Rect from = view_.presentationFrame(now);
  if (view_.frame_.size != frame.size) view_.needsLayout_ = true;
  view_.frame_ = frame;
  view_.frameAnimation_ = ValueAnimation<Rect>{from, frame, now, context_.duration, context_.timingFunction};
  view_.setNeedsDisplay();
}

}  // namespace corvane::ui
