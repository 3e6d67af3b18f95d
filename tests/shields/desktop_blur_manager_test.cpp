#include "shields/desktop_blur_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "shield_test_support.h"

namespace corvane {
namespace {

using shieldtest::ShieldDesktop;

class DesktopBlurManagerTest : public ShieldDesktop {
 protected:
  void SetUp() override {
    ShieldDesktop::SetUp();
    desktop.setDisplays({sim::SimDisplay{1, Rect(0, 0, 1512, 982), 25, 0},
                         sim::SimDisplay{2, Rect(1512, 100, 1280, 800), 0, 0}});
    desktop.setDesktopPicture(0x2E6B8A, {"Budget.xlsx", "Offer.pdf"});
    manager = std::make_unique<DesktopBlurManager>(DesktopBlurManager::Dependencies{
        dispatcher, desktop.windowServer(), desktop.screens(), desktop.processes(), *desktop.platform().ui, log,
        host.get()});
  }
  void TearDown() override { manager.reset(); }

  std::set<WindowID> desktopContent() {
    const auto numbers = desktop.desktopWindows();
    return {numbers.begin(), numbers.end()};
  }
  std::unique_ptr<DesktopBlurManager> manager;
};

TEST_F(DesktopBlurManagerTest, FrostsEveryDesktopForTheShareBelowTheApplicationsAndKeepsItsWindows) {
  desktop.launchApp({600, std::string("com.example.app"), std::string("App"), ActivationPolicy::regular, 0x55aa55,
                     false});
  sim::SimWindow app;
  app.ownerPID = 600;
  app.bounds = Rect(300, 200, 400, 300);
  const WindowID appWindow = desktop.addWindow(app);

  ASSERT_GT(leaked(desktopContent()), 0u);
  manager->setActive(true);
  ASSERT_EQ(manager->windows().size(), 2u);
  EXPECT_EQ(manager->mirrors().size(), 2u);
  const DesktopBlurWindow* first = manager->windows().front().get();
  EXPECT_EQ(first->level(), DesktopBlurManager::kFrostLevel);
  dispatcher.runUntilIdle();
  EXPECT_EQ(leaked(desktopContent()), 0u);
  EXPECT_EQ(leaked({appWindow}) > 0, true) << "application windows stay above the desktop frost";

  manager->setActive(true);
  EXPECT_EQ(manager->windows().front().get(), first) << "unchanged screens: the same windows";
  manager->setActive(false);
  EXPECT_TRUE(manager->windows().empty());
  EXPECT_EQ(manager->mirrors().size(), 2u) << "mirrors are kept, paused";
  EXPECT_TRUE(manager->mirrors().at(1)->capture().frame()->paused());
  EXPECT_FALSE(manager->mirrors().at(1)->plate().isVisible);
}

TEST_F(DesktopBlurManagerTest, CompositeSourcesAreTheIconsOverThePictureInWindowServerSpace) {
  manager->setActive(true);
  const auto ids = manager->desktopWindowIDs();
  ASSERT_EQ(ids.size(), 4u);  // two icons, then the pictures of both displays
  for (size_t i = 0; i < 2; ++i) EXPECT_EQ(desktop.window(ids[i])->level, DesktopBlurManager::kDesktopIconLevel);
  EXPECT_EQ(desktop.window(ids.back())->look, sim::SimWindow::Look::desktopPicture);
  // The second display's request covers its own bounds as the window list gives them.
  const auto request = manager->mirrors().at(2)->capture().frame()->desktopCapture();
  EXPECT_EQ(request.rect, Rect(1512, 100, 1280, 800));

  // More windows than a request holds: the picture keeps the last place.
  desktop.setDesktopPicture(0x2E6B8A, {"1", "2", "3", "4", "5", "6", "7", "8"});
  const auto many = manager->desktopWindowIDs();
  ASSERT_EQ(many.size(), ClearViewSharedFrame::MaxCaptureWindows);
  EXPECT_EQ(desktop.window(many.back())->look, sim::SimWindow::Look::desktopPicture);
}

TEST_F(DesktopBlurManagerTest, UnpluggingADisplayRemovesItsFrostAndItsMirrorsFile) {
  manager->setActive(true);
  dispatcher.runUntilIdle();
  const std::string path = manager->mirrors().at(2)->capture().frame()->path();
  ASSERT_EQ(::access(path.c_str(), F_OK), 0);
  std::string error;
  ASSERT_TRUE(desktop.removeDisplay(2, &error)) << error;
  manager->setActive(true);  // the screens changed: rebuilt
  EXPECT_EQ(manager->windows().size(), 1u);
  EXPECT_FALSE(manager->mirrors().contains(2));
  EXPECT_EQ(::access(path.c_str(), F_OK), -1);
}

TEST_F(DesktopBlurManagerTest, ASuppressedMirrorStaysHiddenUntilTheFramebufferShareEnds) {
  manager->setMirrorsSuppressed(true);
  manager->setActive(true);
  EXPECT_TRUE(manager->mirrors().empty()) << "no mirror is started while suppressed";
  manager->setMirrorsSuppressed(false);
  ASSERT_EQ(manager->mirrors().size(), 2u);
  EXPECT_TRUE(manager->mirrors().at(1)->plate().isVisible);
  manager->setMirrorsSuppressed(true);
  EXPECT_FALSE(manager->mirrors().at(1)->plate().isVisible);
  EXPECT_TRUE(manager->mirrors().at(1)->capture().frame()->paused());
}

TEST_F(DesktopBlurManagerTest, AHelperThatEndedIsStartedAgainByTheRefreshes) {
  manager->setActive(true);
  dispatcher.advance(0.2);
  DesktopScreenMirror& mirror = *manager->mirrors().at(1);
  ASSERT_TRUE(mirror.capture().isRunning());
  mirror.capture().frame()->requestStop();  // the helper ends at its next iteration
  for (int i = 0; i < 15; ++i) {  // the controller's refreshes, ten a second
    dispatcher.advance(0.1);
    manager->setActive(true);
  }
  EXPECT_TRUE(mirror.capture().isRunning());
  EXPECT_FALSE(mirror.capture().frame()->stop());
  EXPECT_FALSE(mirror.capture().frame()->desktopCapture().windowIDs.empty());
}

TEST_F(DesktopBlurManagerTest, TintAndStrengthReachEveryFrost) {
  manager->setActive(true);
  manager->setTintAlpha(0.5);
  manager->setBlurIntensity(1.0);
  for (const auto& window : manager->windows()) {
    EXPECT_DOUBLE_EQ(window->blur().tintAlpha(), 0.5);
    EXPECT_DOUBLE_EQ(window->blur().blurIntensity(), 1.0);
  }
}

}  // namespace
}  // namespace corvane
