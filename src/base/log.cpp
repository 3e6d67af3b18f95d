#include "base/log.h"

#include <cstdio>
#include <string>

namespace corvane {

void StderrLog::log(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void MemoryLog::log(std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.emplace_back(line);
}

std::vector<std::string> MemoryLog::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool MemoryLog::contains(std::string_view fragment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& l : lines_) {
    if (l.find(fragment) != std::string::npos) return true;
  }
  return false;
}

void MemoryLog::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

}  // namespace corvane
