// A tiny built-in bitmap font for the simulated desktop's pictures: 5 x 7 glyphs in a 6 x 8 cell,
// printable ASCII; any other character is drawn as '?'. Text is measured and drawn with the same
// metrics, so that what the program measures for a button is what the pictures show.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/geometry.h"

namespace corvane::sim {

namespace Font5x7 {
constexpr int glyphWidth = 5;
constexpr int glyphHeight = 7;
constexpr int cellWidth = 6;
constexpr int cellHeight = 8;

// Whether the glyph of `c` has its pixel (column x 0...4, row y 0...6, top row 0) set.
bool pixel(char32_t c, int x, int y);
// The characters of UTF-8 text (malformed bytes count as one character each).
size_t characterCount(std::string_view text);
// Decodes the next character of UTF-8 text at *index and moves past it.
char32_t nextCharacter(std::string_view text, size_t* index);
}  // namespace Font5x7

// The metrics of text in a font of `pointSize`: the advance of one character and the line height.
// A character advances 0.6 of the point size (6 % more for semibold or bold); a line is 1.2 times
// the point size high.
double characterAdvance(double pointSize, bool bold);
Size textSize(std::string_view text, double pointSize, bool bold);

}  // namespace corvane::sim
