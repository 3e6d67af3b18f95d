// A small X11 application for the backend's tests: one top-level window with a known class,
// title, pid and a checkerboard of two known colours (8-pixel cells), managed by the window
// manager like any application's window.
//
//   corvane-x11-testapp --class CLASS --title TITLE --geometry WxH+X+Y --colors RRGGBB,RRGGBB
//                       [--type dock|normal] [--above] [--no-input]
//
// Standard input takes commands, one per line: "colors RRGGBB,RRGGBB" repaints with new colours,
// "record on" starts recording from the default sound input in a child process (parecord, as a
// browser or an Electron application records from a helper process), "record off" ends it,
// "quit" exits, and so does the end of the input (unless --no-input: then it runs until killed).
// The window's id is printed on standard output once it is mapped, then "click X Y" for each
// pointer button pressed in the window.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  auto* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
  xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
  std::free(r);
  return a;
}

bool parseColors(const std::string& text, uint32_t& a, uint32_t& b) {
  return std::sscanf(text.c_str(), "%6x,%6x", &a, &b) == 2;
}

void paint(xcb_connection_t* c, xcb_window_t w, xcb_gcontext_t gc, int width, int height, uint32_t a, uint32_t b) {
  std::vector<xcb_rectangle_t> first, second;
  for (int y = 0; y < height; y += 8) {
    for (int x = 0; x < width; x += 8) {
      ((x / 8 + y / 8) % 2 ? second : first).push_back({int16_t(x), int16_t(y), 8, 8});
    }
  }
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &a);
  xcb_poly_fill_rectangle(c, w, gc, uint32_t(first.size()), first.data());
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &b);
  xcb_poly_fill_rectangle(c, w, gc, uint32_t(second.size()), second.data());
  xcb_flush(c);
}

// The recording child, if any.
pid_t recorder = 0;

void record(bool on) {
  if (on && recorder == 0) {
    recorder = fork();
    if (recorder == 0) {
      // It ends with us, however we end.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execlp("parecord", "parecord", "--raw", "/dev/null", static_cast<char*>(nullptr));
      _exit(127);
    }
    if (recorder < 0) recorder = 0;
  } else if (!on && recorder > 0) {
    kill(recorder, SIGTERM);
    waitpid(recorder, nullptr, 0);
    recorder = 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string cls = "CorvaneTest", title = "Corvane test window", type = "normal";
  int width = 300, height = 200, x = 0, y = 0;
  uint32_t a = 0xff00ff, b = 0x00ff00;
  bool above = false;
  bool readInput = true;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--class") cls = next();
    else if (arg == "--title") title = next();
    else if (arg == "--geometry") std::sscanf(next().c_str(), "%dx%d+%d+%d", &width, &height, &x, &y);
    else if (arg == "--colors") parseColors(next(), a, b);
    else if (arg == "--type") type = next();
    else if (arg == "--above") above = true;
    else if (arg == "--no-input") readInput = false;
  }
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "corvane-x11-testapp: no X server\n");
    return 1;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t w = xcb_generate_id(c);
  const uint32_t values[] = {screen->black_pixel, XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_BUTTON_PRESS};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, int16_t(x), int16_t(y), uint16_t(width), uint16_t(height), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  std::string instance = cls;
  for (char& ch : instance) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  std::string wmClass = instance + '\0' + cls + '\0';
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, uint32_t(wmClass.size()), wmClass.data());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, uint32_t(title.size()), title.data());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_NAME"), atom(c, "UTF8_STRING"), 8,
                      uint32_t(title.size()), title.data());
  const uint32_t pid = uint32_t(getpid());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
  // Where the test placed it, the window manager keeps it.
  const uint32_t hints[18] = {1u | 4u, 0, 0, 0, 0};  // USPosition | PPosition
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
  if (type == "dock") {
    const uint32_t dock = atom(c, "_NET_WM_WINDOW_TYPE_DOCK");
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &dock);
  }
  if (above) {
    const uint32_t state = atom(c, "_NET_WM_STATE_ABOVE");
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 1, &state);
  }
  xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, w, 0, nullptr);
  xcb_map_window(c, w);
  xcb_flush(c);

  bool announced = false;
  std::string input;
  pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  for (;;) {
    while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
      const uint8_t t = e->response_type & 0x7f;
      if (t == XCB_EXPOSE) {
        paint(c, w, gc, width, height, a, b);
        if (!announced) {
          announced = true;
          std::printf("%u\n", w);
          std::fflush(stdout);
        }
      } else if (t == XCB_BUTTON_PRESS) {
        auto* ev = reinterpret_cast<xcb_button_press_event_t*>(e);
        std::printf("click %d %d\n", ev->event_x, ev->event_y);
        std::fflush(stdout);
      } else if (t == XCB_CONFIGURE_NOTIFY) {
        auto* ev = reinterpret_cast<xcb_configure_notify_event_t*>(e);
        if (ev->window == w && (ev->width != width || ev->height != height)) {
          width = ev->width;
          height = ev->height;
          paint(c, w, gc, width, height, a, b);
        }
      }
      std::free(e);
    }
    if (xcb_connection_has_error(c)) {
      record(false);
      return 1;
    }
    if (poll(fds, readInput ? 2 : 1, -1) < 0) continue;
    if (readInput && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buffer[256];
      ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) break;  // the test closed our input: quit
      input.append(buffer, size_t(n));
      size_t nl;
      while ((nl = input.find('\n')) != std::string::npos) {
        std::string line = input.substr(0, nl);
        input.erase(0, nl + 1);
        if (line == "quit") {
          record(false);
          return 0;
        }
        if (line == "record on" || line == "record off") record(line == "record on");
        if (line.rfind("colors ", 0) == 0 && parseColors(line.substr(7), a, b)) paint(c, w, gc, width, height, a, b);
      }
    }
  }
  record(false);
  xcb_disconnect(c);
  return 0;
}
