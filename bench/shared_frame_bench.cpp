// A 2560 × 1600 frame through the shared frame file: `write` of an opaque window image into the
// mapping and `fill` of the frame out of it into a pixel buffer, each as a ratio to memcpy of the
// same 16,384,000 bytes between two buffers. Target: at most 1.3 for each.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "base/files.h"
#include "bench_ratio.h"
#include "clearview/clear_view_shared_frame.h"

namespace {

using namespace corvane;

constexpr int kWidth = 2560;
constexpr int kHeight = 1600;
constexpr size_t kBytes = size_t(kWidth) * kHeight * 4;

struct Fixture {
  PrivateDirectory dir{std::filesystem::temp_directory_path().string(), "corvane-bench-frame-"};
  std::unique_ptr<ClearViewSharedFrame> frame = ClearViewSharedFrame::open(dir.path() + "/corvane-cv-1-1.shm", true);
  PixelBuffer image{kWidth, kHeight};
  PixelBuffer out{kWidth, kHeight};

  Fixture() {
    // An opaque window image with some variety, as window images are.
    for (size_t i = 0; i < image.bytes.size(); i += 4) {
      image.bytes[i] = uint8_t(i * 7);
      image.bytes[i + 1] = uint8_t(i >> 9);
      image.bytes[i + 2] = uint8_t(i >> 17);
      image.bytes[i + 3] = 0xFF;
    }
    if (!frame || !frame->write(image)) std::abort();  // touches every page of the mapping once
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void MemcpyFrame(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    std::memcpy(f.out.bytes.data(), f.image.bytes.data(), kBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
}
BENCHMARK(MemcpyFrame)->Unit(benchmark::kMillisecond);

void WriteFrame(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.frame->write(f.image));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
}
BENCHMARK(WriteFrame)->Unit(benchmark::kMillisecond);

void FillFrame(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.frame->fill(f.out));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBytes));
}
BENCHMARK(FillFrame)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter({{"WriteFrame", "MemcpyFrame"}, {"FillFrame", "MemcpyFrame"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
