#include "platform/sim/sim_desktop.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_ui.h"
#include "platform/defaults_store.h"
#include "settings/memory_defaults_store.h"
#include "settings/plist_defaults_store.h"

namespace corvane::sim {
namespace {

using json = nlohmann::json;
using namespace WindowListOption;

const std::string kDemo = std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo-desktop.json";

template <typename T>
const T* holds(const WindowListField& field) {
  return field ? std::get_if<T>(&*field) : nullptr;
}

std::vector<WindowID> numbersOf(const std::vector<WindowListEntry>& list) {
  std::vector<WindowID> out;
  for (const auto& e : list) out.push_back(WindowID(*holds<int64_t>(e.number)));
  return out;
}

// Colour of a BGRA pixel as 0xRRGGBB.
uint32_t rgbAt(const PixelBuffer& b, int x, int y) {
  const uint8_t* p = b.pixel(x, y);
  return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

class SimDesktopTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  SimDesktop desktop{dispatcher};

  pid_t launch(pid_t pid, const std::string& name, ActivationPolicy policy = ActivationPolicy::regular) {
    return desktop.launchApp({pid, "com.example." + name, name, policy, 0x336699, false});
  }
  WindowID add(WindowID number, pid_t pid, int64_t level = Level::normal, Rect bounds = {100, 100, 200, 150}) {
    SimWindow w;
    w.number = number;
    w.ownerPID = pid;
    w.level = level;
    w.bounds = bounds;
    return desktop.addWindowAtBack(w);
  }
  std::vector<WindowID> stacking() const {
    std::vector<WindowID> out;
    for (const auto& w : desktop.windows()) out.push_back(w.number);
    return out;
  }
  std::vector<WindowID> listed(uint32_t options, WindowID relative = 0) {
    return numbersOf(*desktop.windowServer().copyWindowInfo(options, relative));
  }
};

using Ids = std::vector<WindowID>;

TEST_F(SimDesktopTest, WindowsStayBandedByLevelAndOrderingMovesOnlyWithinALevel) {
  launch(501, "A");
  SimWindow front;
  front.ownerPID = 501;
  add(1, 501);
  add(2, 501, Level::floating);
  add(3, 501);
  add(4, 501, Level::desktop);
  add(6, 501, Level::status);
  front.number = 5;
  EXPECT_EQ(desktop.addWindow(front), 5u);  // in front of its level, behind higher levels
  EXPECT_EQ(stacking(), (Ids{6, 2, 5, 1, 3, 4}));

  EXPECT_TRUE(desktop.orderWindow(3, true, 5));
  EXPECT_EQ(stacking(), (Ids{6, 2, 3, 5, 1, 4}));
  EXPECT_TRUE(desktop.orderWindow(3, false, 1));
  EXPECT_EQ(stacking(), (Ids{6, 2, 5, 1, 3, 4}));
  // Relative to a window of another level: front or back of its own band, level unchanged.
  EXPECT_TRUE(desktop.orderWindow(1, true, 2));
  EXPECT_EQ(stacking(), (Ids{6, 2, 1, 5, 3, 4}));
  EXPECT_TRUE(desktop.orderWindow(1, false, 6));
  EXPECT_EQ(stacking(), (Ids{6, 2, 5, 3, 1, 4}));
  EXPECT_EQ(desktop.window(1)->level, Level::normal);
  EXPECT_TRUE(desktop.raiseWindow(3));
  EXPECT_EQ(stacking(), (Ids{6, 2, 3, 5, 1, 4}));
  EXPECT_TRUE(desktop.setLevel(1, Level::floating));
  EXPECT_EQ(stacking(), (Ids{6, 1, 2, 3, 5, 4}));

  EXPECT_FALSE(desktop.orderWindow(99, true, 1));
  EXPECT_EQ(add(3, 501), 0u) << "a taken number";
  EXPECT_EQ(desktop.addWindow(SimWindow{}), 100u) << "the world numbers windows added without one";
}

TEST_F(SimDesktopTest, ActivationRaisesTheAppsWindowsKeepingTheirOrder) {
  launch(501, "A");
  launch(502, "B");
  add(21, 502);
  add(11, 501);
  add(22, 502);
  add(12, 501);
  add(23, 502, Level::floating);
  add(13, 501, Level::floating);
  EXPECT_EQ(stacking(), (Ids{23, 13, 21, 11, 22, 12}));

  desktop.activateApp(501);
  EXPECT_EQ(stacking(), (Ids{13, 23, 11, 12, 21, 22}));
  EXPECT_EQ(desktop.frontmostPID(), 501);
  EXPECT_EQ(desktop.workspace().frontmostApplication()->processIdentifier, 501);
}

TEST_F(SimDesktopTest, QuittingClosesWindowsAndHandsFrontmostToTheNextRegularApp) {
  launch(501, "A");
  launch(502, "B");
  launch(503, "Helper", ActivationPolicy::accessory);
  add(31, 503);
  add(21, 502);
  add(11, 501);
  desktop.activateApp(501);
  desktop.quitApp(501);

  EXPECT_EQ(stacking(), (Ids{31, 21}));
  EXPECT_EQ(desktop.frontmostPID(), 502);
  auto running = desktop.workspace().runningApplications();
  ASSERT_EQ(running.size(), 2u);
  EXPECT_EQ(running[0].processIdentifier, 502);
  EXPECT_EQ(running[1].processIdentifier, 503);
  EXPECT_TRUE(desktop.workspace().application(501)->isTerminated);
  EXPECT_EQ(add(12, 501), 0u) << "a terminated app opens no windows";

  EXPECT_EQ(launch(502, "Again"), 0) << "pid of a running app";
  EXPECT_EQ(launch(501, "A2"), 501) << "a terminated app's pid may be reused";
  EXPECT_EQ(desktop.apps().back().name, "A2");
  // Also as a description, the way a script launches it.
  desktop.quitApp(501);
  std::string error;
  EXPECT_EQ(desktop.launchAppFromDescription(json::parse(R"({"pid": 501, "name": "A3"})"), "app", &error), 501)
      << error;
  EXPECT_FALSE(desktop.launchAppFromDescription(json::parse(R"({"pid": 501, "name": "A4"})"), "app", &error));
  EXPECT_EQ(error, "app.pid: duplicate pid 501");
  desktop.forgetApp(503);
  EXPECT_FALSE(desktop.app(503));
  EXPECT_EQ(stacking(), (Ids{21}));
}

TEST_F(SimDesktopTest, WindowsAddedWithoutANumberNeverTakeOneAScriptGivesLater) {
  launch(501, "A");
  launch(400, "Self");
  // The script will open 300 and then 301; the program's own windows open in between.
  desktop.reserveWindowNumbers({300, 301, 0});
  EXPECT_EQ(add(300, 501), 300u);
  SimWindow own;
  own.ownerPID = 400;
  const WindowID overlay = desktop.addWindow(own);
  EXPECT_NE(overlay, 0u);
  EXPECT_NE(overlay, 301u);
  EXPECT_GT(overlay, 300u) << "one counter, never running backwards";
  EXPECT_EQ(add(301, 501), 301u);
  EXPECT_NE(desktop.addWindow(own), 301u);
  // A loaded desktop starts a fresh world: its reservations go with the old one.
  ASSERT_TRUE(desktop.load(json::object(), nullptr));
  EXPECT_EQ(desktop.addWindow(SimWindow{}), 100u);
}

TEST_F(SimDesktopTest, HiddenApplicationsLeaveTheScreenAndComeBackInOrder) {
  launch(501, "A");
  launch(502, "B");
  add(21, 502);
  add(11, 501);
  add(12, 501);
  desktop.activateApp(501);
  dispatcher.runUntilIdle();
  std::vector<std::string> heard;
  std::vector<Subscription> observers;
  for (auto [name, label] : {std::pair{WorkspaceNotification::didHideApplication, "hide"},
                             std::pair{WorkspaceNotification::didUnhideApplication, "unhide"},
                             std::pair{WorkspaceNotification::didActivateApplication, "activate"},
                             std::pair{WorkspaceNotification::didDeactivateApplication, "deactivate"}}) {
    observers.push_back(desktop.workspace().addObserver(name, [&heard, label](const std::optional<RunningApplication>& app) {
      heard.push_back(std::string(label) + " " + std::to_string(app ? app->processIdentifier : 0));
    }));
  }

  EXPECT_TRUE(desktop.hideApp(501));
  EXPECT_FALSE(desktop.hideApp(501)) << "already hidden";
  EXPECT_EQ(listed(onScreenOnly), (Ids{21}));
  EXPECT_EQ(listed(0), (Ids{11, 12, 21})) << "hidden, not closed";
  EXPECT_EQ(desktop.frontmostPID(), 502) << "activation passes on at once";
  EXPECT_TRUE(desktop.workspace().application(501)->isHidden);
  const Point inside = Rect(150, 150, 10, 10).flipped(desktop.mainDisplayHeight()).origin;
  EXPECT_EQ(desktop.ui().hitTest(inside).window, 21u) << "clicks go through where it was";
  EXPECT_TRUE(heard.empty()) << "observers hear of it on a later turn";
  dispatcher.runUntilIdle();
  EXPECT_EQ(heard, (std::vector<std::string>{"deactivate 501", "hide 501", "activate 502"}));

  // A window the hidden application opens stays hidden with it.
  add(13, 501);
  EXPECT_EQ(listed(onScreenOnly), (Ids{21}));

  // Showing it again does not activate it; activating a hidden application shows it.
  heard.clear();
  EXPECT_TRUE(desktop.unhideApp(501));
  EXPECT_EQ(listed(onScreenOnly), (Ids{11, 12, 21, 13}));
  EXPECT_EQ(desktop.frontmostPID(), 502);
  EXPECT_TRUE(desktop.hideApp(501));
  desktop.activateApp(501);
  EXPECT_EQ(listed(onScreenOnly), (Ids{11, 12, 13, 21}));
  dispatcher.runUntilIdle();
  EXPECT_EQ(heard, (std::vector<std::string>{"unhide 501", "hide 501", "unhide 501", "deactivate 502", "activate 501"}));
  EXPECT_FALSE(desktop.unhideApp(501)) << "not hidden";
  EXPECT_FALSE(desktop.hideApp(999));
}

TEST_F(SimDesktopTest, DisplaysArePluggedInAndOutWhileRunning) {
  launch(501, "A");
  add(11, 501, Level::normal, {1600, 300, 200, 150});  // on the display about to come
  add(12, 501, Level::normal, {1900, 900, 400, 300});
  int changes = 0;
  Subscription observer = desktop.application().addObserver(ApplicationNotification::didChangeScreenParameters,
                                                            [&] { ++changes; });
  std::string error;
  ASSERT_TRUE(desktop.addDisplayFromDescription(json::parse(R"({"id": 2, "frame": [1512, 0, 1920, 1080]})"),
                                                "display", &error))
      << error;
  ASSERT_EQ(desktop.screens().screens().size(), 2u);
  EXPECT_EQ(desktop.screens().screens()[1].displayID, 2u);
  EXPECT_EQ(desktop.windowServer().activeDisplays(), (std::vector<DisplayID>{1, 2}));

  // Checked as the loader checks displays, named as the caller names it.
  EXPECT_FALSE(desktop.addDisplayFromDescription(json::parse(R"({"id": 2, "frame": [0, 982, 800, 600]})"),
                                                 "timeline[4].display", &error));
  EXPECT_EQ(error, "timeline[4].display.id: duplicate display id 2");
  EXPECT_FALSE(desktop.addDisplayFromDescription(json::parse(R"({"id": 3, "frame": [0, 982, 0, 600]})"),
                                                 "display", &error));
  EXPECT_EQ(error.rfind("display.frame: ", 0), 0u) << error;
  EXPECT_FALSE(desktop.addDisplayFromDescription(json::parse(R"({"id": 3, "fram": [0, 982, 10, 10]})"), "display",
                                                 &error));
  EXPECT_EQ(desktop.displays().size(), 2u);

  EXPECT_FALSE(desktop.removeDisplay(1, &error));
  EXPECT_EQ(error, "display 1 is the main display");
  EXPECT_FALSE(desktop.removeDisplay(7, &error));
  EXPECT_EQ(error, "no display 7");
  ASSERT_TRUE(desktop.removeDisplay(2, &error)) << error;
  EXPECT_EQ(desktop.displays().size(), 1u);
  // Its windows come over to the main display, at the same place relative to its corner, inside it.
  EXPECT_EQ(desktop.window(11)->bounds, Rect(88, 300, 200, 150));
  EXPECT_EQ(desktop.window(12)->bounds, Rect(388, 682, 400, 300));
  EXPECT_EQ(changes, 0);
  dispatcher.runUntilIdle();
  EXPECT_EQ(changes, 2);
}

TEST_F(SimDesktopTest, AShareIsInProgressWhileTheWatcherOrAFramebufferShareRecords) {
  launch(503, "zoom.us");
  EXPECT_FALSE(desktop.shareInProgress());
  desktop.openSharePicker();
  EXPECT_FALSE(desktop.shareInProgress()) << "choosing what to share records nothing yet";
  desktop.closeSharePicker();
  desktop.startScreenWatcherShare();
  EXPECT_TRUE(desktop.shareInProgress());
  desktop.stopScreenWatcherShare();
  EXPECT_FALSE(desktop.shareInProgress());
  desktop.startZoomFramebufferShare(503);
  EXPECT_TRUE(desktop.shareInProgress());
  desktop.stopZoomFramebufferShare(503);
  EXPECT_FALSE(desktop.shareInProgress());
}

TEST_F(SimDesktopTest, WindowListOptionsAndRelativeWindow) {
  launch(501, "A");
  add(1, 501, Level::status);
  add(2, 501);
  add(3, 501);
  desktop.setOnScreen(3, false);
  add(4, 501);
  desktop.setMinimised(4, true);
  add(5, 501);
  add(7, 501);
  desktop.setSharingState(7, WindowSharingState::none);  // still listed
  SimWindow icon;
  icon.number = 8;
  icon.ownerPID = 501;
  icon.desktopElement = true;
  desktop.addWindowAtBack(icon);
  add(6, 501, Level::desktop);

  EXPECT_EQ(listed(all), (Ids{1, 2, 3, 4, 5, 7, 8, 6}));
  EXPECT_EQ(listed(onScreenOnly), (Ids{1, 2, 5, 7, 8, 6}));
  EXPECT_EQ(listed(onScreenOnly | excludeDesktopElements), (Ids{1, 2, 5, 7}));
  EXPECT_EQ(listed(onScreenAboveWindow, 5), (Ids{1, 2}));
  EXPECT_EQ(listed(onScreenAboveWindow | includingWindow, 5), (Ids{1, 2, 5}));
  EXPECT_EQ(listed(onScreenBelowWindow, 2), (Ids{5, 7, 8, 6}));
  EXPECT_EQ(listed(onScreenBelowWindow | excludeDesktopElements, 2), (Ids{5, 7}));
  EXPECT_EQ(listed(includingWindow, 3), (Ids{3})) << "an off-screen window asked for by number";
  EXPECT_EQ(listed(includingWindow | onScreenOnly, 3), Ids{});
  EXPECT_EQ(listed(onScreenAboveWindow, 0), (Ids{1, 2, 5, 7, 8, 6})) << "no window bounds nothing";
  EXPECT_EQ(listed(onScreenAboveWindow, 999), Ids{}) << "an unknown window";
  EXPECT_EQ(listed(includingWindow, 0), Ids{});
}

TEST_F(SimDesktopTest, EntriesCarryTypedValuesAndSpoiledKeysAsAsked) {
  launch(501, "Slack");
  desktop.launchApp({502, std::nullopt, std::nullopt, ActivationPolicy::regular, 0, false});
  SimWindow w;
  w.number = 101;
  w.ownerPID = 501;
  w.level = Level::floating;
  w.bounds = Rect(10, 20, 300, 200);
  w.alpha = 0.5;
  w.title = SimTitle::of("general — Slack");
  w.sharingState = WindowSharingState::readWrite;
  desktop.addWindow(w);

  auto list = *desktop.windowServer().copyWindowInfo(all, 0);
  ASSERT_EQ(list.size(), 1u);
  const WindowListEntry& e = list[0];
  EXPECT_EQ(*holds<int64_t>(e.number), 101);
  EXPECT_EQ(*holds<int64_t>(e.layer), Level::floating);
  EXPECT_EQ(*holds<int64_t>(e.ownerPID), 501);
  EXPECT_EQ(*holds<std::string>(e.ownerName), "Slack");
  EXPECT_EQ(*holds<double>(e.alpha), 0.5);
  EXPECT_EQ(*holds<Rect>(e.bounds), Rect(10, 20, 300, 200));
  EXPECT_EQ(*holds<std::string>(e.name), "general — Slack");
  EXPECT_EQ(*holds<bool>(e.isOnscreen), true);
  EXPECT_EQ(*holds<int64_t>(e.sharingState), 2);

  w.number = 102;
  w.ownerPID = 502;  // an application without a name
  w.title = SimTitle::of("");
  w.missingKeys = {"alpha", "layer"};
  w.wrongTypeKeys = {"number", "bounds", "ownerPID", "isOnscreen"};
  desktop.addWindow(w);
  w.number = 103;
  w.title = SimTitle::wrong();
  w.missingKeys.clear();
  w.wrongTypeKeys.clear();
  desktop.addWindow(w);
  w.number = 104;
  w.title = SimTitle::of("kept out");
  w.missingKeys = {"name"};
  desktop.addWindow(w);

  list = *desktop.windowServer().copyWindowInfo(all, 0);
  ASSERT_EQ(list.size(), 4u);
  const WindowListEntry& spoiled = list[2];
  EXPECT_FALSE(spoiled.alpha);
  EXPECT_FALSE(spoiled.layer);
  EXPECT_FALSE(spoiled.ownerName);
  EXPECT_EQ(*holds<std::string>(spoiled.number), "102");
  EXPECT_TRUE(holds<std::string>(spoiled.bounds));
  EXPECT_TRUE(holds<std::string>(spoiled.ownerPID));
  EXPECT_TRUE(holds<std::string>(spoiled.isOnscreen));
  EXPECT_EQ(*holds<std::string>(spoiled.name), "") << "an empty title is reported as it is";
  EXPECT_TRUE(holds<int64_t>(list[1].name)) << "a title of the wrong type";
  EXPECT_FALSE(list[0].name) << "a missing key";
}

TEST_F(SimDesktopTest, CountsEveryReadAndReportsAnUnreachableWindowServer) {
  WindowServer& server = desktop.windowServer();
  EXPECT_TRUE(server.copyWindowInfo(all, 0));
  EXPECT_TRUE(server.copyWindowInfo(onScreenOnly, 0));
  desktop.setWindowListAvailable(false);
  EXPECT_FALSE(server.copyWindowInfo(all, 0));
  EXPECT_EQ(desktop.windowListReads(), 3u);
  desktop.resetCounters();
  EXPECT_EQ(desktop.windowListReads(), 0u);
}

TEST_F(SimDesktopTest, ScreensAreFlippedAndVisibleFramesLeaveOutMenuBarAndDock) {
  desktop.setDisplays({{1, Rect(0, 0, 1512, 982), 25, 70}, {2, Rect(1512, -200, 1920, 1080), 25, 0}});
  auto screens = desktop.screens().screens();
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[0].frame, Rect(0, 0, 1512, 982));
  EXPECT_EQ(screens[0].visibleFrame, Rect(0, 70, 1512, 887));
  EXPECT_EQ(screens[1].frame, Rect(1512, 102, 1920, 1080));
  EXPECT_EQ(screens[1].visibleFrame, screens[1].frame) << "the menu bar is on the main display only";
  EXPECT_EQ(screens[1].displayID, 2u);
  EXPECT_EQ(desktop.screens().mainScreen()->displayID, 1u);

  WindowServer& server = desktop.windowServer();
  EXPECT_EQ(server.mainDisplayID(), 1u);
  EXPECT_EQ(server.activeDisplays(), (std::vector<DisplayID>{1, 2}));
  EXPECT_EQ(server.displayBounds(2), Rect(1512, -200, 1920, 1080));
  EXPECT_TRUE(server.displayBounds(9).isNull());
}

TEST_F(SimDesktopTest, LoadsTheDemoDesktop) {
  std::string error;
  ASSERT_TRUE(desktop.loadFile(kDemo, &error)) << error;
  EXPECT_EQ(desktop.processes().currentProcessIdentifier(), 400);
  EXPECT_EQ(desktop.application().activationPolicy(), ActivationPolicy::accessory);
  EXPECT_EQ(desktop.workspace().frontmostApplication()->bundleIdentifier, "com.tinyspeck.slackmacgap");
  EXPECT_EQ(desktop.workspace().runningApplications().back().localizedName, "Corvane") << "self launches last";

  auto windows = desktop.windows();
  for (size_t i = 1; i < windows.size(); ++i) EXPECT_GE(windows[i - 1].level, windows[i].level);
  EXPECT_EQ(windows.back().level, Level::desktop);

  auto list = *desktop.windowServer().copyWindowInfo(onScreenOnly | excludeDesktopElements, 0);
  std::vector<std::string> teams;
  for (const auto& e : list) {
    if (*holds<int64_t>(e.ownerPID) == 504) teams.push_back(*holds<std::string>(e.name));
    if (*holds<int64_t>(e.layer) == Level::mainMenu) {
      EXPECT_EQ(*holds<std::string>(e.ownerName), "Window Server");
      EXPECT_EQ(holds<Rect>(e.bounds)->height(), 25);
    }
    EXPECT_GT(*holds<int64_t>(e.layer), Level::desktopIcon);
  }
  EXPECT_EQ(teams, (std::vector<std::string>{"Chat | Microsoft Teams", "Meeting with Design team | Microsoft Teams"}));
  EXPECT_EQ(desktop.screens().mainScreen()->visibleFrame, Rect(0, 70, 1512, 887));
}

TEST_F(SimDesktopTest, LoaderReadsLevelsAndTitleKindsKeepingFileOrderWithinALevel) {
  json d = {{"apps", {{{"pid", 501}}}},
            {"windows",
             {{{"number", 1}, {"pid", 501}, {"bounds", {0, 0, 10, 10}}},
              {{"number", 2}, {"pid", 501}, {"bounds", {0, 0, 10, 10}}, {"level", "floating"}, {"title", ""}},
              {{"number", 3}, {"pid", 501}, {"bounds", {0, 0, 10, 10}}, {"level", 3}, {"title", 42}},
              {{"number", 4}, {"pid", 501}, {"bounds", {0, 0, 10, 10}}, {"title", "x"}}}}};
  std::string error;
  ASSERT_TRUE(desktop.load(d, &error)) << error;
  EXPECT_EQ(stacking(), (Ids{2, 3, 1, 4}));
  EXPECT_EQ(desktop.window(1)->title.kind, SimTitle::Kind::missing);
  EXPECT_FALSE(desktop.windowServer().copyWindowInfo(includingWindow, 1)->at(0).name) << "no title, no name";
  EXPECT_EQ(desktop.window(2)->title.kind, SimTitle::Kind::string);
  EXPECT_EQ(desktop.window(3)->title.kind, SimTitle::Kind::wrongType);
  EXPECT_EQ(desktop.window(4)->title.text, "x");
}

TEST_F(SimDesktopTest, LoaderNamesTheBadElementAndLeavesTheWorldAlone) {
  ASSERT_TRUE(desktop.loadFile(kDemo, nullptr));
  const size_t windowCount = desktop.windows().size();

  const json base = {{"apps", {{{"pid", 501}, {"name", "Slack"}}}},
                     {"windows", {{{"number", 101}, {"pid", 501}, {"bounds", {0, 0, 100, 100}}}}}};
  struct Case {
    std::string pointer;  // where the bad value goes
    json value;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"/windows/0/pid", 999, "windows[0].pid: no application with pid 999"},
      {"/windows/1", {{"number", 101}, {"pid", 501}, {"bounds", {0, 0, 1, 1}}}, "windows[1].number: duplicate window number 101"},
      {"/windows/0/bounds", {1, 2, 3}, "windows[0].bounds: expected [x, y, width, height]"},
      {"/windows/0/bounds", {1, 2, "3", 4}, "windows[0].bounds: expected [x, y, width, height]"},
      {"/windows/0/bounds", {0, 0, -5, 4}, "windows[0].bounds: width and height must not be negative"},
      {"/windows/0/level", "flaoting", "windows[0].level: unknown level name \"flaoting\""},
      {"/windows/0/alpha", 1.5, "windows[0].alpha: expected a number from 0 to 1"},
      {"/windows/0/sharing", "private", "windows[0].sharing: expected \"none\", \"readOnly\", \"readWrite\" or 0 to 2"},
      {"/windows/0/titel", "x", "windows[0]: unknown member \"titel\""},
      {"/windows/0/missingKeys", {"nmae"}, "windows[0].missingKeys[0]: unknown key \"nmae\""},
      {"/windows/0/color", "red", "windows[0].color: expected a colour \"#RRGGBB\""},
      {"/apps/0/pid", "501", "apps[0].pid: expected an integer from 1 to 2147483647"},
      {"/apps/1", {{"pid", 501}}, "apps[1].pid: duplicate pid 501"},
      {"/apps/0/policy", "background", "apps[0].policy: expected \"regular\", \"accessory\" or \"prohibited\""},
      {"/self", {{"name", "Corvane"}}, "self.pid: missing"},
      {"/frontmost", 777, "frontmost: no application with pid 777"},
      {"/displays", json::array(), "displays: expected a non-empty array"},
      {"/displays", {{{"id", 1}, {"frame", {10, 0, 800, 600}}}}, "displays[0].frame: the main display must have its origin at (0, 0)"},
      {"/displays", {{{"id", 1}, {"frame", {0, 0, 800, 600}}, {"dockHeight", 700}}}, "displays[0].dockHeight: expected a number from 0 to 600"},
      {"/windows", {{"number", 1}}, "windows: expected an array"},
  };
  for (const auto& c : cases) {
    json d = base;
    d[json::json_pointer(c.pointer)] = c.value;
    std::string error;
    EXPECT_FALSE(desktop.load(d, &error)) << c.pointer;
    EXPECT_EQ(error, c.error);
  }
  EXPECT_FALSE(desktop.load(json::array(), nullptr));
  EXPECT_EQ(desktop.windows().size(), windowCount) << "a failed load changes nothing";
  EXPECT_EQ(desktop.selfPID(), 400);

  std::string error;
  EXPECT_FALSE(desktop.loadFile("/nonexistent/desk.json", &error));
  EXPECT_EQ(error, "/nonexistent/desk.json: cannot be read");
}

TEST_F(SimDesktopTest, ContentAndPicturesAreDeterministic) {
  ASSERT_TRUE(desktop.loadFile(kDemo, nullptr));
  SimDesktop twin(dispatcher);
  ASSERT_TRUE(twin.loadFile(kDemo, nullptr));
  EXPECT_EQ(desktop.renderShareView().bytes, twin.renderShareView().bytes);
  EXPECT_EQ(desktop.renderLocalView().bytes, twin.renderLocalView().bytes);
  EXPECT_EQ(desktop.windowContent(101)->bytes, twin.windowContent(101)->bytes);
  EXPECT_NE(desktop.windowContent(140)->bytes, desktop.windowContent(141)->bytes) << "windows of one app differ";

  // Slack's main window: its colour, a darker band on top, lighter text stripes in the body.
  PixelBuffer content = *desktop.windowContent(101);
  ASSERT_EQ(content.width, 760);
  ASSERT_EQ(content.height, 520);
  EXPECT_EQ(rgbAt(content, 755, 480), 0x4A154Bu);
  EXPECT_EQ(content.pixel(755, 480)[3], 255);
  // The demo's windows have rounded corners: the very corner is left out.
  EXPECT_EQ(content.pixel(759, 519)[3], 0);
  EXPECT_LT(rgbAt(content, 755, 3) & 0xFF, 0x4Bu);
  bool stripe = false;
  for (int y = 28; y < 520 && !stripe; ++y) stripe = (rgbAt(content, 20, y) & 0xFF) > 0x4B;
  EXPECT_TRUE(stripe);

  // An image of an area holds the window where it lies in it and nothing elsewhere.
  WindowServer& server = desktop.windowServer();
  EXPECT_EQ(server.createWindowImage(Rect::null(), 101, WindowImageOption::none)->bytes, content.bytes);
  PixelBuffer area = *server.createWindowImage(Rect(30, 50, 40, 40), 101, WindowImageOption::none);
  ASSERT_EQ(area.width, 40);
  EXPECT_EQ(area.pixel(5, 5)[3], 0);
  EXPECT_EQ(rgbAt(area, 10, 10), rgbAt(content, 0, 0));
  EXPECT_FALSE(server.createWindowImage(Rect::null(), 999, WindowImageOption::none));
}

TEST_F(SimDesktopTest, ShareViewLeavesOutUncapturableWindowsAndBlendsAlpha) {
  launch(501, "A");
  const Rect r(0, 200, 100, 100);
  add(1, 501, Level::normal, r.offsetBy(100, 0));
  add(2, 501, Level::normal, r.offsetBy(300, 0));
  desktop.setSharingState(2, WindowSharingState::none);
  add(3, 501, Level::normal, r.offsetBy(500, 0));
  desktop.setCaptureExcluded(3, true);
  add(4, 501, Level::normal, r.offsetBy(700, 0));
  desktop.setOnScreen(4, false);
  add(5, 501, Level::normal, r.offsetBy(900, 0));
  desktop.setMinimised(5, true);
  add(6, 501, Level::normal, r.offsetBy(1100, 0));
  desktop.setAlpha(6, 0.5);

  // A body pixel near the bottom-right corner shows the plain fill; x = 1400 is background.
  auto at = [](const PixelBuffer& b, double left) { return rgbAt(b, int(left) + 95, 297); };
  const PixelBuffer share = desktop.renderShareView();
  const PixelBuffer local = desktop.renderLocalView();
  ASSERT_EQ(share.width, 1512);
  ASSERT_EQ(share.height, 982);
  const uint32_t background = rgbAt(share, 1400, 297);
  EXPECT_EQ(at(share, 100), 0x336699u);
  EXPECT_EQ(at(share, 300), background);
  EXPECT_EQ(at(share, 500), background);
  EXPECT_EQ(at(local, 300), 0x336699u);
  EXPECT_EQ(at(local, 500), 0x336699u);
  EXPECT_EQ(at(local, 700), background);
  EXPECT_EQ(at(local, 900), background);
  const uint32_t half = at(share, 1100);
  for (int shift : {0, 8, 16}) {
    const int mixed = int(half >> shift & 0xFF);
    const int expected = int((0x336699u >> shift & 0xFF) + (background >> shift & 0xFF)) / 2;
    EXPECT_NEAR(mixed, expected, 1) << "channel at bit " << shift;
  }

  EXPECT_EQ(desktop.windowServer().captureDisplay(1)->bytes, share.bytes);
  EXPECT_FALSE(desktop.windowServer().captureDisplay(7));
  EXPECT_FALSE(desktop.windowServer().createWindowImage(Rect::null(), 2, 0)) << "sharing none";
  EXPECT_FALSE(desktop.windowServer().createWindowImage(Rect::null(), 3, 0)) << "capture-excluded";
}

TEST_F(SimDesktopTest, ApplicationRunsVirtualTimeUntilTerminated) {
  const double start = dispatcher.mediaTime();
  std::vector<int> ran;
  dispatcher.main().asyncAfter(5, [&] { ran.push_back(1); });
  dispatcher.main().asyncAfter(10, [&] { desktop.application().terminate(); });
  dispatcher.main().asyncAfter(20, [&] { ran.push_back(3); });
  desktop.application().run();
  EXPECT_EQ(ran, std::vector<int>{1});
  EXPECT_EQ(dispatcher.mediaTime(), start + 10);
  desktop.application().run();
  EXPECT_EQ(ran, std::vector<int>{1}) << "a terminated application stays terminated";
}

TEST_F(SimDesktopTest, ApplicationRunReturnsWhenNothingIsPending) {
  const double start = dispatcher.mediaTime();
  int fired = 0;
  std::unique_ptr<Timer> timer;
  timer = dispatcher.makeTimer(dispatcher.main(), [&] {
    if (++fired == 3) timer->cancel();
  });
  timer->schedule(1, 2);
  desktop.application().run();
  EXPECT_EQ(fired, 3);
  EXPECT_EQ(dispatcher.mediaTime(), start + 5);

  EXPECT_EQ(desktop.application().activationPolicy(), ActivationPolicy::regular);
  EXPECT_TRUE(desktop.application().setActivationPolicy(ActivationPolicy::accessory));
  EXPECT_EQ(desktop.application().activationPolicy(), ActivationPolicy::accessory);
}

TEST_F(SimDesktopTest, ProcessesReportTheSelfPidAndOnlyRecordCommands) {
  Processes& processes = desktop.processes();
  desktop.setSelfPID(777);
  EXPECT_EQ(processes.currentProcessIdentifier(), 777);
  EXPECT_EQ(processes.executablePath().front(), '/');
  CommandResult result = processes.runCommand("killall", {"Dock"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(desktop.commandsRun(), std::vector<std::string>{"killall Dock"});

  Platform platform = desktop.platform();
  EXPECT_EQ(&platform.windowServer, &desktop.windowServer());
  EXPECT_EQ(platform.clock.mediaTime(), dispatcher.mediaTime());
}

}  // namespace
}  // namespace corvane::sim

namespace corvane::sim {
namespace {

TEST(SimDesktopDefaults, TheRealStoreLivesInAPrivateTemporaryDirectoryOfItsOwn) {
  VirtualDispatcher dispatcher;
  std::string file;
  {
    SimDesktop desktop(dispatcher);
    Platform platform = desktop.platform();
    ASSERT_NE(platform.defaults, nullptr);
    EXPECT_TRUE(platform.defaults->set(applicationDomain, "autoDetectEnabled", true));
    auto* store = dynamic_cast<PlistDefaultsStore*>(platform.defaults);
    ASSERT_NE(store, nullptr);
    file = store->pathForDomain(applicationDomain);
    EXPECT_TRUE(std::filesystem::exists(file));
    // A second desktop does not see the first one's settings.
    SimDesktop other(dispatcher);
    EXPECT_FALSE(other.platform().defaults->boolValue(applicationDomain, "autoDetectEnabled"));

    // A test may hand in its own store, and go back.
    MemoryDefaultsStore memory;
    desktop.setDefaultsStore(&memory);
    EXPECT_EQ(desktop.platform().defaults, &memory);
    desktop.setDefaultsStore(nullptr);
    EXPECT_EQ(desktop.platform().defaults, store);
  }
  // Removed with the desktop.
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(file).parent_path()));
}

}  // namespace
}  // namespace corvane::sim
