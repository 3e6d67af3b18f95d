// The overlay manager over the simulated desktop: which overlay covers which window, where it
// stands in the stacking order and at which level, its holes, its lifetime, the application-switch
// hold, and the seams to the Clear View side and the geometry follower.
#include <gtest/gtest.h>

#include "overlay/overlay_manager.h"

#include "clearview/window_server_geometry.h"
#include "platform/sim/sim_input.h"
#include "overlay_test_support.h"

namespace corvane {
namespace {

using overlaytest::OverlayDesktop;

class OverlayManagerTest : public OverlayDesktop {
 protected:
  pid_t editor = 0, notes = 0, browser = 0;
  WindowID e1 = 0, e2 = 0, n1 = 0, b1 = 0;

  void SetUp() override {
    editor = launch(501, "com.example.editor", "Editor", 0x7A3E9D, true);
    notes = launch(502, "com.example.notes", "Notes", 0xC9A227, true);
    browser = launch(503, "com.example.browser", "Browser", 0x2E86AB);
    // Front to back: b1 (foreign, overlapping e1), e1, n1, e2.
    e2 = addWindow(editor, Rect(700, 100, 600, 500));
    n1 = addWindow(notes, Rect(150, 150, 500, 400));
    e1 = addWindow(editor, Rect(100, 300, 500, 400));
    b1 = addWindow(browser, Rect(450, 450, 400, 300));
    desktop.activateApp(browser);
    makeManager();
  }
};

TEST_F(OverlayManagerTest, CoversEveryProtectedWindowDirectlyAboveIt) {
  refresh();
  ASSERT_EQ(manager->overlays().size(), 3u);
  for (WindowID w : {e1, e2, n1}) {
    OverlayWindow* o = overlayOf(w);
    ASSERT_TRUE(o) << w;
    if (w == e2) {
      // Above its window and directly below the editor's next window in front (e1), so that it
      // never frosts the application's own windows.
      EXPECT_GT(stackIndex(o->windowNumber()), stackIndex(e1));
      EXPECT_EQ(stackIndex(o->windowNumber()), stackIndex(e1) + 1);
      EXPECT_LT(stackIndex(o->windowNumber()), stackIndex(e2));
    } else {
      EXPECT_TRUE(directlyAbove(*o, w)) << w;
    }
    EXPECT_EQ(o->level(), 0);
    EXPECT_EQ(o->ownerPID, desktop.window(w)->ownerPID);
    EXPECT_EQ(o->frame(), desktop.window(w)->bounds.flipped(mainHeight()));
  }
  EXPECT_LT(stackIndex(b1), stackIndex(overlayOf(e1)->windowNumber())) << "the foreign window stays in front";

  // The editor comes to the front: its frontmost window's frost goes to the front-frost level.
  desktop.activateApp(editor);
  refresh();
  EXPECT_EQ(overlayOf(e1)->level(), OverlayManager::frontFrostLevel);
  EXPECT_EQ(overlayOf(e2)->level(), 0);
  EXPECT_EQ(overlayOf(n1)->level(), 0);
  EXPECT_TRUE(directlyAbove(*overlayOf(n1), n1));

  // Steady state: a refresh changes nothing in the stacking order.
  const auto before = desktop.windows();
  refresh();
  const auto after = desktop.windows();
  ASSERT_EQ(before.size(), after.size());
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(before[i].number, after[i].number);
}

TEST_F(OverlayManagerTest, FrostStaysBelowTheApplicationsOwnWindowInFront) {
  // e1 lies partly over e2's frame? Make them overlap: a sheet of the editor in front of e2.
  const WindowID sheet = addWindow(editor, Rect(800, 200, 300, 250));
  desktop.activateApp(browser);
  refresh();
  OverlayWindow* o = overlayOf(e2);
  ASSERT_TRUE(o);
  EXPECT_GT(stackIndex(o->windowNumber()), stackIndex(sheet)) << "below the companion window";
  EXPECT_LT(stackIndex(o->windowNumber()), stackIndex(e2));
  EXPECT_TRUE(directlyAbove(*overlayOf(sheet), sheet));
}

TEST_F(OverlayManagerTest, ForeignWindowsInFrontCutHolesExceptCaptureInvisibleOnes) {
  desktop.activateApp(editor);
  const WindowID front = addWindow(browser, Rect(50, 250, 200, 200));
  refresh();
  OverlayWindow* o = overlayOf(e1);
  ASSERT_EQ(o->level(), OverlayManager::frontFrostLevel);
  EXPECT_EQ(o->occlusions, std::vector<Rect>{desktop.window(front)->bounds.flipped(mainHeight())});
  ASSERT_TRUE(o->content().layer()->mask());

  for (const std::string id : {"us.zoom.xos", "us.zoom.CptHost", "com.obsproject.obs-studio"}) {
    const pid_t pid = launch(0, id, id, 0x2D8CFF);
    desktop.closeWindow(front);
    const WindowID invisible = addWindow(pid, Rect(50, 250, 200, 200));
    refresh();
    EXPECT_TRUE(overlayOf(e1)->occlusions.empty()) << id << " never cuts a hole";
    EXPECT_FALSE(overlayOf(e1)->content().layer()->mask());
    desktop.closeWindow(invisible);
  }
}

TEST_F(OverlayManagerTest, MissingWindowsKeepTheirFrostForTheGracePeriod) {
  refresh();
  OverlayWindow* o = overlayOf(n1);
  o->setRevealed(true, false);  // as the user's click does
  EXPECT_TRUE(manager->revealedWindowNumbers().contains(n1));

  // The first refresh that misses the window starts the grace period.
  desktop.setMinimised(n1, true);
  for (int i = 0; i < 15; ++i) tick();  // 1.4 s after that
  EXPECT_EQ(overlayOf(n1), o);
  EXPECT_TRUE(manager->revealedWindowNumbers().contains(n1));
  desktop.setMinimised(n1, false);
  tick();
  EXPECT_EQ(overlayOf(n1), o);
  EXPECT_TRUE(o->content().isRevealed());
  EXPECT_FALSE(o->missingSince);

  desktop.setMinimised(n1, true);
  const int64_t overlayNumber = o->windowNumber();
  for (int i = 0; i < 15; ++i) tick();
  EXPECT_EQ(overlayOf(n1), o);
  tick();  // 1.5 s after the first refresh that missed it
  EXPECT_FALSE(overlayOf(n1));
  EXPECT_FALSE(manager->revealedWindowNumbers().contains(n1));
  EXPECT_FALSE(desktop.window(WindowID(overlayNumber))) << "the overlay window is gone";
}

TEST_F(OverlayManagerTest, ARecreatedWindowAdoptsTheFrostAndTheRevealedState) {
  refresh();
  OverlayWindow* o = overlayOf(n1);
  o->setRevealed(true, false);
  const Rect old = desktop.window(n1)->bounds.flipped(mainHeight());

  desktop.closeWindow(n1);
  tick();
  // Re-created by the same process: centre 47 points away, 79 points larger.
  const WindowID again =
      addWindow(notes, Rect(old.minX() + 7.5, old.minY() + 7.5, old.width() + 79, old.height() + 79));
  tick();
  EXPECT_EQ(overlayOf(again), o) << "adopted";
  EXPECT_FALSE(overlayOf(n1));
  EXPECT_TRUE(manager->revealedWindowNumbers().contains(again));
  EXPECT_FALSE(manager->revealedWindowNumbers().contains(n1));
  EXPECT_TRUE(o->content().isRevealed());
  EXPECT_EQ(manager->overlays().size(), 3u);

  // Too far away, or another process: a fresh overlay.
  const Rect adopted = o->frame();
  desktop.closeWindow(again);
  tick();
  const WindowID far = addWindow(notes, adopted.offsetBy(48, 0));
  tick();
  EXPECT_NE(overlayOf(far), o);
  EXPECT_FALSE(overlayOf(far)->content().isRevealed());

  desktop.closeWindow(e2);
  tick();
  const WindowID foreignTwin = addWindow(notes, Rect(700, 100, 600, 500));
  tick();
  EXPECT_NE(overlayOf(foreignTwin), nullptr);
  EXPECT_TRUE(overlayOf(e2)) << "an overlay of another owner is not adopted";
}

TEST_F(OverlayManagerTest, TintAndStrengthReachEveryOverlay) {
  refresh();
  manager->setTintAlpha(0.5);
  manager->setBlurIntensity(0);
  OverlayWindow& o = *overlayOf(e1);
  EXPECT_EQ(o.content().tint().layer()->backgroundColor(), ui::Color::black(0.5));
  EXPECT_EQ(o.content().effect().material(), ui::VisualEffectMaterial::popover);
  EXPECT_EQ(o.content().effect().alphaValue(), 0.99);

  // New overlays start with the manager's values; a revealed one keeps its alpha.
  const WindowID late = addWindow(notes, Rect(300, 50, 300, 200));
  refresh();
  EXPECT_EQ(overlayOf(late)->content().tint().layer()->backgroundColor(), ui::Color::black(0.5));
  EXPECT_EQ(overlayOf(late)->content().effect().alphaValue(), 0.99);
  o.setRevealed(true, false);
  manager->setBlurIntensity(1);
  EXPECT_EQ(o.content().effect().material(), ui::VisualEffectMaterial::fullScreenUI);
  EXPECT_EQ(o.content().effect().alphaValue(), 0);
}

TEST_F(OverlayManagerTest, ClearTakesEverythingDown) {
  refresh();
  overlayOf(e1)->setRevealed(true, false);
  manager->setAppRevealed(protectedApps[1], true);
  std::vector<int64_t> numbers;
  for (const auto& [key, o] : manager->overlays()) numbers.push_back(o->windowNumber());
  manager->clear();
  EXPECT_TRUE(manager->overlays().empty());
  EXPECT_TRUE(manager->revealedWindowNumbers().empty());
  EXPECT_TRUE(manager->revealedBundleIDs().empty());
  for (int64_t n : numbers) EXPECT_FALSE(desktop.window(WindowID(n)));

  refresh();
  EXPECT_EQ(manager->overlays().size(), 3u);
  manager->shutdown();
  EXPECT_TRUE(manager->overlays().empty());
}

TEST_F(OverlayManagerTest, AppSwitchHoldKeepsFloatedFrostForAShortWhile) {
  manager->setClearViewActive(true);
  desktop.activateApp(editor);
  refresh();
  ASSERT_EQ(overlayOf(e1)->level(), OverlayManager::frontFrostLevel);

  // Command-Tab released: every unrevealed overlay floats, before the switch takes effect.
  manager->preflightActivation("Cmd+Tab");
  EXPECT_TRUE(clearViewLog.contains("Cmd+Tab preflight: floated 3 frost(s)"));
  for (WindowID w : {e1, e2, n1}) EXPECT_EQ(overlayOf(w)->level(), OverlayManager::frontFrostLevel) << w;
  desktop.activateApp(browser);
  tick(0.1);
  EXPECT_EQ(overlayOf(e1)->level(), OverlayManager::frontFrostLevel) << "held";
  EXPECT_TRUE(overlayOf(e1)->occlusions.empty()) << "a held overlay cuts no holes";
  tick(0.26);
  EXPECT_EQ(overlayOf(e1)->level(), 0) << "the hold is over after 0.35 s";
  EXPECT_TRUE(directlyAbove(*overlayOf(e1), e1));

  // A click on a foreign window ends the hold at once.
  manager->preflightActivation("Cmd+Tab");
  const Rect browserFrame = desktop.window(b1)->bounds.flipped(mainHeight());
  manager->preDemoteForForeignClick({browserFrame.maxX() - 20, browserFrame.maxY() - 20});
  EXPECT_EQ(manager->appSwitchHoldDeadline(), 0);
  for (WindowID w : {e1, e2, n1}) EXPECT_EQ(overlayOf(w)->level(), 0) << w;
  tick(0.1);
  EXPECT_EQ(overlayOf(e1)->level(), 0);

  // So does the activation fast path.
  manager->preflightActivation("Cmd+Tab");
  manager->fastPathAppActivated(browser);
  EXPECT_EQ(manager->appSwitchHoldDeadline(), 0);
  tick(0.1);
  EXPECT_EQ(overlayOf(e1)->level(), 0);
}

TEST_F(OverlayManagerTest, PreflightNeedsClearViewAndOverlays) {
  manager->preflightActivation("Cmd+Tab");
  EXPECT_EQ(manager->appSwitchHoldDeadline(), 0);
  refresh();
  manager->preflightActivation("Cmd+Tab");
  EXPECT_EQ(manager->appSwitchHoldDeadline(), 0) << "Clear View is off";
  EXPECT_EQ(overlayOf(e1)->level(), 0);
}

TEST_F(OverlayManagerTest, DockClicksFloatAndOwnClicksRaise) {
  std::vector<sim::SimDisplay> displays = desktop.displays();
  displays[0].dockHeight = 70;
  desktop.setDisplays(displays);
  refresh();

  // Clear View off: a click on a covered window raises its frost at once.
  const Rect n1Frame = desktop.window(n1)->bounds.flipped(mainHeight());
  manager->preDemoteForForeignClick({n1Frame.minX() + 10, n1Frame.minY() + 10});
  EXPECT_EQ(overlayOf(n1)->level(), OverlayManager::frontFrostLevel);
  EXPECT_EQ(overlayOf(e1)->level(), 0);
  manager->preDemoteForForeignClick({700, 30});  // the Dock, Clear View off: no preflight
  EXPECT_EQ(manager->appSwitchHoldDeadline(), 0);

  // Clear View on: any Dock click floats every unrevealed frost for 0.35 s.
  manager->setClearViewActive(true);
  overlayOf(e2)->setRevealed(true, false);
  manager->preDemoteForForeignClick({700, 30});
  EXPECT_DOUBLE_EQ(manager->appSwitchHoldDeadline(), dispatcher.mediaTime() + 0.35);
  EXPECT_EQ(overlayOf(e1)->level(), OverlayManager::frontFrostLevel);
  EXPECT_NE(overlayOf(e2)->level(), OverlayManager::frontFrostLevel) << "revealed frost stays down";
  EXPECT_TRUE(clearViewLog.contains("Dock preflight: floated 2 frost(s)"));

  // Clear View on, a click on a protected window: only its family floats.
  manager->preDemoteForForeignClick({350, 50});  // below every window: the desktop, nothing
  clearViewLog.clear();
  const Rect e1Frame = desktop.window(e1)->bounds.flipped(mainHeight());
  manager->preDemoteForForeignClick({e1Frame.minX() + 10, e1Frame.maxY() - 10});
  EXPECT_TRUE(clearViewLog.contains("click preflight: floated 1 frost(s)"));
}

TEST_F(OverlayManagerTest, RevealingAnApplicationCoversItsWholeHubFamily) {
  const pid_t teams = launch(600, "com.microsoft.teams2", "Microsoft Teams", 0x5B5FC7, true);
  const pid_t helper = launch(601, "com.microsoft.teams2.helper", "Teams Helper", 0x5B5FC7);
  const WindowID hub = addWindow(teams, Rect(900, 500, 500, 350));
  const WindowID child = addWindow(helper, Rect(50, 50, 300, 200));
  protectedApps.push_back({"com.microsoft.teams2.helper", "Teams Helper"});
  refresh();
  ASSERT_TRUE(overlayOf(hub) && overlayOf(child));

  const AppRef teamsApp{"com.microsoft.teams2", "Microsoft Teams"};
  manager->setAppRevealed(teamsApp, true);
  EXPECT_TRUE(manager->isAppRevealed(teamsApp));
  EXPECT_TRUE(overlayOf(hub)->content().isRevealed());
  EXPECT_TRUE(overlayOf(child)->content().isRevealed()) << "the helper belongs to the same application";
  EXPECT_FALSE(overlayOf(e1)->content().isRevealed());
  refresh();
  EXPECT_TRUE(overlayOf(child)->content().isRevealed()) << "the refresh agrees";

  manager->setAppRevealed(teamsApp, false);
  EXPECT_FALSE(overlayOf(hub)->content().isRevealed());
  EXPECT_FALSE(overlayOf(child)->content().isRevealed());
  EXPECT_TRUE(manager->revealedWindowNumbers().empty());
}

TEST_F(OverlayManagerTest, TogglingTheFrontmostApplication) {
  refresh();
  EXPECT_FALSE(manager->toggleRevealForFrontmostApp(protectedApps)) << "the browser is not protected";
  EXPECT_TRUE(manager->revealedBundleIDs().empty());

  desktop.activateApp(notes);
  EXPECT_EQ(manager->toggleRevealForFrontmostApp(protectedApps), "Notes");
  EXPECT_TRUE(overlayOf(n1)->content().isRevealed());
  EXPECT_EQ(manager->toggleRevealForFrontmostApp(protectedApps), "Notes");
  EXPECT_FALSE(overlayOf(n1)->content().isRevealed());

  manager->setAppRevealed(protectedApps[0], true);
  overlayOf(n1)->setRevealed(true, false);
  manager->resetAllRevealed();
  EXPECT_TRUE(manager->revealedWindowNumbers().empty());
  EXPECT_TRUE(manager->revealedBundleIDs().empty());
  for (WindowID w : {e1, e2, n1}) EXPECT_FALSE(overlayOf(w)->content().isRevealed()) << w;
}

TEST_F(OverlayManagerTest, ActivationFastPathsMatchOnlyTheApplicationsOwnFrost) {
  desktop.activateApp(editor);
  refresh();
  ASSERT_EQ(overlayOf(e1)->level(), OverlayManager::frontFrostLevel);

  manager->fastPathAppDeactivated(browser);  // no family: only the browser's own frost would move
  EXPECT_EQ(overlayOf(e1)->level(), OverlayManager::frontFrostLevel);
  manager->fastPathAppDeactivated(editor);
  EXPECT_EQ(overlayOf(e1)->level(), 0);
  EXPECT_TRUE(directlyAbove(*overlayOf(e1), e1));
  manager->fastPathAppActivated(editor);
  EXPECT_EQ(overlayOf(e1)->level(), OverlayManager::frontFrostLevel);
  EXPECT_EQ(overlayOf(e2)->level(), 0) << "only the frontmost surface floats";
}

TEST_F(OverlayManagerTest, ClearViewRevealsByTakingTheFrostOffTheScreen) {
  manager->setClearViewActive(true);
  refresh();
  EXPECT_EQ(overlayOf(e1)->alphaValue(), 0.999);
  EXPECT_EQ(manager->clearViewStatus(), "No protected windows open yet");

  manager->setAppRevealed(protectedApps[0], true);
  EXPECT_FALSE(overlayOf(e1)->isVisible());
  refresh();
  EXPECT_FALSE(overlayOf(e1)->isVisible()) << "the share sees the real window";
  EXPECT_TRUE(overlayOf(n1)->isVisible());
  manager->setAppRevealed(protectedApps[0], false);
  EXPECT_TRUE(overlayOf(e1)->isVisible());

  // Turning Clear View off covers everything again.
  manager->setAppRevealed(protectedApps[0], true);
  manager->setClearViewActive(false);
  EXPECT_TRUE(manager->revealedBundleIDs().empty());
  EXPECT_TRUE(overlayOf(e1)->isVisible());
  EXPECT_EQ(overlayOf(e1)->alphaValue(), 1.0);
  EXPECT_FALSE(manager->clearViewStatus());

  manager->setClearViewActive(true);
  manager->setMirrorsSuppressed(true);
  EXPECT_TRUE(clearViewLog.contains("Framebuffer share detected \u2014 mirrors paused, classic frost"));
  EXPECT_EQ(manager->clearViewStatus(),
            "Zoom is sharing and the mirror host is not running under Zoom's identity \u2014 frost shown to "
            "everyone, you included, until that share ends");
  manager->setMirrorsSuppressed(false);
  EXPECT_TRUE(clearViewLog.contains("Framebuffer share ended \u2014 mirrors resume"));
}

// The mirror side and the follower as the manager drives them (recorded, with settable answers).
class RecordingMirrors final : public OverlayMirrors {
 public:
  std::map<int64_t, MirrorStatus> plates;
  std::vector<std::string> calls;

  bool hasMirror(int64_t n) const override { return plates.contains(n); }
  std::vector<int64_t> mirroredWindowNumbers() const override {
    std::vector<int64_t> keys;
    for (const auto& [key, plate] : plates) keys.push_back(key);
    return keys;
  }
  bool plateHasFrame(int64_t n) const override { return plates.contains(n) && plates.at(n).hasFrame; }
  bool plateIsVisible(int64_t n) const override { return plates.contains(n) && plates.at(n).visible; }
  void syncMirror(const WindowInfo& info, OverlayWindow&, bool placeFrame) override {
    calls.push_back("sync " + std::to_string(info.windowNumber) + (placeFrame ? " place" : ""));
    if (info.frame.width() >= 80 && info.frame.height() >= 80 && !plates.contains(info.windowNumber)) {
      MirrorStatus& plate = plates[info.windowNumber];
      plate.target = info.windowNumber;
      plate.plateID = info.windowNumber + 1000;
    }
  }
  void floatPlate(int64_t n, const OverlayWindow&, int64_t level) override {
    calls.push_back("float " + std::to_string(n) + " " + std::to_string(level));
  }
  void attach(int64_t n, OverlayWindow&) override { calls.push_back("attach " + std::to_string(n)); }
  void hidePlate(int64_t n) override { calls.push_back("hide " + std::to_string(n)); }
  void removeMirror(int64_t n) override {
    calls.push_back("remove " + std::to_string(n));
    plates.erase(n);
  }
  void removeAllMirrors() override {
    calls.push_back("removeAll");
    plates.clear();
  }
  void pauseAllMirrors() override { calls.push_back("pauseAll"); }
  void followMoved(int64_t n, const Rect&, const Rect&) override { calls.push_back("moved " + std::to_string(n)); }
  void followResized(int64_t n, const Rect&, const Rect&) override { calls.push_back("resized " + std::to_string(n)); }
  std::vector<MirrorStatus> statuses() const override {
    std::vector<MirrorStatus> all;
    for (const auto& [key, plate] : plates) all.push_back(plate);
    return all;
  }
  bool called(const std::string& call) const { return std::find(calls.begin(), calls.end(), call) != calls.end(); }
};

class RecordingFollower final : public OverlayFollower {
 public:
  bool active = false;
  int pokes = 0, stops = 0;
  std::vector<FollowerTarget> published;
  ChangeHandler handler;

  bool isActive() const override { return active; }
  void publish(std::vector<FollowerTarget> targets, std::vector<Rect>) override { published = std::move(targets); }
  void poke() override { ++pokes; }
  void stop() override { ++stops; }
  void pointerDown(bool) override {}
  void setOnChanges(ChangeHandler h) override { handler = std::move(h); }
};

TEST_F(OverlayManagerTest, MirrorsFollowTheirOverlaysWhileClearViewShows) {
  auto mirrors = std::make_unique<RecordingMirrors>();
  RecordingMirrors& side = *mirrors;
  makeManager([&](OverlayManager::Dependencies& d) { d.mirrors = std::move(mirrors); });
  refresh();
  EXPECT_TRUE(side.calls.empty()) << "Clear View off: no mirrors";

  manager->setClearViewActive(true);
  refresh();
  EXPECT_TRUE(side.called("sync " + std::to_string(e1) + " place"));
  EXPECT_EQ(manager->clearViewStatus(), "Waiting for first frame (3 windows)");
  EXPECT_FALSE(overlayOf(e1)->clearViewMode());

  side.plates[e1].hasFrame = true;
  side.plates[e1].presentationFPS = 30;
  side.plates[e2].hasFrame = true;
  side.plates[e2].presentationFPS = 0;  // no rate yet: left out of the mean
  refresh();
  EXPECT_TRUE(overlayOf(e1)->clearViewMode()) << "the mirror shows the real window";
  EXPECT_FALSE(overlayOf(n1)->clearViewMode());
  EXPECT_EQ(manager->clearViewStatus(), "Live: 2/3 windows @ 30 fps \u2014 share sees frost");

  side.plates[n1].exclusionResult = 1000;
  EXPECT_EQ(manager->clearViewStatus(), "Capture exclusion not confirmed \u2014 showing classic frost to everyone");
  side.plates[n1].exclusionResult = 0;

  // A framebuffer share: classic frost for everyone, the mirrors paused and kept.
  manager->setMirrorsSuppressed(true);
  EXPECT_TRUE(side.called("pauseAll"));
  EXPECT_FALSE(overlayOf(e1)->clearViewMode());
  side.calls.clear();
  refresh();
  EXPECT_TRUE(side.calls.empty()) << "suppressed: no mirror work";
  manager->setMirrorsSuppressed(false);
  refresh();
  EXPECT_TRUE(overlayOf(e1)->clearViewMode()) << "resumed on the next refresh";

  // Revealing hides the plate; a vanished window loses its mirror with its overlay.
  manager->setAppRevealed(protectedApps[1], true);
  EXPECT_TRUE(side.called("hide " + std::to_string(n1)));
  desktop.closeWindow(e2);
  for (int i = 0; i < 16; ++i) tick();
  EXPECT_TRUE(side.called("remove " + std::to_string(e2)));
  EXPECT_FALSE(side.hasMirror(e2));

  manager->setClearViewActive(false);
  EXPECT_TRUE(side.called("removeAll"));
}

TEST_F(OverlayManagerTest, TheFollowerSteersOverlaysBetweenRefreshes) {
  auto follower = std::make_unique<RecordingFollower>();
  RecordingFollower& f = *follower;
  makeManager([&](OverlayManager::Dependencies& d) {
    d.makeFollower = [&]() -> std::unique_ptr<OverlayFollower> { return std::move(follower); };
  });
  refresh();
  ASSERT_EQ(f.published.size(), 3u);
  const FollowerTarget& target = f.published[0];
  EXPECT_EQ(target.frost, manager->overlay(target.source)->windowNumber());
  EXPECT_EQ(target.frame, manager->overlay(target.source)->trackedFrame);
  EXPECT_EQ(target.mirrorFrame, Rect::zero());

  // A window moved without the follower: the refresh places the frost and pokes the follower.
  moveWindow(e2, Rect(720, 120, 600, 500));
  refresh();
  EXPECT_EQ(f.pokes, 1);
  EXPECT_EQ(overlayOf(e2)->frame(), Rect(720, 120, 600, 500));

  // While the follower runs, it owns the placement.
  f.active = true;
  moveWindow(e2, Rect(760, 120, 600, 500));
  refresh();
  EXPECT_EQ(overlayOf(e2)->frame(), Rect(720, 120, 600, 500));
  EXPECT_EQ(f.pokes, 1);
  ASSERT_TRUE(f.handler);
  overlayOf(e1)->occlusions = {Rect(0, 0, 10, 10)};
  f.handler({{FollowerChange::Kind::moved, e1, Rect(110, 300, 500, 400), Rect(110, 300, 500, 400), {}},
             {FollowerChange::Kind::resized, e2, Rect(760, 120, 650, 500), {}, {}}});
  EXPECT_EQ(overlayOf(e1)->trackedFrame, Rect(110, 300, 500, 400));
  EXPECT_TRUE(overlayOf(e1)->occlusions.empty()) << "holes would be stale while the window moves";
  EXPECT_EQ(overlayOf(e2)->frame(), Rect(760, 120, 650, 500));
  // A frost that reaches past the window's leading edge stands there; the window's own frame is
  // the one tracked.
  f.handler({{FollowerChange::Kind::resized, e2, Rect(770, 120, 650, 500), {}, Rect(770, 119, 663, 502)}});
  EXPECT_EQ(overlayOf(e2)->frame(), Rect(770, 119, 663, 502));
  EXPECT_EQ(overlayOf(e2)->trackedFrame, Rect(770, 120, 650, 500));

  manager->clear();
  EXPECT_EQ(f.stops, 1);
  f.handler({{FollowerChange::Kind::moved, e1, Rect(0, 0, 100, 100), {}, {}}});  // nothing left to move
}

TEST_F(OverlayManagerTest, PanelsAboveTheNormalLevelAreFrostedAtTheirOwnLevel) {
  const WindowID panel = addWindow(editor, Rect(300, 350, 300, 200), sim::Level::floating);
  const WindowID prompt = addWindow(notes, Rect(200, 200, 260, 140), sim::Level::modalPanel);
  const WindowID popUp = addWindow(editor, Rect(900, 200, 200, 260), sim::Level::popUpMenu);
  refresh();
  for (auto [window, level] : {std::pair{panel, sim::Level::floating}, std::pair{prompt, sim::Level::modalPanel},
                               std::pair{popUp, sim::Level::popUpMenu}}) {
    ASSERT_TRUE(overlayOf(window)) << window;
    EXPECT_EQ(overlayOf(window)->level(), level) << window;
    EXPECT_TRUE(directlyAbove(*overlayOf(window), window)) << window;
  }
  EXPECT_TRUE(probe().isClean()) << probe().total();

  // The editor comes to the front: its normal window's frost floats to the front-frost level, the
  // panel's stays at the panel's level (the front-frost level lies below it).
  desktop.activateApp(editor);
  refresh();
  EXPECT_EQ(overlayOf(e1)->level(), OverlayManager::frontFrostLevel);
  EXPECT_EQ(overlayOf(panel)->level(), sim::Level::floating);
  EXPECT_TRUE(directlyAbove(*overlayOf(panel), panel));
  EXPECT_TRUE(probe().isClean()) << probe().total();

  // Floating everything for a Command-Tab, demoting on a foreign click and the activation fast
  // paths leave it where it is.
  manager->setClearViewActive(true);
  manager->preflightActivation("Cmd+Tab");
  manager->fastPathAppActivated(editor);
  manager->preDemoteForForeignClick(Point{600, 650});
  dispatcher.runUntilIdle();
  EXPECT_EQ(overlayOf(panel)->level(), sim::Level::floating);
  EXPECT_TRUE(directlyAbove(*overlayOf(panel), panel));
  EXPECT_EQ(overlayOf(popUp)->level(), sim::Level::popUpMenu);
  EXPECT_TRUE(probe().isClean()) << probe().total();
}

TEST_F(OverlayManagerTest, AFrostMovedBySomethingElseIsPutBack) {
  refresh();
  OverlayWindow& frost = *overlayOf(e1);
  const WindowID number = WindowID(frost.windowNumber());
  const Rect home = desktop.window(e1)->bounds;
  ASSERT_EQ(desktop.window(number)->bounds, home);

  // Something other than the manager moves the frost (the window server, a follower that lost
  // track); the window it covers stays put.
  desktop.moveWindow(number, Point{home.minX() + 200, home.minY() + 90});
  ASSERT_FALSE(probe().isClean());
  tick();
  EXPECT_EQ(desktop.window(number)->bounds, home);
  EXPECT_TRUE(probe().isClean()) << probe().total();

  // The pointer cannot drag a frost: only the pointer moves.
  const Point middle{350, 450};  // e1's middle, below its title-bar strip
  desktop.input().drag(middle, {Point{450, 400}, Point{550, 350}});
  dispatcher.runUntilIdle();
  EXPECT_EQ(desktop.window(number)->bounds, home);
  EXPECT_EQ(desktop.window(e1)->bounds, home);
}

TEST_F(OverlayManagerTest, ANarrowedHubWindowKeepsItsSidebarFrostWhileTheLiveBoundsMove) {
  WindowServerGeometry geometry(desktop.platform().windowServerPrivate, desktop.windowServer());
  makeManager([&](OverlayManager::Dependencies& d) { d.geometry = &geometry; });
  // The classifier narrowed e2 (700, 100, 600 x 500) to its sidebar: the left 260 points.
  WindowInfo sidebar{int64_t(e2), editor, Rect(700, 100, 260, 500), int64_t(e2), std::nullopt};
  WindowInfo whole{int64_t(n1), notes, Rect(150, 150, 500, 400), int64_t(n1), std::nullopt};
  {
    const WindowTracker::Snapshot snapshot(tracker);
    manager->update({sidebar, whole});
  }
  dispatcher.runUntilIdle();
  EXPECT_EQ(overlayOf(e2)->frame(), Rect(700, 100, 260, 500)) << "the call beside the sidebar stays clear";

  // Both windows are being dragged: the live bounds are ahead of the list the refresh read.
  {
    const WindowTracker::Snapshot snapshot(tracker);
    moveWindow(e2, Rect(760, 60, 600, 500));
    moveWindow(n1, Rect(170, 190, 500, 400));
    manager->update({sidebar, whole});
  }
  dispatcher.runUntilIdle();
  EXPECT_EQ(overlayOf(e2)->frame(), Rect(760, 60, 260, 500)) << "the sidebar frost moves with the window";
  EXPECT_EQ(overlayOf(n1)->frame(), Rect(170, 190, 500, 400)) << "an unnarrowed frost takes the live bounds";
}

TEST_F(OverlayManagerTest, FollowingLiveBoundsKeepsTheNarrowedPart) {
  const Rect listed(100, 100, 1000, 600);
  const Rect left(100, 100, 340, 600);
  const Rect inner(300, 200, 200, 100);
  // Moved: everything moves with the window.
  EXPECT_EQ(OverlayManager::followLiveBounds(left, listed, Rect(150, 80, 1000, 600)), Rect(150, 80, 340, 600));
  EXPECT_EQ(OverlayManager::followLiveBounds(inner, listed, Rect(150, 80, 1000, 600)), Rect(350, 180, 200, 100));
  // Resized: the sidebar keeps its width and follows the height; never beyond the window.
  EXPECT_EQ(OverlayManager::followLiveBounds(left, listed, Rect(50, 100, 1200, 700)), Rect(50, 100, 340, 700));
  EXPECT_EQ(OverlayManager::followLiveBounds(left, listed, Rect(100, 100, 200, 600)), Rect(100, 100, 200, 600));
  // A strip along the right edge follows that edge.
  EXPECT_EQ(OverlayManager::followLiveBounds(Rect(800, 100, 300, 600), listed, Rect(100, 100, 900, 600)),
            Rect(700, 100, 300, 600));
}

}  // namespace
}  // namespace corvane
