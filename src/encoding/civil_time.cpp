#include "encoding/civil_time.h"

#include <chrono>

namespace velm {

std::optional<std::int64_t> unix_seconds(const CivilTime& t) noexcept {
  using namespace std::chrono;
  const year_month_day date{year{t.year}, month{t.month}, day{t.day}};
  if (!date.ok() || t.hour > 23 || t.minute > 59 || t.second > 59) return std::nullopt;
  const std::int64_t days = sys_days{date}.time_since_epoch().count();
  return days * 86400 + static_cast<std::int64_t>(t.hour) * 3600 + static_cast<std::int64_t>(t.minute) * 60 +
         static_cast<std::int64_t>(t.second);
}

CivilDate civil_date(std::int64_t days) noexcept {
  using namespace std::chrono;
  // The Gregorian calendar repeats every 400 years (146097 days): std::chrono converts the day
  // within the 400-year cycle that starts on 1970-01-01, the whole cycles add to the year, so no
  // year outside std::chrono::year's range reaches it.
  constexpr std::int64_t kCycleDays = 146097;
  const std::int64_t cycles = (days >= 0 ? days : days - (kCycleDays - 1)) / kCycleDays;
  const year_month_day date{sys_days{std::chrono::days{days - cycles * kCycleDays}}};
  return {static_cast<int>(date.year()) + cycles * 400, static_cast<unsigned>(date.month()),
          static_cast<unsigned>(date.day())};
}

}  // namespace velm
