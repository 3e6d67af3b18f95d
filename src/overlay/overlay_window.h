// The frost panel that the overlay manager lays over one protected window.
//
// The share sees it (sharing type read-write); the user sees it too unless Clear View lays a
// mirror of the real window above it. It carries one control (see OverlayContentView). It decides
// which clicks it takes: holes where foreign windows lie in front, the top 52 points of the covered
// window, a revealed overlay and Clear View mode let them through (the window ignores the mouse
// while the pointer is there; updateMouseHandling keeps that current). Holes are cut out of the
// frost so that the share sees the foreign window there.
//
// In Clear View mode (a mirror with a live frame shows the real window) the overlay is passive: no
// control, no mouse, a blur within its own window. Its alpha is 0.999 then, and whenever Clear View
// is on: a window that is not fully opaque does not make the covered window count as occluded.
//
// Threading: main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

#include "overlay/overlay_chip_panel.h"
#include "overlay/overlay_content_view.h"
#include "platform/ui.h"

namespace corvane {

class OverlayWindow final : public ui::Panel {
 public:
  static constexpr double toolbarPassthroughHeight = OverlayContentView::toolbarPassthroughHeight;

  explicit OverlayWindow(ui::UserInterface& ui);
  ~OverlayWindow() override;

  OverlayContentView& content() { return *content_; }
  const OverlayContentView& content() const { return *content_; }
  OverlayChipPanel& chip() { return *chip_; }

  // How much the holes are rounded: at least as much as any window of the platform, so that a hole
  // is never larger than the window in front that it lets the share see.
  static constexpr double holeCornerRadius = 32;

  // Set and read by the overlay manager.
  std::optional<pid_t> ownerPID;          // the process owning the covered window
  int64_t sourceLevel = 0;                // the covered window's level
  int64_t stackingWindowNumber = 0;       // the window the overlay is ordered above
  std::optional<double> missingSince;     // media time the covered window was first missing
  Rect trackedFrame;                      // last frame from place(at:) or the geometry follower
  std::function<void(bool revealed)> onRevealStateChange;
  std::vector<Rect> occlusions;           // holes: frames of foreign windows in front (screen)

  bool clearViewMode() const { return clearViewMode_; }
  // A change re-applies the Clear View presentation.
  void setClearViewMode(bool on);
  bool preventsSourceOcclusion() const { return preventsSourceOcclusion_; }
  // A change re-applies the Clear View presentation.
  void setPreventsSourceOcclusion(bool on);

  // Covers `frame` (screen space) with square corners: the covered window may be rounded less than
  // any radius the frost could pick, or not at all, and a rounded frost would leave its corners to
  // the share. `actual`, when known, is where the window server really has the overlay: when
  // something else moved it (the geometry follower, the window server), it is put back even though
  // the frame last set is `frame`.
  void place(const Rect& frame, const std::optional<Rect>& actual = std::nullopt);
  void setRevealed(bool revealed, bool animated);
  // The content's mask: its bounds minus the holes (even-odd); no mask without holes. A hole is the
  // frame of the window in front with its corners rounded by holeCornerRadius, so that it never
  // reaches past that window's own rounded corners.
  void applyOcclusionMask();
  void applyClearViewPresentation();
  // Takes or lets through the mouse for a pointer at `point` (screen space).
  void updateMouseHandling(Point point);
  // Hands the control to the chip while revealed (outside Clear View mode); takes it back when
  // covered.
  void handoffChipIfRevealed();

  // Orders the chip out, resets the control and the mouse to the Clear View mode, then the window.
  void orderOut() override;
  // Orders only this window out (the plain window operation), leaving the chip alone.
  void orderOutWindowOnly() { ui::Panel::orderOut(); }

  bool canBecomeKey() const override { return !clearViewMode_; }
  bool canBecomeMain() const override { return false; }

 private:
  OverlayContentView* content_;
  std::unique_ptr<OverlayChipPanel> chip_;
  bool clearViewMode_ = false;
  bool preventsSourceOcclusion_ = false;
  // What the current mask was made from (the window's frame, the content's bounds and the holes),
  // so that a refresh that finds the same holes does not build it again.
  struct MaskSource {
    Rect frame;
    Rect bounds;
    std::vector<Rect> occlusions;
    friend bool operator==(const MaskSource&, const MaskSource&) = default;
  };
  std::optional<MaskSource> maskSource_;
};

// The union of rectangles as rectangles that do not overlap (so that an even-odd path of a
// rectangle and these holes is the rectangle minus all of them).
std::vector<Rect> disjointRects(const std::vector<Rect>& rects);

// The even-odd path of `bounds` minus the union of `holes`: the bounds, every hole, and every
// non-empty intersection of two or more holes (a point inside k holes is then counted 2^k times,
// an even number, and one inside none once). Intersections keep the rounded corners that come
// from one hole alone. Beyond `maxRoundedHoles` holes (the intersections would grow too many), the
// holes are cut as disjoint rectangles: each hole as three overlapping rectangles that lie within
// its rounded shape (a cross and the square whose corners touch the arcs), so that no hole is ever
// larger than its rounded shape.
// Rectangles (possibly overlapping) whose union lies within a rounded shape and covers all of it
// but thin slivers along its corner arcs.
std::vector<Rect> roundedShapeInterior(const ui::PathShape& shape);

std::vector<ui::PathShape> holesPath(const Rect& bounds, const std::vector<ui::PathShape>& holes);
inline constexpr size_t maxRoundedHoles = 10;

}  // namespace corvane
