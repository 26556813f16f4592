// Hex text: bytes to lowercase hex and back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velm {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// Lowercase hex, two characters per byte, high nibble first. The _into form writes exactly
// 2*size characters (no terminator) into `out`.
void hex_lower_into(const std::uint8_t* bytes, std::size_t size, char* out) noexcept;
std::string hex_lower(const std::uint8_t* bytes, std::size_t size);
template <std::size_t N>
std::string hex_lower(const std::array<std::uint8_t, N>& bytes) {
  return hex_lower(bytes.data(), N);
}

// The eight lowercase hex digits of `value`, most significant first.
std::string hex_be32(std::uint32_t value);

// Exactly 2*n lowercase hex digits into `out` (n bytes); false for anything else, `out` then
// partly written.
[[nodiscard]] bool parse_hex_lower(std::string_view text, std::uint8_t* out, std::size_t n) noexcept;

// The same with digits of either case, for texts typed by people (command-line arguments).
[[nodiscard]] bool parse_hex_any_case(std::string_view text, std::uint8_t* out, std::size_t n) noexcept;

}  // namespace velm
