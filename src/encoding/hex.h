// Hex text back to bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velm {

// Exactly 2*n lowercase hex digits into `out` (n bytes); false for anything else, `out` then
// partly written.
bool parse_hex_lower(std::string_view text, std::uint8_t* out, std::size_t n) noexcept;

// The same with digits of either case, for texts typed by people (command-line arguments).
bool parse_hex_any_case(std::string_view text, std::uint8_t* out, std::size_t n) noexcept;

}  // namespace velm
