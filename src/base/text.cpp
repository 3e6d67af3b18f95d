#include "base/text.h"

#include <cstdint>

namespace corvane::text {
namespace {

// Decodes one UTF-8 sequence at `pos`. Returns its length (0 when the bytes there are not UTF-8).
size_t decode(std::string_view s, size_t pos, char32_t* out) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  uint8_t b0 = byte(pos);
  if (b0 < 0x80) {
    *out = b0;
    return 1;
  }
  size_t length;
  char32_t c;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2;
    c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3;
    c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4;
    c = b0 & 0x07;
  } else {
    return 0;
  }
  if (pos + length > s.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    uint8_t b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  static constexpr char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < minimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *out = c;
  return length;
}

void encode(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool isSpace(char32_t c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool even(char32_t c) { return c % 2 == 0; }

char32_t lower(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
    return even(c) ? c + 1 : c;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return even(c) ? c : c + 1;
  if (c == 0x178) return 0xFF;
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 37;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 63;
  if ((c >= 0x391 && c <= 0x3A1) || (c >= 0x3A3 && c <= 0x3AB)) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF)) return even(c) ? c + 1 : c;
  if (c >= 0x531 && c <= 0x556) return c + 48;
  if ((c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF)) return even(c) ? c + 1 : c;
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 32;
  return c;
}

}  // namespace

std::string trimmed(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    char32_t c = 0;
    size_t n = decode(s, begin, &c);
    if (n == 0 || !isSpace(c)) break;
    begin += n;
  }
  size_t end = begin;
  for (size_t pos = begin; pos < s.size();) {
    char32_t c = 0;
    size_t n = decode(s, pos, &c);
    if (n == 0) n = 1;
    if (n == 1 && static_cast<uint8_t>(s[pos]) >= 0x80) c = 0xFFFD;  // a stray byte is content
    pos += n;
    if (!isSpace(c)) end = pos;
  }
  return std::string(s.substr(begin, end - begin));
}

std::string lowercased(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t pos = 0; pos < s.size();) {
    char32_t c = 0;
    size_t n = decode(s, pos, &c);
    if (n == 0) {
      out.push_back(s[pos]);
      ++pos;
      continue;
    }
    pos += n;
    if (c == 0x130) {  // İ: i followed by a combining dot above
      out += "i\xCC\x87";
      continue;
    }
    encode(lower(c), out);
  }
  return out;
}

}  // namespace corvane::text
