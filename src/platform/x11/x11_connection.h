// One connection to an X server and the extensions the backend uses, with helpers for the
// properties and events every port reads.
//
// The ports share one connection. Events are read on the main thread by processEvents() (tests
// and benchmarks call it between steps), or, while the application runs, by a reader thread that
// hands them to the main queue (startEventThread). Handlers run on the main thread.
//
// Threading: main thread, except where a function says otherwise. xcb itself is thread-safe, so
// window-server queries may come from any thread.
#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/dispatch.h"
#include "base/observable.h"

namespace corvane::x11 {

// A reply that frees itself.
template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <typename T>
Reply<T> reply(T* raw) {
  return Reply<T>(raw, &std::free);
}

// The atoms the backend reads and writes, interned once at connection.
enum class Atom : size_t {
  netClientListStacking,
  netClientList,
  netActiveWindow,
  netWmPid,
  netWmName,
  netWmWindowType,
  netWmWindowTypeDock,
  netWmWindowTypeDesktop,
  netWmWindowTypeNotification,
  netWmWindowTypeMenu,
  netWmWindowTypePopupMenu,
  netWmWindowTypeDropdownMenu,
  netWmWindowTypeTooltip,
  netWmWindowTypeUtility,
  netWmState,
  netWmStateHidden,
  netWmStateAbove,
  netWmStateBelow,
  netWmWindowOpacity,
  utf8String,
  wmClass,
  wmName,
  wmState,
  wakeUp,
  count,
};

class Connection {
 public:
  // Connects to `display` (the DISPLAY variable's form; null means $DISPLAY). Absent, with the
  // reason in *error, when the server cannot be reached.
  static std::unique_ptr<Connection> open(const char* display, std::string* error);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  xcb_connection_t* xcb() const { return c_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  xcb_atom_t atom(Atom a) const { return atoms_[size_t(a)]; }
  xcb_atom_t internAtom(std::string_view name);

  // Extensions: present when their first event code (or opcode) is known.
  bool hasComposite = false;
  bool hasShape = false;
  bool hasRandr = false;
  bool hasXTest = false;
  std::optional<uint8_t> damageEventBase;
  std::optional<uint8_t> xinputOpcode;
  uint8_t shapeEventBase = 0;

  // A 32-bit visual with an alpha channel, for the program's own windows; 0 when the server has
  // none (the root visual is used then).
  xcb_visualid_t argbVisual = 0;
  uint8_t argbDepth = 0;

  // Property reads (one round trip each; send with cookie(), read with the matching *Reply for
  // many at once). Absent when the window or the property is missing or of another format.
  xcb_get_property_cookie_t propertyCookie(xcb_window_t window, xcb_atom_t property, uint32_t maxWords = 1024);
  static std::optional<std::vector<uint32_t>> cardinalsReply(xcb_connection_t* c, xcb_get_property_cookie_t cookie);
  static std::optional<std::string> bytesReply(xcb_connection_t* c, xcb_get_property_cookie_t cookie);
  std::optional<std::vector<uint32_t>> cardinals(xcb_window_t window, xcb_atom_t property);
  std::optional<std::string> bytes(xcb_window_t window, xcb_atom_t property);

  // Waits until the server has handled every request sent so far. False when the connection broke.
  bool roundTrip();
  void flush() { xcb_flush(c_); }
  bool hasError() const { return xcb_connection_has_error(c_) != 0; }

  // Event handlers see every event (response type with the sent bit cleared), in arrival order.
  using EventHandler = std::function<void(const xcb_generic_event_t& event)>;
  [[nodiscard]] Subscription addEventHandler(EventHandler handler);
  // Hands every event that has arrived to the handlers. Main thread.
  void processEvents();
  // Reads events on a thread of its own from now on; each batch is handed to the handlers on
  // `main`. Stopped by the destructor.
  void startEventThread(DispatchQueue& main);

 private:
  explicit Connection(xcb_connection_t* c, xcb_screen_t* screen);
  void initExtensions();
  void dispatch(const xcb_generic_event_t& event);
  void stopEventThread();

  xcb_connection_t* c_;
  xcb_screen_t* screen_;
  xcb_atom_t atoms_[size_t(Atom::count)] = {};
  std::map<std::string, xcb_atom_t, std::less<>> internedAtoms_;
  Signal<const xcb_generic_event_t*> events_;

  // The reader thread and the events it read that the main queue has not handled yet.
  std::thread reader_;
  std::atomic<bool> stopping_{false};
  std::mutex queueMutex_;
  std::deque<xcb_generic_event_t*> queue_;
  xcb_window_t wakeWindow_ = 0;
  DispatchQueue* main_ = nullptr;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The top-level window (a child of the root) that holds `window`: the window manager's frame of a
// client, or the window itself. 0 when the window does not exist.
xcb_window_t topLevelOf(xcb_connection_t* c, xcb_window_t root, xcb_window_t window);

}  // namespace corvane::x11
