// The view tree of a window, shaped after the reference platform's views and their layers.
//
// Views are plain objects of the program (a backend never subclasses them); the program subclasses
// them to lay out its subviews and to decide hit testing. Each window's backend reads the tree when
// it commits the window's content: at the end of the current turn of the main queue after any
// change, at UserInterface::flush() and at Window::displayIfNeeded() (see window.h).
//
// Coordinates: a view's frame is in its superview's coordinate space, its bounds in its own; both
// have their origin at the bottom-left with y up. A window's content view has the window's own
// coordinate space as its superview's (origin at the window's bottom-left corner).
//
// A setter that is given the current value changes nothing and schedules nothing.
//
// Threading: main thread. A view owns its subviews.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "base/geometry.h"
#include "platform/ui/animation.h"
#include "platform/ui/ui_types.h"

namespace corvane::ui {

class View;
class Window;

// Corner radii of a rounded rectangle, one per corner (y up: "bottom" is the low-y side).
struct CornerRadii {
  double bottomLeft = 0;
  double bottomRight = 0;
  double topLeft = 0;
  double topRight = 0;
  static CornerRadii all(double r) { return {r, r, r, r}; }
  friend bool operator==(const CornerRadii&, const CornerRadii&) = default;
};

// One closed subpath of a mask's path: a rectangle whose corners may be rounded.
struct PathShape {
  Rect rect;
  CornerRadii radii;

  PathShape() = default;
  // Implicit: a plain rectangle is a path shape.
  PathShape(const Rect& r, CornerRadii cornerRadii = {}) : rect(r), radii(cornerRadii) {}
  bool contains(Point p) const;
  friend bool operator==(const PathShape&, const PathShape&) = default;
};

// A shape layer used as a mask: only the parts of the masked layer that the path covers, under the
// fill rule, are drawn. The path is made of closed (rounded) rectangles, in the mask's own
// coordinates.
struct ShapeMask {
  Rect frame;  // the mask's frame in the masked layer's coordinates
  std::vector<PathShape> path;
  FillRule fillRule = FillRule::nonZero;

  // Whether the point (mask coordinates) is covered under the fill rule.
  bool covers(Point p) const;
  friend bool operator==(const ShapeMask&, const ShapeMask&) = default;
};

// The layer behind a layer-backed view.
class Layer {
 public:
  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double radius);
  bool masksToBounds() const { return masksToBounds_; }
  void setMasksToBounds(bool masks);
  std::optional<Color> backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<Color> color);
  double borderWidth() const { return borderWidth_; }
  void setBorderWidth(double width);
  Color borderColor() const { return borderColor_; }
  void setBorderColor(Color color);
  bool isOpaque() const { return opaque_; }
  void setOpaque(bool opaque);
  const std::optional<ShapeMask>& mask() const { return mask_; }
  void setMask(std::optional<ShapeMask> mask);

 private:
  friend class View;
  explicit Layer(View& owner) : owner_(owner) {}

  View& owner_;
  double cornerRadius_ = 0;
  bool masksToBounds_ = false;
  std::optional<Color> backgroundColor_;
  double borderWidth_ = 0;
  Color borderColor_ = Color::black();
  bool opaque_ = false;
  std::optional<ShapeMask> mask_;
};

class View {
 public:
  explicit View(const Rect& frame = Rect::zero());
  virtual ~View();
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // ---- Geometry ----------------------------------------------------------------------------
  Rect frame() const { return frame_; }
  void setFrame(const Rect& frame);
  void setFrameSize(Size size);
  void setFrameOrigin(Point origin);
  // The view's own space: origin (0, 0), the frame's size.
  Rect bounds() const { return Rect(Point{}, frame_.size); }

  // ---- Appearance --------------------------------------------------------------------------
  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden);
  double alphaValue() const { return alpha_; }
  void setAlphaValue(double alpha);

  bool wantsLayer() const { return layer_ != nullptr; }
  // Makes the view layer-backed (it keeps its layer once it has one).
  void setWantsLayer(bool wants);
  // The view's layer; null unless it is layer-backed.
  Layer* layer() { return layer_.get(); }
  const Layer* layer() const { return layer_.get(); }

  // ---- Animation ---------------------------------------------------------------------------
  ViewAnimator animator(AnimationContext& context) { return context.animator(*this); }
  const std::optional<ValueAnimation<double>>& alphaAnimation() const { return alphaAnimation_; }
  const std::optional<ValueAnimation<Rect>>& frameAnimation() const { return frameAnimation_; }
  double presentationAlpha(double now) const { return presentationValue(alpha_, alphaAnimation_, now); }
  Rect presentationFrame(double now) const { return presentationValue(frame_, frameAnimation_, now); }

  // ---- Tree --------------------------------------------------------------------------------
  View* superview() const { return superview_; }
  const std::vector<std::unique_ptr<View>>& subviews() const { return subviews_; }
  // Adds the view in front of the other subviews and returns it.
  template <typename V>
  V& addSubview(std::unique_ptr<V> view) {
    V& added = *view;
    adopt(std::move(view));
    return added;
  }
  // The window whose content this view belongs to, if any.
  Window* window() const;

  // ---- Layout ------------------------------------------------------------------------------
  // Lays out the subviews; the default does nothing.
  virtual void layout() {}
  bool needsLayout() const { return needsLayout_; }
  void setNeedsLayout();
  // Runs layout() on this view and every view below it that needs it, top down.
  void layoutSubtreeIfNeeded();

  // ---- Events ------------------------------------------------------------------------------
  // The frontmost view under `point` (in the superview's coordinates) that takes the click, or
  // null. The default: nothing when hidden or when the point is outside the frame; otherwise the
  // subviews' answer, front first, else this view.
  virtual View* hitTest(Point point);

  // ---- Conversion --------------------------------------------------------------------------
  // Between this view's coordinates and its window's (or, outside a window, its root's).
  Point convertToWindow(Point p) const;
  Point convertFromWindow(Point p) const;
  Rect convertToWindow(const Rect& r) const;
  Rect convertFromWindow(const Rect& r) const;

  // Called by every property change: tells the window that its content must be committed again.
  void setNeedsDisplay();

 protected:
  // Subclasses call this after changing a property of their own that affects drawing.
  void contentDidChange() { setNeedsDisplay(); }

 private:
  friend class Window;
  friend class ViewAnimator;
  void adopt(std::unique_ptr<View> view);
  Point originInWindow() const;

  Rect frame_;
  bool hidden_ = false;
  double alpha_ = 1;
  std::unique_ptr<Layer> layer_;
  std::optional<ValueAnimation<double>> alphaAnimation_;
  std::optional<ValueAnimation<Rect>> frameAnimation_;
  bool needsLayout_ = true;
  View* superview_ = nullptr;
  Window* window_ = nullptr;  // set on a window's content view only
  std::vector<std::unique_ptr<View>> subviews_;
};

}  // namespace corvane::ui
