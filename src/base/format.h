// printf-style formatting with the conversions the application's texts use, typed:
//
//   %d %i   an integer (bool gives 1 or 0)
//   %u      an integer (printed with its own sign; never reinterpreted as unsigned)
//   %f %.Nf a number with N decimals (6 when no precision is given), rounded as C's printf does:
//           to nearest on the exact binary value, ties to even. Integers are accepted too.
//   %@      a string as is; a number as its shortest exact decimal form
//   %%      a percent sign
// Length modifiers (l, ll, q, z, h) are accepted and ignored.
//
// A missing argument or one of the wrong kind never crashes: it shows as a visible placeholder
// ("(missing argument)", "(wrong argument for %d)") and formatting goes on. A directive this
// formatter does not know is copied as it stands and takes no argument. Extra arguments are ignored.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace corvane {

// One argument. Strings are held by reference: a FormatArg lives only for the call it is made for.
class FormatArg {
 public:
  enum class Kind { signedInteger, unsignedInteger, real, string };

  template <std::signed_integral T>
  FormatArg(T value) : kind_(Kind::signedInteger), int_(value) {}
  template <std::unsigned_integral T>
    requires(!std::same_as<T, bool>)
  FormatArg(T value) : kind_(Kind::unsignedInteger), uint_(value) {}
  // A template, so that pointers do not quietly turn into bools.
  template <std::same_as<bool> T>
  FormatArg(T value) : kind_(Kind::signedInteger), int_(value ? 1 : 0) {}
  FormatArg(double value) : kind_(Kind::real), real_(value) {}
  FormatArg(float value) : kind_(Kind::real), real_(value) {}
  FormatArg(std::string_view value) : kind_(Kind::string), string_(value) {}
  FormatArg(const std::string& value) : kind_(Kind::string), string_(value) {}
  FormatArg(const char* value) : kind_(Kind::string), string_(value ? value : "(null)") {}

  Kind kind() const { return kind_; }
  int64_t signedValue() const { return int_; }
  uint64_t unsignedValue() const { return uint_; }
  double realValue() const { return real_; }
  std::string_view stringValue() const { return string_; }

 private:
  Kind kind_;
  union {
    int64_t int_;
    uint64_t uint_;
    double real_;
  };
  std::string_view string_;
};

std::string format(std::string_view fmt, std::span<const FormatArg> args);
inline std::string format(std::string_view fmt, std::initializer_list<FormatArg> args) {
  return format(fmt, std::span<const FormatArg>(args.begin(), args.size()));
}

}  // namespace corvane
