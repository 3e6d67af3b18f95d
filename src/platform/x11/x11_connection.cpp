#include "platform/x11/x11_connection.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shape.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>

namespace corvane::x11 {

namespace {

constexpr const char* kAtomNames[size_t(Atom::count)] = {
    "_NET_CLIENT_LIST_STACKING",
    "_NET_CLIENT_LIST",
    "_NET_ACTIVE_WINDOW",
    "_NET_WM_PID",
    "_NET_WM_NAME",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_STATE_ABOVE",
    "_NET_WM_STATE_BELOW",
    "_NET_WM_WINDOW_OPACITY",
    "UTF8_STRING",
    "WM_CLASS",
    "WM_NAME",
    "WM_STATE",
    "_CORVANE_WAKE_UP",
};

}  // namespace

std::unique_ptr<Connection> Connection::open(const char* display, std::string* error) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(display, &screenNumber);
  if (!c || xcb_connection_has_error(c)) {
    if (c) xcb_disconnect(c);
    if (error) {
      const char* name = display ? display : std::getenv("DISPLAY");
      *error = std::string("cannot connect to the X server ") + (name ? name : "(DISPLAY is not set)");
    }
    return nullptr;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) {
    xcb_disconnect(c);
    if (error) *error = "the X server has no screen " + std::to_string(screenNumber);
    return nullptr;
  }
  std::unique_ptr<Connection> connection(new Connection(c, it.data));
  connection->initExtensions();
  return connection;
}

Connection::Connection(xcb_connection_t* c, xcb_screen_t* screen) : c_(c), screen_(screen) {
  xcb_intern_atom_cookie_t cookies[size_t(Atom::count)];
  for (size_t i = 0; i < size_t(Atom::count); ++i) {
    cookies[i] = xcb_intern_atom(c_, 0, uint16_t(std::strlen(kAtomNames[i])), kAtomNames[i]);
  }
  for (size_t i = 0; i < size_t(Atom::count); ++i) {
    auto r = reply(xcb_intern_atom_reply(c_, cookies[i], nullptr));
    atoms_[i] = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
  }
}

Connection::~Connection() {
  stopEventThread();
  *alive_ = false;
  xcb_disconnect(c_);
}

void Connection::initExtensions() {
  auto present = [&](xcb_extension_t* ext) -> const xcb_query_extension_reply_t* {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c_, ext);
    return data && data->present ? data : nullptr;
  };
  if (present(&xcb_composite_id)) {
    auto v = reply(xcb_composite_query_version_reply(c_, xcb_composite_query_version(c_, 0, 4), nullptr));
    hasComposite = v != nullptr;
    // Every top-level window keeps its own pixels off screen while the server still draws it:
    // images of covered windows come from there. Automatic redirection coexists with other clients.
    if (hasComposite) xcb_composite_redirect_subwindows(c_, root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  }
  if (const auto* d = present(&xcb_damage_id)) {
    // Damage needs XFixes' version handshake first.
    reply(xcb_xfixes_query_version_reply(c_, xcb_xfixes_query_version(c_, 5, 0), nullptr));
    if (reply(xcb_damage_query_version_reply(c_, xcb_damage_query_version(c_, 1, 1), nullptr))) {
      damageEventBase = d->first_event;
    }
  }
  if (const auto* d = present(&xcb_shape_id)) {
    hasShape = true;
    shapeEventBase = d->first_event;
  }
  hasRandr = present(&xcb_randr_id) != nullptr;
  if (hasRandr) reply(xcb_randr_query_version_reply(c_, xcb_randr_query_version(c_, 1, 5), nullptr));
  hasXTest = present(&xcb_test_id) != nullptr;
  if (const auto* d = present(&xcb_input_id)) {
    auto v = reply(xcb_input_xi_query_version_reply(c_, xcb_input_xi_query_version(c_, 2, 2), nullptr));
    if (v && v->major_version >= 2) xinputOpcode = d->major_opcode;
  }
  for (auto depths = xcb_screen_allowed_depths_iterator(screen_); depths.rem; xcb_depth_next(&depths)) {
    if (depths.data->depth != 32) continue;
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem; xcb_visualtype_next(&visuals)) {
      if (visuals.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
        argbVisual = visuals.data->visual_id;
        argbDepth = 32;
        break;
      }
    }
    if (argbVisual) break;
  }
  // Window-list changes and activation come from the root.
  uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c_, root(), XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c_);
}

xcb_atom_t Connection::internAtom(std::string_view name) {
  if (auto it = internedAtoms_.find(name); it != internedAtoms_.end()) return it->second;
  auto r = reply(xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(name.size()), name.data()), nullptr));
  xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
  internedAtoms_.emplace(std::string(name), a);
  return a;
}

xcb_get_property_cookie_t Connection::propertyCookie(xcb_window_t window, xcb_atom_t property, uint32_t maxWords) {
  return xcb_get_property(c_, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, maxWords);
}

std::optional<std::vector<uint32_t>> Connection::cardinalsReply(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
  auto r = reply(xcb_get_property_reply(c, cookie, nullptr));
  if (!r || r->format != 32 || r->type == XCB_ATOM_NONE) return std::nullopt;
  const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
  return std::vector<uint32_t>(data, data + xcb_get_property_value_length(r.get()) / 4);
}

std::optional<std::string> Connection::bytesReply(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
  auto r = reply(xcb_get_property_reply(c, cookie, nullptr));
  if (!r || r->format != 8 || r->type == XCB_ATOM_NONE) return std::nullopt;
  const auto* data = static_cast<const char*>(xcb_get_property_value(r.get()));
  return std::string(data, size_t(xcb_get_property_value_length(r.get())));
}

std::optional<std::vector<uint32_t>> Connection::cardinals(xcb_window_t window, xcb_atom_t property) {
  return cardinalsReply(c_, propertyCookie(window, property));
}

std::optional<std::string> Connection::bytes(xcb_window_t window, xcb_atom_t property) {
  return bytesReply(c_, propertyCookie(window, property));
}

bool Connection::roundTrip() {
  auto r = reply(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
  return r != nullptr;
}

Subscription Connection::addEventHandler(EventHandler handler) {
  return events_.subscribe([handler = std::move(handler)](const xcb_generic_event_t* const& e) { handler(*e); });
}

void Connection::dispatch(const xcb_generic_event_t& event) {
  const xcb_generic_event_t* e = &event;
  events_.emit(e);
}

void Connection::processEvents() {
  if (reader_.joinable()) {
    std::deque<xcb_generic_event_t*> batch;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      batch.swap(queue_);
    }
    for (xcb_generic_event_t* e : batch) {
      dispatch(*e);
      std::free(e);
    }
    return;
  }
  while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) {
    dispatch(*e);
    std::free(e);
  }
}

void Connection::startEventThread(DispatchQueue& main) {
  if (reader_.joinable()) return;
  main_ = &main;
  // A window of our own that the destructor sends a message to, so that the blocked reader wakes.
  wakeWindow_ = xcb_generate_id(c_);
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, wakeWindow_, root(), -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_flush(c_);
  std::weak_ptr<bool> alive = alive_;
  reader_ = std::thread([this, alive] {
    while (!stopping_.load()) {
      xcb_generic_event_t* e = xcb_wait_for_event(c_);
      if (!e) break;  // the connection broke
      {
        std::lock_guard<std::mutex> lock(queueMutex_);
        queue_.push_back(e);
      }
      main_->async([this, alive] {
        if (alive.lock()) processEvents();
      });
    }
  });
}

void Connection::stopEventThread() {
  if (!reader_.joinable()) return;
  stopping_ = true;
  xcb_client_message_event_t wake{};
  wake.response_type = XCB_CLIENT_MESSAGE;
  wake.format = 32;
  wake.window = wakeWindow_;
  wake.type = atom(Atom::wakeUp);
  xcb_send_event(c_, 0, wakeWindow_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&wake));
  xcb_flush(c_);
  reader_.join();
  std::lock_guard<std::mutex> lock(queueMutex_);
  for (xcb_generic_event_t* e : queue_) std::free(e);
  queue_.clear();
}

xcb_window_t topLevelOf(xcb_connection_t* c, xcb_window_t root, xcb_window_t window) {
  xcb_window_t current = window;
  for (int depth = 0; depth < 16; ++depth) {
    auto tree = reply(xcb_query_tree_reply(c, xcb_query_tree(c, current), nullptr));
    if (!tree) return 0;
    if (tree->parent == root || tree->parent == XCB_WINDOW_NONE) return current;
    current = tree->parent;
  }
  return 0;
}

}  // namespace corvane::x11
