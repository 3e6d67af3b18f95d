#include "base/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace corvane {
namespace {

TEST(Format, IntegersStringsAndPercent) {
  EXPECT_EQ(format("%d blur rects", {2}), "2 blur rects");
  EXPECT_EQ(format("Watching %@", {std::string("Zoom, Slack")}), "Watching Zoom, Slack");
  EXPECT_EQ(format("Version %@", {"1.2.3"}), "Version 1.2.3");
  EXPECT_EQ(format("Step %d of %d", {1, 3}), "Step 1 of 3");
  EXPECT_EQ(format("%d %i %u", {std::numeric_limits<int64_t>::min(), -7, uint32_t(4294967295u)}),
            "-9223372036854775808 -7 4294967295");
  EXPECT_EQ(format("%u", {std::numeric_limits<uint64_t>::max()}), "18446744073709551615");
  EXPECT_EQ(format("vis=%d revealed=%d", {true, false}), "vis=1 revealed=0");
  EXPECT_EQ(format("%ld %lu %lld %zu", {1L, 2UL, 3LL, size_t(4)}), "1 2 3 4");
  EXPECT_EQ(format("100%% sure, %d%%", {5}), "100% sure, 5%");
  EXPECT_EQ(format("%@ / %@ / %@", {42, 0.1, std::string_view("view")}), "42 / 0.1 / view");
  EXPECT_EQ(format("%@", {static_cast<const char*>(nullptr)}), "(null)");
  EXPECT_EQ(format("no directives", {}), "no directives");
  // Text around directives is copied byte for byte, UTF-8 included.
  EXPECT_EQ(format("Live: %d/%d windows @ %.0f fps — share sees frost", {2, 3, 29.97}),
            "Live: 2/3 windows @ 30 fps — share sees frost");
}

TEST(Format, FixedPointRoundsLikePrintf) {
  struct Case {
    const char* fmt;
    double value;
    const char* expected;
  };
  // Ties go to even, but only true ties: most decimal "halves" are not exact in binary.
  const std::vector<Case> cases = {
      {"%.0f", 0.5, "0"},      {"%.0f", 1.5, "2"},      {"%.0f", 2.5, "2"},     {"%.0f", -2.5, "-2"},
      {"%.0f", -0.4, "-0"},    {"%.1f", 0.25, "0.2"},   {"%.1f", 0.35, "0.3"},  {"%.2f", 1.005, "1.00"},
      {"%.2f", 2.675, "2.67"}, {"%.2f", 0.125, "0.12"}, {"%.3f", 0.0005, "0.001"}, {"%.3f", 0.55, "0.550"},
      {"%.0f", 1e20, "100000000000000000000"},           {"%f", 1.0 / 3, "0.333333"},
      {"%.1f", INFINITY, "inf"}, {"%.1f", -INFINITY, "-inf"}, {"%.2f", NAN, "nan"},
  };
  for (const auto& c : cases) EXPECT_EQ(format(c.fmt, {c.value}), c.expected) << c.fmt << " " << c.value;
  // Integers are taken as numbers by %f.
  EXPECT_EQ(format("%.1f", {3}), "3.0");
  // Absurd precisions are capped rather than overflowing anything.
  EXPECT_EQ(format("%.999f", {1.0}), "1." + std::string(60, '0'));
}

TEST(Format, MismatchedArgumentsShowPlaceholdersAndGoOn) {
  EXPECT_EQ(format("%d and %d", {1}), "1 and (missing argument)");
  EXPECT_EQ(format("%@ %.2f", {}), "(missing argument) (missing argument)");
  // A wrong argument still uses its slot, so the ones after it stay in place.
  EXPECT_EQ(format("%d, %@", {"text", "next"}), "(wrong argument for %d), next");
  EXPECT_EQ(format("%u|%.1f|%d", {1.5, "x", 2}), "(wrong argument for %u)|(wrong argument for %.1f)|2");
  EXPECT_EQ(format("%d", {1, 2, 3}), "1");  // extras are ignored
  // Unknown directives are copied and take no argument; a dangling percent stays as it is.
  EXPECT_EQ(format("%s %x %d", {7}), "%s %x 7");
  EXPECT_EQ(format("50%", {}), "50%");
  EXPECT_EQ(format("%.2", {1.0}), "%.2");

  // Arguments can also be gathered at run time.
  std::vector<FormatArg> args = {1, 2.5};
  EXPECT_EQ(format("%d-%.1f", args), "1-2.5");
}

}  // namespace
}  // namespace corvane
