#include "encoding/clock.h"

#include <cerrno>

#include "encoding/fatal_error.h"

namespace velm {

namespace {

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Proleptic Gregorian date of a day count since 1970-01-01, computed over 400-year eras
// (146097 days) counted from 0000-03-01 so that the leap day ends each year.
CivilDate civil_from_days(std::int64_t days) noexcept {
  days += 719468;  // days from 0000-03-01 to 1970-01-01
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t day_of_era = days - era * 146097;                        // [0, 146096]
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;  // [0, 399]
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);  // [0, 365]
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;             // [0, 11], March is 0
  const unsigned day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  const unsigned month = static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

void put_digits(std::string& out, std::uint64_t value, int width) {
  char buf[20];
  for (int i = width - 1; i >= 0; --i) {
    buf[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(buf, static_cast<std::size_t>(width));
}

timespec read_clock(clockid_t id) {
  timespec ts{};
  if (clock_gettime(id, &ts) != 0) {
    const int err = errno;
    throw FatalError("clock could not be read: " + os_error_text(err));
  }
  return ts;
}

}  // namespace

std::string rfc3339_text(std::int64_t seconds, std::uint32_t nanos) {
  std::string out;
  out.reserve(32);
  const std::int64_t days = seconds / 86400;
  const std::int64_t second_of_day = seconds % 86400;
  const CivilDate date = civil_from_days(days);
  if (date.year >= 0 && date.year <= 9999) {
    put_digits(out, static_cast<std::uint64_t>(date.year), 4);
  } else {
    out.push_back(date.year < 0 ? '-' : '+');
    const std::uint64_t magnitude =
        date.year < 0 ? 0 - static_cast<std::uint64_t>(date.year) : static_cast<std::uint64_t>(date.year);
    const std::string digits = std::to_string(magnitude);
    if (digits.size() < 4) out.append(4 - digits.size(), '0');
    out += digits;
  }
  out.push_back('-');
  put_digits(out, date.month, 2);
  out.push_back('-');
  put_digits(out, date.day, 2);
  out.push_back('T');
  put_digits(out, static_cast<std::uint64_t>(second_of_day / 3600), 2);
  out.push_back(':');
  put_digits(out, static_cast<std::uint64_t>(second_of_day / 60 % 60), 2);
  out.push_back(':');
  put_digits(out, static_cast<std::uint64_t>(second_of_day % 60), 2);
  if (nanos != 0) {
    out.push_back('.');
    if (nanos % 1000000 == 0) {
      put_digits(out, nanos / 1000000, 3);
    } else if (nanos % 1000 == 0) {
      put_digits(out, nanos / 1000, 6);
    } else {
      put_digits(out, nanos, 9);
    }
  }
  out += "+00:00";
  return out;
}

std::string rfc3339_now() {
  const timespec now = read_clock(CLOCK_REALTIME);
  if (now.tv_sec < 0) {
    throw FatalError("system time before Unix epoch: the wall clock reads " +
                     std::to_string(-static_cast<std::int64_t>(now.tv_sec)) +
                     " s before 1970-01-01T00:00:00Z");
  }
  return rfc3339_text(static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec));
}

std::uint64_t timespec_gap_nanos(const timespec& first, const timespec& second) noexcept {
  if (second.tv_sec < first.tv_sec || (second.tv_sec == first.tv_sec && second.tv_nsec < first.tv_nsec)) {
    return 0;
  }
  std::uint64_t secs = static_cast<std::uint64_t>(second.tv_sec) - static_cast<std::uint64_t>(first.tv_sec);
  std::uint64_t nsecs;
  if (second.tv_nsec >= first.tv_nsec) {
    nsecs = static_cast<std::uint64_t>(second.tv_nsec - first.tv_nsec);
  } else {
    secs -= 1;
    nsecs = static_cast<std::uint64_t>(second.tv_nsec + 1000000000L - first.tv_nsec);
  }
  return secs * 1000000000ULL + nsecs;
}

std::uint64_t monotonic_gap_nanos() {
  // Linux's clock id 8 is a real-time alarm clock, not an uptime clock. The raw monotonic clock
  // has nanosecond resolution, ignores frequency adjustments and stops while the machine sleeps.
  const timespec first = read_clock(CLOCK_MONOTONIC_RAW);
  const timespec second = read_clock(CLOCK_MONOTONIC_RAW);
  return timespec_gap_nanos(first, second);
}

}  // namespace velm
