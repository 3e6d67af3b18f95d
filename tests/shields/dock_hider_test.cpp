#include "shields/dock_hider.h"

#include <gtest/gtest.h>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"
#include "settings/memory_defaults_store.h"

namespace corvane {
namespace {

class DockHiderTest : public ::testing::Test {
 protected:
  void backup(std::optional<bool> autohide, std::optional<PlistValue> delay, std::optional<PlistValue> modifier) {
    defaults.set(applicationDomain, DockHider::kPendingRestore, true);
    if (autohide) defaults.set(applicationDomain, DockHider::kBackupAutohide, *autohide);
    defaults.set(applicationDomain, DockHider::kBackupHadDelay, delay.has_value());
    if (delay) defaults.set(applicationDomain, DockHider::kBackupDelay, *delay);
    defaults.set(applicationDomain, DockHider::kBackupHadModifier, modifier.has_value());
    if (modifier) defaults.set(applicationDomain, DockHider::kBackupModifier, *modifier);
  }
  // The values the hide put in force, which the recovery must undo.
  void hiddenDock() {
    defaults.set(DockHider::kDockSuite, "autohide", true);
    defaults.set(DockHider::kDockSuite, "autohide-delay", 1000.0);
    defaults.set(DockHider::kDockSuite, "autohide-time-modifier", 0.0);
  }
  bool anyBackupKeyLeft() {
    for (auto key : {DockHider::kPendingRestore, DockHider::kBackupAutohide, DockHider::kBackupHadDelay,
                     DockHider::kBackupDelay, DockHider::kBackupHadModifier, DockHider::kBackupModifier}) {
      if (defaults.object(applicationDomain, key)) return true;
    }
    return false;
  }

  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  MemoryDefaultsStore defaults;
  DockHider hider{defaults, desktop.processes()};
};

TEST_F(DockHiderTest, NoMarkMeansNothingToRestore) {
  hiddenDock();
  EXPECT_FALSE(hider.isRestorePending());
  defaults.set(applicationDomain, DockHider::kPendingRestore, false);
  EXPECT_FALSE(hider.isRestorePending());
  // A mark of the wrong type is no mark.
  defaults.set(applicationDomain, DockHider::kPendingRestore, "yes");
  EXPECT_FALSE(hider.isRestorePending());
  EXPECT_TRUE(desktop.commandsRun().empty());
}

TEST_F(DockHiderTest, RestoresTheUsersValuesAndRestartsTheDock) {
  hiddenDock();
  backup(false, PlistValue(0.5), PlistValue(int64_t(1)));
  ASSERT_TRUE(hider.isRestorePending());
  hider.restoreUserPrefs();
  EXPECT_EQ(defaults.boolValue(DockHider::kDockSuite, "autohide"), false);
  // Any property-list value goes back as it was saved, type included.
  EXPECT_EQ(defaults.object(DockHider::kDockSuite, "autohide-delay"), PlistValue(0.5));
  EXPECT_EQ(defaults.object(DockHider::kDockSuite, "autohide-time-modifier"), PlistValue(int64_t(1)));
  EXPECT_FALSE(anyBackupKeyLeft());
  EXPECT_EQ(desktop.commandsRun(), std::vector<std::string>{"/usr/bin/killall Dock"});

  // A second start finds nothing to do.
  EXPECT_FALSE(hider.isRestorePending());
}

TEST_F(DockHiderTest, MissingBackupValuesLetTheDockFallBackToItsDefaults) {
  hiddenDock();
  // The user had no autohide value, no delay and no modifier of their own.
  backup(std::nullopt, std::nullopt, std::nullopt);
  hider.restoreUserPrefs();
  // Without a saved value "autohide" is left as it is.
  EXPECT_EQ(defaults.boolValue(DockHider::kDockSuite, "autohide"), true);
  EXPECT_FALSE(defaults.object(DockHider::kDockSuite, "autohide-delay"));
  EXPECT_FALSE(defaults.object(DockHider::kDockSuite, "autohide-time-modifier"));
  EXPECT_FALSE(anyBackupKeyLeft());

  // "Had" set but the value lost: removed as well.
  hiddenDock();
  backup(true, std::nullopt, std::nullopt);
  defaults.set(applicationDomain, DockHider::kBackupHadDelay, true);
  hider.restoreUserPrefs();
  EXPECT_FALSE(defaults.object(DockHider::kDockSuite, "autohide-delay"));
}

TEST_F(DockHiderTest, AnUnopenableDockSuiteKeepsTheMarkForTheNextStart) {
  hiddenDock();
  backup(false, PlistValue(0.5), std::nullopt);
  defaults.setUnopenable(DockHider::kDockSuite);
  hider.restoreUserPrefs();
  EXPECT_TRUE(hider.isRestorePending());
  EXPECT_TRUE(anyBackupKeyLeft());
  EXPECT_TRUE(desktop.commandsRun().empty());
}

}  // namespace
}  // namespace corvane
