#include "encoding/clock.h"

#include <cerrno>

#include "encoding/civil_time.h"
#include "encoding/fatal_error.h"

namespace velm {

namespace {

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
  const CivilDate date = civil_date(days);
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
                     std::to_string(-static_cast<std::int64_t>(now.tv_sec)) + " s before 1970-01-01T00:00:00Z");
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
