// The overlay's controls ("Reveal", "Blur"): buttons that act on the first click even while their
// window is not key, so that one click on an inactive frost reveals it at once.
#pragma once

#include "platform/ui.h"

namespace corvane {

// Overlays of the window the user works in stand at this window level: above ordinary windows,
// below floating panels, the Dock, menus and Spotlight. Every other overlay stands at level 0,
// directly above its source window.
inline constexpr int64_t frontFrostLevel = 2;

class OverlayButton final : public ui::Button {
 public:
  using ui::Button::Button;
  bool acceptsFirstMouse() const override { return true; }
};

}  // namespace corvane
