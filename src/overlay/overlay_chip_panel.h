// The small panel that carries the "Blur" control while a window is revealed, in the covered
// window's title-bar strip, so that the overlay itself can let every click through.
//
// Threading: main thread.
#pragma once

#include <functional>

#include "overlay/overlay_button.h"
#include "platform/ui.h"

namespace corvane {

class OverlayChipPanel final : public ui::Panel {
 public:
  explicit OverlayChipPanel(ui::UserInterface& ui);

  OverlayButton& button() { return *button_; }
  // Told when the button is clicked; set by the overlay window.
  std::function<void()> onTap;

  // At `rect` (screen space), the content and the button filling it, ordered in front.
  void place(const Rect& rect);
  // The button's action.
  void tapped();

  bool canBecomeKey() const override { return true; }
  bool canBecomeMain() const override { return false; }

 private:
  OverlayButton* button_;
};

}  // namespace corvane
