// Small text helpers every layer shares: UTF-8 decoding and counted nouns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velm::verify {

// The length of the UTF-8 sequence at `at` and its code point (RFC 3629: shortest form, no
// surrogates, at most U+10FFFF); 0 when the bytes there are not one.
std::size_t utf8_sequence(std::string_view s, std::size_t at, char32_t& cp) noexcept;

// "1 line", "2 lines": `n` and the noun in the number it takes.
std::string count_text(std::uint64_t n, std::string_view one, std::string_view many);

}  // namespace velm::verify
