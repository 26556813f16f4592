#include "encoding/sine_check.h"

#include <bit>
#include <cmath>

#include "encoding/hex.h"

namespace velm {

namespace {

constexpr SinePair kRecordedSines[] = {
#include "encoding/sine_table.inc"
};

std::string hex32(std::uint32_t v) { return "0x" + hex_be32(v); }

}  // namespace

std::span<const SinePair> recorded_sines() noexcept { return kRecordedSines; }

std::optional<SineMismatch> first_sine_mismatch(std::span<const SinePair> table) noexcept {
  for (const SinePair& p : table) {
    // Through a volatile, so the compiler cannot put its own sine in place of the library's.
    volatile float phase = std::bit_cast<float>(p.phase_bits);
    const float s = std::sin(static_cast<float>(phase));
    if (std::bit_cast<std::uint32_t>(s) != p.sine_bits) return SineMismatch{p, std::bit_cast<std::uint32_t>(s)};
  }
  return std::nullopt;
}

std::optional<std::string> sine_difference(std::span<const SinePair> table) {
  const std::optional<SineMismatch> m = first_sine_mismatch(table);
  if (!m) return std::nullopt;
  return "this machine's sinf(" + hex32(m->recorded.phase_bits) + ") is " + hex32(m->here_bits) +
         ", the engine's C library gives " + hex32(m->recorded.sine_bits);
}

}  // namespace velm
