#include "platform/sim/sim_accessibility.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_desktop.h"

namespace corvane::sim {
namespace {

using json = nlohmann::json;

class SimAccessibilityTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  SimDesktop desktop{dispatcher};
  Accessibility& port = desktop.accessibility();

  std::optional<AXValue> read(AXUIElement e, std::string_view attribute) { return port.copyAttributeValue(e, attribute); }
  std::vector<AXUIElement> children(AXUIElement e) { return axElements(read(e, AXAttribute::children)).value_or(std::vector<AXUIElement>{}); }
  AXUIElement windowOf(pid_t pid, size_t index = 0) { return axElements(read(port.applicationElement(pid), AXAttribute::windows))->at(index); }
};

TEST_F(SimAccessibilityTest, DemoTreesFollowTheirWindowsAndAppearOnRequest) {
  std::string error;
  ASSERT_TRUE(desktop.loadFile(std::string(CORVANE_SOURCE_DIR) + "/scenarios/demo-desktop.json", &error)) << error;
  const AXUIElement teams = port.applicationElement(504);
  EXPECT_EQ(axString(read(teams, AXAttribute::title)), "Microsoft Teams");
  const AXUIElement meeting = windowOf(504, 1);
  EXPECT_EQ(axInteger(read(meeting, AXAttribute::windowNumber)), 141);
  EXPECT_EQ(axString(read(meeting, AXAttribute::title)), "Meeting with Design team | Microsoft Teams");
  EXPECT_TRUE(children(meeting).empty());  // built on a web engine: nothing until asked
  EXPECT_EQ(port.setAttributeValue(teams, AXAttribute::manualAccessibility, true), AXError::success);
  ASSERT_EQ(children(meeting).size(), 2u);
  const AXUIElement leave = children(children(meeting)[1]).back();
  EXPECT_EQ(axString(read(leave, AXAttribute::title)), "Leave (\u2318\u21e7H)");
  EXPECT_EQ(axPoint(read(leave, AXAttribute::position)), (Point{820 + 320, 540 + 250}));
  desktop.moveWindow(141, {100, 200});
  EXPECT_EQ(axPoint(read(leave, AXAttribute::position)), (Point{100 + 320, 200 + 250}));
  EXPECT_EQ(axSize(read(leave, AXAttribute::size)), (Size{70, 40}));
  // The application's own menu bar comes before its windows.
  auto all = children(teams);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(axString(read(all[0], AXAttribute::role)), "AXMenuBar");
  EXPECT_EQ(all[2], meeting);

  desktop.closeWindow(141);
  EXPECT_EQ(read(leave, AXAttribute::title), std::nullopt);  // gone with its window
  EXPECT_EQ(read(meeting, AXAttribute::role), std::nullopt);
}

TEST_F(SimAccessibilityTest, LoadingRejectsBadTreesAndKeepsTheWorld) {
  const json good = {{"apps", {{{"pid", 501}}}}, {"windows", {{{"number", 7}, {"pid", 501}, {"bounds", {0, 0, 300, 200}}}}}};
  ASSERT_TRUE(desktop.load(good, nullptr));
  auto failsWith = [&](json ax, const std::string& message) {
    json d = good;
    d["accessibility"] = std::move(ax);
    std::string error;
    EXPECT_FALSE(desktop.load(d, &error));
    EXPECT_EQ(error, message);
  };
  failsWith({{"windows", {{{"number", 8}}}}}, "accessibility.windows[0].number: no window with number 8");
  failsWith({{"windows", {{{"number", 7}, {"children", {{{"role", "AXButton"}, {"frame", {1, 2}}}}}}}}},
            "accessibility.windows[0].children[0].frame: expected [x, y, width, height]");
  failsWith({{"apps", {{{"pid", 501}, {"chidlren", json::array()}}}}}, "accessibility.apps[0]: unknown member \"chidlren\"");
  failsWith({{"windows", {{{"number", 7}, {"wrongTypeAttributes", {"AXFrame"}}}}}},
            "accessibility.windows[0].wrongTypeAttributes[0]: unknown attribute \"AXFrame\"");
  failsWith({{"trusted", "yes"}}, "accessibility.trusted: expected true or false");
  EXPECT_TRUE(desktop.window(7).has_value());

  json spoiled = good;
  spoiled["accessibility"] = {{"trusted", false},
                              {"windows", {{{"number", 7}, {"windowNumber", false}, {"wrongTypeAttributes", {"AXTitle", "AXSize"}}}}}};
  ASSERT_TRUE(desktop.load(spoiled, nullptr));
  EXPECT_FALSE(port.isProcessTrusted());
  EXPECT_EQ(read(port.applicationElement(501), AXAttribute::windows), std::nullopt);
  EXPECT_EQ(port.createObserver(501, [](AXUIElement, const std::string&) {}), nullptr);
  desktop.accessibility().setTrusted(true);
  const AXUIElement w = windowOf(501);
  EXPECT_EQ(read(w, AXAttribute::windowNumber), std::nullopt);
  EXPECT_EQ(axString(read(w, AXAttribute::title)), std::nullopt);
  EXPECT_TRUE(read(w, AXAttribute::title).has_value());  // a value, of the wrong type
  EXPECT_EQ(axSize(read(w, AXAttribute::size)), std::nullopt);
  EXPECT_EQ(axPoint(read(w, AXAttribute::position)), (Point{0, 0}));
  EXPECT_EQ(desktop.accessibility().attributeReads(AXAttribute::windows), 2u);  // counted with or without trust
}

TEST_F(SimAccessibilityTest, TreesAreReplacedWhileRunningAndABadChangeChangesNothing) {
  ASSERT_TRUE(desktop.load(json::parse(R"({
      "apps": [{"pid": 501}, {"pid": 502}],
      "windows": [{"number": 7, "pid": 501, "bounds": [0, 0, 300, 200]}],
      "accessibility": {"windows": [{"number": 7, "children": [{"role": "AXButton", "title": "Mute"}]}]}})"),
                           nullptr));
  const AXUIElement window = windowOf(501);
  ASSERT_EQ(children(window).size(), 1u);
  auto update = [&](const char* change, const std::string& path, std::string* error) {
    return desktop.accessibility().update(json::parse(change), path, error);
  };

  // The call ends: its controls go and a chat list takes their place; the window keeps its element.
  std::string error;
  ASSERT_TRUE(update(R"({"windows": [{"number": 7, "children": [{"role": "AXGroup", "title": "Chats"},
                                                                   {"role": "AXList"}]}]})",
                     "accessibility", &error))
      << error;
  ASSERT_EQ(children(window).size(), 2u);
  EXPECT_EQ(axString(read(children(window)[0], AXAttribute::title)), "Chats");
  EXPECT_EQ(windowOf(501), window);

  // Named as the caller names it; the trees stay as they were.
  EXPECT_FALSE(update(R"({"trusted": false, "windows": [{"number": 7, "children": [{"role": 5}]}]})", "timeline[2]",
                      &error));
  EXPECT_EQ(error, "timeline[2].windows[0].children[0].role: expected a string");
  EXPECT_FALSE(update(R"({"apps": [{"pid": 999}]})", "timeline[3]", &error));
  EXPECT_EQ(error, "timeline[3].apps[0].pid: no application with pid 999");
  EXPECT_TRUE(port.isProcessTrusted());
  EXPECT_EQ(children(window).size(), 2u);

  // An application's own elements, and trust taken away.
  ASSERT_TRUE(update(R"({"trusted": false, "apps": [{"pid": 502, "children": [{"role": "AXMenuBar"}]}]})", "a", &error))
      << error;
  EXPECT_FALSE(port.isProcessTrusted());
  ASSERT_TRUE(update(R"({"trusted": true})", "a", &error)) << error;
  ASSERT_EQ(children(port.applicationElement(502)).size(), 1u);
  EXPECT_EQ(axString(read(children(port.applicationElement(502))[0], AXAttribute::role)), "AXMenuBar");
}

TEST_F(SimAccessibilityTest, ObserversHearOnTheMainQueueWhileAttached) {
  desktop.launchApp({501, std::string("com.example.chat"), std::string("Chat"), ActivationPolicy::regular, 0, false});
  std::vector<std::pair<AXUIElement, std::string>> heard;
  auto observer = port.createObserver(501, [&](AXUIElement e, const std::string& n) { heard.emplace_back(e, n); });
  ASSERT_NE(observer, nullptr);
  const AXUIElement app = port.applicationElement(501);
  EXPECT_EQ(observer->addNotification(app, AXNotification::windowCreated), AXError::success);
  EXPECT_EQ(observer->addNotification(app, AXNotification::titleChanged), AXError::success);
  EXPECT_EQ(observer->addNotification(app, AXNotification::titleChanged), AXError::notificationAlreadyRegistered);
  EXPECT_EQ(observer->addNotification(port.applicationElement(502), AXNotification::titleChanged),
            AXError::invalidUIElement);

  SimWindow w;
  w.ownerPID = 501;
  w.bounds = Rect(0, 0, 300, 200);
  desktop.addWindow(w);  // not attached yet: lost
  dispatcher.runUntilIdle();
  EXPECT_TRUE(heard.empty());

  observer->attachToMainRunLoop();
  const WindowID second = desktop.addWindow(w);
  desktop.setTitle(second, SimTitle::none());  // unchanged: no notification
  desktop.setTitle(second, SimTitle::of("Chat"));
  EXPECT_TRUE(heard.empty());
  dispatcher.runUntilIdle();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].second, "AXWindowCreated");
  EXPECT_EQ(heard[1].second, "AXTitleChanged");
  EXPECT_EQ(axInteger(read(heard[0].first, AXAttribute::windowNumber)), int64_t(second));

  desktop.setTitle(second, SimTitle::of("Chat 2"));
  observer.reset();  // already on its way, but never delivered
  dispatcher.runUntilIdle();
  EXPECT_EQ(heard.size(), 2u);
}

}  // namespace
}  // namespace corvane::sim
