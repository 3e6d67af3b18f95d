// Value types and constants of the windows-and-views port, with the reference platform's numbers
// (style masks, sharing types, collection behaviours, visual-effect materials, ...).
#pragma once

#include <cstdint>
#include <utility>

#include "base/geometry.h"

namespace corvane::ui {

// An RGBA colour, components 0...1, not premultiplied.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 0;

  static Color clear() { return {}; }
  static Color black(double alpha = 1) { return {0, 0, 0, alpha}; }
  static Color white(double alpha = 1) { return {1, 1, 1, alpha}; }
  // A grey of the given lightness (0 black ... 1 white).
  static Color calibratedWhite(double white, double alpha) { return {white, white, white, alpha}; }
  Color withAlphaComponent(double a) const { return {red, green, blue, a}; }

  friend bool operator==(const Color&, const Color&) = default;
};

namespace StyleMask {
constexpr uint64_t borderless = 0;
constexpr uint64_t titled = 1;
constexpr uint64_t closable = 2;
constexpr uint64_t miniaturizable = 4;
constexpr uint64_t resizable = 8;
constexpr uint64_t nonactivatingPanel = 128;
}  // namespace StyleMask

enum class BackingStoreType : int { retained = 0, nonretained = 1, buffered = 2 };

// Whether captures of the screen see the window.
enum class SharingType : int { none = 0, readOnly = 1, readWrite = 2 };

namespace CollectionBehavior {
constexpr uint64_t canJoinAllSpaces = 1;
constexpr uint64_t moveToActiveSpace = 2;
constexpr uint64_t managed = 4;
constexpr uint64_t transient = 8;
constexpr uint64_t stationary = 16;
constexpr uint64_t participatesInCycle = 32;
constexpr uint64_t ignoresCycle = 64;
constexpr uint64_t fullScreenPrimary = 128;
constexpr uint64_t fullScreenAuxiliary = 256;
}  // namespace CollectionBehavior

// Window levels the port itself sets (a floating panel's level); any integer level is allowed.
namespace WindowLevel {
constexpr int64_t normal = 0;
constexpr int64_t floating = 3;
}  // namespace WindowLevel

// Where an ordering call puts a window relative to another one.
enum class WindowOrderingMode : int { below = -1, out = 0, above = 1 };

enum class VisualEffectMaterial : int {
  titlebar = 3,
  selection = 4,
  menu = 5,
  popover = 6,
  sidebar = 7,
  headerView = 10,
  sheet = 11,
  windowBackground = 12,
  hudWindow = 13,
  fullScreenUI = 15,
  toolTip = 17,
};
// behindWindow blurs what lies behind the window; withinWindow blends with the window's own content.
enum class VisualEffectBlendingMode : int { behindWindow = 0, withinWindow = 1 };
enum class VisualEffectState : int { followsWindowActiveState = 0, active = 1, inactive = 2 };

enum class FontWeight : int { regular = 0, medium = 1, semibold = 2, bold = 3 };

struct Font {
  double pointSize = 13;
  FontWeight weight = FontWeight::regular;

  static Font systemFont(double size, FontWeight weight = FontWeight::regular) { return {size, weight}; }
  friend bool operator==(const Font&, const Font&) = default;
};

enum class ImagePosition : int {
  noImage = 0,
  imageOnly = 1,
  imageLeft = 2,
  imageRight = 3,
  imageBelow = 4,
  imageAbove = 5,
  imageOverlaps = 6,
  imageLeading = 7,
  imageTrailing = 8,
};

enum class ImageResizingMode : int { tile = 0, stretch = 1 };

struct EdgeInsets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
  friend bool operator==(const EdgeInsets&, const EdgeInsets&) = default;
};

enum class FillRule { nonZero, evenOdd };

enum class AnimationTiming { linear, easeIn, easeOut, easeInEaseOut, defaultTiming };

// Stores `value` in `field` when it differs; true when it changed. Views and controls set a
// property only when its value changes.
template <typename T>
bool assignIfChanged(T& field, T value) {
  if (field == value) return false;
  field = std::move(value);
  return true;
}

}  // namespace corvane::ui
