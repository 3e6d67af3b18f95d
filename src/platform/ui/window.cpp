#include "platform/ui/window.h"

#include <utility>

#include "platform/ui/user_interface.h"

namespace corvane::ui {

Window::Window(UserInterface& ui, const Rect& contentRect, uint64_t styleMask, BackingStoreType backing,
               bool /*defer*/)
    : ui_(ui), styleMask_(styleMask), backing_(backing), frame_(contentRect.standardized()) {
  peer_ = ui_.makeWindowPeer(*this, frame_);
}

Window::~Window() {
  // The peer goes first: the window leaves the window server before its content is destroyed.
  peer_.reset();
  contentView_.reset();
}

int64_t Window::windowNumber() const { return closed_ || !peer_ ? 0 : peer_->windowNumber(); }

void Window::setLevel(int64_t level) {
  if (level_ == level) return;
  level_ = level;
  if (!closed_) peer_->setLevel(level);
}

void Window::setSharingType(SharingType type) {
  if (sharingType_ == type) return;
  sharingType_ = type;
  if (!closed_) peer_->setSharingType(type);
}

void Window::setAlphaValue(double alpha) {
  if (alpha_ == alpha) return;
  alpha_ = alpha;
  if (!closed_) peer_->setAlphaValue(alpha);
}

void Window::reassertFrame() {
  if (!closed_) peer_->setFrame(frame_);
}

void Window::setFrame(const Rect& frame, bool display) {
  const Rect f = frame.standardized();
  if (f != frame_) {
    frame_ = f;
    if (!closed_) peer_->setFrame(f);
    if (contentView_) contentView_->setFrame(Rect(Point{}, f.size));
  }
  if (display) displayIfNeeded();
}

void Window::order(WindowOrderingMode mode, int64_t relativeTo) {
  if (!closed_) peer_->order(mode, relativeTo);
}

void Window::orderFront() { order(WindowOrderingMode::above, 0); }

void Window::orderFrontRegardless() { order(WindowOrderingMode::above, 0); }

void Window::orderOut() { order(WindowOrderingMode::out, 0); }

void Window::close() {
  if (closed_) return;
  closed_ = true;
  peer_->close();
}

bool Window::isVisible() const { return !closed_ && peer_->isOnScreen(); }

std::optional<ScreenInfo> Window::screen() const { return ui_.screen(frame_); }

void Window::displayIfNeeded() {
  if (closed_) return;
  if (contentView_) contentView_->layoutSubtreeIfNeeded();
  peer_->display();
}

void Window::setOpaque(bool opaque) {
  if (opaque_ == opaque) return;
  opaque_ = opaque;
  contentDidChange();
}

void Window::setBackgroundColor(Color color) {
  if (backgroundColor_ == color) return;
  backgroundColor_ = color;
  contentDidChange();
}

void Window::setHasShadow(bool shadow) {
  if (hasShadow_ == shadow) return;
  hasShadow_ = shadow;
  contentDidChange();
}

bool Window::canBecomeKey() const { return (styleMask_ & StyleMask::titled) != 0; }

bool Window::canBecomeMain() const { return (styleMask_ & StyleMask::titled) != 0; }

void Window::installContentView(std::unique_ptr<View> view) {
  if (contentView_) contentView_->window_ = nullptr;
  contentView_ = std::move(view);
  if (contentView_) {
    contentView_->superview_ = nullptr;
    contentView_->window_ = this;
    contentView_->setFrame(Rect(Point{}, frame_.size));
    contentView_->setNeedsLayout();
  }
  contentDidChange();
}

Point Window::convertPointToScreen(Point p) const { return {p.x + frame_.origin.x, p.y + frame_.origin.y}; }

Point Window::convertPointFromScreen(Point p) const { return {p.x - frame_.origin.x, p.y - frame_.origin.y}; }

Rect Window::convertRectToScreen(const Rect& r) const {
  if (r.isNull() || r.isInfinite()) return r;
  return r.standardized().offsetBy(frame_.origin.x, frame_.origin.y);
}

Rect Window::convertRectFromScreen(const Rect& r) const {
  if (r.isNull() || r.isInfinite()) return r;
  return r.standardized().offsetBy(-frame_.origin.x, -frame_.origin.y);
}

void Window::contentDidChange() {
  if (!closed_ && peer_) peer_->setNeedsDisplay();
}

Panel::Panel(UserInterface& ui, const Rect& contentRect, uint64_t styleMask, BackingStoreType backing, bool defer)
    : Window(ui, contentRect, styleMask, backing, defer) {
  setHidesOnDeactivate(true);
}

void Panel::setFloatingPanel(bool floating) {
  floatingPanel_ = floating;
  setLevel(floating ? WindowLevel::floating : WindowLevel::normal);
}

}  // namespace corvane::ui
