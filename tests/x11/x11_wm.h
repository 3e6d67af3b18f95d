// Asking the window manager to act on test windows, as a pager or a user would.
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/geometry.h"

namespace corvane::x11::test {

inline xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
  auto* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
  xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
  std::free(r);
  return a;
}

inline void sendToRoot(xcb_connection_t* c, xcb_window_t window, const char* type, uint32_t d0, uint32_t d1 = 0,
                       uint32_t d2 = 0, uint32_t d3 = 0, uint32_t d4 = 0) {
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_client_message_event_t ev{};
  ev.response_type = XCB_CLIENT_MESSAGE;
  ev.format = 32;
  ev.window = window;
  ev.type = internAtom(c, type);
  ev.data.data32[0] = d0;
  ev.data.data32[1] = d1;
  ev.data.data32[2] = d2;
  ev.data.data32[3] = d3;
  ev.data.data32[4] = d4;
  xcb_send_event(c, 0, screen->root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&ev));
  xcb_flush(c);
}

// The window manager moves the window's frame so that the client's top-left lands at x, y.
inline void moveByWindowManager(xcb_connection_t* c, xcb_window_t window, int x, int y) {
  // Static gravity, x and y given, from a pager.
  sendToRoot(c, window, "_NET_MOVERESIZE_WINDOW", 10u | (1u << 8) | (1u << 9) | (2u << 12), uint32_t(x), uint32_t(y));
}

inline void activateByWindowManager(xcb_connection_t* c, xcb_window_t window) {
  sendToRoot(c, window, "_NET_ACTIVE_WINDOW", 2, XCB_CURRENT_TIME, 0);
}

inline void minimiseByWindowManager(xcb_connection_t* c, xcb_window_t window) {
  sendToRoot(c, window, "WM_CHANGE_STATE", 3 /* iconic */);
}

// The client's position in root coordinates.
inline std::optional<Point> clientOrigin(xcb_connection_t* c, xcb_window_t window) {
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  auto* r = xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, screen->root, 0, 0), nullptr);
  if (!r) return std::nullopt;
  Point p{double(r->dst_x), double(r->dst_y)};
  std::free(r);
  return p;
}

}  // namespace corvane::x11::test
