#include "clearview/clear_view_shared_frame.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "base/files.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using F = ClearViewSharedFrame;

// A picture of one colour (BGRA, premultiplied).
PixelBuffer solid(int w, int h, uint32_t bgra) {
  PixelBuffer p(w, h);
  for (size_t i = 0; i + 4 <= p.bytes.size(); i += 4) std::memcpy(&p.bytes[i], &bgra, 4);
  return p;
}
uint32_t at(const PixelBuffer& p, int x, int y) {
  uint32_t v;
  std::memcpy(&v, p.pixel(x, y), 4);
  return v;
}

class SharedFrameTest : public ::testing::Test {
 protected:
  PrivateDirectory dir{fs::temp_directory_path().string(), "corvane-frame-"};
  std::string path = dir.path() + "/" + sharedFrameFileName(SharedFrameOwner::windowMirror, 77, 12);

  std::unique_ptr<F> create() {
    std::string error;
    auto frame = F::open(path, true, &error);
    EXPECT_TRUE(frame) << error;
    return frame;
  }
  // The file as plain bytes, read without the class.
  std::string bytes() {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static uint32_t u32(const std::string& b, size_t offset) {
    uint32_t v;
    std::memcpy(&v, b.data() + offset, 4);
    return v;
  }
  static double f64(const std::string& b, size_t offset) {
    double v;
    std::memcpy(&v, b.data() + offset, 8);
    return v;
  }
  static void poke32(F& f, size_t offset, uint32_t value) { std::memcpy(f.map() + offset, &value, 4); }
  static void pokeRect(F& f, size_t offset, Rect r) {
    const double v[4] = {r.origin.x, r.origin.y, r.size.width, r.size.height};
    std::memcpy(f.map() + offset, v, sizeof v);
  }
};

TEST_F(SharedFrameTest, TheFileHoldsTheLayoutByteForByteForAnyReaderThatKnowsOnlyTheOffsets) {
  auto frame = create();
  ASSERT_TRUE(frame);
  PixelBuffer image(3, 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) {
      const uint32_t v = 0xFF000000u | uint32_t(y * 3 + x + 1) * 0x010203u;
      std::memcpy(image.pixel(x, y), &v, 4);
    }
  ASSERT_TRUE(frame->write(image));
  frame->setDesktopCapture({5, 6}, Rect(10, 20, 300, 200));
  frame->setContentBounds(9, Rect(1, 2, 3, 4));

  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string b = bytes();
  ASSERT_EQ(b.size(), 16'388'096u);
  EXPECT_EQ(b.substr(0, 4), "1FVC");
  EXPECT_EQ(u32(b, 4), 1u);   // frameSequence
  EXPECT_EQ(u32(b, 8), 3u);   // width
  EXPECT_EQ(u32(b, 12), 2u);  // height
  EXPECT_EQ(u32(b, 24), 2u);  // captureWindowCount
  EXPECT_EQ(u32(b, 28), 5u);
  EXPECT_EQ(u32(b, 32), 6u);
  EXPECT_EQ(u32(b, 36), 0u);
  EXPECT_EQ(f64(b, 64), 10.0);
  EXPECT_EQ(f64(b, 88), 200.0);
  EXPECT_EQ(f64(b, 96), 1.0);
  EXPECT_EQ(f64(b, 120), 4.0);
  EXPECT_EQ(u32(b, 128), 9u);
  // Rows without padding from offset 4096.
  EXPECT_EQ(0, std::memcmp(b.data() + 4096, image.bytes.data(), 3 * 2 * 4));
  EXPECT_EQ(b.find_first_not_of('\0', 132), 4096u) << "reserved bytes stay zero";

  // A second mapping of the same file sees the first one's stores at once.
  auto reader = F::open(path, false);
  ASSERT_TRUE(reader);
  frame->pause();
  EXPECT_TRUE(reader->paused());
  PixelBuffer copy(3, 2);
  ASSERT_TRUE(reader->fill(copy));
  EXPECT_EQ(copy.bytes, image.bytes);
}

TEST_F(SharedFrameTest, WriteClampsSqueezesBlendsAndCountsFrames) {
  auto frame = create();
  ASSERT_TRUE(frame);

  // Too small or malformed: nothing changes.
  PixelBuffer malformed(4, 4);
  malformed.bytes.resize(10);
  for (const PixelBuffer& bad : {solid(1, 100, 0xFF0000FFu), solid(100, 1, 0xFF0000FFu), PixelBuffer(), malformed}) {
    EXPECT_FALSE(frame->write(bad));
    EXPECT_EQ(frame->frameSequence(), 0u);
    EXPECT_EQ(frame->width(), 0u);
  }

  // Wider than the limit without prior scaling: squeezed, not cropped (the right edge's colour
  // still lands in the last column).
  PixelBuffer wide = solid(3000, 1000, 0xFF0000FFu);
  for (int y = 0; y < 1000; ++y) std::memset(wide.pixel(2990, y), 0xFF, 10 * 4);
  ASSERT_TRUE(frame->write(wide));
  EXPECT_EQ(frame->width(), 2560u);
  EXPECT_EQ(frame->height(), 1000u);
  PixelBuffer stored(2560, 1000);
  ASSERT_TRUE(frame->fill(stored));
  EXPECT_EQ(at(stored, 0, 0), 0xFF0000FFu);
  EXPECT_EQ(at(stored, 2559, 999), 0xFFFFFFFFu);
  EXPECT_EQ(at(stored, 2540, 500), 0xFF0000FFu);

  const PixelBuffer fitted = scaledToFitSharedFrame(wide);
  EXPECT_EQ(fitted.width, 2560);
  EXPECT_EQ(fitted.height, 853);
  const PixelBuffer tall = scaledToFitSharedFrame(solid(10, 100000, 0xFF00FF00u));
  EXPECT_EQ(tall.width, 2) << "a side never drops below 2";
  EXPECT_EQ(tall.height, 1600);
  EXPECT_EQ(at(tall, 1, 800), 0xFF00FF00u);
  const PixelBuffer small = solid(7, 5, 1);
  EXPECT_EQ(scaledToFitSharedFrame(small).bytes, small.bytes);

  // Source-over onto what the area holds: half-transparent red over opaque blue.
  ASSERT_TRUE(frame->write(solid(4, 4, 0xFF0000FFu)));  // B=0xFF
  ASSERT_TRUE(frame->write(solid(4, 4, 0x80800000u)));  // R=0x80, A=0x80
  PixelBuffer blended(4, 4);
  ASSERT_TRUE(frame->fill(blended));
  EXPECT_EQ(at(blended, 2, 2), 0xFF80007Fu);
  EXPECT_EQ(frame->frameSequence(), 3u);

  // The sequence wraps.
  poke32(*frame, F::Offset::frameSequence, 0xFFFFFFFFu);
  ASSERT_TRUE(frame->write(solid(2, 2, 0)));
  EXPECT_EQ(frame->frameSequence(), 0u);
}

TEST_F(SharedFrameTest, CaptureRequestsAndContentBoundsReadOnlyWhatIsValid) {
  auto frame = create();
  ASSERT_TRUE(frame);
  frame->setDesktopCapture({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, Rect(0, 0, 100, 50));
  auto request = frame->desktopCapture();
  EXPECT_EQ(request.windowIDs, (std::vector<WindowID>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(request.rect, Rect(0, 0, 100, 50));
  // A rectangle of negative size is stored standardised.
  frame->setDesktopCapture({4}, Rect(100, 100, -40, -30));
  EXPECT_EQ(frame->desktopCapture().rect, Rect(60, 70, 40, 30));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::vector<WindowID> ids;
    Rect rect;
  };
  for (const Case& c : {Case{{}, Rect(0, 0, 100, 100)}, Case{{1}, Rect(0, 0, 2, 100)}, Case{{1}, Rect(0, 0, 100, 2)},
                        Case{{1}, Rect(0, 0, nan, 100)}}) {
    frame->setDesktopCapture(c.ids, c.rect);
    EXPECT_TRUE(frame->desktopCapture().windowIDs.empty());
    EXPECT_TRUE(frame->desktopCapture().rect.isNull());
  }
  // A count beyond eight written by someone else is no request.
  frame->setDesktopCapture({1}, Rect(0, 0, 10, 10));
  poke32(*frame, F::Offset::captureWindowCount, 9);
  EXPECT_TRUE(frame->desktopCapture().windowIDs.empty());

  frame->setContentBounds(41, Rect(5, 6, 7, 8));
  EXPECT_EQ(frame->contentBounds().sequence, 41u);
  EXPECT_EQ(frame->contentBounds().rect, Rect(5, 6, 7, 8));
  for (Rect r : {Rect(5, 6, 0, 8), Rect(5, 6, 7, -1), Rect(nan, 0, 4, 4), Rect(0, 0, inf, 4)}) {
    pokeRect(*frame, F::Offset::contentRect, r);
    EXPECT_TRUE(frame->contentBounds().rect.isNull());
  }
}

TEST_F(SharedFrameTest, FillAndTheReaderSkipFramesOutsideTheLimitsAndCopyNothing) {
  auto frame = create();
  ASSERT_TRUE(frame);
  ASSERT_TRUE(frame->write(solid(6, 4, 0xFF112233u)));

  // The buffer must have the header's size; a wider stride is copied row by row.
  for (auto [w, h] : {std::pair{5, 4}, std::pair{6, 3}}) {
    PixelBuffer wrong = solid(w, h, 7);
    EXPECT_FALSE(frame->fill(wrong));
    EXPECT_EQ(at(wrong, 0, 0), 7u);
  }
  PixelBuffer strided(6, 4);
  strided.bytesPerRow = 6 * 4 + 16;
  strided.bytes.assign(strided.bytesPerRow * 4, 0xAB);
  ASSERT_TRUE(frame->fill(strided));
  EXPECT_EQ(at(strided, 5, 3), 0xFF112233u);
  EXPECT_EQ(strided.bytes[6 * 4], 0xAB) << "the padding of a row is not written";

  SharedFrameReader reader;
  auto first = reader.nextFrame(*frame);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->width, 6);
  EXPECT_FALSE(reader.nextFrame(*frame)) << "the same sequence is read once";

  ASSERT_TRUE(frame->write(solid(6, 4, 0)));
  frame->pause();
  EXPECT_FALSE(reader.nextFrame(*frame)) << "nothing is read while paused";
  frame->resume();
  EXPECT_TRUE(reader.nextFrame(*frame));

  // Hostile header sizes: refused by fill, consumed (not retried) by the reader.
  for (auto [w, h] : {std::pair{2561u, 4u}, std::pair{6u, 1601u}, std::pair{1u, 4u}, std::pair{0xFFFFFFFFu, 0xFFFFFFFFu}}) {
    poke32(*frame, F::Offset::width, w);
    poke32(*frame, F::Offset::height, h);
    poke32(*frame, F::Offset::frameSequence, frame->frameSequence() + 1);
    EXPECT_FALSE(reader.nextFrame(*frame));
    EXPECT_EQ(reader.lastConsumed(), frame->frameSequence());
  }
  poke32(*frame, F::Offset::width, 6);
  poke32(*frame, F::Offset::height, 4);
  EXPECT_FALSE(reader.nextFrame(*frame)) << "a consumed bad frame is not retried once mended";
}

TEST_F(SharedFrameTest, OwnerCreatesPausesStopsAndRemovesAndCreatingStartsAfresh) {
  {
    std::ofstream(path) << std::string(100, 'x');
  }
  auto owner = F::createForOwner(path, true);
  ASSERT_TRUE(owner);
  const std::string b = bytes();
  EXPECT_EQ(b.size(), F::FileSize);
  EXPECT_EQ(u32(b, 0), F::Magic);
  EXPECT_EQ(b.find_first_not_of('\0', 4), 16u) << "zero-filled apart from magic and paused";
  EXPECT_TRUE(owner->paused());
  EXPECT_FALSE(owner->stop());
  owner->resume();
  EXPECT_FALSE(owner->paused());
  owner->requestStop();
  EXPECT_TRUE(owner->paused());
  EXPECT_TRUE(owner->stop());

  // A reader that still maps the old file keeps it when the owner creates anew.
  auto oldReader = F::open(path, false);
  ASSERT_TRUE(oldReader);
  auto fresh = F::createForOwner(path, false);
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(oldReader->stop());
  EXPECT_FALSE(fresh->stop());

  EXPECT_TRUE(fresh->removeFile());
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(F::open(path, false)) << "a missing file is no frame";
}

TEST_F(SharedFrameTest, OpeningRefusesLinksShortFilesAndNonRegularFiles) {
  const fs::path root(dir.path());
  const fs::path victim = root / "victim";
  std::ofstream(victim) << std::string(F::FileSize, 'v');
  fs::create_symlink(victim, root / "link.shm");
  std::ofstream(root / "short.shm") << std::string(F::FileSize - 1, 's');
  ASSERT_EQ(::mkfifo((root / "fifo.shm").c_str(), 0600), 0);
  fs::create_directory(root / "dir.shm");

  std::string error;
  for (const char* name : {"link.shm", "short.shm", "fifo.shm", "dir.shm", "missing.shm"}) {
    EXPECT_FALSE(F::open((root / name).string(), false, &error)) << name;
    EXPECT_FALSE(error.empty());
  }

  // Creating where a link was planted replaces the link; the file it named is not touched.
  ASSERT_TRUE(F::open((root / "link.shm").string(), true));
  EXPECT_FALSE(fs::is_symlink(root / "link.shm"));
  EXPECT_EQ(fs::file_size(victim), F::FileSize);
  std::ifstream in(victim, std::ios::binary);
  EXPECT_EQ(in.get(), 'v');
}

// The private directory: made 0700 when missing, refused (and nothing created in it) when it is a
// link, open to others or someone else's.
TEST_F(SharedFrameTest, FilesAreCreatedOnlyInADirectoryPrivateToTheUser) {
  EXPECT_EQ(userRuntimeDirectoryPath("/run/user/1000", 1000), "/run/user/1000/corvane");
  EXPECT_EQ(userRuntimeDirectoryPath("/run/user/1000//", 1000), "/run/user/1000/corvane");
  EXPECT_EQ(userRuntimeDirectoryPath(nullptr, 1000), "/tmp/corvane-1000");
  EXPECT_EQ(userRuntimeDirectoryPath("", 5), "/tmp/corvane-5");
  EXPECT_EQ(userRuntimeDirectoryPath("relative/dir", 5), "/tmp/corvane-5");
  EXPECT_EQ(sharedFrameFileName(SharedFrameOwner::desktopMirror, 400, 1), "corvane-desktop-400-1.shm");
  EXPECT_EQ(sharedFrameFileName(SharedFrameOwner::notificationGuard, 400, 4294967295u), "corvane-notify-400-4294967295.shm");

  const fs::path root(dir.path());
  const fs::path made = root / "corvane";
  ASSERT_TRUE(ensurePrivateDirectoryOfUser(made.string()));
  EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_TRUE(ensurePrivateDirectoryOfUser(made.string())) << "an existing private directory is used";

  const fs::path elsewhere = root / "elsewhere";
  fs::create_directory(elsewhere);
  fs::create_directory_symlink(elsewhere, root / "linked");
  fs::create_directory(root / "open");
  fs::permissions(root / "open", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  std::vector<fs::path> refused = {root / "linked", root / "open"};
  if (::geteuid() == 0) {  // only root can give a directory away
    fs::create_directory(root / "theirs", made);
    fs::permissions(root / "theirs", fs::perms::owner_all);
    ASSERT_EQ(::chown((root / "theirs").c_str(), 4321, 4321), 0);
    refused.push_back(root / "theirs");
  }
  for (const fs::path& d : refused) {
    std::string error;
    EXPECT_FALSE(ensurePrivateDirectoryOfUser(d.string(), &error)) << d;
    EXPECT_FALSE(F::open((d / "corvane-cv-1-1.shm").string(), true, &error)) << d;
    EXPECT_FALSE(fs::exists(d / "corvane-cv-1-1.shm")) << d;
  }
  EXPECT_TRUE(fs::is_empty(elsewhere));
  EXPECT_EQ(fs::status(root / "open").permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec)
      << "a refused directory is not changed";
}

}  // namespace
}  // namespace corvane
