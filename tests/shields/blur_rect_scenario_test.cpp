// A blur rectangle drawn during a share, played end to end through corvane-sim: the spreadsheet
// moves beneath it and the share never sees what lies under it.
#include <gtest/gtest.h>

#include <cstring>

#include "base/png.h"
#include "app/scenario_play.h"

namespace corvane {
namespace {

using json = nlohmann::json;

class BlurRectScenarioTest : public ScenarioPlayTest {
 protected:
  static bool hasRow(const json& picture, const std::string& title) {
    for (const auto& row : picture.value("menu", json::array())) {
      if (row["title"] == title) return true;
    }
    return false;
  }
  PixelBuffer image(const json& picture, const char* which) {
    std::string error;
    auto png = readPNG(picture[which].get<std::string>(), &error);
    EXPECT_TRUE(png) << error;
    return png ? std::move(*png) : PixelBuffer{};
  }
};

TEST_F(BlurRectScenarioTest, TheShareNeverSeesTheCellUnderTheRectangle) {
  const json r = report("blur-rect-spreadsheet.json");
  EXPECT_EQ(r["leaks"]["rectFrames"], 0) << r["leaks"].dump();
  EXPECT_EQ(r["leaks"]["steadyFrames"], 0);

  // The menu tells the user about draw mode, then counts the rectangle.
  EXPECT_TRUE(hasRow(picture(r, "draw-mode"), "Drawing a blur rect \u2014 \u2318\u00D73 or Esc to exit"));
  EXPECT_TRUE(hasRow(picture(r, "rect-drawn"), "1 blur rects"));

  // The middle of the salary cell (window-server space, one pixel per point).
  const int x = 820, y = 322;
  const PixelBuffer shared = image(picture(r, "cell-shared"), "share");
  const PixelBuffer frostShare = image(picture(r, "rect-drawn"), "share");
  const PixelBuffer frostLocal = image(picture(r, "rect-drawn"), "local");
  const PixelBuffer back = image(picture(r, "back"), "share");
  const PixelBuffer removed = image(picture(r, "removed"), "share");
  ASSERT_FALSE(shared.isEmpty() || frostShare.isEmpty() || frostLocal.isEmpty() || back.isEmpty() || removed.isEmpty());
  auto same = [&](const PixelBuffer& a, const PixelBuffer& b) { return std::memcmp(a.pixel(x, y), b.pixel(x, y), 4) == 0; };
  EXPECT_FALSE(same(shared, frostShare)) << "the share sees frost over the cell";
  EXPECT_TRUE(same(frostShare, frostLocal)) << "the user sees the same frost";
  EXPECT_TRUE(same(back, frostShare)) << "the cell came back beneath the same frost";
  EXPECT_TRUE(same(removed, shared)) << "a double-click removed the rectangle";
}

}  // namespace
}  // namespace corvane
