#include "platform/x11/x11_desktop.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/randr.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <fstream>
#include <set>

#include "base/log.h"
#include "platform/application.h"
#include "platform/input.h"
#include "platform/posix/posix_processes.h"
#include "platform/screens.h"
#include "platform/ui/user_interface.h"
#include "platform/window_server_private.h"
#include "platform/workspace.h"
#include "platform/x11/x11_internal.h"

extern char** environ;

namespace corvane::x11 {

// ---- Window list ------------------------------------------------------------------------------

std::vector<size_t> selectWindowList(const std::vector<WindowRecord>& records, uint32_t options, WindowID relativeTo) {
  auto it = std::find_if(records.begin(), records.end(), [&](const WindowRecord& r) { return r.number == relativeTo; });
  const WindowListSelection selection(
      options, relativeTo, it == records.end() ? std::nullopt : std::optional<size_t>(size_t(it - records.begin())));
  std::vector<size_t> picked;
  if (selection.none()) return picked;
  for (size_t i = 0; i < records.size(); ++i) {
    if (selection.picks(i, records[i].onScreen, records[i].desktopElement)) picked.push_back(i);
  }
  return picked;
}

namespace {

struct ClientCookies {
  xcb_get_property_cookie_t pid, wmClass, netName, name, type, state, opacity;
};

int64_t layerOf(const Connection& conn, const std::vector<uint32_t>& types, const std::vector<uint32_t>& states,
                bool* desktopElement) {
  auto has = [](const std::vector<uint32_t>& list, xcb_atom_t a) {
    return a != XCB_ATOM_NONE && std::find(list.begin(), list.end(), a) != list.end();
  };
  *desktopElement = false;
  if (has(types, conn.atom(Atom::netWmWindowTypeDesktop))) {
    *desktopElement = true;
    return Level::desktop;
  }
  if (has(types, conn.atom(Atom::netWmWindowTypeDock))) return Level::dock;
  if (has(types, conn.atom(Atom::netWmWindowTypeNotification)) || has(types, conn.atom(Atom::netWmWindowTypeMenu)) ||
      has(types, conn.atom(Atom::netWmWindowTypePopupMenu)) ||
      has(types, conn.atom(Atom::netWmWindowTypeDropdownMenu)) || has(types, conn.atom(Atom::netWmWindowTypeTooltip))) {
    return Level::popUpMenu;
  }
  if (has(states, conn.atom(Atom::netWmStateAbove))) return Level::above;
  if (has(states, conn.atom(Atom::netWmStateBelow))) return Level::below;
  return Level::normal;
}

}  // namespace

std::optional<std::vector<WindowRecord>> State::readWindows() {
  xcb_connection_t* c = conn.xcb();
  auto treeCookie = xcb_query_tree(c, conn.root());
  // Both lists: a window manager may leave some clients (docks) out of one of them. The order
  // comes from the tree.
  auto stackingCookie = conn.propertyCookie(conn.root(), conn.atom(Atom::netClientListStacking), 65536);
  auto listCookie = conn.propertyCookie(conn.root(), conn.atom(Atom::netClientList), 65536);
  auto clients = Connection::cardinalsReply(c, stackingCookie);
  if (auto more = Connection::cardinalsReply(c, listCookie)) {
    if (!clients) clients.emplace();
    for (uint32_t w : *more) {
      if (std::find(clients->begin(), clients->end(), w) == clients->end()) clients->push_back(w);
    }
  }
  auto tree = reply(xcb_query_tree_reply(c, treeCookie, nullptr));
  if (!tree) return std::nullopt;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  const int childCount = xcb_query_tree_children_length(tree.get());
  std::set<xcb_window_t> topLevels(children, children + childCount);

  // Each client's frame: cached while the frame is still a child of the root.
  std::map<xcb_window_t, xcb_window_t> clientOfFrame;
  std::map<xcb_window_t, OwnWindow> own;
  {
    std::vector<xcb_window_t> unknown;
    std::lock_guard<std::mutex> lock(mutex);
    own = ownWindows;
    std::map<xcb_window_t, xcb_window_t> fresh;
    for (uint32_t client : clients.value_or(std::vector<uint32_t>{})) {
      auto it = frameOfClient.find(client);
      if (it != frameOfClient.end() && topLevels.count(it->second)) {
        fresh[client] = it->second;
      } else {
        unknown.push_back(client);
      }
    }
    std::vector<xcb_query_tree_cookie_t> cookies;
    for (xcb_window_t client : unknown) cookies.push_back(xcb_query_tree(c, client));
    for (size_t i = 0; i < unknown.size(); ++i) {
      auto t = reply(xcb_query_tree_reply(c, cookies[i], nullptr));
      if (!t) continue;
      xcb_window_t frame = t->parent == conn.root() ? unknown[i] : topLevelOf(c, conn.root(), t->parent);
      if (frame) fresh[unknown[i]] = frame;
    }
    frameOfClient = fresh;
    for (const auto& [client, frame] : fresh) clientOfFrame[frame] = client;
  }

  // Front to back: the root's children are bottom to top.
  std::vector<WindowRecord> records;
  for (int i = childCount - 1; i >= 0; --i) {
    xcb_window_t top = children[i];
    if (auto it = clientOfFrame.find(top); it != clientOfFrame.end()) {
      WindowRecord r;
      r.number = it->second;
      r.topLevel = top;
      records.push_back(std::move(r));
    } else if (auto o = own.find(top); o != own.end()) {
      WindowRecord r;
      r.number = top;
      r.topLevel = top;
      r.own = true;
      r.pid = ownPid;
      r.layer = o->second.level;
      r.alpha = o->second.alpha;
      r.sharingState = o->second.sharingState;
      r.wmClass = "corvane";
      records.push_back(std::move(r));
    } else if (xcb_window_t client = clientInside(top)) {
      // A client the window manager framed but left out of its lists (a dock, for one).
      WindowRecord r;
      r.number = client;
      r.topLevel = top;
      records.push_back(std::move(r));
    } else {
      // A window the window manager does not manage (a dock it leaves alone, another program's
      // pop-up or notification, the window manager's own menus): listed while it shows, since it
      // can stand in front of a protected window.
      WindowRecord r;
      r.number = top;
      r.topLevel = top;
      r.unmanaged = true;
      records.push_back(std::move(r));
    }
  }

  // One batch of requests for every record, then the replies in order.
  std::vector<xcb_get_geometry_cookie_t> geometry;
  std::vector<xcb_get_window_attributes_cookie_t> attributes;
  std::vector<ClientCookies> props;
  for (const WindowRecord& r : records) {
    geometry.push_back(xcb_get_geometry(c, r.topLevel));
    attributes.push_back(xcb_get_window_attributes(c, r.topLevel));
    ClientCookies k{};
    if (!r.own) {
      k.pid = conn.propertyCookie(r.number, conn.atom(Atom::netWmPid), 1);
      k.wmClass = conn.propertyCookie(r.number, conn.atom(Atom::wmClass), 256);
      k.netName = conn.propertyCookie(r.number, conn.atom(Atom::netWmName), 1024);
      k.name = conn.propertyCookie(r.number, conn.atom(Atom::wmName), 1024);
      k.type = conn.propertyCookie(r.number, conn.atom(Atom::netWmWindowType), 32);
      k.state = conn.propertyCookie(r.number, conn.atom(Atom::netWmState), 32);
      k.opacity = conn.propertyCookie(r.number, conn.atom(Atom::netWmWindowOpacity), 1);
    }
    props.push_back(k);
  }
  std::vector<WindowRecord> out;
  out.reserve(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    WindowRecord& r = records[i];
    auto g = reply(xcb_get_geometry_reply(c, geometry[i], nullptr));
    auto a = reply(xcb_get_window_attributes_reply(c, attributes[i], nullptr));
    bool hidden = false;
    if (!r.own) {
      const ClientCookies& k = props[i];
      if (auto pid = Connection::cardinalsReply(c, k.pid); pid && !pid->empty() && (*pid)[0] <= uint32_t(INT_MAX)) {
        r.pid = pid_t((*pid)[0]);
      }
      if (auto cls = Connection::bytesReply(c, k.wmClass)) {
        size_t nul = cls->find('\0');
        r.wmInstance = cls->substr(0, nul);
        if (nul != std::string::npos) {
          std::string rest = cls->substr(nul + 1);
          r.wmClass = rest.substr(0, rest.find('\0'));
        }
      }
      auto netName = Connection::bytesReply(c, k.netName);
      auto name = Connection::bytesReply(c, k.name);
      if (netName) {
        r.title = std::move(netName);
      } else if (name) {
        r.title = std::move(name);
      }
      auto types = Connection::cardinalsReply(c, k.type).value_or(std::vector<uint32_t>{});
      auto states = Connection::cardinalsReply(c, k.state).value_or(std::vector<uint32_t>{});
      r.layer = layerOf(conn, types, states, &r.desktopElement);
      hidden = std::find(states.begin(), states.end(), conn.atom(Atom::netWmStateHidden)) != states.end();
      if (auto opacity = Connection::cardinalsReply(c, k.opacity); opacity && !opacity->empty()) {
        r.alpha = double((*opacity)[0]) / 4294967295.0;
      }
    }
    if (!g || !a) continue;  // gone since the tree was read
    if (r.unmanaged && (a->map_state != XCB_MAP_STATE_VIEWABLE || a->_class == XCB_WINDOW_CLASS_INPUT_ONLY)) continue;
    r.bounds = Rect(g->x, g->y, g->width + 2.0 * g->border_width, g->height + 2.0 * g->border_width);
    r.onScreen = a->map_state == XCB_MAP_STATE_VIEWABLE && !hidden;
    out.push_back(std::move(r));
  }
  return out;
}

xcb_window_t State::clientInside(xcb_window_t topLevel) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = clientInsideCache.find(topLevel); it != clientInsideCache.end()) return it->second;
  }
  // The window manager marks the clients it manages with WM_STATE; a frame holds one a level or
  // two down.
  xcb_connection_t* c = conn.xcb();
  xcb_window_t found = 0;
  std::vector<xcb_window_t> level = {topLevel};
  for (int depth = 0; depth < 3 && !found && !level.empty(); ++depth) {
    std::vector<xcb_window_t> next;
    for (xcb_window_t w : level) {
      auto tree = reply(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
      if (!tree) continue;
      const xcb_window_t* kids = xcb_query_tree_children(tree.get());
      next.insert(next.end(), kids, kids + xcb_query_tree_children_length(tree.get()));
    }
    std::vector<std::pair<xcb_get_property_cookie_t, xcb_get_property_cookie_t>> cookies;
    for (xcb_window_t w : next) {
      cookies.emplace_back(conn.propertyCookie(w, conn.atom(Atom::wmState), 2), conn.propertyCookie(w, conn.atom(Atom::wmClass), 64));
    }
    for (size_t i = 0; i < next.size(); ++i) {
      const bool managed = Connection::cardinalsReply(c, cookies[i].first).has_value();
      const bool named = Connection::bytesReply(c, cookies[i].second).has_value();
      if ((managed || named) && !found) found = next[i];
    }
    level = std::move(next);
  }
  // Only a find is kept: a frame that holds no client yet may get one.
  std::lock_guard<std::mutex> lock(mutex);
  if (clientInsideCache.size() > 4096) clientInsideCache.clear();
  if (found) clientInsideCache[topLevel] = found;
  return found;
}

void State::checkMainThread(const char* where) const {
#ifndef NDEBUG
  if (std::this_thread::get_id() != mainThread) {
    log.log(std::string("X11 backend: ") + where + " called off the main thread");
    std::abort();
  }
#else
  (void)where;
#endif
}

xcb_window_t State::frameOf(xcb_window_t window) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = frameOfClient.find(window); it != frameOfClient.end()) return it->second;
    if (ownWindows.count(window)) return window;
  }
  return topLevelOf(conn.xcb(), conn.root(), window);
}

xcb_window_t State::clientOf(xcb_window_t topLevel) {
  std::lock_guard<std::mutex> lock(mutex);
  for (const auto& [client, frame] : frameOfClient) {
    if (frame == topLevel) return client;
  }
  if (auto it = clientInsideCache.find(topLevel); it != clientInsideCache.end() && it->second) return it->second;
  return topLevel;
}

pid_t State::pidOf(xcb_window_t window) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (ownWindows.count(window)) return ownPid;
  }
  auto pid = conn.cardinals(window, conn.atom(Atom::netWmPid));
  return pid && !pid->empty() && (*pid)[0] <= uint32_t(INT_MAX) ? pid_t((*pid)[0]) : 0;
}

std::string State::executableName(pid_t pid) {
  if (pid <= 0) return {};
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

void State::displaysChanged() {
  std::lock_guard<std::mutex> lock(mutex);
  displayCache.reset();
}

std::vector<std::pair<DisplayID, Rect>> State::displays() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (displayCache) return *displayCache;
  }
  std::vector<std::pair<DisplayID, Rect>> out;
  xcb_connection_t* c = conn.xcb();
  if (conn.hasRandr) {
    auto res = reply(xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, conn.root()), nullptr));
    auto primary = reply(xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, conn.root()), nullptr));
    if (res) {
      const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(res.get());
      const int n = xcb_randr_get_screen_resources_current_crtcs_length(res.get());
      std::vector<xcb_randr_get_crtc_info_cookie_t> cookies;
      for (int i = 0; i < n; ++i) cookies.push_back(xcb_randr_get_crtc_info(c, crtcs[i], res->config_timestamp));
      for (int i = 0; i < n; ++i) {
        auto info = reply(xcb_randr_get_crtc_info_reply(c, cookies[size_t(i)], nullptr));
        if (!info || info->mode == XCB_NONE || info->width == 0 || info->height == 0) continue;
        const xcb_randr_output_t* outputs = xcb_randr_get_crtc_info_outputs(info.get());
        const int outputCount = xcb_randr_get_crtc_info_outputs_length(info.get());
        const bool isPrimary = primary && std::find(outputs, outputs + outputCount, primary->output) != outputs + outputCount;
        std::pair<DisplayID, Rect> d{DisplayID(crtcs[i]), Rect(info->x, info->y, info->width, info->height)};
        if (isPrimary) {
          out.insert(out.begin(), d);
        } else {
          out.push_back(d);
        }
      }
    }
  }
  if (out.empty()) {
    // Without RandR (or without an active output) the root is the one display.
    out.push_back({1, Rect(0, 0, conn.screen()->width_in_pixels, conn.screen()->height_in_pixels)});
  }
  std::lock_guard<std::mutex> lock(mutex);
  displayCache = out;
  return out;
}

double State::mainDisplayHeight() {
  auto d = displays();
  return d.front().second.height();
}

std::optional<PixelBuffer> imageToPixels(xcb_connection_t* c, xcb_drawable_t drawable, int x, int y, int width,
                                         int height, uint8_t depth) {
  if (width <= 0 || height <= 0 || width > 32767 || height > 32767) return std::nullopt;
  auto img = reply(xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, int16_t(x), int16_t(y), uint16_t(width), uint16_t(height), ~0u),
      nullptr));
  if (!img) return std::nullopt;
  const uint8_t* data = xcb_get_image_data(img.get());
  const size_t length = size_t(xcb_get_image_data_length(img.get()));
  const size_t stride = size_t(width) * 4;  // 24- and 32-bit depths use 32-bit pixels on every server we meet
  if (length < stride * size_t(height)) return std::nullopt;
  PixelBuffer out(width, height);
  for (int row = 0; row < height; ++row) {
    const uint8_t* src = data + size_t(row) * stride;
    uint8_t* dst = out.pixel(0, row);
    std::copy(src, src + stride, dst);
    if (depth != 32) {
      for (int col = 0; col < width; ++col) dst[col * 4 + 3] = 255;
    }
  }
  return out;
}

namespace {

// ---- Window server ----------------------------------------------------------------------------

class X11WindowServer final : public WindowServer {
 public:
  explicit X11WindowServer(State& s) : s_(s) {}

  std::optional<std::vector<WindowListEntry>> copyWindowInfo(uint32_t options, WindowID relativeTo) override {
    auto records = s_.readWindows();
    if (!records) return std::nullopt;
    std::vector<WindowListEntry> entries;
    for (size_t i : selectWindowList(*records, options, relativeTo)) {
      const WindowRecord& r = (*records)[i];
      WindowListEntry e;
      e.number = int64_t(r.number);
      e.layer = r.layer;
      if (r.pid > 0) e.ownerPID = int64_t(r.pid);
      if (!r.wmClass.empty()) e.ownerName = r.wmClass;
      e.alpha = r.alpha;
      e.bounds = r.bounds;
      if (r.title) e.name = *r.title;
      e.isOnscreen = r.onScreen;
      e.sharingState = r.sharingState;
      entries.push_back(std::move(e));
    }
    return entries;
  }
  DisplayID mainDisplayID() override { return s_.displays().front().first; }
  std::vector<DisplayID> activeDisplays() override {
    std::vector<DisplayID> ids;
    for (const auto& d : s_.displays()) ids.push_back(d.first);
    return ids;
  }
  Rect displayBounds(DisplayID display) override {
    for (const auto& d : s_.displays()) {
      if (d.first == display) return d.second;
    }
    return Rect::null();
  }

  std::optional<PixelBuffer> createWindowImage(Rect screenBounds, WindowID window, uint32_t /*options*/) override {
    xcb_connection_t* c = s_.conn.xcb();
    xcb_window_t top = topLevelOf(c, s_.conn.root(), window);
    if (!top) return std::nullopt;
    auto geometry = reply(xcb_get_geometry_reply(c, xcb_get_geometry(c, top), nullptr));
    if (!geometry) return std::nullopt;
    const Rect bounds(geometry->x, geometry->y, geometry->width + 2.0 * geometry->border_width,
                      geometry->height + 2.0 * geometry->border_width);
    Rect area = screenBounds.isNull() ? bounds : screenBounds.intersection(bounds).integral();
    if (area.isNull() || area.isEmpty()) return std::nullopt;
    const int x = int(area.minX() - bounds.minX());
    const int y = int(area.minY() - bounds.minY());
    std::optional<PixelBuffer> image;
    if (s_.conn.hasComposite) {
      // The window's own pixels, also where other windows cover it.
      xcb_pixmap_t pixmap = xcb_generate_id(c);
      xcb_void_cookie_t named = xcb_composite_name_window_pixmap_checked(c, top, pixmap);
      if (xcb_generic_error_t* error = xcb_request_check(c, named)) {
        std::free(error);
      } else {
        image = imageToPixels(c, pixmap, x, y, int(area.width()), int(area.height()), geometry->depth);
        xcb_free_pixmap(c, pixmap);
      }
    }
    if (!image) image = imageToPixels(c, top, x, y, int(area.width()), int(area.height()), geometry->depth);
    return image;
  }

  std::optional<PixelBuffer> captureDisplay(DisplayID display) override {
    Rect bounds = displayBounds(display);
    if (bounds.isNull()) return std::nullopt;
    return imageToPixels(s_.conn.xcb(), s_.conn.root(), int(bounds.minX()), int(bounds.minY()), int(bounds.width()),
                         int(bounds.height()), s_.conn.screen()->root_depth);
  }

 private:
  State& s_;
};

// ---- The private entry points in X11's terms --------------------------------------------------

class X11WindowServerPrivate final : public WindowServerPrivate {
 public:
  explicit X11WindowServerPrivate(State& s) : s_(s) {
    events_ = s_.conn.addEventHandler([this](const xcb_generic_event_t& e) { onEvent(e); });
  }

  bool has(PrivateEntryPoint entryPoint) override {
    switch (entryPoint) {
      case PrivateEntryPoint::mainConnectionID:
      case PrivateEntryPoint::newConnection:
      case PrivateEntryPoint::getWindowBounds:
      case PrivateEntryPoint::moveWindow:
      case PrivateEntryPoint::registerConnectionNotifyProc:
        return true;
      case PrivateEntryPoint::setWindowTags:  // X11 cannot keep a window out of captures
      case PrivateEntryPoint::isScreenWatcherPresent:
        return false;
    }
    return false;
  }
  std::optional<WindowServerConnection> mainConnectionID() override { return kConnection; }
  std::optional<NewConnection> newConnection() override {
    return NewConnection{WindowServerError::success, kConnection + 1};
  }
  std::optional<WindowBounds> getWindowBounds(WindowServerConnection connection, WindowID window) override {
    if (connection != kConnection && connection != kConnection + 1) return WindowBounds{WindowServerError::invalidConnection, {}};
    xcb_connection_t* c = s_.conn.xcb();
    xcb_window_t top = topLevelOf(c, s_.conn.root(), window);
    auto g = top ? reply(xcb_get_geometry_reply(c, xcb_get_geometry(c, top), nullptr)) : reply<xcb_get_geometry_reply_t>(nullptr);
    if (!g) return WindowBounds{WindowServerError::illegalArgument, {}};
    return WindowBounds{WindowServerError::success,
                        Rect(g->x, g->y, g->width + 2.0 * g->border_width, g->height + 2.0 * g->border_width)};
  }
  std::optional<WindowServerStatus> moveWindow(WindowServerConnection connection, WindowID window, Point topLeft) override {
    if (connection != kConnection) return WindowServerError::invalidConnection;
    {
      std::lock_guard<std::mutex> lock(s_.mutex);
      if (!s_.ownWindows.count(window)) return WindowServerError::illegalArgument;  // only our own windows
    }
    const uint32_t values[] = {uint32_t(int32_t(std::lround(topLeft.x))), uint32_t(int32_t(std::lround(topLeft.y)))};
    xcb_configure_window(s_.conn.xcb(), window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
    s_.conn.flush();
    return WindowServerError::success;
  }
  std::optional<WindowServerStatus> setWindowTags(WindowServerConnection, WindowID, uint64_t, int32_t) override {
    return std::nullopt;
  }
  std::optional<bool> isScreenWatcherPresent() override { return std::nullopt; }
  std::optional<NotifyRegistration> registerConnectionNotifyProc(WindowServerConnection connection, NotifyProc proc) override {
    if (connection != kConnection && connection != kConnection + 1) {
      return NotifyRegistration{WindowServerError::invalidConnection, {}};
    }
    return NotifyRegistration{WindowServerError::success, notices_.subscribe(std::move(proc))};
  }

 private:
  static constexpr WindowServerConnection kConnection = 1;

  void onEvent(const xcb_generic_event_t& e) {
    WindowNotice notice;
    switch (e.response_type & 0x7f) {
      case XCB_CONFIGURE_NOTIFY: {
        const auto& ev = reinterpret_cast<const xcb_configure_notify_event_t&>(e);
        if (ev.event != s_.conn.root()) return;
        // The server does not say what changed; a move is the common case, and every kind makes
        // the listener look again.
        notice.kind = WindowNotification::moved;
        notice.window = s_.clientOf(ev.window);
        break;
      }
      case XCB_MAP_NOTIFY: {
        const auto& ev = reinterpret_cast<const xcb_map_notify_event_t&>(e);
        if (ev.event != s_.conn.root()) return;
        notice.kind = WindowNotification::ordered;
        notice.window = s_.clientOf(ev.window);
        break;
      }
      case XCB_UNMAP_NOTIFY: {
        const auto& ev = reinterpret_cast<const xcb_unmap_notify_event_t&>(e);
        if (ev.event != s_.conn.root()) return;
        notice.kind = WindowNotification::hidden;
        notice.window = s_.clientOf(ev.window);
        break;
      }
      case XCB_DESTROY_NOTIFY: {
        const auto& ev = reinterpret_cast<const xcb_destroy_notify_event_t&>(e);
        if (ev.event != s_.conn.root()) return;
        notice.kind = WindowNotification::destroyed;
        notice.window = s_.clientOf(ev.window);
        break;
      }
      default:
        return;
    }
    auto cached = pids_.find(notice.window);
    if (cached != pids_.end()) {
      notice.ownerPID = cached->second;
    } else if (notice.kind != WindowNotification::destroyed) {
      notice.ownerPID = s_.pidOf(notice.window);
      if (notice.ownerPID) pids_[notice.window] = notice.ownerPID;
    }
    if (notice.kind == WindowNotification::destroyed) pids_.erase(notice.window);
    // A window we know nothing of (already gone) is still reported as foreign: pid stays 0.
    std::weak_ptr<bool> alive = alive_;
    s_.dispatcher.main().async([this, alive, notice] {
      if (alive.lock()) notices_.emit(notice);
    });
  }

  State& s_;
  Signal<WindowNotice> notices_;
  std::map<xcb_window_t, pid_t> pids_;
  Subscription events_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// ---- Workspace --------------------------------------------------------------------------------

class X11Workspace final : public Workspace {
 public:
  explicit X11Workspace(State& s) : s_(s) {
    events_ = s_.conn.addEventHandler([this](const xcb_generic_event_t& e) {
      if ((e.response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return;
      const auto& ev = reinterpret_cast<const xcb_property_notify_event_t&>(e);
      if (ev.window == s_.conn.root() && ev.atom == s_.conn.atom(Atom::netActiveWindow)) activeChanged();
    });
    // Windows that come, go or change hands make the list of applications stale.
    structure_ = s_.conn.addEventHandler([this](const xcb_generic_event_t& e) {
      switch (e.response_type & 0x7f) {
        case XCB_MAP_NOTIFY:
        case XCB_UNMAP_NOTIFY:
        case XCB_DESTROY_NOTIFY:
        case XCB_REPARENT_NOTIFY:
          stale_ = true;
          break;
        default:
          break;
      }
    });
  }

  std::vector<RunningApplication> runningApplications() override {
    s_.checkMainThread("Workspace::runningApplications");
    refresh();
    std::vector<RunningApplication> out;
    for (pid_t pid : launchOrder_) out.push_back(apps_.at(pid));
    return out;
  }
  std::optional<RunningApplication> frontmostApplication() override {
    s_.checkMainThread("Workspace::frontmostApplication");
    pid_t pid = activePid();
    if (pid <= 0) return std::nullopt;
    return application(pid);
  }
  std::optional<RunningApplication> application(pid_t pid) override {
    s_.checkMainThread("Workspace::application");
    if (!stale_) {
      if (auto it = apps_.find(pid); it != apps_.end() && !it->second.isTerminated) return it->second;
    }
    refresh();
    if (auto it = apps_.find(pid); it != apps_.end() && !it->second.isTerminated) return it->second;
    return std::nullopt;
  }
  Subscription addObserver(WorkspaceNotification name, Observer observer) override {
    s_.checkMainThread("Workspace::addObserver");
    return notifications_.subscribe(
        [name, observer = std::move(observer)](const WorkspaceNotification& n, const std::optional<RunningApplication>& app) {
          if (n == name) observer(app);
        });
  }
  bool openURL(const std::string& url) override {
    // xdg-open hands the URL to whatever the desktop configured; it runs on its own.
    pid_t child = 0;
    std::string program = "xdg-open";
    std::vector<char*> argv = {program.data(), const_cast<char*>(url.c_str()), nullptr};
    if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t activePid() {
    auto active = s_.conn.cardinals(s_.conn.root(), s_.conn.atom(Atom::netActiveWindow));
    if (!active || active->empty() || (*active)[0] == XCB_WINDOW_NONE) return 0;
    return s_.pidOf((*active)[0]);
  }

  // The applications: every process that owns a managed window, in the order they were first seen.
  void refresh() {
    auto records = s_.readWindows();
    if (!records) return;
    stale_ = false;
    std::set<pid_t> live;
    for (const WindowRecord& r : *records) {
      if (r.pid <= 0 || r.own) continue;
      live.insert(r.pid);
      auto it = apps_.find(r.pid);
      if (it != apps_.end() && !it->second.isTerminated) continue;
      AppIdentity id = s_.entries.identify(r.wmInstance, r.wmClass, State::executableName(r.pid));
      RunningApplication app;
      app.processIdentifier = r.pid;
      app.bundleIdentifier = id.identifier;
      app.localizedName = id.name;
      apps_[r.pid] = app;
      launchOrder_.erase(std::remove(launchOrder_.begin(), launchOrder_.end(), r.pid), launchOrder_.end());
      launchOrder_.push_back(r.pid);
    }
    // A process whose windows are all gone has quit as far as the desktop can tell.
    for (auto it = launchOrder_.begin(); it != launchOrder_.end();) {
      if (!live.count(*it)) {
        apps_[*it].isTerminated = true;
        it = launchOrder_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void activeChanged() {
    pid_t pid = activePid();
    if (pid == lastActive_) return;
    std::optional<RunningApplication> previous = lastActive_ > 0 ? application(lastActive_) : std::nullopt;
    std::optional<RunningApplication> current = pid > 0 ? application(pid) : std::nullopt;
    lastActive_ = pid;
    std::weak_ptr<bool> alive = alive_;
    s_.dispatcher.main().async([this, alive, previous, current] {
      if (!alive.lock()) return;
      if (previous) notifications_.emit(WorkspaceNotification::didDeactivateApplication, previous);
      if (current) notifications_.emit(WorkspaceNotification::didActivateApplication, current);
    });
  }

  State& s_;
  std::map<pid_t, RunningApplication> apps_;
  std::vector<pid_t> launchOrder_;
  pid_t lastActive_ = 0;
  bool stale_ = true;
  Subscription structure_;
  Signal<WorkspaceNotification, std::optional<RunningApplication>> notifications_;
  Subscription events_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// ---- Screens and the application --------------------------------------------------------------

class X11Screens final : public Screens {
 public:
  explicit X11Screens(State& s) : s_(s) {}
  std::vector<ScreenInfo> screens() override {
    auto displays = s_.displays();
    const double h = displays.front().second.height();
    std::vector<ScreenInfo> out;
    for (const auto& [id, bounds] : displays) {
      Rect frame = bounds.flipped(h);
      out.push_back({frame, frame, id});
    }
    return out;
  }
  std::optional<ScreenInfo> mainScreen() override { return screens().front(); }

 private:
  State& s_;
};

class X11Application final : public Application {
 public:
  explicit X11Application(State& s) : s_(s) {
    if (s_.conn.hasRandr) {
      xcb_randr_select_input(s_.conn.xcb(), s_.conn.root(),
                             XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                 XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
      s_.conn.flush();
    }
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(s_.conn.xcb(), &xcb_randr_id);
    const int randrBase = randr && randr->present ? randr->first_event : -1;
    events_ = s_.conn.addEventHandler([this, randrBase](const xcb_generic_event_t& e) {
      const int type = e.response_type & 0x7f;
      const bool rootResized = type == XCB_CONFIGURE_NOTIFY &&
                               reinterpret_cast<const xcb_configure_notify_event_t&>(e).window == s_.conn.root();
      const bool randrChanged = randrBase >= 0 && (type == randrBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                                   type == randrBase + XCB_RANDR_NOTIFY);
      if (!rootResized && !randrChanged) return;
      s_.displaysChanged();
      notifications_.emit(ApplicationNotification::didChangeScreenParameters);
    });
  }
  ActivationPolicy activationPolicy() const override { return policy_; }
  bool setActivationPolicy(ActivationPolicy policy) override {
    policy_ = policy;  // X11 has no such notion: every policy is accepted and remembered
    return true;
  }
  void run() override {
    if (run_) run_();
  }
  void terminate() override {
    if (stop_) stop_();
  }
  Subscription addObserver(ApplicationNotification name, std::function<void()> observer) override {
    return notifications_.subscribe([name, observer = std::move(observer)](const ApplicationNotification& n) {
      if (n == name) observer();
    });
  }
  std::function<void()> run_;
  std::function<void()> stop_;

 private:
  State& s_;
  ActivationPolicy policy_ = ActivationPolicy::regular;
  Signal<ApplicationNotification> notifications_;
  Subscription events_;
};

}  // namespace

// ---- The desktop --------------------------------------------------------------------------------

struct X11Desktop::Impl {
  Impl(std::unique_ptr<Connection> c, Dispatcher& d, LogSink& l)
      : connection(std::move(c)),
        state(*connection, d, l),
        windowServer(state),
        windowServerPrivate(state),
        workspace(state),
        screens(state),
        application(state),
        processes(d) {
    state.ownPid = getpid();
    state.entries = DesktopEntries::loadStandard();
    ui = makeUserInterface(state);
    input = makeInput(state);
  }
  std::unique_ptr<Connection> connection;
  State state;
  X11WindowServer windowServer;
  X11WindowServerPrivate windowServerPrivate;
  X11Workspace workspace;
  X11Screens screens;
  X11Application application;
  PosixProcesses processes;
  std::unique_ptr<ui::UserInterface> ui;
  std::unique_ptr<Input> input;
  DefaultsStore* defaults = nullptr;
  Audio* audio = nullptr;
};

std::unique_ptr<X11Desktop> X11Desktop::open(Dispatcher& dispatcher, const char* display, LogSink& systemLog,
                                             std::string* error) {
  auto connection = Connection::open(display, error);
  if (!connection) return nullptr;
  return std::unique_ptr<X11Desktop>(new X11Desktop(std::make_unique<Impl>(std::move(connection), dispatcher, systemLog)));
}

X11Desktop::X11Desktop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
X11Desktop::~X11Desktop() = default;

Platform X11Desktop::platform() {
  Impl& i = *impl_;
  Platform p{i.state.dispatcher, i.state.dispatcher.clock(), i.windowServer, i.workspace, i.screens,
             i.processes,        i.application,              i.state.log};
  p.defaults = i.defaults;
  p.windowServerPrivate = &i.windowServerPrivate;
  p.audio = i.audio;
  p.ui = i.ui.get();
  p.input = i.input.get();
  return p;
}

Connection& X11Desktop::connection() { return *impl_->connection; }
DesktopEntries& X11Desktop::desktopEntries() { return impl_->state.entries; }
void X11Desktop::processEvents() { impl_->connection->processEvents(); }
void X11Desktop::setRunLoop(std::function<void()> run, std::function<void()> stop) {
  impl_->application.run_ = std::move(run);
  impl_->application.stop_ = std::move(stop);
}
void X11Desktop::startEventThread() { impl_->connection->startEventThread(impl_->state.dispatcher.main()); }
void X11Desktop::setDefaultsStore(DefaultsStore* store) { impl_->defaults = store; }
void X11Desktop::setAudio(Audio* audio) { impl_->audio = audio; }

}  // namespace corvane::x11
