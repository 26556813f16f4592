#include "encoding/float_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace velm {
namespace {

// Shortest round-trip digits of a finite, nonzero magnitude: value = d1.d2...dn x 10^exp.
struct ShortestDigits {
  char digits[20];
  int count;
  int exp;
};

// std::to_chars in scientific form with no precision yields exactly the shortest round-trip
// digits ("d.ddde+XX" or "de-XX"); we only take it apart.
ShortestDigits shortest_digits(double magnitude) noexcept {
  char text[40];
  const auto res = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  const char* p = text;
  const char* const end = res.ptr;

  ShortestDigits d{};
  d.digits[d.count++] = *p++;
  if (p != end && *p == '.') {
    ++p;
    while (p != end && *p != 'e') d.digits[d.count++] = *p++;
  }
  // Shortest digits carry no trailing zeros; strip defensively so the layout rules hold.
  while (d.count > 1 && d.digits[d.count - 1] == '0') --d.count;

  ++p;  // 'e'
  const bool neg_exp = (*p == '-');
  ++p;  // sign
  int e = 0;
  while (p != end) e = e * 10 + (*p++ - '0');
  d.exp = neg_exp ? -e : e;
  return d;
}

char* put_zeros(char* out, int n) noexcept {
  if (n > 0) {
    std::memset(out, '0', static_cast<std::size_t>(n));
    out += n;
  }
  return out;
}

char* put_digits(char* out, const char* digits, int n) noexcept {
  if (n > 0) {
    std::memcpy(out, digits, static_cast<std::size_t>(n));
    out += n;
  }
  return out;
}

// Plain decimal with at least one digit on each side of the point.
char* put_positional(char* out, const ShortestDigits& d) noexcept {
  const int n = d.count;
  if (d.exp >= n - 1) {
    out = put_digits(out, d.digits, n);
    out = put_zeros(out, d.exp - n + 1);
    *out++ = '.';
    *out++ = '0';
  } else if (d.exp >= 0) {
    out = put_digits(out, d.digits, d.exp + 1);
    *out++ = '.';
    out = put_digits(out, d.digits + d.exp + 1, n - d.exp - 1);
  } else {
    *out++ = '0';
    *out++ = '.';
    out = put_zeros(out, -d.exp - 1);
    out = put_digits(out, d.digits, n);
  }
  return out;
}

// d1[.d2...dn]e[sign]|exp|; the two forms differ only in whether "+" is written.
char* put_scientific(char* out, const ShortestDigits& d, bool plus_sign) noexcept {
  *out++ = d.digits[0];
  if (d.count > 1) {
    *out++ = '.';
    out = put_digits(out, d.digits + 1, d.count - 1);
  }
  *out++ = 'e';
  if (d.exp < 0) {
    *out++ = '-';
  } else if (plus_sign) {
    *out++ = '+';
  }
  const int mag = d.exp < 0 ? -d.exp : d.exp;
  return std::to_chars(out, out + 4, mag).ptr;
}

// Writes the sign (negative zero included) and, for zero, "0.0"; reports whether it was zero.
char* put_sign_and_zero(double value, char* out, bool& is_zero) noexcept {
  if (std::signbit(value)) *out++ = '-';
  is_zero = (value == 0.0);
  if (is_zero) {
    *out++ = '0';
    *out++ = '.';
    *out++ = '0';
  }
  return out;
}

}  // namespace

std::size_t write_json_float(double value, char* out) noexcept {
  bool is_zero = false;
  char* p = put_sign_and_zero(value, out, is_zero);
  if (!is_zero) {
    const ShortestDigits d = shortest_digits(std::fabs(value));
    p = (d.exp >= -5 && d.exp <= 15) ? put_positional(p, d) : put_scientific(p, d, true);
  }
  return static_cast<std::size_t>(p - out);
}

std::size_t write_seal_float(double value, char* out) noexcept {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return 3;
  }
  if (std::isinf(value)) {
    if (value < 0) {
      std::memcpy(out, "-inf", 4);
      return 4;
    }
    std::memcpy(out, "inf", 3);
    return 3;
  }
  bool is_zero = false;
  char* p = put_sign_and_zero(value, out, is_zero);
  if (!is_zero) {
    // For shortest digits, 1e-4 <= |v| < 1e16 is exactly exp in -4..15.
    const ShortestDigits d = shortest_digits(std::fabs(value));
    p = (d.exp >= -4 && d.exp <= 15) ? put_positional(p, d) : put_scientific(p, d, false);
  }
  return static_cast<std::size_t>(p - out);
}

void append_seal_float(std::string& out, double value) {
  char text[kFloatTextCapacity];
  out.append(text, write_seal_float(value, text));
}

}  // namespace velm
