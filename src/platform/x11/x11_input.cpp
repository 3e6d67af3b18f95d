// Input on X11: the hot keys are passive key grabs on the root window (Super stands for Command,
// Alt for Option); global pointer and key events come from XInput 2 raw events, which need no
// permission; event taps listen to the same stream (X11 offers no way to drop another program's
// input, so a tap's answer is not applied) and never get disabled. Alt-Tab and Super-Tab are this
// platform's application switchers: a Tab pressed with Alt is reported with the Command flag too,
// so that the switcher guard prepares overlays for either.
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "base/observable.h"
#include "platform/input.h"
#include "platform/x11/x11_internal.h"

namespace corvane::x11 {

namespace {

constexpr uint16_t kUnknownKey = 0xFFFF;

struct KeyMapping {
  uint16_t keyCode;
  xcb_keysym_t keysym;
};
// Every key the program names, by the reference platform's virtual key code.
constexpr KeyMapping kKeys[] = {
    {KeyCode::a, 0x61}, {KeyCode::s, 0x73}, {KeyCode::d, 0x64}, {KeyCode::b, 0x62},       {KeyCode::r, 0x72},
    {KeyCode::p, 0x70}, {KeyCode::tab, 0xff09}, {KeyCode::escape, 0xff1b},
    {KeyCode::command, 0xffeb}, {KeyCode::command, 0xffec},  // Super_L, Super_R
    {KeyCode::shift, 0xffe1},   {KeyCode::shift, 0xffe2},    // Shift_L, Shift_R
    {KeyCode::option, 0xffe9},  {KeyCode::option, 0xffea},   // Alt_L, Alt_R
    {KeyCode::control, 0xffe3}, {KeyCode::control, 0xffe4},  // Control_L, Control_R
};

uint64_t modifierFlagOf(uint16_t keyCode) {
  switch (keyCode) {
    case KeyCode::command: return ModifierFlag::command;
    case KeyCode::shift: return ModifierFlag::shift;
    case KeyCode::option: return ModifierFlag::option;
    case KeyCode::control: return ModifierFlag::control;
    default: return 0;
  }
}

uint16_t xModifiers(uint32_t hotKeyModifiers) {
  uint16_t m = 0;
  if (hotKeyModifiers & HotKeyModifier::command) m |= XCB_MOD_MASK_4;
  if (hotKeyModifiers & HotKeyModifier::option) m |= XCB_MOD_MASK_1;
  if (hotKeyModifiers & HotKeyModifier::control) m |= XCB_MOD_MASK_CONTROL;
  if (hotKeyModifiers & HotKeyModifier::shift) m |= XCB_MOD_MASK_SHIFT;
  return m;
}

// Caps Lock and Num Lock (Mod2 on every common layout) must not stop a hot key.
constexpr uint16_t kLockCombos[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
constexpr uint16_t kRelevantModifiers = XCB_MOD_MASK_4 | XCB_MOD_MASK_1 | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT;

struct InputState {
  explicit InputState(State& s) : state(s), symbols(xcb_key_symbols_alloc(s.conn.xcb())) {}
  ~InputState() { xcb_key_symbols_free(symbols); }
  State& state;
  xcb_key_symbols_t* symbols;
  uint64_t flags = 0;
  bool rawSelected = false;
  bool motionPending = false;

  struct Grab {
    xcb_keycode_t keycode;
    uint16_t modifiers;
    EventHotKeyID id;
  };
  std::map<uint64_t, Grab> grabs;
  uint64_t nextGrab = 1;
  Signal<HotKeyEvent> hotKeys;
  Signal<uint32_t, InputEvent> global;  // type, event
  Signal<uint32_t, InputEvent> local;

  uint16_t keyCodeOf(xcb_keycode_t keycode) {
    for (int col = 0; col < 2; ++col) {
      const xcb_keysym_t sym = xcb_key_symbols_get_keysym(symbols, keycode, col);
      for (const KeyMapping& k : kKeys) {
        if (k.keysym == sym) return k.keyCode;
      }
    }
    return kUnknownKey;
  }
  std::optional<xcb_keycode_t> keycodeOf(uint16_t keyCode) {
    for (const KeyMapping& k : kKeys) {
      if (k.keyCode != keyCode) continue;
      if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, k.keysym)) {
        const xcb_keycode_t first = codes[0];
        std::free(codes);
        if (first != XCB_NO_SYMBOL) return first;
      }
    }
    return std::nullopt;
  }
  Point pointer() {
    xcb_connection_t* c = state.conn.xcb();
    auto p = reply(xcb_query_pointer_reply(c, xcb_query_pointer(c, state.conn.root()), nullptr));
    if (!p) return {};
    return {double(p->root_x), state.mainDisplayHeight() - p->root_y};
  }

  void selectRawEvents() {
    if (rawSelected || !state.conn.xinputOpcode) return;
    rawSelected = true;
    struct {
      xcb_input_event_mask_t head;
      uint32_t mask;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
           XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE |
               XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE |
               XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
    xcb_input_xi_select_events(state.conn.xcb(), state.conn.root(), 1, &mask.head);
    state.conn.flush();
  }

  void emitGlobal(InputEvent event) {
    event.modifierFlags |= flags;
    global.emit(event.type, event);
  }

  void onRaw(uint16_t eventType, uint32_t detail) {
    InputEvent e;
    switch (eventType) {
      case XCB_INPUT_RAW_KEY_PRESS:
      case XCB_INPUT_RAW_KEY_RELEASE: {
        const bool down = eventType == XCB_INPUT_RAW_KEY_PRESS;
        e.keyCode = keyCodeOf(xcb_keycode_t(detail));
        if (const uint64_t flag = modifierFlagOf(e.keyCode)) {
          flags = down ? (flags | flag) : (flags & ~flag);
          e.type = EventType::flagsChanged;
        } else {
          e.type = down ? EventType::keyDown : EventType::keyUp;
          if (e.keyCode == KeyCode::tab && (flags & ModifierFlag::option)) e.modifierFlags |= ModifierFlag::command;
        }
        e.location = pointer();
        break;
      }
      case XCB_INPUT_RAW_BUTTON_PRESS:
      case XCB_INPUT_RAW_BUTTON_RELEASE: {
        const bool down = eventType == XCB_INPUT_RAW_BUTTON_PRESS;
        if (detail >= 4 && detail <= 7) return;  // wheel steps
        if (detail == 1) {
          e.type = down ? EventType::leftMouseDown : EventType::leftMouseUp;
          leftDown = down;
        } else if (detail == 3) {
          e.type = down ? EventType::rightMouseDown : EventType::rightMouseUp;
        } else {
          e.type = down ? EventType::otherMouseDown : EventType::otherMouseUp;
        }
        e.location = pointer();
        break;
      }
      case XCB_INPUT_RAW_MOTION:
        // A burst of motion becomes one event, on a later turn.
        if (!motionPending) {
          motionPending = true;
          state.dispatcher.main().async([this, alive = std::weak_ptr<bool>(aliveToken)] {
            if (!alive.lock()) return;
            motionPending = false;
            InputEvent m;
            m.type = leftDown ? EventType::leftMouseDragged : EventType::mouseMoved;
            m.location = pointer();
            emitGlobal(m);
          });
        }
        return;
      default:
        return;
    }
    emitGlobal(e);
  }

  void onEvent(const xcb_generic_event_t& ev) {
    const uint8_t type = ev.response_type & 0x7f;
    if (type == XCB_GE_GENERIC && state.conn.xinputOpcode) {
      const auto& ge = reinterpret_cast<const xcb_ge_generic_event_t&>(ev);
      if (ge.extension != *state.conn.xinputOpcode) return;
      const auto& raw = reinterpret_cast<const xcb_input_raw_key_press_event_t&>(ev);
      onRaw(ge.event_type, raw.detail);
    } else if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
      const auto& key = reinterpret_cast<const xcb_key_press_event_t&>(ev);
      if (key.event != state.conn.root()) return;
      const uint16_t mods = key.state & kRelevantModifiers;
      for (const auto& [handle, grab] : grabs) {
        if (grab.keycode != key.detail || grab.modifiers != mods) continue;
        HotKeyEvent hk;
        hk.kind = type == XCB_KEY_PRESS ? HotKeyEventKind::pressed : HotKeyEventKind::released;
        hk.directObject = grab.id;
        hotKeys.emit(hk);
      }
    } else if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
      const auto& b = reinterpret_cast<const xcb_button_press_event_t&>(ev);
      {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.ownWindows.count(b.event)) return;
      }
      const bool down = type == XCB_BUTTON_PRESS;
      InputEvent e;
      e.type = b.detail == 1   ? (down ? EventType::leftMouseDown : EventType::leftMouseUp)
               : b.detail == 3 ? (down ? EventType::rightMouseDown : EventType::rightMouseUp)
                               : (down ? EventType::otherMouseDown : EventType::otherMouseUp);
      e.location = {double(b.root_x), state.mainDisplayHeight() - b.root_y};
      e.modifierFlags = flags;
      local.emit(e.type, e);
    }
  }

  bool leftDown = false;
  std::shared_ptr<bool> aliveToken = std::make_shared<bool>(true);
};

class X11EventMonitor final : public EventMonitor {
 public:
  explicit X11EventMonitor(Subscription s) : s_(std::move(s)) {}

 private:
  Subscription s_;
};

class X11EventTap final : public EventTap {
 public:
  X11EventTap(InputState& input, uint64_t mask, Input::TapCallback callback) {
    subscription_ = input.global.subscribe([this, mask, callback = std::move(callback)](const uint32_t& type, const InputEvent& e) {
      if (added_ && enabled_ && (mask & eventMaskBit(type))) callback(type, e);
    });
  }
  void addToMainRunLoop() override { added_ = true; }
  void setEnabled(bool enabled) override { enabled_ = enabled; }
  bool isEnabled() const override { return enabled_; }

 private:
  bool added_ = false;
  bool enabled_ = false;
  Subscription subscription_;
};

class X11HandlerRegistration final : public EventHandlerRegistration {
 public:
  explicit X11HandlerRegistration(Subscription s) : s_(std::move(s)) {}

 private:
  Subscription s_;
};

class X11HotKeyRegistration final : public HotKeyRegistration {
 public:
  X11HotKeyRegistration(std::shared_ptr<InputState> input, uint64_t handle) : input_(input), handle_(handle) {}
  ~X11HotKeyRegistration() override {
    auto input = input_.lock();
    if (!input) return;
    auto it = input->grabs.find(handle_);
    if (it == input->grabs.end()) return;
    for (uint16_t lock : kLockCombos) {
      xcb_ungrab_key(input->state.conn.xcb(), it->second.keycode, input->state.conn.root(), uint16_t(it->second.modifiers | lock));
    }
    input->state.conn.flush();
    input->grabs.erase(it);
  }

 private:
  std::weak_ptr<InputState> input_;
  uint64_t handle_;
};

class X11Input final : public Input {
 public:
  explicit X11Input(State& s) : input_(std::make_shared<InputState>(s)) {
    events_ = s.conn.addEventHandler([weak = std::weak_ptr<InputState>(input_)](const xcb_generic_event_t& e) {
      if (auto input = weak.lock()) input->onEvent(e);
    });
  }

  std::unique_ptr<EventMonitor> addGlobalMonitor(uint64_t mask, MonitorHandler handler) override {
    input_->state.checkMainThread("Input::addGlobalMonitor");
    if (!input_->state.conn.xinputOpcode) return nullptr;
    input_->selectRawEvents();
    return std::make_unique<X11EventMonitor>(
        input_->global.subscribe([mask, handler = std::move(handler)](const uint32_t& type, const InputEvent& e) {
          if (mask & eventMaskBit(type)) handler(e);
        }));
  }
  std::unique_ptr<EventMonitor> addLocalMonitor(uint64_t mask, LocalMonitorHandler handler) override {
    input_->state.checkMainThread("Input::addLocalMonitor");
    return std::make_unique<X11EventMonitor>(
        input_->local.subscribe([mask, handler = std::move(handler)](const uint32_t& type, const InputEvent& e) {
          if (mask & eventMaskBit(type)) handler(e);
        }));
  }
  Point mouseLocation() override { return input_->pointer(); }
  // Listening to input needs no permission on X11.
  bool preflightListenEventAccess() override { return true; }
  bool requestListenEventAccess() override { return true; }
  std::unique_ptr<EventTap> createEventTap(uint32_t, uint32_t, uint32_t, uint64_t eventMask, TapCallback callback) override {
    if (!input_->state.conn.xinputOpcode) return nullptr;
    input_->selectRawEvents();
    return std::make_unique<X11EventTap>(*input_, eventMask, std::move(callback));
  }
  std::unique_ptr<EventHandlerRegistration> installEventHandler(std::vector<EventTypeSpec> kinds,
                                                                HotKeyHandler handler) override {
    return std::make_unique<X11HandlerRegistration>(
        input_->hotKeys.subscribe([kinds = std::move(kinds), handler = std::move(handler)](const HotKeyEvent& e) {
          const bool wanted = std::any_of(kinds.begin(), kinds.end(), [&](const EventTypeSpec& k) {
            return k.eventClass == e.eventClass && k.eventKind == e.kind;
          });
          if (wanted) handler(&e);
        }));
  }
  std::unique_ptr<HotKeyRegistration> registerEventHotKey(uint32_t keyCode, uint32_t modifiers, EventHotKeyID id) override {
    input_->state.checkMainThread("Input::registerEventHotKey");
    if (keyCode > 0xFFFF) return nullptr;
    auto keycode = input_->keycodeOf(uint16_t(keyCode));
    if (!keycode) return nullptr;
    const uint16_t mods = xModifiers(modifiers);
    xcb_connection_t* c = input_->state.conn.xcb();
    std::vector<xcb_void_cookie_t> cookies;
    for (uint16_t lock : kLockCombos) {
      cookies.push_back(xcb_grab_key_checked(c, 1, input_->state.conn.root(), uint16_t(mods | lock), *keycode,
                                             XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    bool held = false;
    for (size_t i = 0; i < cookies.size(); ++i) {
      if (xcb_generic_error_t* e = xcb_request_check(c, cookies[i])) {
        held = held || i == 0;  // another program holds the plain combination
        std::free(e);
      }
    }
    if (held) {
      for (uint16_t lock : kLockCombos) xcb_ungrab_key(c, *keycode, input_->state.conn.root(), uint16_t(mods | lock));
      input_->state.conn.flush();
      return nullptr;
    }
    const uint64_t handle = input_->nextGrab++;
    input_->grabs[handle] = {*keycode, mods, id};
    return std::make_unique<X11HotKeyRegistration>(input_, handle);
  }

 private:
  std::shared_ptr<InputState> input_;
  Subscription events_;
};

}  // namespace

std::unique_ptr<Input> makeInput(State& state) { return std::make_unique<X11Input>(state); }

}  // namespace corvane::x11
