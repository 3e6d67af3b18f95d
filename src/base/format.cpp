#include "base/format.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace corvane {

namespace {

// Enough for any double in fixed notation (309 integer digits) with the largest precision kept.
constexpr int kMaxPrecision = 60;
using Buffer = std::array<char, 400>;

void appendChars(std::string& out, const Buffer& buffer, std::to_chars_result result) {
  if (result.ec == std::errc()) out.append(buffer.data(), size_t(result.ptr - buffer.data()));
}

template <typename T>
void appendInteger(std::string& out, T value) {
  Buffer buffer;
  appendChars(out, buffer, std::to_chars(buffer.data(), buffer.data() + buffer.size(), value));
}

void appendFixed(std::string& out, double value, int precision) {
  Buffer buffer;
  appendChars(out, buffer,
              std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, precision));
}

void appendShortest(std::string& out, double value) {
  Buffer buffer;
  appendChars(out, buffer, std::to_chars(buffer.data(), buffer.data() + buffer.size(), value));
}

bool isInteger(const FormatArg& arg) {
  return arg.kind() == FormatArg::Kind::signedInteger || arg.kind() == FormatArg::Kind::unsignedInteger;
}

void appendIntegerArg(std::string& out, const FormatArg& arg) {
  if (arg.kind() == FormatArg::Kind::signedInteger) {
    appendInteger(out, arg.signedValue());
  } else {
    appendInteger(out, arg.unsignedValue());
  }
}

double numberOf(const FormatArg& arg) {
  switch (arg.kind()) {
    case FormatArg::Kind::signedInteger:
      return double(arg.signedValue());
    case FormatArg::Kind::unsignedInteger:
      return double(arg.unsignedValue());
    default:
      return arg.realValue();
  }
}

}  // namespace

std::string format(std::string_view fmt, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 8 * args.size());
  size_t nextArg = 0;
  size_t i = 0;
  while (i < fmt.size()) {
    if (fmt[i] != '%') {
      size_t end = std::min(fmt.find('%', i), fmt.size());
      out.append(fmt.substr(i, end - i));
      i = end;
      continue;
    }
    size_t start = i++;
    int precision = -1;
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      precision = 0;
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
        precision = std::min(precision * 10 + (fmt[i] - '0'), kMaxPrecision);
        ++i;
      }
    }
    while (i < fmt.size() && std::string_view("hlqzjt").find(fmt[i]) != std::string_view::npos) ++i;
    if (i >= fmt.size()) {  // an unfinished directive at the end
      out.append(fmt.substr(start));
      break;
    }
    char conversion = fmt[i++];
    std::string_view directive = fmt.substr(start, i - start);

    if (conversion == '%') {
      out.push_back('%');
      continue;
    }
    if (conversion != 'd' && conversion != 'i' && conversion != 'u' && conversion != 'f' && conversion != '@') {
      out.append(directive);
      continue;
    }
    if (nextArg >= args.size()) {
      out.append("(missing argument)");
      continue;
    }
    const FormatArg& arg = args[nextArg++];
    bool isString = arg.kind() == FormatArg::Kind::string;
    switch (conversion) {
      case 'd':
      case 'i':
      case 'u':
        if (isInteger(arg)) {
          appendIntegerArg(out, arg);
          continue;
        }
        break;
      case 'f':
        if (!isString) {
          appendFixed(out, numberOf(arg), precision < 0 ? 6 : precision);
          continue;
        }
        break;
      case '@':
        if (isString) {
          out.append(arg.stringValue());
        } else if (isInteger(arg)) {
          appendIntegerArg(out, arg);
        } else {
          appendShortest(out, arg.realValue());
        }
        continue;
    }
    out.append("(wrong argument for ");
    out.append(directive);
    out.push_back(')');
  }
  return out;
}

}  // namespace corvane
