// Logging. Lifecycle lines go to the system log ("Corvane: " prefix is the caller's); helper
// processes write to standard error. A sink may be called from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void log(std::string_view line) = 0;
};

// Writes each line to standard error, followed by a newline.
class StderrLog final : public LogSink {
 public:
  void log(std::string_view line) override;
};

// Keeps every line in memory; for tests and the simulated desktop.
class MemoryLog final : public LogSink {
 public:
  void log(std::string_view line) override;
  std::vector<std::string> lines() const;
  bool contains(std::string_view fragment) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace corvane
