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

}  // namespace velm
