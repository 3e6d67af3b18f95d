// Text helpers: trimming and lower-casing, as the settings, the catalogue and the window queries use them.
#pragma once

#include <string>
#include <string_view>

namespace corvane::text {

// The text without leading and trailing white space and line breaks (ASCII ones and the Unicode
// spaces and separators: no-break space, the U+2000 block, line and paragraph separators, …).
std::string trimmed(std::string_view text);

// The text lower-cased, UTF-8 in and out. Covers ASCII and the Latin, Greek, Cyrillic and Armenian
// capitals (İ becomes "i" with a combining dot, as full case mapping gives); other characters and
// bytes that are not UTF-8 are kept as they are.
std::string lowercased(std::string_view text);

}  // namespace corvane::text
