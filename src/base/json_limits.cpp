#include "base/json_limits.h"

#include <utility>
#include <vector>

namespace corvane {

bool jsonDeeperThan(const nlohmann::json& value, size_t limit) {
  std::vector<std::pair<const nlohmann::json*, size_t>> stack{{&value, 1}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (depth > limit) return true;
    if (node->is_structured()) {
      for (const auto& child : *node) stack.emplace_back(&child, depth + 1);
    }
  }
  return false;
}

std::optional<nlohmann::json> parseBoundedJSON(std::string_view text, size_t maxDepth, std::string* error) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::exception& e) {
    if (error) *error = std::string("not valid JSON: ") + e.what();
    return std::nullopt;
  }
  if (jsonDeeperThan(document, maxDepth)) {
    if (error) *error = "nested deeper than " + std::to_string(maxDepth) + " levels";
    return std::nullopt;
  }
  return document;
}

}  // namespace corvane
