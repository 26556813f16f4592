#include "encoding/hex.h"

#include <sodium.h>

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

void hex_lower_into(const std::uint8_t* bytes, std::size_t size, char* out) noexcept {
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kHexDigits[bytes[i] >> 4];
    out[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
  }
}

std::string hex_lower(const std::uint8_t* bytes, std::size_t size) {
  // libsodium's encoder takes the same time whatever the bytes, and writes a terminator.
  std::string out(2 * size, '\0');
  sodium_bin2hex(out.data(), out.size() + 1, bytes, size);
  return out;
}

std::string hex_be32(std::uint32_t value) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                 static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  return hex_lower(bytes, sizeof bytes);
}

bool parse_hex_lower(std::string_view text, std::uint8_t* out, std::size_t n) noexcept {
  return parse_hex(text, out, n, false);
}

bool parse_hex_any_case(std::string_view text, std::uint8_t* out, std::size_t n) noexcept {
  return parse_hex(text, out, n, true);
}

}  // namespace velm
