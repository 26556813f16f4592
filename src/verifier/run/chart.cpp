#include "verifier/run/chart.h"

#include <utility>

namespace velm::verify {

namespace {

// A store number past this cannot be among the listed chains unless many chains were dissolved.
constexpr std::uint64_t kKeptNumbers = 2 * kListedChains;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

std::optional<double> timestamp_seconds(std::string_view t) {
  // YYYY-MM-DDTHH:MM:SS[.fraction] and "Z" or "+00:00"; the rest of the form was checked when the
  // line was read.
  if (t.size() < 20) return std::nullopt;
  const auto num = [&](std::size_t pos, std::size_t n) {
    unsigned v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) v = v * 10 + static_cast<unsigned>(t[i] - '0');
    return v;
  };
  const std::int64_t days = days_from_civil(num(0, 4), num(5, 2), num(8, 2));
  double seconds = static_cast<double>(days * 86400 + num(11, 2) * 3600 + num(14, 2) * 60 + num(17, 2));
  std::size_t i = 19;
  if (t[i] == '.') {
    double scale = 0.1;
    for (++i; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i, scale /= 10) seconds += scale * (t[i] - '0');
  }
  const std::string_view zone = t.substr(i);
  if (zone != "Z" && zone != "+00:00") return std::nullopt;
  return seconds;
}

void ChartCollector::add(std::uint64_t chain, const LineFacts& f) {
  if (chain >= kKeptNumbers) return;
  if (chain >= by_number_.size()) by_number_.resize(chain + 1);
  ChainChart& c = by_number_[chain];
  if (f.time_size != 0) {
    if (c.first_time.empty()) c.first_time = f.time_text();
    c.last_time = f.time_text();
  }
  const std::optional<double> time = timestamp_seconds(f.time_text());
  if (!time || !f.scores.usable) return;
  if (c.seen++ % c.stride != 0) return;
  if (c.points.size() == kChartPoints) {
    // Full: keep every other point and take half as many from now on.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < c.points.size(); i += 2) c.points[kept++] = c.points[i];
    c.points.resize(kept);
    c.stride *= 2;
    if ((c.seen - 1) % c.stride != 0) return;
  }
  c.points.push_back({*time, f.scores.coherence, f.scores.reputation});
}

std::vector<ChainChart> ChartCollector::take(const ChainStore& store) {
  std::vector<ChainChart> out;
  store.for_each_numbered([&](std::uint64_t number, const ChainRecord&) {
    if (out.size() == kListedChains) return;
    out.emplace_back();
    if (number < by_number_.size()) out.back() = std::move(by_number_[number]);
  });
  by_number_.clear();
  return out;
}

}  // namespace velm::verify
