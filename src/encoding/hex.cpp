#include "encoding/hex.h"

namespace velm {

namespace {

int hex_digit(char c, bool any_case) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (any_case && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_hex(std::string_view text, std::uint8_t* out, std::size_t n, bool any_case) noexcept {
  if (text.size() != 2 * n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const int hi = hex_digit(text[2 * i], any_case);
    const int lo = hex_digit(text[2 * i + 1], any_case);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return true;
}

}  // namespace

bool parse_hex_lower(std::string_view text, std::uint8_t* out, std::size_t n) noexcept {
  return parse_hex(text, out, n, false);
}

bool parse_hex_any_case(std::string_view text, std::uint8_t* out, std::size_t n) noexcept {
  return parse_hex(text, out, n, true);
}

}  // namespace velm
