// One mirror plate's frame path: reading a 2560 x 1600 frame from a shared frame file into a pooled
// buffer and making the sample that is handed to presentation, as a ratio to a memcpy of the
// frame's bytes (target: at most 1.5). And the protocol's encoding and decoding of an "attach"
// line, as a ratio to copying the line.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "base/files.h"
#include "base/virtual_dispatcher.h"
#include "clearview/clear_view_shared_frame.h"
#include "mirrorhost/mirror_host.h"
#include "mirrorhost/mirror_host_protocol.h"

namespace {

using namespace corvane;

constexpr int kWidth = 2560;
constexpr int kHeight = 1600;

struct FrameFile {
  PrivateDirectory dir{std::filesystem::temp_directory_path().string(), "corvane-bench-"};
  std::unique_ptr<ClearViewSharedFrame> frame;

  FrameFile() {
    frame = ClearViewSharedFrame::createForOwner(dir.path() + "/corvane-cv-1-1.shm", false);
    if (!frame) return;
    PixelBuffer image(kWidth, kHeight);
    for (size_t i = 0; i < image.bytes.size(); ++i) image.bytes[i] = uint8_t(i * 31);
    frame->write(image);
  }
};

void FrameMemcpy(benchmark::State& state) {
  FrameFile file;
  std::vector<uint8_t> destination(size_t(kWidth) * kHeight * 4);
  for (auto _ : state) {
    std::memcpy(destination.data(), file.frame->map() + ClearViewSharedFrame::Offset::pixels, destination.size());
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(FrameMemcpy)->Unit(benchmark::kMicrosecond);

void PlateFramePath(benchmark::State& state) {
  FrameFile file;
  VirtualDispatcher clock;
  PlateFrameReader reader(clock);
  reader.setFile(std::shared_ptr<ClearViewSharedFrame>(std::move(file.frame)));
  const ClearViewSharedFrame& frame = *reader.file();
  std::optional<ui::VideoSample> sample;
  for (auto _ : state) {
    const uint32_t next = frame.frameSequence() + 1;
    std::memcpy(frame.map() + ClearViewSharedFrame::Offset::frameSequence, &next, 4);
    if (reader.read(sample) != PlateFrameReader::Outcome::frame) state.SkipWithError("no frame");
    benchmark::DoNotOptimize(sample->image.get());
    sample.reset();  // presented and replaced by the next one: the buffer goes back to the pool
  }
}
BENCHMARK(PlateFramePath)->Unit(benchmark::kMicrosecond);

const std::string kAttachLine = R"({"cmd":"attach","id":3,"above":812,"level":25})";

void AttachLineCopy(benchmark::State& state) {
  for (auto _ : state) {
    std::string copy = kAttachLine;
    copy.push_back('\n');
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(AttachLineCopy);

void AttachLineEncodeDecode(benchmark::State& state) {
  const MirrorHostCommand attach{.cmd = MirrorHostCommandKind::attach, .id = 3, .above = 812, .level = 25};
  for (auto _ : state) {
    auto line = encodeLine(attach);
    auto decoded = decodeCommand(std::string_view(*line).substr(0, line->size() - 1));
    benchmark::DoNotOptimize(decoded);
  }
}
BENCHMARK(AttachLineEncodeDecode);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter(
      {{"PlateFramePath", "FrameMemcpy"}, {"AttachLineEncodeDecode", "AttachLineCopy"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
