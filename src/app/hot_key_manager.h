// System-wide key combinations: a handler is called with true when its combination is pressed and
// with false when it is released. Registrations live as long as the manager.
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/input.h"

namespace corvane {

class HotKeyManager {
 public:
  struct Combo {
    uint32_t keyCode = 0;    // virtual key code
    uint32_t modifiers = 0;  // hot key modifier mask (command 0x0100, shift 0x0200, option 0x0800, control 0x1000)
  };
  using Handler = std::function<void(bool pressed)>;

  // The one signature every hot key of the application carries; it is not checked on delivery.
  static constexpr uint32_t kSignature = fourCharCode("CRVN");

  // Installs the handler for hot key pressed and released events.
  explicit HotKeyManager(Input& input);
  HotKeyManager(const HotKeyManager&) = delete;
  HotKeyManager& operator=(const HotKeyManager&) = delete;

  // Registers the combination and returns its id (ids count up from 1 and are never reused).
  // A combination that another program holds is still given an id; it simply never fires. Returns
  // 0 once every id is spent.
  uint32_t registerHotKey(Combo combo, Handler handler);

  // Calls the handler registered under `id`, if any.
  void dispatch(uint32_t id, bool pressed);

  // Every registration made, in order; an entry is null where the service refused it.
  size_t registrationCount() const { return hotKeyRefs.size(); }

 private:
  int32_t handleEvent(const HotKeyEvent* event);

  Input& input_;
  std::map<uint32_t, Handler> handlers;
  std::vector<std::unique_ptr<HotKeyRegistration>> hotKeyRefs;
  uint32_t nextID = 1;
  // Last, so it is removed first and no event reaches a half-destroyed manager.
  std::unique_ptr<EventHandlerRegistration> eventHandler;
};

}  // namespace corvane
