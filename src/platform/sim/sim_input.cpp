#include "platform/sim/sim_input.h"

#include <algorithm>
#include <cmath>

#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_ui.h"

namespace corvane::sim {

namespace {

struct GlobalMonitor {
  uint64_t mask;
  Input::MonitorHandler handler;
  bool active = true;
};

struct LocalMonitor {
  uint64_t mask;
  Input::LocalMonitorHandler handler;
  bool active = true;
};

struct Tap {
  uint64_t mask;
  Input::TapCallback callback;
  bool inRunLoop = false;
  bool enabled = false;
  bool valid = true;
};

struct Handler {
  std::vector<EventTypeSpec> kinds;
  Input::HotKeyHandler handler;
  bool active = true;
};

struct HotKey {
  uint32_t keyCode;
  uint32_t modifiers;
  EventHotKeyID id;
  bool active = true;
};

// How far inside a window's frame a press still takes an edge (a corner: two edges).
constexpr double kResizeGrip = 5;
// The smallest size a resize by the pointer leaves a window.
constexpr double kMinimumSize = 40;
// Presses closer in time and place than this make one multiple click (the platform's default
// double-click interval, and how far the pointer may wander between the presses).
constexpr double kDoubleClickInterval = 0.5;
constexpr double kDoubleClickDistance = 4;

}  // namespace

uint32_t resizeGrip(const Rect& bounds, Point screenPoint, double mainDisplayHeight) {
  const double x = screenPoint.x;
  const double y = mainDisplayHeight - screenPoint.y;  // window-server space
  uint32_t edges = 0;
  if (!bounds.insetBy(-kResizeGrip, -kResizeGrip).contains(Point{x, y})) return 0;
  if (std::abs(x - bounds.minX()) <= kResizeGrip) edges |= ResizeEdge::left;
  if (std::abs(bounds.maxX() - x) <= kResizeGrip) edges |= ResizeEdge::right;
  if (std::abs(y - bounds.minY()) <= kResizeGrip) edges |= ResizeEdge::top;
  if (std::abs(bounds.maxY() - y) <= kResizeGrip) edges |= ResizeEdge::bottom;
  return edges;
}

Rect resizedBy(const Rect& bounds, uint32_t edges, double dx, double dy) {
  double x0 = bounds.minX(), x1 = bounds.maxX(), y0 = bounds.minY(), y1 = bounds.maxY();
  if (edges & ResizeEdge::left) x0 = std::min(x0 + dx, x1 - kMinimumSize);
  if (edges & ResizeEdge::right) x1 = std::max(x1 + dx, x0 + kMinimumSize);
  if (edges & ResizeEdge::top) y0 = std::min(y0 + dy, y1 - kMinimumSize);
  if (edges & ResizeEdge::bottom) y1 = std::max(y1 + dy, y0 + kMinimumSize);
  return Rect(x0, y0, x1 - x0, y1 - y0);
}

namespace {

InputEvent inputEvent(uint32_t type, uint64_t modifierFlags, uint16_t keyCode, Point location) {
  InputEvent event;
  event.type = type;
  event.modifierFlags = modifierFlags;
  event.keyCode = keyCode;
  event.location = location;
  return event;
}

bool inMask(uint64_t mask, uint32_t type) { return (mask & eventMaskBit(type)) != 0; }

bool isMouseEvent(uint32_t type) {
  switch (type) {
    case EventType::leftMouseDown:
    case EventType::leftMouseUp:
    case EventType::rightMouseDown:
    case EventType::rightMouseUp:
    case EventType::mouseMoved:
    case EventType::leftMouseDragged:
    case EventType::otherMouseDown:
    case EventType::otherMouseUp:
      return true;
    default:
      return false;
  }
}

template <typename T>
class Remover final : public EventMonitor {
 public:
  explicit Remover(std::shared_ptr<T> item) : item_(std::move(item)) {}
  ~Remover() override { item_->active = false; }

 private:
  std::shared_ptr<T> item_;
};

class SimEventTap final : public EventTap {
 public:
  explicit SimEventTap(std::shared_ptr<Tap> tap) : tap_(std::move(tap)) {}
  ~SimEventTap() override { tap_->valid = false; }
  void addToMainRunLoop() override { tap_->inRunLoop = true; }
  void setEnabled(bool enabled) override { tap_->enabled = enabled; }
  bool isEnabled() const override { return tap_->enabled; }

 private:
  std::shared_ptr<Tap> tap_;
};

class SimHandlerRegistration final : public EventHandlerRegistration {
 public:
  explicit SimHandlerRegistration(std::shared_ptr<Handler> h) : h_(std::move(h)) {}
  ~SimHandlerRegistration() override { h_->active = false; }

 private:
  std::shared_ptr<Handler> h_;
};

class SimHotKeyRegistration final : public HotKeyRegistration {
 public:
  explicit SimHotKeyRegistration(std::shared_ptr<HotKey> k) : k_(std::move(k)) {}
  ~SimHotKeyRegistration() override { k_->active = false; }

 private:
  std::shared_ptr<HotKey> k_;
};

template <typename T>
void prune(std::vector<std::shared_ptr<T>>& items) {
  items.erase(std::remove_if(items.begin(), items.end(), [](const auto& i) { return !i->active; }), items.end());
}

}  // namespace

struct SimInput::State {
  SimDesktop& desktop;
  Dispatcher& dispatcher;
  std::vector<std::shared_ptr<GlobalMonitor>> globals;
  std::vector<std::shared_ptr<LocalMonitor>> locals;
  std::vector<std::shared_ptr<Tap>> taps;
  std::vector<std::shared_ptr<Handler>> handlers;
  std::vector<std::shared_ptr<HotKey>> hotKeys;
  std::vector<std::pair<uint32_t, uint32_t>> reserved;
  bool listenAccess = false;
  bool grantOnRequest = false;
  bool tapCreationFails = false;
  int listenRequests = 0;
  uint64_t modifiers = 0;
  std::optional<pid_t> switcherTarget;
  std::optional<WindowID> dragged;
  Point dragLast;
  // A press within the grip of an edge or a corner resizes instead: the edges it moves, where the
  // press was and the window's bounds then.
  uint32_t resizeEdges = 0;
  Point dragStart;
  Rect startBounds;
  // The last press of the left button, for counting multiple clicks.
  double lastPressAt = -1e9;
  Point lastPressLocation;
  int64_t clickCount = 0;

  State(SimDesktop& d, Dispatcher& q) : desktop(d), dispatcher(q) {}

  Point mouse() const { return desktop.ui().mouseLocation(); }
  void setMouse(Point p) { desktop.ui().setMouseLocation(p); }

  // The frontmost window under a screen-space point that takes clicks.
  std::optional<SimWindow> windowAt(Point p) const {
    WindowID number = desktop.ui().hitTest(p).window;
    if (number == 0) return std::nullopt;
    return desktop.window(number);
  }
};

SimInput::SimInput(SimDesktop& desktop, Dispatcher& dispatcher)
    : state_(std::make_shared<State>(desktop, dispatcher)) {}

SimInput::~SimInput() = default;

std::unique_ptr<EventMonitor> SimInput::addGlobalMonitor(uint64_t mask, MonitorHandler handler) {
  prune(state_->globals);
  auto m = std::make_shared<GlobalMonitor>(GlobalMonitor{mask, std::move(handler)});
  state_->globals.push_back(m);
  return std::make_unique<Remover<GlobalMonitor>>(m);
}

std::unique_ptr<EventMonitor> SimInput::addLocalMonitor(uint64_t mask, LocalMonitorHandler handler) {
  prune(state_->locals);
  auto m = std::make_shared<LocalMonitor>(LocalMonitor{mask, std::move(handler)});
  state_->locals.push_back(m);
  return std::make_unique<Remover<LocalMonitor>>(m);
}

Point SimInput::mouseLocation() { return state_->mouse(); }

bool SimInput::preflightListenEventAccess() { return state_->listenAccess; }

bool SimInput::requestListenEventAccess() {
  ++state_->listenRequests;
  if (state_->grantOnRequest) state_->listenAccess = true;
  return state_->listenAccess;
}

std::unique_ptr<EventTap> SimInput::createEventTap(uint32_t /*location*/, uint32_t /*placement*/, uint32_t /*options*/,
                                                   uint64_t eventMask, TapCallback callback) {
  if (!state_->listenAccess || state_->tapCreationFails) return nullptr;
  state_->taps.erase(std::remove_if(state_->taps.begin(), state_->taps.end(), [](const auto& t) { return !t->valid; }),
                     state_->taps.end());
  auto tap = std::make_shared<Tap>(Tap{eventMask, std::move(callback)});
  state_->taps.push_back(tap);
  return std::make_unique<SimEventTap>(tap);
}

std::unique_ptr<EventHandlerRegistration> SimInput::installEventHandler(std::vector<EventTypeSpec> kinds,
                                                                        HotKeyHandler handler) {
  prune(state_->handlers);
  auto h = std::make_shared<Handler>(Handler{std::move(kinds), std::move(handler)});
  state_->handlers.push_back(h);
  return std::make_unique<SimHandlerRegistration>(h);
}

std::unique_ptr<HotKeyRegistration> SimInput::registerEventHotKey(uint32_t keyCode, uint32_t modifiers,
                                                                  EventHotKeyID id) {
  for (const auto& [k, m] : state_->reserved) {
    if (k == keyCode && m == modifiers) return nullptr;
  }
  prune(state_->hotKeys);
  auto key = std::make_shared<HotKey>(HotKey{keyCode, modifiers, id});
  state_->hotKeys.push_back(key);
  return std::make_unique<SimHotKeyRegistration>(key);
}

void SimInput::setListenAccessGranted(bool granted) { state_->listenAccess = granted; }
void SimInput::setGrantListenAccessOnRequest(bool grant) { state_->grantOnRequest = grant; }
void SimInput::setTapCreationFails(bool fails) { state_->tapCreationFails = fails; }
void SimInput::reserveHotKeyElsewhere(uint32_t keyCode, uint32_t modifiers) {
  state_->reserved.emplace_back(keyCode, modifiers);
}

void SimInput::post(InputEvent event, std::optional<pid_t> activates) {
  std::shared_ptr<State> state = state_;
  event.timestamp = state->dispatcher.clock().mediaTime();
  if (event.type == EventType::leftMouseDown) {
    const bool again = *event.timestamp - state->lastPressAt <= kDoubleClickInterval &&
                       std::abs(event.location.x - state->lastPressLocation.x) <= kDoubleClickDistance &&
                       std::abs(event.location.y - state->lastPressLocation.y) <= kDoubleClickDistance;
    state->clickCount = again ? state->clickCount + 1 : 1;
    state->lastPressAt = *event.timestamp;
    state->lastPressLocation = event.location;
  }
  if (event.type == EventType::leftMouseDown || event.type == EventType::leftMouseUp) event.clickCount = state->clickCount;
  // 1. Taps at the head of the session see it first and may drop it.
  auto taps = state->taps;
  for (const auto& tap : taps) {
    if (!tap->valid || !tap->inRunLoop || !tap->enabled || !inMask(tap->mask, event.type)) continue;
    auto passed = tap->callback(event.type, event);
    if (!passed) return;
    event = *passed;
  }
  // 2. The window server acts at once.
  std::optional<pid_t> target;
  if (isMouseEvent(event.type)) {
    if (auto w = state->windowAt(event.location)) target = w->ownerPID;
  } else {
    target = state->desktop.frontmostPID();
  }
  if (event.type == EventType::leftMouseDown && target && *target != state->desktop.selfPID() &&
      state->desktop.frontmostPID() != target) {
    activates = target;
  }
  if (activates) state->desktop.activateApp(*activates);
  if (event.type == EventType::leftMouseUp && target && *target == state->desktop.selfPID()) {
    state->desktop.ui().click(event.location);
  }
  // 3. The applications' monitors, on a later turn of the main queue.
  const bool ours = target && *target == state->desktop.selfPID();
  std::weak_ptr<State> weak = state;
  state->dispatcher.main().async([weak, event, ours] {
    auto s = weak.lock();
    if (!s) return;
    if (ours) {
      // Each local monitor gets what the one before it returned; nothing goes on once one swallows it.
      InputEvent passed = event;
      auto locals = s->locals;
      for (const auto& m : locals) {
        if (m->active && inMask(m->mask, passed.type)) {
          auto result = m->handler(passed);
          if (!result) break;
          passed = *result;
        }
      }
    } else {
      auto globals = s->globals;
      for (const auto& m : globals) {
        if (m->active && inMask(m->mask, event.type)) m->handler(event);
      }
    }
  });
}

void SimInput::moveMouse(Point location) {
  state_->setMouse(location);
  post(inputEvent(EventType::mouseMoved, state_->modifiers, 0, location), std::nullopt);
}

void SimInput::mouseDown(Point location) {
  state_->setMouse(location);
  post(inputEvent(EventType::leftMouseDown, state_->modifiers, 0, location), std::nullopt);
}

void SimInput::mouseUp(Point location) {
  state_->setMouse(location);
  post(inputEvent(EventType::leftMouseUp, state_->modifiers, 0, location), std::nullopt);
}

void SimInput::click(Point location) {
  mouseDown(location);
  mouseUp(location);
}

void SimInput::dragBegin(Point from) {
  auto window = state_->windowAt(from);
  // A press on none of our own windows may take the resize grip of a window: the frontmost one
  // whose frame, widened by the grip, holds the point decides.
  uint32_t edges = 0;
  if (!window || window->ownerPID != state_->desktop.selfPID()) {
    const double h = state_->desktop.mainDisplayHeight();
    for (const SimWindow& w : state_->desktop.windows()) {
      if (w.ownerPID == state_->desktop.selfPID() || !w.onScreen || w.minimised || w.appHidden || w.level < 0 ||
          w.level >= Level::dock || !w.bounds.insetBy(-kResizeGrip, -kResizeGrip).contains(Point{from.x, h - from.y})) {
        continue;
      }
      edges = resizeGrip(w.bounds, from, h);
      if (edges) window = w;
      break;
    }
  }
  // The program's own windows are borderless panels, which the pointer cannot move.
  const bool movable = window && window->ownerPID != state_->desktop.selfPID();
  state_->dragged = movable ? std::optional<WindowID>(window->number) : std::nullopt;
  state_->dragLast = from;
  state_->dragStart = from;
  state_->resizeEdges = movable ? edges : 0;
  if (movable) state_->startBounds = window->bounds;
  mouseDown(from);
}

void SimInput::dragTo(Point p) {
  if (state_->dragged && state_->resizeEdges) {
    // Window-server space: y grows downwards.
    const double dx = p.x - state_->dragStart.x;
    const double dy = -(p.y - state_->dragStart.y);
    state_->desktop.setBounds(*state_->dragged, resizedBy(state_->startBounds, state_->resizeEdges, dx, dy));
  } else if (state_->dragged) {
    // The window keeps the offset from the pointer it had at the press (screen space y grows
    // upwards, window-server space downwards).
    state_->desktop.moveWindow(*state_->dragged, Point{state_->startBounds.minX() + (p.x - state_->dragStart.x),
                                                       state_->startBounds.minY() - (p.y - state_->dragStart.y)});
  }
  state_->dragLast = p;
  state_->setMouse(p);
  post(inputEvent(EventType::leftMouseDragged, state_->modifiers, 0, p), std::nullopt);
}

void SimInput::dragEnd(Point location) {
  if (!(location == state_->dragLast)) dragTo(location);
  state_->dragged.reset();
  mouseUp(location);
}

void SimInput::drag(Point from, const std::vector<Point>& path) {
  dragBegin(from);
  for (const Point& p : path) dragTo(p);
  dragEnd(path.empty() ? from : path.back());
}

void SimInput::keyDown(uint16_t keyCode, uint64_t modifierFlags) {
  state_->modifiers = modifierFlags;
  post(inputEvent(EventType::keyDown, modifierFlags, keyCode, state_->mouse()), std::nullopt);
  // The window server closes the switcher after the taps have seen the key.
  if (keyCode == KeyCode::escape) state_->switcherTarget.reset();
}

void SimInput::keyUp(uint16_t keyCode, uint64_t modifierFlags) {
  state_->modifiers = modifierFlags;
  post(inputEvent(EventType::keyUp, modifierFlags, keyCode, state_->mouse()), std::nullopt);
}

void SimInput::flagsChanged(uint64_t modifierFlags, uint16_t keyCode) {
  const bool commandReleased =
      (state_->modifiers & ModifierFlag::command) && !(modifierFlags & ModifierFlag::command);
  state_->modifiers = modifierFlags;
  std::optional<pid_t> activates;
  if (commandReleased && state_->switcherTarget) activates = std::exchange(state_->switcherTarget, std::nullopt);
  post(inputEvent(EventType::flagsChanged, modifierFlags, keyCode, state_->mouse()), activates);
}

void SimInput::modifierKey(uint64_t flag, bool down) {
  uint16_t keyCode = 0;
  if (flag == ModifierFlag::command) keyCode = KeyCode::command;
  if (flag == ModifierFlag::shift) keyCode = KeyCode::shift;
  if (flag == ModifierFlag::option) keyCode = KeyCode::option;
  if (flag == ModifierFlag::control) keyCode = KeyCode::control;
  flagsChanged(down ? state_->modifiers | flag : state_->modifiers & ~flag, keyCode);
}

void SimInput::commandTab(pid_t target, int tabs, bool releaseCommand) {
  if (!(state_->modifiers & ModifierFlag::command)) modifierKey(ModifierFlag::command, true);
  for (int i = 0; i < tabs; ++i) {
    state_->switcherTarget = target;
    keyDown(KeyCode::tab, state_->modifiers);
    keyUp(KeyCode::tab, state_->modifiers);
  }
  if (releaseCommand) modifierKey(ModifierFlag::command, false);
}

void SimInput::hotKey(uint32_t keyCode, uint32_t modifiers, bool pressed) {
  std::optional<EventHotKeyID> id;
  for (const auto& key : state_->hotKeys) {
    if (key->active && key->keyCode == keyCode && key->modifiers == modifiers) {
      id = key->id;
      break;
    }
  }
  if (!id) return;  // nobody holds the combination: the keys reach the frontmost application
  HotKeyEvent event;
  event.kind = pressed ? HotKeyEventKind::pressed : HotKeyEventKind::released;
  event.directObject = id;
  std::weak_ptr<State> weak = state_;
  state_->dispatcher.main().async([weak, event] {
    auto s = weak.lock();
    if (!s) return;
    auto handlers = s->handlers;
    for (const auto& h : handlers) {
      if (!h->active) continue;
      for (const auto& k : h->kinds) {
        if (k.eventClass == event.eventClass && k.eventKind == event.kind) {
          h->handler(&event);
          break;
        }
      }
    }
  });
}

void SimInput::disableTaps(bool byTimeout) {
  const uint32_t type = byTimeout ? EventType::tapDisabledByTimeout : EventType::tapDisabledByUserInput;
  auto taps = state_->taps;
  for (const auto& tap : taps) {
    if (!tap->valid || !tap->enabled) continue;
    tap->enabled = false;
    if (tap->inRunLoop) tap->callback(type, inputEvent(type, 0, 0, state_->mouse()));
  }
}

size_t SimInput::globalMonitorCount() const {
  return size_t(std::count_if(state_->globals.begin(), state_->globals.end(), [](const auto& m) { return m->active; }));
}
size_t SimInput::localMonitorCount() const {
  return size_t(std::count_if(state_->locals.begin(), state_->locals.end(), [](const auto& m) { return m->active; }));
}
size_t SimInput::tapCount() const {
  return size_t(std::count_if(state_->taps.begin(), state_->taps.end(), [](const auto& t) { return t->valid; }));
}
size_t SimInput::enabledTapCount() const {
  return size_t(std::count_if(state_->taps.begin(), state_->taps.end(),
                              [](const auto& t) { return t->valid && t->enabled && t->inRunLoop; }));
}
int SimInput::listenAccessRequests() const { return state_->listenRequests; }
uint64_t SimInput::currentModifierFlags() const { return state_->modifiers; }

}  // namespace corvane::sim
