#include "platform/accessibility.h"

#include <cmath>

namespace corvane {

namespace {

template <typename T>
const T* held(const std::optional<AXValue>& value) {
  return value ? std::get_if<T>(&*value) : nullptr;
}

}  // namespace

std::optional<std::string> axString(const std::optional<AXValue>& value) {
  if (const auto* s = held<std::string>(value)) return *s;
  return std::nullopt;
}

std::optional<int64_t> axInteger(const std::optional<AXValue>& value) {
  if (const auto* i = held<int64_t>(value)) return *i;
  if (const auto* d = held<double>(value)) {
    // Only integral values that fit; 2^63 itself does not.
    if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -9223372036854775808.0 && *d < 9223372036854775808.0) {
      return int64_t(*d);
    }
  }
  return std::nullopt;
}

std::optional<Point> axPoint(const std::optional<AXValue>& value) {
  if (const auto* p = held<Point>(value)) return *p;
  return std::nullopt;
}

std::optional<Size> axSize(const std::optional<AXValue>& value) {
  if (const auto* s = held<Size>(value)) return *s;
  return std::nullopt;
}

std::optional<std::vector<AXUIElement>> axElements(const std::optional<AXValue>& value) {
  if (const auto* list = held<std::vector<AXUIElement>>(value)) return *list;
  return std::nullopt;
}

}  // namespace corvane
