#include "shields/notification_shield.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "shield_test_support.h"

namespace corvane {
namespace {

using shieldtest::ShieldDesktop;

class NotificationShieldTest : public ShieldDesktop {
 protected:
  void SetUp() override {
    ShieldDesktop::SetUp();
    banner = desktop.startNotificationService();
    service = desktop.window(banner)->ownerPID;
    shield = std::make_unique<NotificationShield>(NotificationShield::Dependencies{
        dispatcher, desktop.windowServer(), desktop.workspace(), desktop.screens(), desktop.processes(),
        *desktop.platform().ui, log, host.get()});
  }
  void TearDown() override { shield.reset(); }

  NotificationGuard& guard() { return *shield->guardians().at(banner); }
  // Advances a millisecond at a time until the guard shows; how long that took.
  double untilShowing() {
    double waited = 0;
    while (!guard().showing() && waited < 0.1) {
      dispatcher.advance(0.001);
      waited += 0.001;
    }
    return waited;
  }
  // Advances in 60 Hz samples, expecting the banner never to show in the share.
  void playWithoutLeak(double seconds) {
    for (double t = 0; t < seconds; t += 1.0 / 60) {
      dispatcher.advance(1.0 / 60);
      ASSERT_EQ(leaked({banner}), 0u) << "at " << t << " s, covered " << guard().covered();
    }
  }

  WindowID banner = 0;
  pid_t service = 0;
  std::unique_ptr<NotificationShield> shield;
  // Where the banner window lies (window-server space): 480 x 400 at the top right of the display.
  const Rect column{1512 - 420, 25, 420, 375};
  const Rect card{1512 - 16 - 356, 35, 356, 76};
};

// A banner's whole showing: the generous column at once, the band over what the banner draws, the
// drawn area after half a second, and down when the window leaves; never a pixel in the share.
TEST_F(NotificationShieldTest, FrostsABannerFromItsFirstSampleAndShrinksToWhatItDraws) {
  shield->setActive(true);
  ASSERT_EQ(shield->guardians().size(), 1u);
  desktop.postNotification("Messages", "Dana", "The offer is 185k", 2.0);
  EXPECT_LE(untilShowing(), NotificationShield::kTickInterval + 0.001);
  EXPECT_EQ(guard().covered(), column);
  EXPECT_TRUE(onScreen(guard().frost().windowNumber()));

  playWithoutLeak(0.2);
  // The helper has reported the banner: the full column width over its height only.
  EXPECT_EQ(guard().covered().width(), NotificationShield::kColumnWidth);
  EXPECT_LT(guard().covered().height(), 200);
  EXPECT_FALSE(guard().settled());

  playWithoutLeak(0.5);
  EXPECT_TRUE(guard().settled());
  EXPECT_EQ(guard().covered(), guard().drawn());
  EXPECT_TRUE(guard().covered().contains(card));
  EXPECT_LT(guard().covered().width(), NotificationShield::kColumnWidth);
  EXPECT_TRUE(guard().plateShown());

  playWithoutLeak(1.5);  // the banner is gone
  EXPECT_FALSE(guard().showing());
  EXPECT_FALSE(guard().plateShown());
  EXPECT_FALSE(onScreen(guard().frost().windowNumber()));
  EXPECT_TRUE(guard().capture().frame()->paused());
  EXPECT_TRUE(log.contains("Notification shield down after"));

  // The next banner comes on the same guard, generous again, its helper still there.
  desktop.postNotification("Mail", "Payroll", "March", 1.0);
  EXPECT_LE(untilShowing(), NotificationShield::kTickInterval + 0.001);
  EXPECT_EQ(guard().covered(), column);
  EXPECT_EQ(guard().shows(), 2);
  playWithoutLeak(0.8);
}

TEST_F(NotificationShieldTest, GuardsOnlyLargeWindowsOfTheServiceAtOrAboveTheDockLevel) {
  struct Case {
    const char* what;
    bool ownService;
    int64_t level;
    Rect bounds;
    bool guarded;
  } cases[] = {
      {"a banner panel at the Dock level", true, 20, Rect(900, 400, 300, 300), true},
      {"a small window", true, 23, Rect(900, 400, 150, 300), false},
      {"a window below the Dock level", true, 3, Rect(900, 400, 300, 300), false},
      {"another application's window", false, 23, Rect(900, 400, 300, 300), false},
  };
  const pid_t other = desktop.launchApp({0, std::string("com.example.other"), std::string("Other"),
                                         ActivationPolicy::regular, 0x808080, false});
  shield->setActive(true);
  for (const Case& c : cases) {
    sim::SimWindow w;
    w.ownerPID = c.ownService ? service : other;
    w.level = c.level;
    w.bounds = c.bounds;
    const WindowID number = desktop.addWindow(w);
    dispatcher.advance(NotificationShield::kDiscoveryInterval + 0.01);
    EXPECT_EQ(shield->guardians().contains(number), c.guarded) << c.what;
    desktop.closeWindow(number);
  }
  dispatcher.advance(NotificationShield::kDiscoveryInterval + 0.01);
  EXPECT_EQ(shield->guardians().size(), 1u) << "guards of closed windows are removed";
}

TEST_F(NotificationShieldTest, FrostIsAtLeastSixTenthsDarkAndTakesNewerTints) {
  shield->setActive(true);
  for (auto [tint, shown] : {std::pair{0.15, 0.6}, {0.3, 0.6}, {0.8, 0.8}}) {
    shield->setTintAlpha(tint);
    EXPECT_DOUBLE_EQ(guard().frost().blur().tintAlpha(), shown);
  }
  EXPECT_DOUBLE_EQ(FrostedBlurView::effectAlpha(guard().frost().blur().blurIntensity()),
                   FrostedBlurView::effectAlpha(1.0));
}

TEST_F(NotificationShieldTest, SuppressedMirrorsKeepTheBannerFrostedForTheUserToo) {
  shield->setActive(true);
  desktop.postNotification("Messages", "Dana", "Hello", 3.0);
  dispatcher.advance(0.1);
  ASSERT_TRUE(guard().plateShown());
  shield->setMirrorsSuppressed(true);
  EXPECT_FALSE(guard().plateShown());
  EXPECT_FALSE(guard().plate()->isVisible);
  dispatcher.advance(0.3);
  EXPECT_FALSE(guard().plateShown()) << "the tick must not bring the plate back";
  EXPECT_EQ(leaked({banner}), 0u);
  shield->setMirrorsSuppressed(false);
  EXPECT_TRUE(guard().plateShown());
}

TEST_F(NotificationShieldTest, AClickAtTheRightEndOfTheMenuBarWidensTheFrostToItsColumn) {
  shield->setActive(true);
  desktop.postNotification("Messages", "Dana", "Hello", 5.0);
  dispatcher.advance(0.8);
  ASSERT_TRUE(guard().settled());
  const Rect settled = guard().covered();
  const double top = desktop.mainDisplayHeight();
  shield->pointerDown(Point{700, top - 10});  // the middle of the menu bar
  EXPECT_EQ(guard().covered(), settled);
  shield->pointerDown(Point{1400, 500});  // below the menu bar
  EXPECT_EQ(guard().covered(), settled);
  shield->pointerDown(Point{1500, top - 10});  // the clock
  EXPECT_EQ(guard().covered(), settled.unionWith(column));
}

TEST_F(NotificationShieldTest, BannerAreaLeavesOnlyTheMenuBarItself) {
  // A window from the top edge loses the menu bar's band; one that begins below it loses nothing
  // (its top would otherwise reach the share unfrosted); one within the menu bar has no area.
  EXPECT_EQ(shield->bannerArea(Rect(1000, 0, 500, 400)), Rect(1000, 25, 500, 375));
  EXPECT_EQ(shield->bannerArea(Rect(1000, 60, 500, 400)), Rect(1000, 60, 500, 400));
  EXPECT_TRUE(shield->bannerArea(Rect(1000, 0, 500, 20)).isNull());
  EXPECT_EQ(NotificationShield::column(Rect(1000, 25, 300, 100)), Rect(1000, 25, 300, 100));
}

TEST_F(NotificationShieldTest, TurningOffConcealsAndShutdownRemovesTheHelpersFile) {
  shield->setActive(true);
  desktop.postNotification("Messages", "Dana", "Hello", 5.0);
  dispatcher.advance(0.2);
  ASSERT_TRUE(guard().showing());
  const std::string path = guard().capture().frame()->path();
  shield->setActive(false);
  EXPECT_FALSE(guard().showing());
  dispatcher.advance(0.2);
  EXPECT_FALSE(guard().showing()) << "no tick while off";
  shield->setActive(true);
  untilShowing();
  EXPECT_TRUE(guard().showing());
  shield->shutdown();
  EXPECT_FALSE(shield->active());
  EXPECT_EQ(::access(path.c_str(), F_OK), -1);
  EXPECT_TRUE(guard().plate()->destroyed);
}

}  // namespace
}  // namespace corvane
