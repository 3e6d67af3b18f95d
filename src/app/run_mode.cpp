#include "app/run_mode.h"

#include <algorithm>

namespace corvane {

namespace {

struct FlagRule {
  RunRole role;
  const char* flag;
  int argumentCount;
  bool firstIsWindowID;
};

// The order in which flags are tested.
constexpr FlagRule kRules[] = {
    {RunRole::mirrorHost, "--mirror-host", 0, false},
    {RunRole::captureDesktop, "--capture-desktop", 1, false},
    {RunRole::captureNotifications, "--capture-notifications", 1, false},
    {RunRole::captureLoop, "--capture-loop", 2, true},
    {RunRole::captureWindow, "--capture-window", 2, true},
    {RunRole::captureSCKWindow, "--capture-sck-window", 2, true},
    {RunRole::qaComposite, "--qa-composite", 3, false},
    {RunRole::captureDisplayStream, "--capture-display-stream", 1, false},
    {RunRole::captureDisplay, "--capture-display", 1, false},
};

std::optional<size_t> indexOf(const std::vector<std::string>& arguments, std::string_view flag) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == flag) return i;
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint32_t> parseWindowID(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + uint64_t(c - '0');
    if (value > 4294967295ULL) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::vector<std::string> splitExcludedApps(std::string_view text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    if (comma > start) pieces.emplace_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return pieces;
}

RunMode decideRunMode(const std::vector<std::string>& arguments) {
  for (const auto& rule : kRules) {
    auto index = indexOf(arguments, rule.flag);
    if (!index) continue;
    size_t i = *index;
    // The flag's last argument must be a valid index: i + n < count.
    if (i + size_t(rule.argumentCount) >= arguments.size()) continue;
    RunMode mode;
    mode.role = rule.role;
    size_t next = i + 1;
    if (rule.firstIsWindowID) {
      auto wid = parseWindowID(arguments[next]);
      if (!wid) continue;
      mode.windowID = *wid;
      ++next;
    }
    for (; next <= i + size_t(rule.argumentCount); ++next) mode.paths.push_back(arguments[next]);
    if (rule.role == RunRole::captureDisplay) {
      if (auto ex = indexOf(arguments, "--excluding-apps"); ex && *ex + 1 < arguments.size()) {
        mode.excludedBundleIDs = splitExcludedApps(arguments[*ex + 1]);
      }
    }
    return mode;
  }
  return RunMode{};
}

const char* roleFlag(RunRole role) {
  for (const auto& rule : kRules) {
    if (rule.role == role) return rule.flag;
  }
  return "";
}

}  // namespace corvane
