// Input: event monitors, session event taps, the pointer location, and global hot keys.
//
// Shaped after the reference platform: application-level event monitors (global ones see events
// aimed at other applications, local ones those aimed at our own windows and may swallow them), a
// session event tap that sees input before any application, and the hot key service (an event
// handler for pressed/released hot key events, and registrations that carry a signature and id).
//
// Threading: main thread. Every callback is delivered on the main thread. Objects returned as
// unique_ptr are owned by the caller; destroying one removes what it stands for.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/geometry.h"

namespace corvane {

// Event types as the platform numbers them; an event mask bit is 1 << type.
namespace EventType {
constexpr uint32_t leftMouseDown = 1;
constexpr uint32_t leftMouseUp = 2;
constexpr uint32_t rightMouseDown = 3;
constexpr uint32_t rightMouseUp = 4;
constexpr uint32_t mouseMoved = 5;
constexpr uint32_t leftMouseDragged = 6;
constexpr uint32_t keyDown = 10;
constexpr uint32_t keyUp = 11;
constexpr uint32_t flagsChanged = 12;
constexpr uint32_t otherMouseDown = 25;
constexpr uint32_t otherMouseUp = 26;
// Delivered to an event tap that the system switched off.
constexpr uint32_t tapDisabledByTimeout = 0xFFFFFFFEu;
constexpr uint32_t tapDisabledByUserInput = 0xFFFFFFFFu;
}  // namespace EventType

constexpr uint64_t eventMaskBit(uint32_t type) { return type < 64 ? (uint64_t(1) << type) : 0; }

// Modifier flags of an event.
namespace ModifierFlag {
constexpr uint64_t capsLock = 1ull << 16;
constexpr uint64_t shift = 1ull << 17;
constexpr uint64_t control = 1ull << 18;
constexpr uint64_t option = 1ull << 19;
constexpr uint64_t command = 1ull << 20;
}  // namespace ModifierFlag

// Virtual key codes.
namespace KeyCode {
constexpr uint16_t a = 0;
constexpr uint16_t s = 1;
constexpr uint16_t d = 2;
constexpr uint16_t b = 11;
constexpr uint16_t r = 15;
constexpr uint16_t p = 35;
constexpr uint16_t tab = 48;
constexpr uint16_t escape = 53;
constexpr uint16_t command = 55;
constexpr uint16_t shift = 56;
constexpr uint16_t option = 58;
constexpr uint16_t control = 59;
}  // namespace KeyCode

// Hot key modifier mask.
namespace HotKeyModifier {
constexpr uint32_t command = 0x0100;
constexpr uint32_t shift = 0x0200;
constexpr uint32_t option = 0x0800;
constexpr uint32_t control = 0x1000;
}  // namespace HotKeyModifier

struct InputEvent {
  uint32_t type = 0;
  uint64_t modifierFlags = 0;
  uint16_t keyCode = 0;
  Point location;  // screen space
  // Mouse button presses at about one place in quick succession: 1 for a single press, 2 for the
  // second press of a double click, ... (0 for events that are not presses or releases).
  int64_t clickCount = 0;
  // When the event happened (media time, seconds); absent where the backend does not say.
  std::optional<double> timestamp;
};

class EventMonitor {
 public:
  virtual ~EventMonitor() = default;  // removes the monitor
};

// A session event tap. It starts disabled; the system may disable it again (the callback then
// receives a "disabled" event type) and it must be re-enabled.
class EventTap {
 public:
  virtual ~EventTap() = default;  // invalidates the tap and removes its source
  // Adds the tap's run-loop source to the main run loop (common modes). Events flow only after it.
  virtual void addToMainRunLoop() = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual bool isEnabled() const = 0;
};

namespace EventTapLocation {
constexpr uint32_t hid = 0;
constexpr uint32_t session = 1;
constexpr uint32_t annotatedSession = 2;
}  // namespace EventTapLocation
namespace EventTapPlacement {
constexpr uint32_t headInsert = 0;
constexpr uint32_t tailAppend = 1;
}  // namespace EventTapPlacement
namespace EventTapOptions {
constexpr uint32_t defaultTap = 0;  // active: may alter or drop events
constexpr uint32_t listenOnly = 1;
}  // namespace EventTapOptions

// Hot key service.
struct EventHotKeyID {
  uint32_t signature = 0;
  uint32_t id = 0;
};

namespace HotKeyEventKind {
constexpr uint32_t pressed = 5;
constexpr uint32_t released = 6;
}  // namespace HotKeyEventKind

constexpr uint32_t fourCharCode(const char (&code)[5]) {
  return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) | (uint32_t(uint8_t(code[2])) << 8) |
         uint32_t(uint8_t(code[3]));
}

struct EventTypeSpec {
  uint32_t eventClass = 0;
  uint32_t eventKind = 0;
};

// One hot key event as the handler receives it.
struct HotKeyEvent {
  uint32_t eventClass = fourCharCode("keyb");
  uint32_t kind = HotKeyEventKind::pressed;
  // The direct-object parameter; absent when the event carries none.
  std::optional<EventHotKeyID> directObject;
};

class EventHandlerRegistration {
 public:
  virtual ~EventHandlerRegistration() = default;  // removes the handler
};

class HotKeyRegistration {
 public:
  virtual ~HotKeyRegistration() = default;  // unregisters the hot key
};

class Input {
 public:
  using MonitorHandler = std::function<void(const InputEvent&)>;
  // Returns the event to pass on, or nothing to swallow it.
  using LocalMonitorHandler = std::function<std::optional<InputEvent>(const InputEvent&)>;
  // Sees every event of the mask before any application; returns the event to pass on, or nothing
  // to drop it. `type` may be one of the "tap disabled" types.
  using TapCallback = std::function<std::optional<InputEvent>(uint32_t type, const InputEvent& event)>;
  // `event` may be null when the service hands over none.
  using HotKeyHandler = std::function<int32_t(const HotKeyEvent* event)>;

  virtual ~Input() = default;

  // Absent when the monitor cannot be installed.
  virtual std::unique_ptr<EventMonitor> addGlobalMonitor(uint64_t mask, MonitorHandler handler) = 0;
  virtual std::unique_ptr<EventMonitor> addLocalMonitor(uint64_t mask, LocalMonitorHandler handler) = 0;
  // The pointer's current position, screen space.
  virtual Point mouseLocation() = 0;

  // Whether this program may listen to input (Input Monitoring permission).
  virtual bool preflightListenEventAccess() = 0;
  // Asks the user for that permission; true when granted (at once).
  virtual bool requestListenEventAccess() = 0;
  // Absent when the tap cannot be created.
  virtual std::unique_ptr<EventTap> createEventTap(uint32_t location, uint32_t placement, uint32_t options,
                                                   uint64_t eventMask, TapCallback callback) = 0;

  // Installs a handler on the application's event target for the given event kinds.
  virtual std::unique_ptr<EventHandlerRegistration> installEventHandler(std::vector<EventTypeSpec> kinds,
                                                                        HotKeyHandler handler) = 0;
  // Absent when the combination cannot be registered (for example, another program holds it).
  virtual std::unique_ptr<HotKeyRegistration> registerEventHotKey(uint32_t keyCode, uint32_t modifiers,
                                                                  EventHotKeyID id) = 0;
};

}  // namespace corvane
