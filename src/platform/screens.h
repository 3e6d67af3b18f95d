// Screens as the application framework reports them: frames in screen space (origin bottom-left of
// the main display, y up). The visible frame leaves out the menu bar and the Dock.
//
// Threading: main thread.
#pragma once

#include <optional>
#include <vector>

#include "base/geometry.h"
#include "platform/window_server.h"

namespace corvane {

struct ScreenInfo {
  Rect frame;
  Rect visibleFrame;
  std::optional<DisplayID> displayID;
};

class Screens {
 public:
  virtual ~Screens() = default;
  // The first screen is the main display (holding the menu bar).
  virtual std::vector<ScreenInfo> screens() = 0;
  virtual std::optional<ScreenInfo> mainScreen() = 0;
};

}  // namespace corvane
