#include "shields/blur_rect_windows.h"

#include "base/localization.h"

namespace corvane {

BlurRectInteractionView::BlurRectInteractionView(const Rect& frame) : ui::View(frame) {
  blur_ = &addSubview(std::make_unique<FrostedBlurView>(bounds()));

  auto button = std::make_unique<BlurRectCloseButton>(Rect(0, 0, closeButtonSide, closeButtonSide));
  button->setTitle("");
  button->setImage(ui::Image::systemSymbol("xmark", localized("Remove blur rect", "Remove blur rect button")));
  button->setImagePosition(ui::ImagePosition::imageOnly);
  button->setBordered(false);
  button->setWantsLayer(true);
  button->setContentTintColor(ui::Color::white());
  button->layer()->setCornerRadius(closeButtonSide / 2);
  button->layer()->setBackgroundColor(ui::Color::black(0.55));
  button->layer()->setBorderColor(ui::Color::white(0.85));
  button->layer()->setBorderWidth(1);
  button->setHidden(true);
  // The removal closes this view's window: each hop runs a copy of the callback.
  button->setAction("removeRect", [this] {
    if (auto remove = onRemove) remove();
  });
  closeButton_ = &addSubview(std::move(button));
}

void BlurRectInteractionView::layout() {
  const Rect b = bounds();
  blur_->setFrame(b);
  const double offset = closeButtonSide + closeButtonInset;
  closeButton_->setFrame(Rect(b.width() - offset, b.height() - offset, closeButtonSide, closeButtonSide));
}

ui::View* BlurRectInteractionView::hitTest(Point point) {
  if (isHidden() || !frame().contains(point)) return nullptr;
  const Point local{point.x - frame().minX(), point.y - frame().minY()};
  if (!closeButton_->isHidden() && closeButton_->frame().contains(local)) return closeButton_;
  return this;
}

namespace {

// What both panels share: borderless, transparent, no shadow, seen by the share, on every space,
// never hidden when the application is not active (a rectangle must never leave the share).
void preparePanel(ui::Panel& panel, int64_t level) {
  panel.setOpaque(false);
  panel.setBackgroundColor(ui::Color::clear());
  panel.setHasShadow(false);
  panel.setFloatingPanel(true);
  panel.setLevel(level);
  panel.setAcceptsMouseMovedEvents(true);
  panel.setSharingType(ui::SharingType::readWrite);
  panel.setCollectionBehavior(blurRectCollectionBehavior);
  panel.setHidesOnDeactivate(false);
}

}  // namespace

BlurRectWindow::BlurRectWindow(ui::UserInterface& ui, const Rect& screenFrame)
    : ui::Panel(ui, screenFrame, ui::StyleMask::nonactivatingPanel, ui::BackingStoreType::buffered, false) {
  preparePanel(*this, blurRectWindowLevel);
  setBecomesKeyOnlyIfNeeded(true);
  interaction_ = &setContentView(std::make_unique<BlurRectInteractionView>(Rect(Point{}, screenFrame.size)));
  interaction_->onRemove = [this] {
    if (auto remove = onRemove) remove();
  };
  setScreenFrame(screenFrame);
}

void BlurRectWindow::setBlurIntensity(double strength) {
  interaction_->blur().setBlurIntensity(strength);
  interaction_->blur().applyBlurIntensity(strength);
}

void BlurRectWindow::setScreenFrame(const Rect& frame) {
  setFrame(frame, false);
  interaction_->layoutSubtreeIfNeeded();
}

DrawModeOverlayWindow::DrawModeOverlayWindow(ui::UserInterface& ui, const ScreenInfo& screen)
    : ui::Panel(ui, screen.frame, ui::StyleMask::nonactivatingPanel, ui::BackingStoreType::buffered, false) {
  preparePanel(*this, drawModeOverlayWindowLevel);
  setBecomesKeyOnlyIfNeeded(false);
  setContentView(std::make_unique<DrawModeCaptureView>(Rect(Point{}, screen.frame.size)));
  setFrame(screen.frame, false);
}

}  // namespace corvane
