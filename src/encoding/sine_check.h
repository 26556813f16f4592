// The C library's single-precision sine against the one the scores are recorded with. Scores are
// sums of sinf values, so a log written where sinf differs in one last bit does not replay where
// it does not; the engine and the verifier both compare before they rely on it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace velm {

// A phase and its single-precision sine, both as IEEE-754 bit patterns.
struct SinePair {
  std::uint32_t phase_bits;
  std::uint32_t sine_bits;
};

// The sines recorded with the C library the engine's logs are written with.
std::span<const SinePair> recorded_sines() noexcept;

// The first entry of `table` whose sine this machine's sinf does not reproduce, with the sine it
// gives here; nothing when every entry matches.
struct SineMismatch {
  SinePair recorded;
  std::uint32_t here_bits;
};
std::optional<SineMismatch> first_sine_mismatch(std::span<const SinePair> table) noexcept;

// What differs, in words, when this machine's sinf does not give every sine of `table`.
std::optional<std::string> sine_difference(std::span<const SinePair> table);

}  // namespace velm
