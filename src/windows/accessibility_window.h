// Finding the accessibility element of a window-server window, shared by the meeting-window
// classifier and the title-bar measurement.
//
// Threading: main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <sys/types.h>
#include <vector>

#include "base/geometry.h"
#include "platform/accessibility.h"

namespace corvane {

class WindowTracker;

namespace AccessibilityWindow {

// Two frames name the same window when their origins and sizes each differ by less than this.
inline constexpr double frameTolerance = 24;

// The processes that may publish the accessibility window of a window owned by `ownerPID`: the
// owner first, then the rest of its hub family (a hub draws some windows from helper processes).
std::vector<pid_t> candidatePIDs(const WindowTracker& tracker, pid_t ownerPID);

// Sets "AXManualAccessibility" to true on the process's application element, which makes
// applications built on embedded web engines publish their accessibility tree.
void enableManualAccessibility(Accessibility& accessibility, pid_t pid);

// The element's frame in screen space, from "AXPosition" and "AXSize"; absent when either is
// missing or of the wrong type.
std::optional<Rect> frame(Accessibility& accessibility, AXUIElement element, double mainDisplayHeight);

// Among the candidates' "AXWindows" of role "AXWindow", in process order then window order, the
// first whose "AXWindowNumber" is `windowNumber` or whose frame (wider and taller than 1 point) is
// within frameTolerance of `frame` (screen space) on origin and size.
std::optional<AXUIElement> find(Accessibility& accessibility, const std::vector<pid_t>& candidatePIDs,
                                int64_t windowNumber, const Rect& frame, double mainDisplayHeight);

}  // namespace AccessibilityWindow
}  // namespace corvane
