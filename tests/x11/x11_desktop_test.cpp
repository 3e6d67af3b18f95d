// The X11 ports against a real X server and window manager: the window list, window images and
// the share's picture, applications and their identities, window notices.
#include <chrono>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <algorithm>

#include "platform/input.h"
#include "platform/screens.h"
#include "platform/ui.h"
#include "platform/window_server_private.h"
#include "platform/workspace.h"
#include "x11/x11_desktop_fixture.h"

namespace corvane::x11::test {
namespace {

TEST_F(X11DesktopTest, TheWindowListFollowsTheWindowManager) {
  TestApp secret("SecretApp", "Quarterly numbers", "300x200+100+100", kSecret[0], kSecret[1]);
  TestApp plain("PlainApp", "Plain", "300x200+250+180", kPlain[0], kPlain[1]);
  TestApp dock("DockApp", "Panel", "400x30+0+700", kOther[0], kOther[1], {"--type", "dock"});
  TestApp above("AboveApp", "On top", "100x100+600+100", kOther[0], kOther[1], {"--above"});
  ASSERT_TRUE(secret.window && plain.window && dock.window && above.window)
      << secret.window << " " << plain.window << " " << dock.window << " " << above.window;
  ASSERT_TRUE(waitForEntry(above.window, [](const WindowListEntry& e) { return asInteger(e.layer) == 3; }));

  auto e = entry(secret.window, WindowListOption::onScreenOnly);
  ASSERT_TRUE(e);
  EXPECT_EQ(asInteger(e->ownerPID), int64_t(secret.process.pid()));
  EXPECT_EQ(asString(e->ownerName), "SecretApp");
  EXPECT_EQ(asString(e->name), "Quarterly numbers");
  EXPECT_EQ(asInteger(e->layer), 0);
  EXPECT_EQ(asBool(e->isOnscreen), true);
  // The bounds are the frame's: they hold the client and its decoration.
  auto origin = clientOrigin(xcb(), secret.window);
  ASSERT_TRUE(origin && asBounds(e->bounds));
  const Rect bounds = *asBounds(e->bounds);
  EXPECT_TRUE(bounds.contains(Rect(origin->x, origin->y, 300, 200))) << bounds;
  EXPECT_GT(bounds.height(), 200);
  ASSERT_TRUE(waitForEntry(dock.window, [](const WindowListEntry& e) { return asInteger(e.layer) == 20; }));

  // Front to back: the window activated last comes first; a minimised window leaves the screen.
  activateByWindowManager(xcb(), secret.window);
  ASSERT_TRUE(waitFor([&] {
    auto list = numbers(WindowListOption::onScreenOnly | WindowListOption::excludeDesktopElements);
    auto s = std::find(list.begin(), list.end(), secret.window), p = std::find(list.begin(), list.end(), plain.window);
    return s != list.end() && p != list.end() && s < p;
  }));
  minimiseByWindowManager(xcb(), plain.window);
  ASSERT_TRUE(waitForEntry(plain.window, [](const WindowListEntry& e) { return asBool(e.isOnscreen) == false; }));
  auto onScreen = numbers(WindowListOption::onScreenOnly);
  EXPECT_EQ(std::count(onScreen.begin(), onScreen.end(), int64_t(plain.window)), 0);
  // Windows above a given one: only those in front of it.
  auto aboveSecret = windowServer().copyWindowInfo(WindowListOption::onScreenAboveWindow, secret.window);
  ASSERT_TRUE(aboveSecret);
  for (const auto& a : *aboveSecret) EXPECT_NE(asInteger(a.number), int64_t(secret.window));
}

TEST_F(X11DesktopTest, WindowImagesAreTheWindowsOwnPixelsAndTheShareIsTheRoot) {
  TestApp secret("SecretApp", "Covered", "300x200+100+100", kSecret[0], kSecret[1]);
  TestApp cover("PlainApp", "Cover", "400x300+50+50", kPlain[0], kPlain[1]);
  ASSERT_TRUE(secret.window && cover.window);
  activateByWindowManager(xcb(), cover.window);
  ASSERT_TRUE(waitFor([&] { return sharePixels(kSecret) == 0; })) << "the cover never covered";

  // Covered entirely, the window still gives its own pixels; the share sees only the cover.
  auto image = windowServer().createWindowImage(Rect::null(), secret.window, 0);
  ASSERT_TRUE(image);
  EXPECT_GE(countColor(*image, kSecret, 2), size_t(300 * 200 * 9 / 10));
  EXPECT_EQ(countColor(*image, kPlain, 2), 0u);
  EXPECT_GT(sharePixels(kPlain), size_t(400 * 300 * 9 / 10));
  EXPECT_FALSE(windowServer().createWindowImage(Rect::null(), 0x7fffffff, 0));

  // One display: RandR's output, or the root.
  auto displays = windowServer().activeDisplays();
  ASSERT_FALSE(displays.empty());
  EXPECT_EQ(displays.front(), windowServer().mainDisplayID());
  EXPECT_EQ(windowServer().displayBounds(displays.front()), Rect(0, 0, 1024, 768));
  EXPECT_TRUE(windowServer().displayBounds(0xdead).isNull());
  EXPECT_EQ(desktop->platform().screens.mainScreen()->frame, Rect(0, 0, 1024, 768));
}

TEST_F(X11DesktopTest, ApplicationsAreKnownByTheirDesktopEntries) {
  TestApp secret("SecretApp", "Notes", "200x150+100+100", kSecret[0], kSecret[1]);
  TestApp plain("PlainApp", "Plain", "200x150+400+100", kPlain[0], kPlain[1]);
  ASSERT_TRUE(secret.window && plain.window);
  Workspace& workspace = desktop->platform().workspace;
  std::vector<std::string> activated;
  Subscription s = workspace.addObserver(WorkspaceNotification::didActivateApplication,
                                         [&](const std::optional<RunningApplication>& app) {
                                           if (app && app->bundleIdentifier) activated.push_back(*app->bundleIdentifier);
                                         });
  auto app = workspace.application(secret.process.pid());
  ASSERT_TRUE(app);
  EXPECT_EQ(app->bundleIdentifier, "com.example.Secret");
  EXPECT_EQ(app->localizedName, "Secret Notes");
  EXPECT_EQ(workspace.application(plain.process.pid())->bundleIdentifier, "PlainApp");  // no entry: the class
  auto running = workspace.runningApplications();
  EXPECT_TRUE(std::any_of(running.begin(), running.end(),
                          [&](const RunningApplication& r) { return r.processIdentifier == secret.process.pid(); }));

  activateByWindowManager(xcb(), secret.window);
  ASSERT_TRUE(waitFor([&] {
    pump();
    return workspace.frontmostApplication() && workspace.frontmostApplication()->processIdentifier == secret.process.pid();
  }));
  ASSERT_TRUE(waitFor([&] {
    pump();
    return !activated.empty() && activated.back() == "com.example.Secret";
  }));

  // Once its windows are gone the application has quit.
  const pid_t plainPid = plain.process.pid();
  plain.process.stop();
  ASSERT_TRUE(waitFor([&] {
    pump();
    return !workspace.application(plainPid);
  }));
}

TEST_F(X11DesktopTest, WindowNoticesReportOtherProgramsChanges) {
  TestApp secret("SecretApp", "Moving", "200x150+100+100", kSecret[0], kSecret[1]);
  ASSERT_TRUE(secret.window);
  WindowServerPrivate& ws = *desktop->platform().windowServerPrivate;
  EXPECT_FALSE(ws.has(PrivateEntryPoint::setWindowTags));  // no capture exclusion on X11
  EXPECT_FALSE(ws.setWindowTags(*ws.mainConnectionID(), secret.window, WindowTag::captureExcluded, 64));
  EXPECT_FALSE(ws.isScreenWatcherPresent());
  std::vector<WindowNotice> notices;
  auto registration = ws.registerConnectionNotifyProc(*ws.mainConnectionID(), [&](const WindowNotice& n) {
    if (n.window == secret.window) notices.push_back(n);
  });
  ASSERT_TRUE(registration && registration->status == WindowServerError::success);

  // The request goes again, a point further, every half second: on a loaded machine the window
  // manager may not have taken the new window yet when the first one arrives.
  int attempt = 0;
  auto lastAsk = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  ASSERT_TRUE(waitFor([&] {
    if (std::chrono::steady_clock::now() - lastAsk > std::chrono::milliseconds(500)) {
      moveByWindowManager(xcb(), secret.window, 500 + attempt++, 400);
      lastAsk = std::chrono::steady_clock::now();
    }
    pump();
    return !notices.empty();
  }, 10));
  EXPECT_EQ(notices.back().ownerPID, secret.process.pid());
  auto bounds = ws.getWindowBounds(*ws.mainConnectionID(), secret.window);
  ASSERT_TRUE(bounds && bounds->status == WindowServerError::success);
  EXPECT_TRUE(waitFor([&] {
    auto b = ws.getWindowBounds(*ws.mainConnectionID(), secret.window);
    return b && b->bounds.minX() >= 490 && b->bounds.minY() >= 370;
  }));
  // Only the program's own windows move through this entry point.
  EXPECT_EQ(ws.moveWindow(*ws.mainConnectionID(), secret.window, {0, 0}), WindowServerError::illegalArgument);

  notices.clear();
  secret.process.stop();
  ASSERT_TRUE(waitFor([&] {
    pump();
    return std::any_of(notices.begin(), notices.end(), [](const WindowNotice& n) {
      return n.kind == WindowNotification::destroyed || n.kind == WindowNotification::hidden;
    });
  }));
}

}  // namespace
}  // namespace corvane::x11::test

namespace corvane::x11::test {
namespace {

// Pointer and keys from XTEST reach global monitors and event taps through XInput 2 raw events;
// Alt-Tab counts as the application switcher (reported with the Command flag, like Super-Tab).
TEST_F(X11DesktopTest, InputReachesMonitorsAndTapsWithTheSwitcherKeys) {
  Input& input = *desktop->platform().input;
  EXPECT_TRUE(input.preflightListenEventAccess());
  std::vector<InputEvent> monitored, tapped;
  auto monitor = input.addGlobalMonitor(eventMaskBit(EventType::leftMouseDown) | eventMaskBit(EventType::keyDown),
                                        [&](const InputEvent& e) { monitored.push_back(e); });
  auto tap = input.createEventTap(EventTapLocation::session, EventTapPlacement::headInsert, EventTapOptions::defaultTap,
                                  eventMaskBit(EventType::keyDown), [&](uint32_t, const InputEvent& e) {
                                    tapped.push_back(e);
                                    return std::optional<InputEvent>(e);
                                  });
  ASSERT_TRUE(monitor && tap);
  tap->addToMainRunLoop();
  tap->setEnabled(true);
  pump();

  xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(xcb());
  auto code = [&](xcb_keysym_t sym) {
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, sym);
    xcb_keycode_t c = codes ? codes[0] : 0;
    std::free(codes);
    return c;
  };
  auto fake = [&](uint8_t type, uint8_t detail) {
    xcb_test_fake_input(xcb(), type, detail, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  };
  xcb_test_fake_input(xcb(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, desktop->connection().root(), 200, 300, 0);
  fake(XCB_BUTTON_PRESS, 1);
  fake(XCB_BUTTON_RELEASE, 1);
  const xcb_keycode_t alt = code(0xffe9), tab = code(0xff09), super = code(0xffeb);
  for (xcb_keycode_t k : {alt, tab}) fake(XCB_KEY_PRESS, k);
  for (xcb_keycode_t k : {tab, alt}) fake(XCB_KEY_RELEASE, k);
  for (xcb_keycode_t k : {super, tab}) fake(XCB_KEY_PRESS, k);
  for (xcb_keycode_t k : {tab, super}) fake(XCB_KEY_RELEASE, k);
  fake(XCB_KEY_PRESS, tab);  // Tab alone is no switcher
  fake(XCB_KEY_RELEASE, tab);
  xcb_flush(xcb());
  xcb_key_symbols_free(symbols);
  ASSERT_TRUE(waitFor([&] {
    pump();
    return tapped.size() >= 3;
  }));

  ASSERT_FALSE(monitored.empty());
  EXPECT_EQ(monitored.front().type, EventType::leftMouseDown);
  EXPECT_EQ(monitored.front().location, (Point{200, 768 - 300}));  // screen space, y up
  ASSERT_EQ(tapped.size(), 3u);
  for (const InputEvent& e : tapped) EXPECT_EQ(e.keyCode, KeyCode::tab);
  EXPECT_TRUE(tapped[0].modifierFlags & ModifierFlag::command);  // Alt-Tab
  EXPECT_TRUE(tapped[0].modifierFlags & ModifierFlag::option);
  EXPECT_TRUE(tapped[1].modifierFlags & ModifierFlag::command);  // Super-Tab
  EXPECT_FALSE(tapped[2].modifierFlags & ModifierFlag::command);

  // A disabled tap hears nothing; a removed monitor neither.
  tap->setEnabled(false);
  monitor.reset();
  const size_t before = tapped.size();
  fake(XCB_BUTTON_PRESS, 1);
  fake(XCB_BUTTON_RELEASE, 1);
  xcb_flush(xcb());
  pump();
  EXPECT_EQ(tapped.size(), before);
}

}  // namespace
}  // namespace corvane::x11::test

namespace corvane::x11::test {
namespace {

class FirstMouseButton final : public ui::Button {
 public:
  using ui::Button::Button;
  bool acceptsFirstMouse() const override { return true; }
};

// The program's own window: drawn with its colours, shaped by its content's mask (the share sees
// what lies behind a hole), listed with the program's pid, and its button works with the pointer.
TEST_F(X11DesktopTest, OwnWindowsAreDrawnShapedListedAndClickable) {
  ui::UserInterface& ui = *desktop->platform().ui;
  ui::Window window(ui, Rect(100, 400, 200, 100), ui::StyleMask::borderless, ui::BackingStoreType::buffered, false);
  window.setBackgroundColor({1, 0, 0, 1});  // 0xff0000
  auto& content = window.setContentView(std::make_unique<ui::View>(Rect(0, 0, 200, 100)));
  content.setWantsLayer(true);
  ui::ShapeMask mask;
  mask.frame = content.bounds();
  mask.fillRule = ui::FillRule::evenOdd;
  mask.path = {ui::PathShape(content.bounds()), ui::PathShape(Rect(150, 0, 50, 100))};  // the right quarter is a hole
  content.layer()->setMask(mask);
  int clicks = 0;
  auto& button = content.addSubview(std::make_unique<FirstMouseButton>(Rect(0, 0, 100, 100)));
  button.setAction("click:", [&] { ++clicks; });
  window.orderFront();
  pump();

  const uint32_t red[1] = {0xff0000};
  EXPECT_EQ(sharePixels(red, 1), size_t(150 * 100));
  auto e = entry(uint32_t(window.windowNumber()), WindowListOption::onScreenOnly);
  ASSERT_TRUE(e);
  EXPECT_EQ(asInteger(e->ownerPID), int64_t(getpid()));
  EXPECT_EQ(asBounds(e->bounds), Rect(100, 768 - 500, 200, 100));

  // A click on the button (root coordinates, y down) works it on a later turn.
  xcb_test_fake_input(xcb(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, desktop->connection().root(), 150, 768 - 450, 0);
  xcb_test_fake_input(xcb(), XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_test_fake_input(xcb(), XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_flush(xcb());
  ASSERT_TRUE(waitFor([&] {
    pump();
    return clicks == 1;
  }));

  window.orderOut();
  pump();
  EXPECT_EQ(sharePixels(red, 1), 0u);
  EXPECT_FALSE(entry(uint32_t(window.windowNumber()), WindowListOption::onScreenOnly));
}

}  // namespace
}  // namespace corvane::x11::test
