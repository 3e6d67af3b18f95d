#include "overlay/overlay_window.h"

#include <algorithm>
#include <cmath>

namespace corvane {

std::vector<Rect> disjointRects(const std::vector<Rect>& rects) {
  std::vector<Rect> input;
  std::vector<double> ys;
  for (const Rect& r : rects) {
    if (r.isNull() || r.isInfinite() || r.isEmpty()) continue;
    const Rect s = r.standardized();
    input.push_back(s);
    ys.push_back(s.minY());
    ys.push_back(s.maxY());
  }
  std::sort(ys.begin(), ys.end());
  ys.erase(std::unique(ys.begin(), ys.end()), ys.end());
  std::vector<Rect> out;
  // Horizontal bands between consecutive edges; in each, the merged x intervals of the rectangles
  // that span it. A band's piece grows upwards while the next band has the same piece.
  std::vector<Rect> open;
  for (size_t i = 0; i + 1 < ys.size(); ++i) {
    const double y0 = ys[i];
    const double y1 = ys[i + 1];
    std::vector<std::pair<double, double>> spans;
    for (const Rect& r : input) {
      if (r.minY() <= y0 && r.maxY() >= y1) spans.emplace_back(r.minX(), r.maxX());
    }
    std::sort(spans.begin(), spans.end());
    std::vector<std::pair<double, double>> merged;
    for (const auto& s : spans) {
      if (!merged.empty() && s.first <= merged.back().second) {
        merged.back().second = std::max(merged.back().second, s.second);
      } else {
        merged.push_back(s);
      }
    }
    std::vector<Rect> next;
    for (const auto& [x0, x1] : merged) {
      auto same = std::find_if(open.begin(), open.end(), [&](const Rect& o) {
        return o.minX() == x0 && o.maxX() == x1 && o.maxY() == y0;
      });
      if (same != open.end()) {
        next.push_back(Rect(x0, same->minY(), x1 - x0, y1 - same->minY()));
        open.erase(same);
      } else {
        next.push_back(Rect(x0, y0, x1 - x0, y1 - y0));
      }
    }
    out.insert(out.end(), open.begin(), open.end());
    open = std::move(next);
  }
  out.insert(out.end(), open.begin(), open.end());
  return out;
}

namespace {

// The intersection of two shapes; each corner keeps the radius of the shape that makes it.
std::optional<ui::PathShape> intersect(const ui::PathShape& a, const ui::PathShape& b) {
  const Rect ra = a.rect.standardized();
  const Rect rb = b.rect.standardized();
  const Rect r = ra.intersection(rb);
  if (r.isNull() || !(r.width() > 0) || !(r.height() > 0)) return std::nullopt;
  auto corner = [&](bool left, bool bottom, double radiusA, double radiusB) {
    const double x = left ? r.minX() : r.maxX();
    const double y = bottom ? r.minY() : r.maxY();
    double radius = 0;
    if (x == (left ? ra.minX() : ra.maxX()) && y == (bottom ? ra.minY() : ra.maxY())) radius = radiusA;
    if (x == (left ? rb.minX() : rb.maxX()) && y == (bottom ? rb.minY() : rb.maxY())) {
      radius = std::max(radius, radiusB);
    }
    return radius;
  };
  ui::CornerRadii radii;
  radii.bottomLeft = corner(true, true, a.radii.bottomLeft, b.radii.bottomLeft);
  radii.bottomRight = corner(false, true, a.radii.bottomRight, b.radii.bottomRight);
  radii.topLeft = corner(true, false, a.radii.topLeft, b.radii.topLeft);
  radii.topRight = corner(false, false, a.radii.topRight, b.radii.topRight);
  return ui::PathShape(r, radii);
}

void addIntersections(const std::vector<ui::PathShape>& holes, size_t next, const ui::PathShape& current,
                      std::vector<ui::PathShape>& path) {
  for (size_t j = next; j < holes.size(); ++j) {
    if (auto both = intersect(current, holes[j])) {
      path.push_back(*both);
      addIntersections(holes, j + 1, *both, path);
    }
  }
}

}  // namespace

std::vector<Rect> roundedShapeInterior(const ui::PathShape& shape) {
  const Rect r = shape.rect.standardized();
  const ui::CornerRadii& c = shape.radii;
  const double limit = std::max(0.0, std::min(r.width(), r.height()) / 2);
  auto clamp = [&](double radius) { return std::clamp(radius, 0.0, limit); };
  const double bl = clamp(c.bottomLeft), br = clamp(c.bottomRight), tl = clamp(c.topLeft), tr = clamp(c.topRight);
  // The cross: full width between the corner arcs' heights, full height between their widths.
  const double crossBottom = std::max(bl, br), crossTop = std::max(tl, tr);
  const double crossLeft = std::max(bl, tl), crossRight = std::max(br, tr);
  // The square whose corners lie on the arcs: inset by r (1 - 1/sqrt 2) at each corner.
  const double k = 1 - 1 / std::sqrt(2.0);
  const double dLeft = std::max(bl, tl) * k, dRight = std::max(br, tr) * k;
  const double dBottom = std::max(bl, br) * k, dTop = std::max(tl, tr) * k;
  std::vector<Rect> pieces;
  auto add = [&](double x0, double y0, double x1, double y1) {
    if (x1 > x0 && y1 > y0) pieces.emplace_back(x0, y0, x1 - x0, y1 - y0);
  };
  add(r.minX(), r.minY() + crossBottom, r.maxX(), r.maxY() - crossTop);
  add(r.minX() + crossLeft, r.minY(), r.maxX() - crossRight, r.maxY());
  add(r.minX() + dLeft, r.minY() + dBottom, r.maxX() - dRight, r.maxY() - dTop);
  return pieces;
}

std::vector<ui::PathShape> holesPath(const Rect& bounds, const std::vector<ui::PathShape>& holes) {
  std::vector<ui::PathShape> path{ui::PathShape(bounds)};
  if (holes.size() > maxRoundedHoles) {
    std::vector<Rect> rects;
    for (const ui::PathShape& hole : holes) {
      for (const Rect& piece : roundedShapeInterior(hole)) {
        const Rect inside = piece.intersection(bounds);
        if (!inside.isNull()) rects.push_back(inside);
      }
    }
    for (const Rect& piece : disjointRects(rects)) path.emplace_back(piece);
    return path;
  }
  for (size_t i = 0; i < holes.size(); ++i) {
    path.push_back(holes[i]);
    addIntersections(holes, i + 1, holes[i], path);
  }
  return path;
}

OverlayWindow::OverlayWindow(ui::UserInterface& ui)
    : ui::Panel(ui, Rect::zero(), ui::StyleMask::nonactivatingPanel, ui::BackingStoreType::buffered, false) {
  content_ = &setContentView(std::make_unique<OverlayContentView>(ui));
  chip_ = std::make_unique<OverlayChipPanel>(ui);

  setOpaque(false);
  setBackgroundColor(ui::Color::clear());
  setHasShadow(false);
  setHidesOnDeactivate(false);
  setLevel(0);
  setFloatingPanel(false);
  setBecomesKeyOnlyIfNeeded(true);
  setIgnoresMouseEvents(false);
  setSharingType(ui::SharingType::readWrite);
  setCollectionBehavior(ui::CollectionBehavior::canJoinAllSpaces | ui::CollectionBehavior::stationary |
                        ui::CollectionBehavior::ignoresCycle | ui::CollectionBehavior::fullScreenAuxiliary);

  // The content and the chip belong to this window and call back only while they live (the
  // content's animation completions check its own liveness), so they may hold `this`.
  content_->onRevealStateChange = [this](bool revealed) {
    if (onRevealStateChange) onRevealStateChange(revealed);
    if (!clearViewMode_ && !revealed) {
      chip_->orderOut();
      content_->controlButton().setHidden(false);
      setIgnoresMouseEvents(false);
      order(ui::WindowOrderingMode::above, stackingWindowNumber);
    }
  };
  content_->onRevealAnimationComplete = [this] { handoffChipIfRevealed(); };
  chip_->onTap = [this] { setRevealed(!content_->isRevealed(), true); };
}

OverlayWindow::~OverlayWindow() {
  content_->onRevealStateChange = nullptr;
  content_->onRevealAnimationComplete = nullptr;
}

void OverlayWindow::setClearViewMode(bool on) {
  if (clearViewMode_ == on) return;
  clearViewMode_ = on;
  applyClearViewPresentation();
}

void OverlayWindow::setPreventsSourceOcclusion(bool on) {
  if (preventsSourceOcclusion_ == on) return;
  preventsSourceOcclusion_ = on;
  applyClearViewPresentation();
}

void OverlayWindow::place(const Rect& frame, const std::optional<Rect>& actual) {
  const bool sizeChanged = trackedFrame == Rect::zero() || trackedFrame.width() != frame.width() ||
                           trackedFrame.height() != frame.height();
  trackedFrame = frame;
  if (this->frame() != frame) {
    setFrame(frame, false);
  } else if (actual && *actual != frame) {
    // Moved behind the program's back: the frame it last set is no longer where it stands.
    reassertFrame();
  }
  if (sizeChanged) {
    content_->layoutSubtreeIfNeeded();
    applyOcclusionMask();
  }
  applyClearViewPresentation();
  if (!clearViewMode_) {
    updateMouseHandling(ui().mouseLocation());
    if (content_->isRevealed()) handoffChipIfRevealed();
  }
}

void OverlayWindow::setRevealed(bool revealed, bool animated) {
  if (!clearViewMode_) {
    if (!revealed) {
      chip_->orderOut();
      content_->controlButton().setHidden(false);
      setIgnoresMouseEvents(false);
    }
    if (content_->isRevealed() != revealed) content_->animateToRevealed(revealed, animated);
    applyOcclusionMask();
    return;
  }
  content_->controlButton().setHidden(true);
  if (content_->isRevealed() != revealed) content_->animateToRevealed(revealed, false);
  if (revealed) {
    orderOutWindowOnly();
  } else {
    content_->effect().setHidden(false);
    content_->tint().setHidden(false);
    orderFrontRegardless();
    displayIfNeeded();
  }
}

void OverlayWindow::applyOcclusionMask() {
  ui::Layer& layer = *content_->layer();
  if (occlusions.empty()) {
    maskSource_.reset();
    layer.setMask(std::nullopt);
    return;
  }
  const Rect bounds = content_->bounds();
  MaskSource source{frame(), bounds, occlusions};
  if (maskSource_ == source && layer.mask()) return;
  maskSource_ = std::move(source);
  std::vector<ui::PathShape> holes;
  for (const Rect& occlusion : occlusions) {
    const Rect hole = content_->convertFromWindow(convertRectFromScreen(occlusion));
    if (!hole.intersects(bounds)) continue;
    // The window in front has rounded corners, by how much the window list does not say; a hole
    // rounded less than that window would show the protected window behind each of its corners.
    holes.emplace_back(hole, ui::CornerRadii::all(holeCornerRadius));
  }
  // Overlapping holes would cancel each other under the even-odd rule (and frost the windows in
  // front where they overlap); holesPath counts every point of a hole an even number of times.
  ui::ShapeMask mask;
  mask.frame = bounds;
  mask.fillRule = ui::FillRule::evenOdd;
  mask.path = holesPath(bounds, holes);
  layer.setMask(std::move(mask));
}

void OverlayWindow::applyClearViewPresentation() {
  OverlayContentView& content = *content_;
  if (!clearViewMode_) {
    chip_->orderOut();
    content.effect().setHidden(false);
    content.tint().setHidden(false);
    content.controlButton().setHidden(false);
    setIgnoresMouseEvents(false);
    setAcceptsMouseMovedEvents(true);
    updateMouseHandling(ui().mouseLocation());
  } else {
    content.controlButton().setHidden(true);
    content.effect().setHidden(false);
    content.tint().setHidden(false);
    setIgnoresMouseEvents(true);
    setAcceptsMouseMovedEvents(false);
  }
  const double alpha = clearViewMode_ || preventsSourceOcclusion_ ? 0.999 : 1.0;
  if (alphaValue() != alpha) setAlphaValue(alpha);
  const bool samples = !clearViewMode_;
  if (content.samplesContentBehind() != samples) {
    content.setSamplesContentBehind(samples);
    content.effect().setBlendingMode(clearViewMode_ ? ui::VisualEffectBlendingMode::withinWindow
                                                    : ui::VisualEffectBlendingMode::behindWindow);
  }
  setSharingType(ui::SharingType::readWrite);
}

void OverlayWindow::updateMouseHandling(Point point) {
  bool ignore = true;
  if (!clearViewMode_) {
    const bool inHole = std::any_of(occlusions.begin(), occlusions.end(),
                                    [&](const Rect& hole) { return hole.contains(point); });
    const Point local = content_->convertFromWindow(convertPointFromScreen(point));
    const bool inToolbar = local.y >= content_->bounds().height() - toolbarPassthroughHeight;
    ignore = inHole || content_->isRevealed() || inToolbar;
  }
  if (ignoresMouseEvents() != ignore) setIgnoresMouseEvents(ignore);
}

void OverlayWindow::handoffChipIfRevealed() {
  OverlayButton& button = content_->controlButton();
  if (content_->isRevealed()) {
    if (clearViewMode_) return;  // in Clear View mode the chip is never shown
    const Rect onScreen = convertRectToScreen(content_->convertToWindow(button.frame()));
    if (onScreen.width() < 8 || onScreen.height() < 8) return;
    const Rect rect = onScreen.insetBy(-1, -1);
    button.setHidden(true);
    const std::string title = OverlayContentView::blurTitle();
    chip_->button().setTitle(title);
    chip_->button().setImage(ui::Image::systemSymbol("eye.slash.fill", title));
    chip_->setLevel(3);
    chip_->setSharingType(ui::SharingType::readWrite);
    chip_->setLevel(level());
    chip_->place(rect);
    setIgnoresMouseEvents(true);
    return;
  }
  chip_->orderOut();
  button.setHidden(clearViewMode_);
  setIgnoresMouseEvents(clearViewMode_);
}

void OverlayWindow::orderOut() {
  chip_->orderOut();
  content_->controlButton().setHidden(clearViewMode_);
  setIgnoresMouseEvents(clearViewMode_);
  ui::Panel::orderOut();
}

}  // namespace corvane
