// Bounds on JSON read from files: how deeply a document may nest. Parsing itself does not recurse,
// but copying, comparing and printing a value do, once per level, so a document nested a few
// hundred thousand levels deep would overflow the stack at its first copy. Readers refuse such a
// document right after parsing, before anything else touches it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace corvane {

// Whether `value` nests deeper than `limit` levels (a scalar is 1 level, [[1]] is 3). Does not
// recurse.
bool jsonDeeperThan(const nlohmann::json& value, size_t limit);

// The document in `text`, or nothing with the reason ("not valid JSON: …", "nested deeper than N
// levels").
std::optional<nlohmann::json> parseBoundedJSON(std::string_view text, size_t maxDepth, std::string* error);

}  // namespace corvane
