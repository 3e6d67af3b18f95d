#include "platform/window_server.h"

#include <cmath>
#include <limits>

namespace corvane {

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

}  // namespace corvane
