#include "platform/window_server.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvane {

WindowListSelection::WindowListSelection(uint32_t options, WindowID relativeTo, std::optional<size_t> relativeIndex) {
  using namespace WindowListOption;
  onScreen_ = options & onScreenOnly;
  above_ = options & onScreenAboveWindow;
  below_ = options & onScreenBelowWindow;
  including_ = options & includingWindow;
  excludeDesktop_ = options & excludeDesktopElements;
  onlyVisible_ = onScreen_ || above_ || below_;
  if (above_ || below_ || including_) {
    if (relativeTo != 0 && relativeIndex) {
      reference_ = relativeIndex;
    } else if (relativeTo != 0 || !(above_ || below_)) {
      none_ = true;
    }
  }
}

std::optional<int64_t> asInteger(const WindowListField& field) {
  if (!field) return std::nullopt;
  if (const auto* i = std::get_if<int64_t>(&*field)) return *i;
  if (const auto* d = std::get_if<double>(&*field)) {
    // A number object bridges to an integer only when its value is exactly integral and in range.
    if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -9.2233720368547758e18 && *d < 9.2233720368547758e18) {
      return static_cast<int64_t>(*d);
    }
  }
  return std::nullopt;
}

std::optional<int32_t> asInt32(const WindowListField& field) {
  auto value = asInteger(field);
  if (!value || *value < std::numeric_limits<int32_t>::min() || *value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(*value);
}

std::optional<double> asDouble(const WindowListField& field) {
  if (!field) return std::nullopt;
  if (const auto* d = std::get_if<double>(&*field)) return *d;
  if (const auto* i = std::get_if<int64_t>(&*field)) return static_cast<double>(*i);
  return std::nullopt;
}

std::optional<bool> asBool(const WindowListField& field) {
  if (!field) return std::nullopt;
  if (const auto* b = std::get_if<bool>(&*field)) return *b;
  return std::nullopt;
}

std::optional<std::string> asString(const WindowListField& field) {
  if (!field) return std::nullopt;
  if (const auto* s = std::get_if<std::string>(&*field)) return *s;
  return std::nullopt;
}

std::optional<Rect> asBounds(const WindowListField& field) {
  if (!field) return std::nullopt;
  if (const auto* r = std::get_if<Rect>(&*field)) {
    if (r->isNull()) return std::nullopt;
    return *r;
  }
  return std::nullopt;
}

std::optional<PixelBuffer> WindowServer::createImageFromArray(Rect screenBounds, const std::vector<WindowID>& windows,
                                                              uint32_t imageOptions) {
  if (screenBounds.isNull() || screenBounds.isInfinite() || screenBounds.isEmpty()) return std::nullopt;
  const Rect area = screenBounds.standardized();
  std::optional<PixelBuffer> result;
  for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
    std::optional<PixelBuffer> image = createWindowImage(area, *it, imageOptions);
    if (!image || image->isEmpty()) continue;
    if (!result) {
      result = std::move(image);
      continue;
    }
    if (image->width != result->width || image->height != result->height) continue;
    // Source-over of premultiplied pixels: this window lies in front of what is there.
    for (int y = 0; y < result->height; ++y) {
      const uint8_t* s = image->pixel(0, y);
      uint8_t* d = result->pixel(0, y);
      for (int x = 0; x < result->width; ++x, s += 4, d += 4) {
        const unsigned keep = 255u - s[3];
        for (int c = 0; c < 4; ++c) d[c] = uint8_t(std::min(255u, s[c] + (d[c] * keep + 127) / 255));
      }
    }
  }
  return result;
}

std::map<WindowID, Rect> onScreenWindowBounds(WindowServer& windowServer) {
  std::map<WindowID, Rect> bounds;
  auto entries = windowServer.copyWindowInfo(WindowListOption::onScreenOnly, 0);
  if (!entries) return bounds;
  for (const WindowListEntry& entry : *entries) {
    const auto number = asInteger(entry.number);
    const auto rect = asBounds(entry.bounds);
    if (!number || *number < 0 || *number > int64_t(std::numeric_limits<WindowID>::max()) || !rect) continue;
    bounds[WindowID(*number)] = *rect;
  }
  return bounds;
}

}  // namespace corvane
