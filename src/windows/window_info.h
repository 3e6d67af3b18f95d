// One on-screen window as the frost logic sees it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

#include "base/geometry.h"

namespace corvane {

struct WindowInfo {
  int64_t windowNumber = 0;
  pid_t ownerPID = 0;
  // Screen space: origin at the bottom-left of the main display, y up.
  Rect frame;
  // The window whose place in the stacking order stands for this one. Equal to windowNumber except
  // for windows of a process family that draws into a sibling process's window.
  int64_t stackingWindowNumber = 0;
  // Never an empty string: an empty title is stored as absent.
  std::optional<std::string> title;
  // The window's level (the list's layer): 0 for ordinary windows; above 0 for floating panels,
  // utility windows, modal panels and pop-ups, whose frost stands at their own level.
  int64_t level = 0;

  friend bool operator==(const WindowInfo&, const WindowInfo&) = default;
};

std::string describe(const WindowInfo& info);

}  // namespace corvane
