// The committed content of one of the program's windows on the simulated desktop, and its drawing.
//
// When a window's content is committed (see platform/ui/window.h), its view tree is copied into a
// scene: an immutable value the world keeps with the window, so that pictures can be drawn on any
// thread while the program goes on changing its views. Animations are copied as they are and
// evaluated for the time of each picture.
//
// Drawing follows the layer model: a layer draws its background (rounded by its corner radius),
// then its own content (a visual effect or a button), then its sublayers (clipped to its rounded
// bounds when it masks to bounds), then its border; its mask (a shape or, for a visual effect, a
// mask image) applies to all of that. A behind-window visual effect is a real blur of what lies
// behind the window in the picture being drawn, at a radius set by its material, blended at the
// view's alpha; a within-window one shows the material's own grey. Windows cast no shadow.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/geometry.h"
#include "platform/sim/sim_render.h"
#include "platform/ui.h"

namespace corvane::sim {

struct SceneNode {
  enum class Kind { view, visualEffect, button, video };
  Kind kind = Kind::view;

  Rect frame;
  std::optional<ui::ValueAnimation<Rect>> frameAnimation;
  double alpha = 1;
  std::optional<ui::ValueAnimation<double>> alphaAnimation;
  bool hidden = false;

  bool layerBacked = false;
  double cornerRadius = 0;
  bool masksToBounds = false;
  std::optional<ui::Color> background;
  double borderWidth = 0;
  ui::Color borderColor;
  std::optional<ui::ShapeMask> mask;

  // Visual effect.
  ui::VisualEffectMaterial material = ui::VisualEffectMaterial::windowBackground;
  ui::VisualEffectBlendingMode blendingMode = ui::VisualEffectBlendingMode::behindWindow;
  ui::VisualEffectState state = ui::VisualEffectState::active;
  std::optional<ui::Image> maskImage;

  // Button.
  std::string title;
  ui::Font font;
  std::optional<ui::Image> image;
  ui::ImagePosition imagePosition = ui::ImagePosition::noImage;
  std::optional<ui::Color> tint;

  // Video: the frame shown, stretched over the view (premultiplied BGRA, never changed once made).
  std::shared_ptr<const PixelBuffer> video;

  std::vector<SceneNode> children;
};

struct WindowScene {
  ui::Color background;
  std::optional<SceneNode> content;
};

// A copy of the window's content as it stands (lay it out first).
std::shared_ptr<const WindowScene> makeScene(const ui::Window& window);

// Whether a system symbol covers the point (nx, ny) of its square box, both -1...1 (y down). The
// simulated desktop knows the "eye" symbols; any other name is drawn as a square.
bool symbolCovers(const std::string& name, double nx, double ny);

// The blur radius (points) with which a behind-window material is drawn.
double blurRadius(ui::VisualEffectMaterial material);

// A behind-window blur hides the content behind it (for the leak probe's visibility map) only when
// it blurs at least this much and is drawn at least this opaque: a lighter blur leaves a window's
// title legible, a more transparent one shows its text as a ghost. A weaker one covers nothing.
constexpr double kHidingBlurRadius = 16;
constexpr double kHidingOpacity = 0.98;

// Draws the scene of window `number` at `bounds` (window-server space) with the window's alpha, for
// media time `now`.
void drawScene(Compositor& compositor, const WindowScene& scene, WindowID number, const Rect& bounds, double alpha,
               double now);

}  // namespace corvane::sim
