#include "app/status_menu_controller.h"

#include <gtest/gtest.h>

#include "app_test_support.h"
#include "base/localization.h"
#include "platform/sim/sim_audio.h"

namespace corvane {
namespace {

using Titles = std::vector<std::string>;

class StatusMenuTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    prefs.hasCompletedOnboarding.set(true);
  }
  std::string statusLine() { return menuTitles().at(1); }
};

TEST_F(StatusMenuTest, MenuInEachStateOfPrivacyMode) {
  prefs.protectedApps.set({kSecret, kNotes});
  prefs.triggerApps.set({});
  ASSERT_TRUE(launch());
  // Off, automatic detection on, nothing going on.
  EXPECT_EQ(menuTitles(), (Titles{"Privacy Mode: Auto Detect", "Off", "-", "Show to meeting", "Secret", "Notes",
                                  "Peek all for 4s", "-", "Settings\u2026", "-", "Check for Updates\u2026",
                                  "Version 1.2.3", "-", "Quit Corvane"}));
  EXPECT_FALSE(menuItem("Peek all for 4s")->enabled);
  EXPECT_FALSE(menuItem("Secret")->enabled) << "enabled only while Privacy Mode is on";
  EXPECT_EQ(ui().statusItem()->toolTip, "Corvane (off)");
  EXPECT_EQ(ui().statusItem()->image->symbolName(), "eye.circle");

  // On by hand: the toggle turns it off, the applications can be shown.
  ASSERT_EQ(ui().chooseMenuItem("Privacy Mode: Auto Detect"), sim::SimUI::Choice::noOpenMenu);
  ASSERT_TRUE(ui().openStatusMenu());
  ASSERT_EQ(ui().chooseMenuItem("Privacy Mode: Auto Detect"), sim::SimUI::Choice::chosen);
  dispatcher.runUntilIdle();
  ASSERT_TRUE(controller().isPrivacyActive());
  Titles on = menuTitles();
  EXPECT_EQ(on[0], "Turn Privacy Mode Off");
  EXPECT_EQ(on[1], "On \u00B7 share sees frost");
  EXPECT_TRUE(menuItem("Secret")->enabled);
  EXPECT_FALSE(menuItem("Notes")->enabled) << "not running";
  EXPECT_EQ(menuItem("Notes")->toolTip, "Not running");
  EXPECT_EQ(menuItem("Secret")->toolTip, "Share sees frost. Click to show this app to the meeting.");
  EXPECT_EQ(ui().statusItem()->toolTip, "Corvane (on)");
  EXPECT_EQ(ui().statusItem()->image->symbolName(), "eye.slash.circle.fill");

  // Showing an application to the meeting from the menu.
  ASSERT_TRUE(ui().openStatusMenu());
  ASSERT_EQ(ui().chooseMenuItem("Secret"), sim::SimUI::Choice::chosen);
  EXPECT_EQ(statusLine(), "On \u00B7 meeting can see a protected app");
  EXPECT_EQ(menuItem("Secret")->state, ui::ControlState::on);
  EXPECT_EQ(menuItem("Secret")->toolTip, "Meeting can see this app. Click to frost it again.");

  // Peeking: the status line says so and the icon shows Privacy Mode off.
  ASSERT_TRUE(ui().openStatusMenu());
  ASSERT_EQ(ui().chooseMenuItem("Peek all for 4s"), sim::SimUI::Choice::chosen);
  dispatcher.runUntilIdle();
  EXPECT_EQ(statusLine(), "Peeking");
  EXPECT_EQ(ui().statusItem()->toolTip, "Corvane (off)");
  dispatcher.advance(4.1);
  EXPECT_NE(statusLine(), "Peeking");

  // Required by the organisation while on: no toggle, no Quit.
  prefs.requireCorvane.set(true);
  dispatcher.runUntilIdle();
  Titles required = menuTitles();
  EXPECT_NE(required[0], "Turn Privacy Mode Off");
  EXPECT_EQ(required.back(), "Required by your organization");
  EXPECT_FALSE(menuItem("Required by your organization")->enabled);
}

TEST_F(StatusMenuTest, ReadyDuringACallAndShareDetected) {
  const pid_t zoom = desktop.launchApp({kZoomPID, "us.zoom.xos", "zoom.us", ActivationPolicy::regular, 0x2D8CFF, false});
  ASSERT_EQ(zoom, kZoomPID);
  ASSERT_TRUE(launch());
  dispatcher.advance(0.5);
  ASSERT_TRUE(controller().detector().isReady());
  Titles titles = menuTitles();
  EXPECT_EQ(titles[0], "Privacy Mode: Auto Detect");
  EXPECT_EQ(titles[1], "Ready \u00B7 turns on when you share");
  EXPECT_NE(std::find(titles.begin(), titles.end(), "Watching zoom.us"), titles.end());
  // No protected applications yet: the section offers the settings.
  ASSERT_TRUE(ui().openStatusMenu());
  ASSERT_EQ(ui().chooseMenuItem("Add apps in Settings\u2026"), sim::SimUI::Choice::chosen);
  EXPECT_EQ(settingsOpened, 1);
}

TEST_F(StatusMenuTest, FrontmostProtectedAppCarriesTheRevealHotKey) {
  prefs.protectedApps.set({kSecret, kNotes});
  desktop.launchApp({503, kNotes.bundleID, kNotes.name, ActivationPolicy::regular, 0x3333AA, false});
  desktop.activateApp(kSecretPID);
  prefs.autoDetectEnabled.set(false);
  ASSERT_TRUE(launch());
  menuTitles();
  ui::MenuItem* front = menuItem("Secret  (front)");
  ASSERT_NE(front, nullptr);
  EXPECT_EQ(front->keyEquivalent, "r");
  EXPECT_EQ(front->keyEquivalentModifierMask, StatusMenuController::kHotKeyMask);
  ASSERT_NE(menuItem("Notes"), nullptr);
  EXPECT_EQ(menuItem("Notes")->keyEquivalent, "");
  // A stale item (the application is no longer protected) does nothing.
  ui::MenuItem stale = *menuItem("Notes");
  prefs.protectedApps.set({kSecret});
  dispatcher.runUntilIdle();
  stale.action(stale);
  EXPECT_TRUE(controller().overlays().revealedBundleIDs().empty());
}

TEST_F(StatusMenuTest, BlurRectHintsAndGuardLine) {
  desktop.input().setListenAccessGranted(false);
  prefs.autoDetectEnabled.set(false);
  ASSERT_TRUE(launch());
  Titles titles = menuTitles();
  EXPECT_EQ(titles[2], "Cmd+Tab guard off \u2014 allow Input Monitoring for this copy");
  BlurRectManager& rects = controller().blurRects();
  rects.addRect(Rect(100, 100, 80, 60));
  // The menu follows each change at once, without being opened.
  EXPECT_NE(menuItem("1 blur rects"), nullptr);
  rects.addRect(Rect(300, 100, 80, 60));
  titles = menuTitles();
  EXPECT_NE(std::find(titles.begin(), titles.end(), "2 blur rects"), titles.end());
  rects.enterDrawMode();
  titles = menuTitles();
  EXPECT_NE(std::find(titles.begin(), titles.end(), "Drawing a blur rect \u2014 \u2318\u00D73 or Esc to exit"),
            titles.end());
  EXPECT_EQ(std::find(titles.begin(), titles.end(), "2 blur rects"), titles.end());
}

TEST_F(StatusMenuTest, TextsGoThroughTheTableWithTheirComments) {
  auto table = std::make_shared<LocalizationTable>();
  table->set("Quit Corvane", "Corvane beenden");
  table->set("Off", "Aus");
  installLocalizationTable(table);
  ASSERT_TRUE(launch());
  Titles titles = menuTitles();
  installLocalizationTable(nullptr);
  EXPECT_EQ(titles.back(), "Corvane beenden");
  EXPECT_EQ(titles[1], "Aus");
  const LocalizationRegistry& registry = localizationRegistry();
  EXPECT_TRUE(registry.contains("Quit Corvane", "Quit menu item"));
  EXPECT_TRUE(registry.contains("Version %@", "App version menu label"));
  EXPECT_TRUE(registry.contains("Show to meeting", "Per-app reveal section header"));
  EXPECT_EQ(registry.commentsFor("Off").size(), 1u);
}

TEST_F(StatusMenuTest, OpenMenuIsDrawnForTheUserOnly) {
  ASSERT_TRUE(launch());
  const PixelBuffer closedLocal = desktop.renderLocalView();
  ASSERT_TRUE(ui().openStatusMenu());
  const PixelBuffer share = desktop.renderShareView();
  const PixelBuffer local = desktop.renderLocalView();
  const Rect menu = sim::openMenuFrame(*desktop.menuBar(), local.width, 25);
  ASSERT_FALSE(menu.isNull());
  const int x = int(menu.midX()), y = int(menu.minY()) + 3;
  auto differs = [&](const PixelBuffer& a, const PixelBuffer& b) {
    return std::memcmp(a.pixel(x, y), b.pixel(x, y), 4) != 0;
  };
  EXPECT_TRUE(differs(local, closedLocal)) << "the user sees the open menu";
  EXPECT_FALSE(differs(share, closedLocal)) << "the share does not";
  // The status item itself is in both pictures.
  const Rect item = sim::statusItemFrame(*desktop.menuBar(), 0, local.width, 25);
  EXPECT_EQ(std::memcmp(share.pixel(int(item.minX()) + 1, 2), local.pixel(int(item.minX()) + 1, 2), 4) == 0,
            false) << "the open item is highlighted for the user";
}

}  // namespace
}  // namespace corvane
