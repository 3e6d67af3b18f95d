#include "platform/unavailable.h"

#include "platform/ui/window.h"

namespace corvane {

namespace {

// A window that exists for the program only: never numbered, never on a screen.
class UnseenWindowPeer final : public ui::WindowPeer {
 public:
  int64_t windowNumber() const override { return 0; }
  void setFrame(const Rect&) override {}
  void setLevel(int64_t) override {}
  void setSharingType(ui::SharingType) override {}
  void setAlphaValue(double) override {}
  void order(ui::WindowOrderingMode, int64_t) override {}
  bool isOnScreen() const override { return false; }
  void close() override {}
  void setNeedsDisplay() override {}
  void display() override {}
};

}  // namespace

std::unique_ptr<ui::WindowPeer> UnavailableUserInterface::makeWindowPeer(ui::Window&, const Rect&) {
  return std::make_unique<UnseenWindowPeer>();
}

Size UnavailableUserInterface::measureText(std::string_view text, const ui::Font& font) {
  // A plain estimate: no text is ever drawn.
  return Size{double(text.size()) * font.pointSize * 0.6, font.pointSize * 1.2};
}

}  // namespace corvane
