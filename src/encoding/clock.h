// Wall-clock timestamps as RFC 3339 text and the monotonic gap between two clock readings.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace velm {

// The current UTC time, e.g. 2024-05-01T12:00:00.123+00:00. FatalError when the clock cannot be
// read or reads before 1970.
std::string rfc3339_now();

// The text for a time given as whole seconds since 1970 (>= 0) and nanoseconds (0..999999999):
// no fraction when the nanoseconds are 0, else the fewest of 3, 6 or 9 digits that hold them.
std::string rfc3339_text(std::int64_t seconds, std::uint32_t nanos);

// Two readings of the monotonic clock one directly after the other, and the gap between them.
std::uint64_t monotonic_gap_nanos();

// Nanoseconds from `first` to `second`, 0 when `second` is earlier; wraps on overflow.
std::uint64_t timespec_gap_nanos(const timespec& first, const timespec& second) noexcept;

}  // namespace velm
