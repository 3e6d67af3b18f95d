// The X11 backend's pure parts: identities from desktop entries, the window-list selection, the
// frost and the window shape, and the backend selector. No X server needed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/backend.h"
#include "platform/x11/x11_desktop_entries.h"
#include "platform/x11/x11_frost.h"
#include "platform/x11/x11_internal.h"
#include "x11/x11_fixture.h"

namespace corvane::x11 {
namespace {

TEST(X11DesktopEntriesTest, WindowsAreIdentifiedByTheirDesktopEntry) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("corvane-entries-" + std::to_string(getpid()));
  fs::create_directories(root / "user" / "vendor");
  fs::create_directories(root / "system");
  auto write = [](const fs::path& p, const std::string& text) { std::ofstream(p) << text; };
  write(root / "user/com.slack.Slack.desktop", "[Desktop Entry]\nName=Slack\nName[de]=Schlack\nExec=/app/bin/slack %U\n");
  write(root / "user/vendor/tool.desktop", "[Desktop Entry]\nName=Vendor Tool\nStartupWMClass=VTool\nExec=env A=1 vtool\n");
  write(root / "user/broken.desktop", "Name=No group\n");
  write(root / "user/other-group.desktop", "[Desktop Action x]\nName=Only an action\n");
  // A later directory's entry with the same id is shadowed; a new id is added.
  write(root / "system/com.slack.Slack.desktop", "[Desktop Entry]\nName=Shadowed\n");
  write(root / "system/org.gnome.Nautilus.desktop", "[Desktop Entry]\nName=Files\nExec=nautilus --new-window\n");
  write(root / "system/zoom.desktop", "[Desktop Entry]\nName=Zoom Workplace\nExec=\"/opt/zoom/ZoomLauncher\" %U\n");
  DesktopEntries entries = DesktopEntries::load({(root / "user").string(), (root / "system").string()});
  fs::remove_all(root);
  ASSERT_EQ(entries.entries().size(), 4u);

  struct Case {
    const char* instance;
    const char* cls;
    const char* exe;
    AppIdentity expected;
  } cases[] = {
      {"vtool", "VTool", "", {"vendor-tool", "Vendor Tool"}},                  // StartupWMClass, nested id
      {"slack", "Slack", "", {"com.slack.Slack", "Slack"}},                    // last part of a reverse-domain id
      {"org.gnome.Nautilus", "Org.gnome.Nautilus", "", {"org.gnome.Nautilus", "Files"}},
      {"unknown", "Unknown", "ZoomLauncher", {"zoom", "Zoom Workplace"}},      // the executable
      {"chat", "ChatApp", "chat-bin", {"ChatApp", "ChatApp"}},                 // no entry: the class
      {"", "", "proc", {"proc", "proc"}},
  };
  for (const Case& c : cases) {
    AppIdentity id = entries.identify(c.instance, c.cls, c.exe);
    EXPECT_EQ(id.identifier, c.expected.identifier) << c.cls;
    EXPECT_EQ(id.name, c.expected.name) << c.cls;
  }
}

TEST(X11WindowListTest, OptionsSelectLikeTheReferencePlatform) {
  std::vector<WindowRecord> list(4);
  for (size_t i = 0; i < list.size(); ++i) {
    list[i].number = xcb_window_t(10 + i);
    list[i].onScreen = i != 2;
  }
  list[3].desktopElement = true;
  using namespace WindowListOption;
  struct Case {
    uint32_t options;
    WindowID relative;
    std::vector<size_t> expected;
  } cases[] = {
      {all, 0, {0, 1, 2, 3}},
      {onScreenOnly, 0, {0, 1, 3}},
      {onScreenOnly | excludeDesktopElements, 0, {0, 1}},
      {onScreenAboveWindow, 12, {0, 1}},
      {onScreenBelowWindow, 11, {3}},
      {onScreenBelowWindow | includingWindow, 11, {1, 3}},
      {includingWindow, 12, {2}},
      {includingWindow | onScreenOnly, 12, {}},
      {onScreenAboveWindow, 99, {}},  // an unknown window bounds nothing
      {onScreenAboveWindow, 0, {0, 1, 3}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(selectWindowList(list, c.options, c.relative), c.expected) << c.options << " " << c.relative;
  }
}

TEST(X11FrostTest, FrostShowsNoPixelOfTheCoveredPatternAndIsOpaque) {
  const uint32_t colors[2] = {0xc0ffee, 0x7a0b1c};
  PixelBuffer source(203, 131);  // not a multiple of the cell size
  for (int y = 0; y < source.height; ++y) {
    for (int x = 0; x < source.width; ++x) {
      const uint32_t c = colors[(x / 8 + y / 8) % 2];
      uint8_t* p = source.pixel(x, y);
      p[0] = c & 0xff, p[1] = (c >> 8) & 0xff, p[2] = c >> 16, p[3] = 255;
    }
  }
  for (int radius : {1, 10, 24, 40}) {
    PixelBuffer f = frost(source, radius);
    ASSERT_EQ(f.width, source.width);
    ASSERT_EQ(f.height, source.height);
    if (radius >= 10) {
      EXPECT_EQ(test::countColor(f, colors, 2), 0u) << radius;
    }
    bool opaque = true;
    for (int y = 0; y < f.height; ++y) {
      for (int x = 0; x < f.width; ++x) opaque = opaque && f.pixel(x, y)[3] == 255;
    }
    EXPECT_TRUE(opaque) << radius;
  }
  // Transparent parts of the source count as grey, never as black holes.
  PixelBuffer clear(40, 40);
  EXPECT_NEAR(frost(clear, 8).pixel(20, 20)[1], 128, 1);
  // A tint over the frost darkens it by its alpha.
  PixelBuffer canvas = frost(clear, 8);
  fillOver(canvas, {0, 0, 20, 40}, 0, 0, 0, 0.5);
  EXPECT_NEAR(canvas.pixel(5, 5)[0], 64, 1);
  EXPECT_NEAR(canvas.pixel(30, 5)[0], 128, 1);
}

TEST(X11FrostTest, ShapeRectanglesLeaveOutTheHolesAndMergeEqualRows) {
  // A 100 x 60 window with two holes: one in the middle, one on the right edge.
  auto covers = [](double x, double y) {
    const bool hole1 = x >= 20 && x < 40 && y >= 10 && y < 30;
    const bool hole2 = x >= 90 && y >= 40;
    return !hole1 && !hole2;
  };
  auto rects = shapeRectangles(100, 60, covers);
  // Every pixel is in exactly as many rectangles as `covers` says (0 or 1).
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 100; ++x) {
      int n = 0;
      for (const PixelRect& r : rects) n += x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
      ASSERT_EQ(n, covers(x + 0.5, y + 0.5) ? 1 : 0) << x << "," << y;
    }
  }
  EXPECT_EQ(rects.size(), 5u);  // top band, two beside the hole, middle band, bottom band
  EXPECT_EQ(shapeRectangles(30, 20, [](double, double) { return true; }), (std::vector<PixelRect>{{0, 0, 30, 20}}));
  EXPECT_TRUE(shapeRectangles(30, 20, [](double, double) { return false; }).empty());
}

TEST(BackendSelectorTest, TheEnvironmentChoosesTheBackend) {
  struct Case {
    const char* backend;
    const char* display;
    bool x11Built;
    std::optional<std::string> expected;
    const char* errorPart;
  } cases[] = {
      {nullptr, ":0", true, "x11", ""},
      {"", ":1", true, "x11", ""},
      {"sim", ":0", true, "sim", ""},
      {"x11", nullptr, true, "x11", ""},  // the X11 factory then reports the missing server
      {nullptr, nullptr, true, std::nullopt, "DISPLAY is not set"},
      {nullptr, "", true, std::nullopt, "CORVANE_BACKEND=sim"},
      {nullptr, ":0", false, std::nullopt, "no X11 backend"},
      {"x11", ":0", false, std::nullopt, "no X11 backend"},
      {"wayland", ":0", true, std::nullopt, "unknown backend \"wayland\""},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(chooseBackend(c.backend, c.display, c.x11Built, &error), c.expected) << (c.backend ? c.backend : "-");
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace corvane::x11
