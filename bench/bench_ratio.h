// Reports each benchmark as a ratio to a baseline measured in the same run.
//
// Register pairs with the same prefix: "Subject/..." and the baseline named in ratioTo(). At the
// end of the run every subject's mean time per iteration is printed divided by its baseline's.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace corvane::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // subject benchmark name -> baseline benchmark name
  explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs) : pairs_(std::move(pairs)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nRatios to the baseline measured in this run:\n");
    for (const auto& [subject, baseline] : pairs_) {
      auto s = times_.find(subject);
      auto b = times_.find(baseline);
      if (s == times_.end() || b == times_.end() || b->second <= 0) {
        std::printf("  %s: not measured\n", subject.c_str());
        continue;
      }
      std::printf("  %s / %s = %.2f\n", subject.c_str(), baseline.c_str(), s->second / b->second);
    }
  }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
  std::map<std::string, double> times_;
};

}  // namespace corvane::bench
