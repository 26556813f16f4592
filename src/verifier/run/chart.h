// The scores of a log's first chains over time, kept while the log is verified, for the charts of
// the HTML report (report_html.h). Memory stays bounded however long the log: only the chains the
// report lists are kept, each thinned to at most kChartPoints points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "verifier/chain/chain_store.h"
#include "verifier/line/line_check.h"

namespace velm::verify {

// The chains and the failures the HTML report lists per log; the rest are counted.
inline constexpr std::size_t kListedChains = 1000;
inline constexpr std::size_t kChartPoints = 256;

struct ChartPoint {
  double time = 0;  // seconds since 1970-01-01 UTC
  double coherence = 0;
  double reputation = 0;
};

struct ChainChart {
  std::string first_time;  // the timestamps of its first and last record, when in the engine's form
  std::string last_time;
  std::vector<ChartPoint> points;  // every stride-th record with readable scores, oldest first
  std::uint64_t stride = 1;
  std::uint64_t seen = 0;
};

// Seconds since 1970-01-01 UTC of a timestamp in the engine's form; empty for any other text.
std::optional<double> timestamp_seconds(std::string_view text);

class ChartCollector {
 public:
  // Line facts `f` were placed in the chain numbered `chain` in the store.
  void add(std::uint64_t chain, const LineFacts& f);
  // The charts of the first kListedChains chains in the report's order (dissolved chains skipped).
  std::vector<ChainChart> take(const ChainStore& store);

 private:
  std::vector<ChainChart> by_number_;
};

}  // namespace velm::verify
