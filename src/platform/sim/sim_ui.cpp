#include "platform/sim/sim_ui.h"

#include <map>

#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_font.h"
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

}  // namespace

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
