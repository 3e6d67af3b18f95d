#include "app/hot_key_manager.h"

#include <limits>

namespace corvane {

namespace {
constexpr int32_t noErr = 0;
constexpr uint32_t kEventClassKeyboard = fourCharCode("keyb");
}  // namespace

HotKeyManager::HotKeyManager(Input& input) : input_(input) {
  eventHandler = input_.installEventHandler(
      {{kEventClassKeyboard, HotKeyEventKind::pressed}, {kEventClassKeyboard, HotKeyEventKind::released}},
      [this](const HotKeyEvent* event) { return handleEvent(event); });
}

uint32_t HotKeyManager::registerHotKey(Combo combo, Handler handler) {
  // The last id would leave nothing for the next one: stop before the counter wraps and an id
  // could be handed out twice.
  if (nextID == std::numeric_limits<uint32_t>::max()) return 0;
  const uint32_t id = nextID++;
  handlers[id] = std::move(handler);
  hotKeyRefs.push_back(input_.registerEventHotKey(combo.keyCode, combo.modifiers, EventHotKeyID{kSignature, id}));
  return id;
}

void HotKeyManager::dispatch(uint32_t id, bool pressed) {
  auto it = handlers.find(id);
  if (it == handlers.end()) return;
  auto handler = it->second;  // a handler may register further hot keys
  handler(pressed);
}

int32_t HotKeyManager::handleEvent(const HotKeyEvent* event) {
  if (!event) return noErr;
  // An unreadable parameter leaves the zero-filled id, which no registration has.
  EventHotKeyID hotKeyID = event->directObject.value_or(EventHotKeyID{});
  dispatch(hotKeyID.id, event->kind == HotKeyEventKind::pressed);
  return noErr;
}

}  // namespace corvane
