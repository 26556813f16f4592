// The charts' data: engine timestamps in seconds (against `date -u -d ... +%s`), and the
// thinning that keeps a chain's points bounded while spread over its whole history.
#include "verifier/run/chart.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

namespace velm::verify {
namespace {

TEST(Chart, TimestampSeconds) {
  struct Case {
    std::string_view text;
    std::optional<double> seconds;
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2026-12-09T11:11:05Z", 1796814665},
      {"2026-12-09T11:11:05.250000000+00:00", 1796814665.25},
      {"2000-02-29T23:59:59.5Z", 951868799.5},
      {"2100-03-01T00:00:00+00:00", 4107542400},
      {"2026-12-09T11:11:05+01:00", std::nullopt},  // not UTC
      {"2026-12-09T11:11:05", std::nullopt},        // no zone
      {"2026-12-09T11:11:05.5Zx", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<double> got = timestamp_seconds(c.text);
    ASSERT_EQ(got.has_value(), c.seconds.has_value());
    if (got) {
      EXPECT_NEAR(*got, *c.seconds, 1e-6);
    }
  }
}

LineFacts facts_at(unsigned second, double coherence) {
  LineFacts f;
  char text[32];
  std::snprintf(text, sizeof text, "2026-01-01T%02u:%02u:%02uZ", second / 3600, second / 60 % 60, second % 60);
  f.time_size = static_cast<std::uint8_t>(std::strlen(text));
  std::memcpy(f.time.data(), text, f.time_size);
  f.scores.usable = true;
  f.scores.coherence = coherence;
  return f;
}

TEST(Chart, ALongChainIsThinnedEvenlyAndKeepsItsTimes) {
  ChartCollector collector;
  const unsigned records = 10 * kChartPoints + 3;
  for (unsigned i = 0; i < records; ++i) collector.add(0, facts_at(i, i));
  ChainStore store(16, {});
  store.add(ChainRecord{});
  const std::vector<ChainChart> charts = collector.take(store);
  ASSERT_EQ(charts.size(), 1u);
  const ChainChart& c = charts[0];
  EXPECT_EQ(c.first_time, "2026-01-01T00:00:00Z");
  EXPECT_EQ(c.last_time, std::string(facts_at(records - 1, 0).time_text()));
  ASSERT_LE(c.points.size(), kChartPoints);
  ASSERT_GE(c.points.size(), kChartPoints / 2);
  // Every stride-th record from the first: evenly spread over the whole chain.
  for (std::size_t k = 0; k < c.points.size(); ++k) EXPECT_EQ(c.points[k].coherence, double(k * c.stride));
  EXPECT_GT((c.points.size() + 1) * c.stride, records - 1);
}

}  // namespace
}  // namespace velm::verify
