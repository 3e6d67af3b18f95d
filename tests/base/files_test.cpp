#include "base/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/json_limits.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  static std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  PrivateDirectory dir{fs::temp_directory_path().string(), "corvane-files-"};
  fs::path root{dir.path()};
};

TEST_F(FilesTest, ReadsOnlyRegularFilesAndNeverMoreThanTheLimit) {
  ASSERT_FALSE(root.empty());
  std::ofstream(root / "hundred") << std::string(100, 'x');
  auto whole = readRegularFile((root / "hundred").string(), 100);
  EXPECT_EQ(whole.status, FileContents::Status::ok);
  EXPECT_EQ(whole.bytes.size(), 100u);
  auto over = readRegularFile((root / "hundred").string(), 99);
  EXPECT_EQ(over.status, FileContents::Status::tooLarge);
  EXPECT_TRUE(over.bytes.empty());
  EXPECT_EQ(readRegularFile((root / "none").string(), 10).status, FileContents::Status::missing);

  // A FIFO without a writer would block a plain open for ever; a device never ends.
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(readRegularFile((root / "fifo").string(), 1 << 20).status, FileContents::Status::notRegular);
  EXPECT_EQ(readRegularFile("/dev/zero", 1 << 20).status, FileContents::Status::notRegular);
  EXPECT_EQ(readRegularFile(root.string(), 1 << 20).status, FileContents::Status::notRegular);

  std::string error;
  EXPECT_FALSE(readFileText("/dev/zero", &error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  EXPECT_FALSE(readFileText((root / "hundred").string(), &error, 10));
  EXPECT_NE(error.find("larger than 10 bytes"), std::string::npos) << error;
}

TEST_F(FilesTest, AnOutputReplacesALinkPlantedAtItsPathInsteadOfWritingThroughIt) {
  const fs::path victim = root / "victim.txt";
  std::ofstream(victim) << "precious";
  const fs::path viaSymlink = root / "out.png";
  const fs::path viaHardLink = root / "out2.png";
  fs::create_symlink(victim, viaSymlink);
  fs::create_hard_link(victim, viaHardLink);

  std::string error;
  ASSERT_TRUE(writeFileText("mine", viaSymlink.string(), &error)) << error;
  ASSERT_TRUE(writeFileBytes({'m', 'i', 'n', 'e'}, viaHardLink.string(), &error)) << error;
  EXPECT_EQ(slurp(victim), "precious");
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(viaSymlink)));
  EXPECT_EQ(slurp(viaSymlink), "mine");
  EXPECT_EQ(slurp(viaHardLink), "mine");
  EXPECT_EQ(fs::hard_link_count(victim), 1u);

  // Mode 0644 less the umask, and no temporary file left behind.
  struct stat st {};
  ASSERT_EQ(::stat(viaSymlink.c_str(), &st), 0);
  const mode_t mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(root)) ++entries;
  EXPECT_EQ(entries, 3u);

  // Failures are reported, never half done.
  EXPECT_FALSE(writeFileText("x", (root / "missing-dir" / "out.txt").string(), &error));
  EXPECT_FALSE(writeFileText("x", root.string() + "/", &error));
  fs::create_directory(root / "a-directory");
  EXPECT_FALSE(writeFileText("x", (root / "a-directory").string(), &error));
  EXPECT_TRUE(fs::is_directory(root / "a-directory"));
}

TEST_F(FilesTest, APrivateDirectoryIsNewOwnedAndGoesWithItsOwner) {
  std::string path;
  {
    PrivateDirectory a(root.string(), "x-");
    PrivateDirectory b(root.string(), "x-");
    ASSERT_FALSE(a.path().empty());
    EXPECT_NE(a.path(), b.path());
    struct stat st {};
    ASSERT_EQ(::lstat(a.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    std::ofstream(fs::path(a.path()) / "file") << "x";
    path = a.path();
  }
  EXPECT_FALSE(fs::exists(path));
  std::string error;
  PrivateDirectory nowhere((root / "missing").string(), "x-", &error);
  EXPECT_TRUE(nowhere.path().empty());
  EXPECT_FALSE(error.empty());
}

TEST(JsonLimitsTest, RefusesDocumentsNestedTooDeeplyWithoutOverflowingTheStack) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  std::string error;
  EXPECT_FALSE(parseBoundedJSON(deep, 256, &error));
  EXPECT_NE(error.find("nested deeper than 256"), std::string::npos) << error;
  EXPECT_TRUE(parseBoundedJSON("[[1]]", 3, &error));
  EXPECT_FALSE(parseBoundedJSON("[[1]]", 2, &error));
  EXPECT_FALSE(parseBoundedJSON("{\"a\": ", 10, &error));
  EXPECT_NE(error.find("not valid JSON"), std::string::npos) << error;
}

}  // namespace
}  // namespace corvane
