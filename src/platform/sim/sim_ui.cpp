#include "platform/sim/sim_ui.h"

#include <map>

#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_font.h"
#include "platform/sim/sim_form_window.h"
#include "platform/sim/sim_scene.h"

namespace corvane::sim {

namespace {

class SimWindowPeer;

WindowID toWindowID(int64_t number) {
  return number > 0 && number <= int64_t(UINT32_MAX) ? WindowID(number) : 0;
}

}  // namespace

struct SimUI::State : std::enable_shared_from_this<SimUI::State> {
  explicit State(SimDesktop& d) : desktop(d) {}

  void scheduleCommit() {
    if (commitScheduled) return;
    commitScheduled = true;
    desktop.dispatcher().main().async([weak = weak_from_this()] {
      if (auto state = weak.lock()) state->commitAll();
    });
  }
  void commitAll();
  void commit(SimWindowPeer& peer);
  // Hands the desktop what the menu bar shows now.
  void publishMenuBar();

  struct StatusItemRecord {
    uint64_t id = 0;
    StatusItemLook look;
    std::shared_ptr<ui::Menu> menu;
  };
  std::vector<StatusItemRecord> statusItems;
  std::vector<SimFormWindow*> formWindows;
  uint64_t nextStatusItemID = 1;
  std::optional<uint64_t> openStatusItem;

  StatusItemRecord* findStatusItem(uint64_t id) {
    for (auto& item : statusItems) {
      if (item.id == id) return &item;
    }
    return nullptr;
  }

  SimDesktop& desktop;
  std::map<WindowID, SimWindowPeer*> peers;
  Point mouse;
  bool commitScheduled = false;
};

namespace {

class SimWindowPeer final : public ui::WindowPeer {
 public:
  SimWindowPeer(std::shared_ptr<SimUI::State> state, ui::Window& window, WindowID number)
      : state_(state), window_(window), number_(number) {
    state->peers[number] = this;
  }
  ~SimWindowPeer() override { close(); }

  int64_t windowNumber() const override { return number_; }

  void setFrame(const Rect& frame) override {
    if (auto s = live()) s->desktop.setBounds(number_, frame.flipped(s->desktop.mainDisplayHeight()));
  }
  void setLevel(int64_t level) override {
    if (auto s = live()) s->desktop.setLevel(number_, level);
  }
  void setSharingType(ui::SharingType type) override {
    if (auto s = live()) s->desktop.setSharingState(number_, static_cast<WindowSharingState>(type));
  }
  void setAlphaValue(double alpha) override {
    if (auto s = live()) s->desktop.setAlpha(number_, alpha);
  }
  void order(ui::WindowOrderingMode mode, int64_t relativeTo) override {
    auto s = live();
    if (!s) return;
    if (mode == ui::WindowOrderingMode::out) {
      s->desktop.setOnScreen(number_, false);
      return;
    }
    s->desktop.setOnScreen(number_, true);
    s->desktop.orderWindow(number_, mode == ui::WindowOrderingMode::above, toWindowID(relativeTo));
  }
  bool isOnScreen() const override {
    auto s = live();
    if (!s) return false;
    auto w = s->desktop.window(number_);
    return w && w->onScreen && !w->minimised;
  }
  void close() override {
    auto s = live();
    closed_ = true;
    if (!s) return;
    s->peers.erase(number_);
    s->desktop.closeWindow(number_);
  }
  void setNeedsDisplay() override {
    auto s = live();
    if (!s) return;
    dirty_ = true;
    s->scheduleCommit();
  }
  void display() override {
    if (auto s = live()) s->commit(*this);
  }

  ui::Window& window() const { return window_; }
  WindowID number() const { return number_; }
  bool dirty() const { return dirty_; }
  void setDirty(bool dirty) { dirty_ = dirty; }

 private:
  std::shared_ptr<SimUI::State> live() const {
    if (closed_) return nullptr;
    return state_.lock();
  }

  std::weak_ptr<SimUI::State> state_;
  ui::Window& window_;
  WindowID number_;
  bool closed_ = false;
  bool dirty_ = true;
};

class SimStatusItem final : public ui::StatusItem {
 public:
  SimStatusItem(std::shared_ptr<SimUI::State> state, uint64_t id) : state_(state), id_(id) {}
  ~SimStatusItem() override {
    auto s = state_.lock();
    if (!s) return;
    if (auto* record = s->findStatusItem(id_); record && record->menu) record->menu->itemsDidChange = nullptr;
    std::erase_if(s->statusItems, [&](const auto& r) { return r.id == id_; });
    if (s->openStatusItem == id_) s->openStatusItem.reset();
    s->publishMenuBar();
  }

  void setVisible(bool visible) override {
    edit([&](SimUI::State::StatusItemRecord& r) { r.look.visible = visible; });
  }
  bool isVisible() const override {
    auto s = state_.lock();
    auto* r = s ? s->findStatusItem(id_) : nullptr;
    return r && r->look.visible;
  }
  void setAutosaveName(std::string name) override {
    edit([&](SimUI::State::StatusItemRecord& r) { r.look.autosaveName = std::move(name); });
  }
  void setImage(std::optional<ui::Image> image, bool isTemplate, double opacity) override {
    edit([&](SimUI::State::StatusItemRecord& r) {
      r.look.image = std::move(image);
      r.look.isTemplate = isTemplate;
      r.look.imageOpacity = opacity;
    });
  }
  void setTitle(std::string title) override {
    edit([&](SimUI::State::StatusItemRecord& r) { r.look.title = std::move(title); });
  }
  void setToolTip(std::string toolTip) override {
    edit([&](SimUI::State::StatusItemRecord& r) { r.look.toolTip = std::move(toolTip); });
  }
  void setMenu(std::shared_ptr<ui::Menu> menu) override {
    std::weak_ptr<SimUI::State> weak = state_;
    if (menu) {
      menu->itemsDidChange = [weak, id = id_] {
        auto s = weak.lock();
        if (s && s->openStatusItem == id) s->publishMenuBar();
      };
    }
    edit([&](SimUI::State::StatusItemRecord& r) {
      if (r.menu && r.menu != menu) r.menu->itemsDidChange = nullptr;
      r.menu = std::move(menu);
    });
  }
  std::shared_ptr<ui::Menu> menu() const override {
    auto s = state_.lock();
    auto* r = s ? s->findStatusItem(id_) : nullptr;
    return r ? r->menu : nullptr;
  }

 private:
  template <typename Edit>
  void edit(Edit change) {
    auto s = state_.lock();
    if (!s) return;
    if (auto* r = s->findStatusItem(id_)) {
      change(*r);
      s->publishMenuBar();
    }
  }

  std::weak_ptr<SimUI::State> state_;
  uint64_t id_;
};

}  // namespace

void SimUI::State::publishMenuBar() {
  auto look = std::make_shared<MenuBarLook>();
  for (size_t i = 0; i < statusItems.size(); ++i) {
    look->items.push_back(statusItems[i].look);
    if (openStatusItem == statusItems[i].id && statusItems[i].menu) {
      look->openItem = i;
      for (const auto& item : statusItems[i].menu->items()) look->openMenu.push_back(menuRowLook(*item));
    }
  }
  desktop.setMenuBar(statusItems.empty() ? nullptr : std::move(look));
}

void SimUI::State::commit(SimWindowPeer& peer) {
  if (ui::View* content = peer.window().contentView()) content->layoutSubtreeIfNeeded();
  peer.setDirty(false);
  desktop.setScene(peer.number(), makeScene(peer.window()));
}

void SimUI::State::commitAll() {
  // Lay everything out first: a layout may change other views before they are copied.
  std::vector<SimWindowPeer*> dirty;
  for (auto& [number, peer] : peers) {
    if (peer->dirty()) dirty.push_back(peer);
  }
  for (SimWindowPeer* peer : dirty) {
    if (ui::View* content = peer->window().contentView()) content->layoutSubtreeIfNeeded();
  }
  for (SimWindowPeer* peer : dirty) commit(*peer);
  commitScheduled = false;
}

SimUI::SimUI(SimDesktop& desktop) : state_(std::make_shared<State>(desktop)) {}

SimUI::~SimUI() = default;

std::unique_ptr<ui::WindowPeer> SimUI::makeWindowPeer(ui::Window& window, const Rect& contentRect) {
  SimDesktop& desktop = state_->desktop;
  SimWindow w;
  w.ownerPID = desktop.selfPID();
  w.level = window.level();
  w.bounds = contentRect.flipped(desktop.mainDisplayHeight());
  w.sharingState = static_cast<WindowSharingState>(window.sharingType());
  w.alpha = window.alphaValue();
  w.onScreen = false;
  // Empty until its content is first committed: the program's windows never show generated content.
  w.scene = std::make_shared<WindowScene>();
  const WindowID number = desktop.addWindow(w);
  auto peer = std::make_unique<SimWindowPeer>(state_, window, number);
  state_->scheduleCommit();
  return peer;
}

Point SimUI::mouseLocation() { return state_->mouse; }

void SimUI::setMouseLocation(Point location) { state_->mouse = location; }

Size SimUI::measureText(std::string_view text, const ui::Font& font) {
  return textSize(text, font.pointSize, font.weight >= ui::FontWeight::semibold);
}

void SimUI::flush() { state_->commitAll(); }

std::vector<ScreenInfo> SimUI::screens() { return state_->desktop.screens().screens(); }

Dispatcher& SimUI::dispatcher() { return state_->desktop.dispatcher(); }

std::unique_ptr<ui::StatusItem> SimUI::makeStatusItem(double) {
  State::StatusItemRecord record;
  record.id = state_->nextStatusItemID++;
  state_->statusItems.push_back(record);
  state_->publishMenuBar();
  return std::make_unique<SimStatusItem>(state_, record.id);
}

bool SimUI::hasSystemSymbol(const std::string& name) { return name.rfind("eye", 0) == 0; }

std::optional<int> SimUI::runModalAlert(const ui::Alert& alert) {
  alerts_.push_back(alert);
  return 0;
}

std::unique_ptr<ui::FormWindow> SimUI::makeFormWindow(const ui::FormWindowStyle& style) {
  auto slot = std::make_shared<SimFormWindow*>(nullptr);
  std::weak_ptr<State> weak = state_;
  auto window = std::make_unique<SimFormWindow>(*this, style, [weak, slot] {
    if (auto state = weak.lock()) std::erase(state->formWindows, *slot);
  });
  *slot = window.get();
  state_->formWindows.push_back(window.get());
  return window;
}

std::vector<SimFormWindow*> SimUI::formWindows() const { return state_->formWindows; }

size_t SimUI::statusItemCount() const { return state_->statusItems.size(); }

std::optional<StatusItemLook> SimUI::statusItem(size_t index) const {
  if (index >= state_->statusItems.size()) return std::nullopt;
  return state_->statusItems[index].look;
}

bool SimUI::openStatusMenu(size_t index) {
  if (index >= state_->statusItems.size()) return false;
  const uint64_t id = state_->statusItems[index].id;
  std::shared_ptr<ui::Menu> menu = state_->statusItems[index].menu;
  if (!menu || !state_->statusItems[index].look.visible) return false;
  // The delegate may do anything, even remove the status item.
  if (menu->menuWillOpen) menu->menuWillOpen();
  if (!state_->findStatusItem(id)) return false;
  state_->openStatusItem = id;
  state_->publishMenuBar();
  return true;
}

void SimUI::closeStatusMenu() {
  if (!state_->openStatusItem) return;
  state_->openStatusItem.reset();
  state_->publishMenuBar();
}

std::shared_ptr<ui::Menu> SimUI::openMenu() const {
  if (!state_->openStatusItem) return nullptr;
  auto* record = state_->findStatusItem(*state_->openStatusItem);
  return record ? record->menu : nullptr;
}

SimUI::Choice SimUI::chooseMenuItem(const std::string& title) {
  std::shared_ptr<ui::Menu> menu = openMenu();
  if (!menu) return Choice::noOpenMenu;
  std::shared_ptr<ui::MenuItem> item;
  for (const auto& i : menu->items()) {
    if (!i->isSeparator() && i->title == title) {
      item = i;
      break;
    }
  }
  if (!item) return Choice::noSuchItem;
  if (!item->enabled) return Choice::disabled;
  closeStatusMenu();
  // The item and the menu are kept alive by the local copies while the action rebuilds the menu.
  if (item->action) item->action(*item);
  return Choice::chosen;
}

ui::Window* SimUI::window(WindowID number) const {
  auto it = state_->peers.find(number);
  return it == state_->peers.end() ? nullptr : &it->second->window();
}

SimUI::Click SimUI::hitTest(Point point) {
  SimDesktop& desktop = state_->desktop;
  const double height = desktop.mainDisplayHeight();
  const pid_t self = desktop.selfPID();
  for (const SimWindow& w : desktop.windows()) {
    if (!w.onScreen || w.minimised || w.appHidden || !(w.alpha > 0)) continue;
    if (!w.bounds.flipped(height).contains(point)) continue;
    Click click;
    click.window = w.number;
    if (w.ownerPID == self) {
      ui::Window* own = window(w.number);
      if (own && own->ignoresMouseEvents()) continue;
      click.ownWindow = own;
      if (own && own->contentView()) click.view = own->contentView()->hitTest(own->convertPointFromScreen(point));
    }
    return click;
  }
  return {};
}

SimUI::Click SimUI::click(Point point) {
  setMouseLocation(point);
  Click click = hitTest(point);
  if (auto* button = dynamic_cast<ui::Button*>(click.view); button && button->acceptsFirstMouse()) {
    button->performClick();
    click.performed = true;
  }
  return click;
}

}  // namespace corvane::sim
