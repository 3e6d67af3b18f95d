#include "windows/title_bar_chrome.h"

#include <gtest/gtest.h>

#include "hub_desktop.h"

namespace corvane::hubtest {
namespace {

sim::SimAXElement at(std::string role, Rect frame, std::vector<sim::SimAXElement> children = {}) {
  sim::SimAXElement e = axElement(std::move(role), {}, std::move(children));
  e.frame = frame;
  return e;
}

class TitleBarChromeTest : public HubDesktop {
 protected:
  void SetUp() override {
    HubDesktop::SetUp();
    launch(slack, "com.tinyspeck.slackmacgap", "Slack");
  }
  // A 1000 × 700 window; the trailing cluster must be centred right of x = 100 + 550.
  WindowID window(std::vector<sim::SimAXElement> tree, double y = 100) {
    return addWindow(slack, {100, y, 1000, 700}, "Slack", tree);
  }
  std::optional<double> minX(WindowID w) { return chrome.trailingClusterMinX(slack, w, info(w).frame); }

  const pid_t slack = 600;
  TitleBarChrome chrome{tracker, &ax, dispatcher.clock()};
};

TEST_F(TitleBarChromeTest, FindsTheLeftEdgeOfTheTrailingControls) {
  const WindowID w = window({
      at("AXButton", {12, 14, 14, 14}),                                // the window's own buttons, on the left
      at("AXGroup", {0, 0, 1000, 52}, {at("AXButton", {800, 12, 60, 30}), at("AXImage", {880, 14, 24, 24})}),
      at("AXButton", {560, 10, 300, 36}),                              // a search field, too wide
      at("AXStaticText", {600, 4, 40, 50}),                            // too tall
      at("AXButton", {700, 200, 50, 30}),                              // below the title bar
      at("AXMenuBar", {0, 0, 1000, 24}, {at("AXMenuButton", {640, 2, 40, 20})}),
      at("AXCheckBox", {950, 40, 20, 20}),                             // reaches into the top 56 points
  });
  EXPECT_EQ(minX(w), 900.0);

  const WindowID leftOnly = window({at("AXButton", {12, 14, 14, 14}), at("AXButton", {500, 10, 80, 30})});
  EXPECT_EQ(minX(leftOnly), std::nullopt);
}

TEST_F(TitleBarChromeTest, WalksEightLevelsAndCachesEveryAnswerForTwoSeconds) {
  auto nested = [](int groups) {
    sim::SimAXElement e = at("AXButton", {900, 10, 30, 30});
    for (int i = 0; i < groups; ++i) e = axGroup({e});
    return e;
  };
  const WindowID deep = window({nested(8)}, 200);
  EXPECT_EQ(minX(deep), std::nullopt);
  const WindowID w = window({nested(7)});
  EXPECT_EQ(minX(w), 1000.0);
  EXPECT_EQ(ax.manualAccessibilitySets(slack), 2u);  // on every measurement

  setTree(w, {});
  setTree(deep, {nested(1)});
  dispatcher.advance(1.9);
  EXPECT_EQ(minX(w), 1000.0);
  EXPECT_EQ(minX(deep), std::nullopt);
  EXPECT_EQ(ax.manualAccessibilitySets(slack), 2u);
  dispatcher.advance(0.2);
  EXPECT_EQ(minX(w), std::nullopt);
  EXPECT_EQ(minX(deep), 1000.0);
}

TEST_F(TitleBarChromeTest, NothingWithoutTrust) {
  ax.setTrusted(false);
  EXPECT_EQ(minX(window({at("AXButton", {900, 10, 30, 30})})), std::nullopt);
  EXPECT_EQ(ax.attributeReads(), 0u);
}

}  // namespace
}  // namespace corvane::hubtest
