// The calendar: dates and times of day to seconds since 1970-01-01T00:00:00 UTC and day counts
// back to dates (proleptic Gregorian, no leap seconds), on std::chrono's civil types.
#pragma once

#include <cstdint>
#include <optional>

namespace velm {

struct CivilTime {
  int year = 1970;
  unsigned month = 1;   // 1..12
  unsigned day = 1;     // 1..31
  unsigned hour = 0;    // 0..23
  unsigned minute = 0;  // 0..59
  unsigned second = 0;  // 0..59
};

// Seconds since the epoch, or nothing when the date does not exist or a field is out of range.
[[nodiscard]] std::optional<std::int64_t> unix_seconds(const CivilTime& t) noexcept;

// A date whose year may lie far outside what a CivilTime or std::chrono::year holds.
struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// The date `days` days after 1970-01-01.
CivilDate civil_date(std::int64_t days) noexcept;

}  // namespace velm
