#include "shields/blur_rect_manager.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

namespace corvane {

namespace {

// A random (version 4) UUID in its usual text form.
std::string randomUUID() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  const uint64_t high = (generator() & ~uint64_t(0xF000)) | 0x4000;                      // version 4
  const uint64_t low = (generator() & ~(uint64_t(0x3) << 62)) | (uint64_t(0x2) << 62);  // variant 10
  char text[37];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", unsigned(high >> 32), unsigned((high >> 16) & 0xFFFF),
                unsigned(high & 0xFFFF), unsigned(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
  return text;
}

}  // namespace

BlurRectManager::BlurRectManager(ui::UserInterface& ui, Input& input, const Clock& clock)
    : ui_(ui), input_(input), clock_(clock), alive_(std::make_shared<BlurRectManager*>(this)) {}

BlurRectManager::~BlurRectManager() {
  *alive_ = nullptr;
  onChange = nullptr;
}

bool BlurRectManager::registerTripleTap(std::vector<double>& times, double t) {
  times.push_back(t);
  if (times.size() > 3) times.erase(times.begin(), times.end() - 3);
  if (times.size() == 3 && t - times.front() <= tripleTapWindow) {
    times.clear();
    return true;
  }
  return false;
}

Rect BlurRectManager::spannedRect(Point a, Point b) {
  return Rect(std::min(a.x, b.x), std::min(a.y, b.y), std::abs(a.x - b.x), std::abs(a.y - b.y));
}

void BlurRectManager::changed() {
  if (onChange) onChange();
}

// ---- Monitors ---------------------------------------------------------------------------------

void BlurRectManager::start() {
  if (started_) return;
  started_ = true;
  std::weak_ptr<BlurRectManager*> weak = alive_;
  auto global = [weak](void (BlurRectManager::*handle)(const InputEvent&)) {
    return [weak, handle](const InputEvent& event) {
      auto alive = weak.lock();
      if (alive && *alive) ((*alive)->*handle)(event);
    };
  };
  auto local = [weak](void (BlurRectManager::*handle)(const InputEvent&)) {
    return [weak, handle](const InputEvent& event) -> std::optional<InputEvent> {
      auto alive = weak.lock();
      if (alive && *alive) ((*alive)->*handle)(event);
      return event;
    };
  };
  // A monitor that cannot be installed stays absent; the others still work.
  globalFlagsMonitor_ = input_.addGlobalMonitor(flagsChangedMask, global(&BlurRectManager::handleFlagsChanged));
  localFlagsMonitor_ = input_.addLocalMonitor(flagsChangedMask, local(&BlurRectManager::handleFlagsChanged));
  globalKeyMonitor_ = input_.addGlobalMonitor(keyDownMask, global(&BlurRectManager::handleKeyDown));
  localKeyMonitor_ = input_.addLocalMonitor(keyDownMask, local(&BlurRectManager::handleKeyDown));
  auto hover = [](BlurRectManager& m, const InputEvent&) { m.updateHoverStates(); };
  hoverGlobalMonitor_ = input_.addGlobalMonitor(hoverMask, [weak, hover](const InputEvent& event) {
    auto alive = weak.lock();
    if (alive && *alive) hover(**alive, event);
  });
  hoverLocalMonitor_ = input_.addLocalMonitor(hoverMask, [weak, hover](const InputEvent& event) -> std::optional<InputEvent> {
    auto alive = weak.lock();
    if (alive && *alive) hover(**alive, event);
    return event;
  });
  drawLocalMonitor_ = input_.addLocalMonitor(drawMask, local(&BlurRectManager::handlePointer));
}

double BlurRectManager::eventTime(const InputEvent& event) const {
  return event.timestamp.value_or(clock_.mediaTime());
}

void BlurRectManager::handleFlagsChanged(const InputEvent& event) {
  const bool command = (event.modifierFlags & ModifierFlag::command) != 0;
  const bool control = (event.modifierFlags & ModifierFlag::control) != 0;
  const bool option = (event.modifierFlags & ModifierFlag::option) != 0;
  if (command && !commandWasDown_ && !control) {
    if (!option && registerTripleTap(commandTapTimes_, eventTime(event))) {
      if (isDrawMode_) {
        leaveDrawMode();
      } else {
        enterDrawMode();
      }
    }
  } else if (control && !command && !option && !controlWasDown_) {
    if (registerTripleTap(controlTapTimes_, eventTime(event))) clearAll();
  }
  commandWasDown_ = command;
  controlWasDown_ = control;
}

void BlurRectManager::handleKeyDown(const InputEvent& event) {
  if (isDrawMode_ && event.keyCode == KeyCode::escape) {
    leaveDrawMode();
    return;
  }
  // A key typed with Command or Control held (Command-Z, Control-A) makes that press a shortcut,
  // not a tap: three quick undos are no gesture.
  if (event.modifierFlags & (ModifierFlag::command | ModifierFlag::control)) {
    commandTapTimes_.clear();
    controlTapTimes_.clear();
  }
}

void BlurRectManager::handlePointer(const InputEvent& event) {
  const Point p = event.location;
  if (event.type == EventType::leftMouseDown) {
    // The rectangles stand in front of the draw panels: a press inside one is the rectangle's.
    for (const StoredRect& rect : rects_) {
      if (!rect.frame.contains(p)) continue;
      if (event.clickCount == 2) removeRect(rect.id);
      return;
    }
    if (!isDrawMode_) return;
    const bool onPanel = std::any_of(drawOverlayWindows_.begin(), drawOverlayWindows_.end(),
                                     [&](const auto& w) { return w->frame().contains(p); });
    if (!onPanel) return;
    drawStart_ = p;
    isDrawing_ = true;
    showPreview(Rect(p, Size{0, 0}));
  } else if (event.type == EventType::leftMouseDragged) {
    if (drawStart_) updatePreview(*drawStart_, p);
  } else if (event.type == EventType::leftMouseUp) {
    if (drawStart_) finishDrawing(*drawStart_, p);
  }
}

// ---- Draw mode --------------------------------------------------------------------------------

void BlurRectManager::enterDrawMode() {
  if (isDrawMode_) return;
  isDrawMode_ = true;
  hideAllRemoveControls();
  showDrawOverlays();
  changed();
}

void BlurRectManager::leaveDrawMode() {
  if (!isDrawMode_) return;
  isDrawing_ = false;
  isDrawMode_ = false;
  drawStart_.reset();
  dropPreview();
  hideDrawOverlays();
  restoreRemoveControls();
  updateHoverStates();
  changed();
}

void BlurRectManager::showDrawOverlays() {
  hideDrawOverlays();
  for (const ScreenInfo& screen : ui_.screens()) {
    auto window = std::make_unique<DrawModeOverlayWindow>(ui_, screen);
    window->orderFrontRegardless();
    drawOverlayWindows_.push_back(std::move(window));
  }
  if (!drawOverlayWindows_.empty()) drawOverlayWindows_.front()->orderFront();
}

void BlurRectManager::hideDrawOverlays() {
  for (auto& window : drawOverlayWindows_) window->orderOut();
  drawOverlayWindows_.clear();
}

void BlurRectManager::hideAllRemoveControls() {
  for (auto& entry : windows_) {
    entry.window->interaction().showsRemoveControl = false;
    entry.window->interaction().closeButton().setHidden(true);
  }
}

void BlurRectManager::restoreRemoveControls() {
  for (auto& entry : windows_) entry.window->interaction().showsRemoveControl = true;
}

void BlurRectManager::updateHoverStates() {
  const Point mouse = input_.mouseLocation();
  for (auto& entry : windows_) {
    BlurRectInteractionView& view = entry.window->interaction();
    const bool shows = !isDrawMode_ && view.showsRemoveControl && entry.window->frame().contains(mouse);
    view.closeButton().setHidden(!shows);
  }
}

// ---- Drawing ----------------------------------------------------------------------------------

std::unique_ptr<BlurRectWindow> BlurRectManager::makeWindow(const Rect& frame, bool showsRemoveControl) {
  auto window = std::make_unique<BlurRectWindow>(ui_, frame);
  window->setTintAlpha(tintAlpha_);
  window->setBlurIntensity(blurIntensity_);
  window->interaction().showsRemoveControl = showsRemoveControl;
  return window;
}

void BlurRectManager::showPreview(const Rect& frame) {
  if (!previewWindow_) previewWindow_ = makeWindow(frame, false);
  previewWindow_->setScreenFrame(frame);
  previewWindow_->orderFrontRegardless();
}

void BlurRectManager::updatePreview(Point from, Point to) {
  const Rect frame = spannedRect(from, to);
  if (!previewWindow_) {
    showPreview(frame);
    return;
  }
  previewWindow_->setScreenFrame(frame);
  previewWindow_->displayIfNeeded();
  if (!previewWindow_->isVisible()) previewWindow_->orderFrontRegardless();
}

void BlurRectManager::finishDrawing(Point from, Point to) {
  const Rect frame = spannedRect(from, to);
  drawStart_.reset();
  isDrawing_ = false;
  dropPreview();
  // A smaller drag is dropped silently; draw mode stays on for the next rectangle.
  if (frame.width() >= minRectSize && frame.height() >= minRectSize) addRect(frame);
}

void BlurRectManager::dropPreview() {
  if (!previewWindow_) return;
  previewWindow_->orderOut();
  previewWindow_.reset();
}

// ---- Rectangles -------------------------------------------------------------------------------

void BlurRectManager::addRect(const Rect& frame) {
  StoredRect rect{randomUUID(), frame};
  rects_.push_back(rect);
  auto window = makeWindow(frame, !isDrawMode_);
  std::weak_ptr<BlurRectManager*> weak = alive_;
  window->onRemove = [weak, id = rect.id] {
    auto alive = weak.lock();
    if (alive && *alive) (*alive)->removeRect(id);
  };
  window->orderFrontRegardless();
  windows_.push_back({rect.id, std::move(window)});
  changed();
  updateHoverStates();
}

void BlurRectManager::removeRect(std::string id) {
  auto entry = std::find_if(windows_.begin(), windows_.end(), [&](const RectWindow& w) { return w.id == id; });
  if (entry != windows_.end()) {
    entry->window->orderOut();
    windows_.erase(entry);
  }
  std::erase_if(rects_, [&](const StoredRect& r) { return r.id == id; });
  changed();
  updateHoverStates();
}

void BlurRectManager::clearAll() {
  drawStart_.reset();
  isDrawing_ = false;
  dropPreview();
  for (auto& entry : windows_) entry.window->orderOut();
  windows_.clear();
  rects_.clear();
  changed();
}

void BlurRectManager::applyAppearance() {
  auto apply = [this](BlurRectWindow& window) {
    window.setTintAlpha(tintAlpha_);
    window.setBlurIntensity(blurIntensity_);
  };
  if (previewWindow_) apply(*previewWindow_);
  for (auto& entry : windows_) apply(*entry.window);
}

BlurRectWindow* BlurRectManager::window(const std::string& id) const {
  for (const auto& entry : windows_) {
    if (entry.id == id) return entry.window.get();
  }
  return nullptr;
}

}  // namespace corvane
