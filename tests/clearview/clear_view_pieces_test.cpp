#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/files.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "clearview/clear_view_frames.h"
#include "clearview/clear_view_log.h"
#include "clearview/mirror_window.h"
#include "clearview/raw_sample_factory.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_ui.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// A picture whose every pixel tells its own row and column.
PixelBuffer numbered(int w, int h) {
  PixelBuffer p(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* px = p.pixel(x, y);
      px[0] = uint8_t(x);
      px[1] = uint8_t(y);
      px[2] = 0;
      px[3] = 255;
    }
  }
  return p;
}

TEST(MirrorWindowCrop, TakesTheNamedPartOrTheWholeImage) {
  const PixelBuffer image = numbered(100, 200);
  struct Case {
    Rect unit;
    int x, y, w, h;
  };
  const Case cases[] = {
      {Rect(0, 0.5, 1, 0.5), 0, 0, 100, 100},       // the top half: unit origin bottom-left, pixels top-left
      {Rect(0.25, 0, 0.5, 0.25), 25, 150, 50, 50},  // a bottom middle part
      {Rect(0.5, 0.5, 1, 1), 50, 0, 50, 100},       // beyond the image: cut to it
      {Rect(0, 0, 0.01, 0.005), 0, 0, 100, 200},    // less than 2 x 2 pixels: the whole image
      {Rect(2, 2, 1, 1), 0, 0, 100, 200},           // outside: the whole image
  };
  for (const Case& c : cases) {
    const PixelBuffer part = MirrorWindow::crop(image, c.unit);
    EXPECT_EQ(part.width, c.w);
    EXPECT_EQ(part.height, c.h);
    EXPECT_EQ(part.pixel(0, 0)[0], uint8_t(c.x));
    EXPECT_EQ(part.pixel(0, 0)[1], uint8_t(c.y));
  }
}

class MirrorWindowTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  sim::SimDesktop desktop{dispatcher};
  MemoryLog log;
};

TEST_F(MirrorWindowTest, IsAnInvisibleToCapturesClickThroughWindowThatLaysOutItsVideo) {
  MirrorWindow window(desktop.ui(), log);
  EXPECT_EQ(window.sharingType(), ui::SharingType::none);
  EXPECT_EQ(window.collectionBehavior(), 337u);
  EXPECT_TRUE(window.ignoresMouseEvents());
  EXPECT_FALSE(window.canBecomeKey());
  EXPECT_FALSE(window.hasShadow());
  EXPECT_FALSE(window.isOpaque());

  window.setFrame(Rect(0, 0, 1000, 700), false);
  window.contentView()->setFrame(Rect(0, 0, 1000, 700));
  window.setContentPointSize(Size{800, 600});
  window.layoutVideo();
  EXPECT_EQ(window.videoView().frame(), Rect(0, 100, 800, 600));
  window.setContentsCrop(Rect(0, 0.5, 1, 0.5));
  window.layoutVideo();
  EXPECT_EQ(window.videoView().frame(), Rect(0, 0, 1000, 700));
}

TEST_F(MirrorWindowTest, AFailedLayerIsLoggedAndFlushedBeforeTheNextFrame) {
  MirrorWindow window(desktop.ui(), log);
  auto frame = std::make_shared<const PixelBuffer>(numbered(4, 4));
  window.videoView().fail("device lost");
  window.enqueue(ui::VideoSample{frame, 1, false});
  EXPECT_TRUE(log.contains("Local video layer failed: device lost"));
  EXPECT_EQ(window.videoView().displayedImage(), frame);
  EXPECT_TRUE(window.hasFrame());
  window.clearContents();
  EXPECT_FALSE(window.hasFrame());
  EXPECT_EQ(window.videoView().displayedImage(), nullptr);
}

TEST(RawSampleFactory, ReusesFreeBuffersOfOneSizeAndReplacesThePoolForAnother) {
  VirtualDispatcher clock;
  RawSampleFactory factory(clock);
  auto first = factory.makePixelBuffer(64, 32);
  const PixelBuffer* address = first.get();
  // Held elsewhere (shown by a view): a second buffer is made.
  auto second = factory.makePixelBuffer(64, 32);
  EXPECT_NE(second.get(), address);
  first.reset();
  EXPECT_EQ(factory.makePixelBuffer(64, 32).get(), address);
  EXPECT_EQ(factory.allocations(), 2u);
  auto other = factory.makePixelBuffer(32, 16);
  EXPECT_EQ(factory.poolWidth(), 32);
  EXPECT_EQ(factory.allocations(), 3u);
  EXPECT_FALSE(factory.makePixelBuffer(0, 16));

  auto sample = factory.sampleBuffer(other);
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->presentationTime, clock.mediaTime());
  EXPECT_TRUE(sample->displayImmediately);
  EXPECT_FALSE(factory.sampleBuffer(nullptr));
}

TEST(ClearViewFrames, ScalesCopiesAndEncodes) {
  const PixelBuffer image = numbered(10, 10);
  auto scaled = ClearViewFrames::pixelBuffer(image, Size{20.4, 0.5});
  ASSERT_TRUE(scaled);
  EXPECT_EQ(scaled->width, 20);
  EXPECT_EQ(scaled->height, 2);  // at least 2 pixels
  EXPECT_EQ(scaled->pixel(19, 1)[0], 9);
  PixelBuffer padded(4, 2);
  padded.bytesPerRow = 32;
  padded.bytes.assign(64, 7);
  auto copy = ClearViewFrames::image(padded);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->bytesPerRow, 16u);
  EXPECT_EQ(copy->bytes.size(), 32u);
  auto png = ClearViewFrames::png(image);
  ASSERT_TRUE(png);
  EXPECT_EQ(std::memcmp(png->data(), "\x89PNG", 4), 0);
  EXPECT_FALSE(ClearViewFrames::pixelBuffer(PixelBuffer(), std::nullopt));
}

class ClearViewLogTest : public ::testing::Test {
 protected:
  VirtualDispatcher clock{1000.0, 1'800'000'000.0};
  MemoryLog system;
  PrivateDirectory dir{fs::temp_directory_path().string(), "corvane-cvlog-"};
  std::string path = dir.path() + "/state/corvane/clearview.log";

  std::string contents() {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

TEST_F(ClearViewLogTest, TheFirstLineCreatesTheFileAndItsDirectoriesLaterLinesAppend) {
  ClearViewLog log(system, clock, path);
  log.line("Mirror host started pid 7 from /bin/corvane");
  clock.advance(61);
  log.line("second");
  EXPECT_EQ(contents(),
            "2027-01-15T08:16:40Z Mirror host started pid 7 from /bin/corvane\n2027-01-15T08:17:41Z second\n");
  EXPECT_EQ(system.lines(), (std::vector<std::string>{"[Corvane] Mirror host started pid 7 from /bin/corvane",
                                                      "[Corvane] second"}));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((dir.path() + "/state/corvane").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(ClearViewLogTest, NeverWritesThroughALink) {
  const std::string victim = dir.path() + "/victim";
  std::ofstream(victim) << "keep";
  fs::create_directories(dir.path() + "/state/corvane");
  fs::create_symlink(victim, path);
  ClearViewLog(system, clock, path).line("x");
  // A link in place of the corvane directory is refused too.
  fs::remove(path);
  fs::remove(dir.path() + "/state/corvane");
  fs::create_directories(dir.path() + "/elsewhere");
  fs::create_directory_symlink(dir.path() + "/elsewhere", dir.path() + "/state/corvane");
  ClearViewLog(system, clock, path).line("y");
  EXPECT_TRUE(fs::is_empty(dir.path() + "/elsewhere"));
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "keep");
  EXPECT_EQ(system.lines().size(), 2u);  // the system log still has both lines
}

TEST(ClearViewLogPath, FollowsTheStateDirectory) {
  EXPECT_EQ(ClearViewLog::defaultPath({{"XDG_STATE_HOME", "/s"}, {"HOME", "/h"}}), "/s/corvane/clearview.log");
  EXPECT_EQ(ClearViewLog::defaultPath({{"XDG_STATE_HOME", "relative"}, {"HOME", "/h"}}),
            "/h/.local/state/corvane/clearview.log");
  EXPECT_EQ(ClearViewLog::defaultPath({}), "");
}

}  // namespace
}  // namespace corvane
