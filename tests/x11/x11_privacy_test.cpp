// The whole privacy controller on a real X server: what the share records (the root window's
// image) never shows a protected window's own pixels while Privacy Mode is on, windows in front
// stay visible through holes, the frost follows a window the window manager moves, the hot keys
// work through key grabs, and a call switches Privacy Mode on.
//
// The call is real audio: a test application records from a private sound server (through a
// helper process of its own), and the backend's sound-server client reports it.
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <set>

#include "app/core_services.h"
#include "app/privacy_controller.h"
#ifdef CORVANE_HAVE_PULSE
#include "linux/pulse_server.h"
#include "platform/linux/pulse_audio.h"
#endif
#include "settings/memory_defaults_store.h"
#include "settings/preferences.h"
#include "x11/x11_desktop_fixture.h"

namespace corvane::x11::test {
namespace {

class X11PrivacyTest : public X11DesktopTest {
 protected:
  void SetUp() override {
    X11DesktopTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    desktop->setDefaultsStore(&defaults);
    preferences = std::make_unique<Preferences>(defaults, dispatcher, log);
    preferences->protectedApps.set({{"com.example.Secret", "Secret Notes"}});
    preferences->triggerApps.set({{"com.discordapp.Discord", "Discord"}});
    preferences->autoDetectEnabled.set(false);
    dispatcher.advance(0);
  }
  void TearDown() override {
    controller.reset();
    services.reset();
  }
  void startController() {
    services = std::make_unique<CoreServices>(desktop->platform(), clearViewLog);
    controller = std::make_unique<PrivacyController>(*services, *preferences);
    controller->start();
  }
  // One refresh interval of virtual time, with the X events that came in before it.
  void refreshOnce() {
    pump();
    dispatcher.advance(PrivacyController::kRefreshInterval);
    pump();
  }
  // Refreshes until `done` holds (the window manager works in its own time).
  bool refreshUntil(const std::function<bool()>& done) {
    return waitFor([&] {
      refreshOnce();
      return done();
    }, 10);
  }
  // Control-Alt-Super and the key, pressed (and held) or released, as the keyboard would.
  void hotKey(xcb_keysym_t key, bool press) {
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(xcb());
    auto code = [&](xcb_keysym_t sym) {
      xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, sym);
      xcb_keycode_t c = codes ? codes[0] : 0;
      std::free(codes);
      return c;
    };
    const xcb_keycode_t keys[] = {code(0xffe3), code(0xffe9), code(0xffeb), code(key)};  // Control, Alt, Super, key
    if (press) {
      for (xcb_keycode_t k : keys) xcb_test_fake_input(xcb(), XCB_KEY_PRESS, k, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    } else {
      for (int i = 3; i >= 0; --i) xcb_test_fake_input(xcb(), XCB_KEY_RELEASE, keys[i], XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    xcb_flush(xcb());
    xcb_key_symbols_free(symbols);
  }
  // A click of the left button at a point of the root window, as the pointer would.
  void click(int x, int y) {
    xcb_test_fake_input(xcb(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, desktop->connection().root(), int16_t(x),
                        int16_t(y), 0);
    xcb_test_fake_input(xcb(), XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(xcb(), XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(xcb());
  }
  void pressHotKey(xcb_keysym_t key) {
    hotKey(key, true);
    hotKey(key, false);
  }

  MemoryDefaultsStore defaults;
  MemoryLog clearViewLog;
  std::unique_ptr<Preferences> preferences;
  std::unique_ptr<CoreServices> services;
  std::unique_ptr<PrivacyController> controller;
};

TEST_F(X11PrivacyTest, TheShareShowsNoProtectedPixelWhileWindowsInFrontStayVisible) {
  // A protected window between two others, a second protected window apart, and one in front.
  TestApp below("PlainApp", "Below", "500x400+20+20", kOther[0], kOther[1]);
  TestApp secret("SecretApp", "Quarterly numbers", "400x300+100+100", kSecret[0], kSecret[1]);
  TestApp secret2("SecretApp", "Second secret", "200x150+700+500", kSecret[0], kSecret[1]);
  TestApp front("PlainApp", "In front", "200x150+300+250", kPlain[0], kPlain[1]);
  ASSERT_TRUE(below.window && secret.window && secret2.window && front.window);
  activateByWindowManager(xcb(), front.window);
  ASSERT_TRUE(waitFor([&] { return sharePixels(kPlain) >= size_t(200 * 150 * 9 / 10); }));
  const size_t frontPixels = sharePixels(kPlain);
  ASSERT_GT(sharePixels(kSecret), 0u);  // without Privacy Mode the share shows them

  startController();
  controller->setPrivacy(true, true);
  ASSERT_TRUE(refreshUntil([&] { return sharePixels(kSecret) == 0; })) << sharePixels(kSecret) << " protected pixels leak";
  // The window in front keeps every pixel: the frost has a hole for it.
  EXPECT_EQ(sharePixels(kPlain), frontPixels);
  // The window below is still seen where the protected one does not cover it.
  EXPECT_GT(sharePixels(kOther), 0u);
  // At rest it stays so.
  for (int i = 0; i < 5; ++i) refreshOnce();
  EXPECT_EQ(sharePixels(kSecret), 0u);
  EXPECT_EQ(sharePixels(kPlain), frontPixels);

  // The window manager moves the protected window: the frost is there within one refresh of the
  // move being done.
  moveByWindowManager(xcb(), secret.window, 450, 350);
  ASSERT_TRUE(waitFor([&] {
    auto o = clientOrigin(xcb(), secret.window);
    return o && o->x == 450 && o->y == 350;
  }));
  refreshOnce();
  EXPECT_EQ(sharePixels(kSecret), 0u);

  // Its content changes: the frost is redrawn from the new pixels and still shows none of them.
  secret.process.send("colors 0e0e0e,f1f1f1");
  const uint32_t changed[2] = {0x0e0e0e, 0xf1f1f1};
  for (int i = 0; i < 3; ++i) refreshOnce();
  EXPECT_EQ(sharePixels(changed), 0u);

  // Privacy Mode off: the overlays go and the windows show again.
  controller->setPrivacy(false, true);
  ASSERT_TRUE(refreshUntil([&] { return sharePixels(changed) > 0; }));
}

TEST_F(X11PrivacyTest, HotKeysToggleAndPeek) {
  TestApp secret("SecretApp", "Quarterly numbers", "300x200+100+100", kSecret[0], kSecret[1]);
  ASSERT_TRUE(secret.window);
  startController();
  controller->setPrivacy(true, true);
  ASSERT_TRUE(refreshUntil([&] { return sharePixels(kSecret) == 0; }));

  pressHotKey(0x62);  // Control-Alt-Super-B toggles Privacy Mode off
  ASSERT_TRUE(refreshUntil([&] { return !controller->isPrivacyActive(); }));
  ASSERT_TRUE(refreshUntil([&] { return sharePixels(kSecret) > 0; }));
  pressHotKey(0x62);  // and on again
  ASSERT_TRUE(refreshUntil([&] { return controller->isPrivacyActive() && sharePixels(kSecret) == 0; }));

  hotKey(0x70, true);  // Control-Alt-Super-P held: the frost lifts while the keys are down
  ASSERT_TRUE(refreshUntil([&] { return controller->isPeeking() && sharePixels(kSecret) > 0; }));
  EXPECT_TRUE(controller->isPrivacyActive());
  hotKey(0x70, false);
  ASSERT_TRUE(refreshUntil([&] { return !controller->isPeeking() && sharePixels(kSecret) == 0; }));
}

TEST_F(X11PrivacyTest, TheFrostShowsItsControlTakesClicksOnItAndPassesTheTitleBarStrip) {
  TestApp secret("SecretApp", "Quarterly numbers", "400x300+200+200", kSecret[0], kSecret[1]);
  ASSERT_TRUE(secret.window);
  startController();
  controller->setPrivacy(true, true);
  ASSERT_TRUE(refreshUntil([&] { return sharePixels(kSecret) == 0; }));
  auto origin = clientOrigin(xcb(), secret.window);
  ASSERT_TRUE(origin);
  const int left = int(origin->x), top = int(origin->y);

  // The "Reveal" control is drawn: its white outline, symbol and title stand out of the dark frost
  // in the middle of the window, and nowhere else.
  auto whitish = [&](int x0, int y0, int x1, int y1) {
    desktop->connection().roundTrip();
    auto image = windowServer().captureDisplay(windowServer().mainDisplayID());
    size_t n = 0;
    for (int y = y0; image && y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        const uint8_t* p = image->pixel(x, y);
        n += p[0] > 200 && p[1] > 200 && p[2] > 200;
      }
    }
    return n;
  };
  EXPECT_GT(whitish(left + 100, top + 120, left + 300, top + 180), 100u);
  EXPECT_EQ(whitish(left + 10, top + 200, left + 390, top + 290), 0u);

  // A click low on the frost is swallowed; one in the title-bar strip reaches the window.
  click(left + 50, top + 250);
  EXPECT_TRUE(secret.process.readLine(0.5).empty());
  click(left + 50, top + 10);
  EXPECT_EQ(secret.process.readLine(5), "click 50 10");

  // A click on the control reveals the window to the meeting.
  click(left + 200, top + 150);
  ASSERT_TRUE(refreshUntil([&] { return sharePixels(kSecret) > 0; }));
  EXPECT_TRUE(secret.process.readLine(0.3).empty());  // the control took it
}

TEST_F(X11PrivacyTest, ACallInATriggerApplicationSwitchesPrivacyModeOn) {
#ifndef CORVANE_HAVE_PULSE
  GTEST_SKIP() << "built without libpulse: no process audio on X11";
#else
  std::string reason;
  pulse::test::PulseServer* server = pulse::test::PulseServer::shared(&reason);
  if (!server) {
    if (reason.rfind("FAIL: ", 0) == 0) GTEST_FAIL() << reason.substr(6);
    GTEST_SKIP() << reason;
  }
  auto audio = pulse::PulseAudio::start(dispatcher, log);
  ASSERT_TRUE(audio);
  desktop->setAudio(audio.get());
  ASSERT_TRUE(refreshUntil([&] { return audio->activity().connected; }));

  preferences->autoDetectEnabled.set(true);
  TestApp discord("discord", "Friends - Discord", "300x200+500+100", kOther[0], kOther[1]);
  TestApp secret("SecretApp", "Quarterly numbers", "300x200+100+100", kSecret[0], kSecret[1]);
  ASSERT_TRUE(discord.window && secret.window);
  startController();
  for (int i = 0; i < 5; ++i) refreshOnce();
  EXPECT_FALSE(controller->isPrivacyActive());  // open, not in a call
  EXPECT_GT(sharePixels(kSecret), 0u);

  // The call starts: the application records through a helper process.
  discord.process.send("record on");
  ASSERT_TRUE(refreshUntil([&] { return controller->isPrivacyActive(); }));
  ASSERT_TRUE(refreshUntil([&] { return sharePixels(kSecret) == 0; }));

  // The call ends: Privacy Mode goes off after the detector's release delay (virtual time).
  discord.process.send("record off");
  ASSERT_TRUE(refreshUntil([&] { return !controller->isPrivacyActive(); }));
  controller.reset();
  services.reset();
#endif
}

}  // namespace
}  // namespace corvane::x11::test
