// Input on the simulated desktop: monitors, event taps, the pointer and hot keys, with scriptable
// user actions that are delivered in the order a real system delivers them:
//   1. an enabled session event tap sees the event first, synchronously, and may drop it;
//   2. the window server acts on it at once (a click on another application's window, or the
//      release of Command after Command-Tab, activates that application and raises its windows);
//   3. application-level monitors get the event on the next turn of the main queue (global ones
//      when it is aimed at another application, local ones when it is aimed at our own windows);
//      a click released over one of our own windows reaches its views (SimUI::click).
// The pointer is the one the user-interface port reports (SimUI), and windows are hit as it hits
// them: our windows that ignore mouse events let clicks through. Every event carries the media time
// it was posted at; presses of the left button within 0.5 s and 4 points of the one before count
// as a multiple click (clickCount 2 for a double click), their releases carrying the same count.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

#include "base/dispatch.h"
#include "platform/input.h"

namespace corvane::sim {

class SimDesktop;

// The edges a resize by the pointer moves (window-server space: top is the smaller y).
namespace ResizeEdge {
constexpr uint32_t left = 1, right = 2, top = 4, bottom = 8;
}
// The edges whose grip a press at `screenPoint` takes on a window with these bounds; 0: none (the
// press drags the window).
uint32_t resizeGrip(const Rect& bounds, Point screenPoint, double mainDisplayHeight);
// `bounds` with `edges` moved by (dx, dy) (window-server space), no smaller than 40 x 40.
Rect resizedBy(const Rect& bounds, uint32_t edges, double dx, double dy);

class SimInput final : public Input {
 public:
  SimInput(SimDesktop& desktop, Dispatcher& dispatcher);
  ~SimInput() override;
  SimInput(const SimInput&) = delete;
  SimInput& operator=(const SimInput&) = delete;

  // ---- Port --------------------------------------------------------------------------------
  std::unique_ptr<EventMonitor> addGlobalMonitor(uint64_t mask, MonitorHandler handler) override;
  std::unique_ptr<EventMonitor> addLocalMonitor(uint64_t mask, LocalMonitorHandler handler) override;
  Point mouseLocation() override;
  bool preflightListenEventAccess() override;
  bool requestListenEventAccess() override;
  std::unique_ptr<EventTap> createEventTap(uint32_t location, uint32_t placement, uint32_t options,
                                           uint64_t eventMask, TapCallback callback) override;
  std::unique_ptr<EventHandlerRegistration> installEventHandler(std::vector<EventTypeSpec> kinds,
                                                                HotKeyHandler handler) override;
  std::unique_ptr<HotKeyRegistration> registerEventHotKey(uint32_t keyCode, uint32_t modifiers,
                                                          EventHotKeyID id) override;

  // ---- Settings ----------------------------------------------------------------------------
  void setListenAccessGranted(bool granted);
  // Whether requestListenEventAccess() grants at once (the user says yes).
  void setGrantListenAccessOnRequest(bool grant);
  // Makes tap creation fail even with listen access.
  void setTapCreationFails(bool fails);
  // Combinations that another program already holds: registering them fails.
  void reserveHotKeyElsewhere(uint32_t keyCode, uint32_t modifiers);

  // ---- User actions ------------------------------------------------------------------------
  void moveMouse(Point location);
  // Press and release of the left button at `location` (screen space).
  void mouseDown(Point location);
  void mouseUp(Point location);
  void click(Point location);
  // A pointer drag of the window under `from`: the button goes down there, each dragTo moves the
  // pointer and the window with it (a dragged event), dragEnd lets go; the window keeps the offset
  // from the pointer it had at the press. A press within 5 points of an edge, inside or outside
  // the window (two edges at a corner), resizes instead, unless one of our own windows takes it:
  // those edges follow the pointer, down to a 40 x 40 window. The program's own windows (borderless panels) do not move: the pointer moves
  // alone.
  void dragBegin(Point from);
  void dragTo(Point location);
  void dragEnd(Point location);
  // The whole drag at once, along the given points.
  void drag(Point from, const std::vector<Point>& path);
  // Escape while the application switcher is up (Command held after Command-Tab) closes it: letting
  // go of Command then activates nothing.
  void keyDown(uint16_t keyCode, uint64_t modifierFlags = 0);
  void keyUp(uint16_t keyCode, uint64_t modifierFlags = 0);
  // `keyCode` is the modifier key that changed (0: not said).
  void flagsChanged(uint64_t modifierFlags, uint16_t keyCode = 0);
  // A modifier key alone (ModifierFlag::command, shift, option or control) goes down or up: one
  // flags-changed event with the key's code and the new flags.
  void modifierKey(uint64_t flag, bool down);
  // Command down, Tab `tabs` times, Command up: the switcher activates `target` on release. With
  // `releaseCommand` false the switcher stays up, Command held, until modifierKey(command, false)
  // (or Escape closes it).
  void commandTab(pid_t target, int tabs = 1, bool releaseCommand = true);
  // The hot key service: a press or release of a registered combination.
  void hotKey(uint32_t keyCode, uint32_t modifiers, bool pressed);
  // The system switches the enabled taps off (they receive the matching "disabled" event).
  void disableTaps(bool byTimeout);

  // ---- Observation -------------------------------------------------------------------------
  size_t globalMonitorCount() const;
  size_t localMonitorCount() const;
  size_t tapCount() const;
  size_t enabledTapCount() const;
  int listenAccessRequests() const;
  uint64_t currentModifierFlags() const;

  struct State;

 private:
  void post(InputEvent event, std::optional<pid_t> activates);
  std::shared_ptr<State> state_;
};

}  // namespace corvane::sim
