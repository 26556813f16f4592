// How the JSON writer escapes string bytes, shared by the writer and by the verifier's reader of
// the writer's exact form, so the two cannot drift apart.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velm {

// Per byte: 0 = written as is, 'u' = \u00XX, otherwise the letter written after the backslash.
inline constexpr std::array<char, 256> kJsonEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
  t['"'] = '"';
  t['\\'] = '\\';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  return t;
}();

inline constexpr std::size_t kJsonScanBlock = 16;

// Offset of the first byte among the 16 at `p` that the escape table does not pass through (a
// byte below 0x20, a double quote or a backslash), or kJsonScanBlock when there is none. The
// compiler turns the element-wise operations into the target's vector instructions (SSE2 on
// x86-64) or into plain code elsewhere.
inline std::size_t first_escape_in_block(const char* p) noexcept {
  using Block = unsigned char __attribute__((vector_size(kJsonScanBlock)));
  using SignedBlock = signed char __attribute__((vector_size(kJsonScanBlock)));
  Block b;
  std::memcpy(&b, p, sizeof b);
  const SignedBlock marks = (b < 0x20) | (b == '"') | (b == '\\');  // 0 or -1 per byte
  std::uint64_t halves[2];
  std::memcpy(halves, &marks, sizeof halves);
  const auto first_in = [](std::uint64_t half) {
    if constexpr (std::endian::native == std::endian::little) {
      return static_cast<std::size_t>(std::countr_zero(half)) / 8;
    } else {
      return static_cast<std::size_t>(std::countl_zero(half)) / 8;
    }
  };
  if (halves[0] != 0) return first_in(halves[0]);
  if (halves[1] != 0) return 8 + first_in(halves[1]);
  return kJsonScanBlock;
}

}  // namespace velm
