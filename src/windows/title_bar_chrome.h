// Where the trailing cluster of a window's title-bar controls begins.
//
// For a protected window the overlay manager wants the smallest x of the buttons, icons and short
// texts in the right part of the title bar, so that it can lay the overlay out around them. The
// answer comes from the window's accessibility tree: elements of those roles within the top 56
// points of the window, centred right of 55 % of its width, and smaller than 220 × 48 points (a
// wide search field is not a control of the cluster). Walks are bounded (120 elements, 8 levels;
// menus never entered), and each answer, none included, is cached for 2 s per window.
//
// Threading: main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <sys/types.h>

#include "base/clock.h"
#include "base/geometry.h"
#include "platform/accessibility.h"

namespace corvane {

class WindowTracker;

class TitleBarChrome {
 public:
  static constexpr double cacheTTL = 2.0;
  static constexpr double bandHeight = 56;
  static constexpr double thresholdFraction = 0.55;
  static constexpr int walkElementLimit = 120;
  static constexpr int walkDepthLimit = 8;
  static constexpr double maxControlWidth = 220;
  static constexpr double maxControlHeight = 48;
  static constexpr size_t cachePruneSize = 256;

  // `accessibility` may be null: every answer is then none.
  TitleBarChrome(const WindowTracker& tracker, Accessibility* accessibility, const Clock& clock);
  TitleBarChrome(const TitleBarChrome&) = delete;
  TitleBarChrome& operator=(const TitleBarChrome&) = delete;

  // The process-wide instance installed at start-up. Calling shared() before installShared() is a
  // programming error and aborts.
  static TitleBarChrome& shared();
  static bool hasShared();
  static std::unique_ptr<TitleBarChrome> installShared(std::unique_ptr<TitleBarChrome> chrome);

  // The smallest x (screen space) of the window's trailing title-bar controls; none when there are
  // none, or without accessibility access. `windowFrame` is in screen space.
  std::optional<double> trailingClusterMinX(pid_t pid, int64_t windowNumber, const Rect& windowFrame);

 private:
  struct Entry {
    std::optional<double> minX;
    double expiresAt = 0;
  };

  std::optional<double> measure(pid_t pid, int64_t windowNumber, const Rect& windowFrame);
  void visit(AXUIElement element, int depth, int& visited, const Rect& band, double threshold, double height,
             std::optional<double>& minX);

  const WindowTracker& tracker_;
  Accessibility* accessibility_;
  const Clock& clock_;
  std::map<int64_t, Entry> cache_;
};

}  // namespace corvane
