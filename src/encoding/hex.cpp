#include "encoding/hex.h"

#include <sodium.h>

#include <array>

namespace velm {

namespace {

// Per byte: its value as a hex digit, or kNotHex; one table takes lowercase digits only, the
// other either case.
constexpr std::uint8_t kNotHex = 0xFF;

constexpr std::array<std::uint8_t, 256> hex_values(bool any_case) {
  std::array<std::uint8_t, 256> t{};
  for (auto& v : t) v = kNotHex;
  for (int c = '0'; c <= '9'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
  if (any_case) {
    for (int c = 'A'; c <= 'F'; ++c) t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
  }
  return t;
}

constexpr std::array<std::uint8_t, 256> kLowerHex = hex_values(false);
constexpr std::array<std::uint8_t, 256> kAnyCaseHex = hex_values(true);

bool parse_hex(std::string_view text, std::uint8_t* out, std::size_t n, bool any_case) noexcept {
  if (text.size() != 2 * n) return false;
  const std::uint8_t* const values = any_case ? kAnyCaseHex.data() : kLowerHex.data();
  // Every digit is read before any is judged: one test at the end instead of one per digit.
  std::uint8_t bad = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t hi = values[static_cast<unsigned char>(text[2 * i])];
    const std::uint8_t lo = values[static_cast<unsigned char>(text[2 * i + 1])];
    bad |= static_cast<std::uint8_t>(hi | lo);
    out[i] = static_cast<std::uint8_t>(hi << 4 | (lo & 0x0F));
  }
  return (bad & 0xF0) == 0;
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
