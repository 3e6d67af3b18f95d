#include "overlay/overlay_chip_panel.h"

#include "overlay/overlay_content_view.h"

namespace corvane {

OverlayChipPanel::OverlayChipPanel(ui::UserInterface& ui)
    : ui::Panel(ui, Rect::zero(), ui::StyleMask::nonactivatingPanel, ui::BackingStoreType::buffered, false) {
  setOpaque(false);
  setBackgroundColor(ui::Color::clear());
  setHasShadow(true);
  setLevel(frontFrostLevel);
  setFloatingPanel(true);
  setHidesOnDeactivate(false);
  setBecomesKeyOnlyIfNeeded(true);
  setIgnoresMouseEvents(false);
  setSharingType(ui::SharingType::readWrite);
  setCollectionBehavior(ui::CollectionBehavior::canJoinAllSpaces | ui::CollectionBehavior::stationary |
                        ui::CollectionBehavior::ignoresCycle | ui::CollectionBehavior::fullScreenAuxiliary);

  auto content = std::make_unique<ui::View>();
  content->setWantsLayer(true);
  content->layer()->setBackgroundColor(ui::Color::calibratedWhite(0.11, 0.94));
  content->layer()->setCornerRadius(14);
  content->layer()->setMasksToBounds(true);

  auto button = std::make_unique<OverlayButton>();
  const std::string title = OverlayContentView::blurTitle();
  button->setTitle(title);
  button->setBordered(false);
  button->setFont(ui::Font::systemFont(11, ui::FontWeight::semibold));
  button->setContentTintColor(ui::Color::white());
  button->setImage(ui::Image::systemSymbol("eye.slash.fill", title));
  button->setImagePosition(ui::ImagePosition::imageLeading);
  button->setImageHugsTitle(true);
  button->setAction("tapped", [this] { tapped(); });
  button_ = &content->addSubview(std::move(button));
  setContentView(std::move(content));
}

void OverlayChipPanel::place(const Rect& rect) {
  setFrame(rect, true);
  button_->setFrame(contentView()->bounds());
  orderFront();
}

void OverlayChipPanel::tapped() {
  if (onTap) onTap();
}

}  // namespace corvane
