#include "base/localization.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace corvane {
namespace {

class Localization : public ::testing::Test {
 protected:
  void SetUp() override { localizationRegistry().clear(); }
  void TearDown() override {
    installLocalizationTable(nullptr);
    localizationRegistry().clear();
  }
};

TEST_F(Localization, TranslationFromTheInstalledTableElseTheKey) {
  EXPECT_EQ(localized("Blur", "Button to re-blur this window"), "Blur");
  auto path = std::filesystem::temp_directory_path() / ("corvane-l10n-" + std::to_string(getpid()) + ".json");
  std::ofstream(path) << R"({"Blur": "Flouter", "Step %d of %d": "Étape %d sur %d"})";
  std::string error;
  auto table = LocalizationTable::loadFile(path.string(), &error);
  std::filesystem::remove(path);
  ASSERT_TRUE(table) << error;
  installLocalizationTable(std::make_shared<LocalizationTable>(*table));
  EXPECT_EQ(localized("Blur", "Button to re-blur this window"), "Flouter");
  EXPECT_EQ(localized("Step %d of %d", "Onboarding step counter"), "Étape %d sur %d");
  EXPECT_EQ(localized("Reveal", "Button to temporarily unblur this window"), "Reveal");
  installLocalizationTable(nullptr);
  EXPECT_EQ(localized("Blur", "Button to re-blur this window"), "Blur");
}

TEST_F(Localization, BadTablesAreRejectedWithAReason) {
  std::string error;
  EXPECT_FALSE(LocalizationTable::fromJSON("{\"Blur\": ", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(LocalizationTable::fromJSON("[\"Blur\"]", &error));
  EXPECT_NE(error.find("object"), std::string::npos);
  EXPECT_FALSE(LocalizationTable::fromJSON(R"({"Blur": 3})", &error));
  EXPECT_NE(error.find("Blur"), std::string::npos);
  EXPECT_FALSE(LocalizationTable::loadFile("/nonexistent/corvane/table.json", &error));
  EXPECT_NE(error.find("/nonexistent/corvane/table.json"), std::string::npos);
}

TEST_F(Localization, RegistryRecordsEveryKeyWithItsComment) {
  localized("Reveal", "Button to temporarily unblur this window");
  localized("Reveal", "Button to temporarily unblur this window");
  localized("OK", "Generic OK button");
  localized("OK", "Another OK");  // the same text with a second comment is kept apart
  EXPECT_TRUE(localizationRegistry().contains("Reveal", "Button to temporarily unblur this window"));
  EXPECT_FALSE(localizationRegistry().contains("Reveal", "Button to re-blur this window"));
  EXPECT_EQ(localizationRegistry().commentsFor("OK"), (std::vector<std::string>{"Another OK", "Generic OK button"}));
  EXPECT_EQ(localizationRegistry().entries().size(), 3u);
}

}  // namespace
}  // namespace corvane
