// Checks a record log line by line: the form of each line, its seal, its signature, its place in
// a hash chain and its scores replayed against the history of that chain.
//
// The work is split in stages: LineSource reads lines (line_source.h); LineChecker checks one
// line on its own (line_check.h) and can run on any thread; ChainTracker places the checked lines
// in log order and replays scores (chain_tracker.h); the report renders the result (report.h).
// LogVerifier joins the last three for lines fed in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoding/digest.h"
#include "encoding/ed25519.h"
#include "encoding/hex.h"
#include "verifier/chain/chain_store.h"
#include "verifier/line/failure.h"
#include "verifier/line/field_forms.h"
#include "verifier/line/line_check.h"
#include "verifier/line/line_source.h"
#include "verifier/run/chart.h"
#include "verifier/tlog/merkle.h"

namespace velm::verify {

// One piece of a series: its lines are lines first_line.. of the series.
struct PieceInfo {
  std::string path;
  std::uint64_t first_line = 1;
  std::uint64_t lines = 0;
  std::uint64_t bytes = 0;
};

struct LogReport {
  std::string path;
  std::string error;  // why the log could not be read to its end; empty when it was
  std::uint64_t lines = 0;
  std::uint64_t records = 0;  // lines placed in a chain
  std::uint64_t chain_count = 0;
  std::uint64_t bytes = 0;        // bytes of the log this report covers
  std::vector<Failure> failures;  // in line order; at most VerifyOptions::max_failures_kept
  std::uint64_t failures_omitted = 0;
  std::array<std::uint64_t, kFailureKindCount> failure_counts{};
  // For each of VerifyOptions::expected_heads: the first line whose merkle_root it is, 0 if none.
  std::vector<std::uint64_t> expected_head_lines;
  bool scores_replayed = true;  // false when this machine's sinf is not the engine's
  // With VerifyOptions::tree only: the RFC 6962 tree over the log's complete lines.
  std::uint64_t tree_leaves = 0;                    // complete lines hashed, up to the first line left unread
  std::uint64_t tree_gap_line = 0;                  // that unread (oversized) line, 0 if none
  TreeHash tree_root{};                             // the root of the first tree_leaves lines
  std::vector<std::optional<TreeHash>> tree_roots;  // per VerifyOptions::tree_sizes, empty past tree_leaves
  std::vector<PieceInfo> pieces;                    // a series' pieces, oldest first; empty for a plain log
  // Chain breaks that follow from a chain ending later: (the break's line, that chain's last line).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> later_links;
  std::string hint;  // in a series: why its failures may come from the pieces' order; else empty
  // With VerifyOptions::line_chains only: per line, the number of its chain as the report counts
  // them (1 for the first), 0 for a line in no chain.
  std::vector<std::uint64_t> line_chains;
  // With VerifyOptions::chart only: the listed chains' times and scores, in the report's order.
  std::vector<ChainChart> chart;

  std::uint64_t failure_total() const noexcept;
  bool readable() const noexcept { return error.empty(); }
  bool ok() const noexcept { return readable() && failure_total() == 0; }
  bool series() const noexcept { return !pieces.empty(); }
  // The file holding line `line` (counted over the series) and the line's number within it.
  std::pair<std::string, std::uint64_t> locate(std::uint64_t line) const;
  // Turns the failures' lines, counted over the series, into lines of its pieces.
  void attribute_failures_to_pieces();
  // Sets `hint` when a piece's chains continue from a later piece: the pieces look out of order.
  void hint_at_piece_order();

  // Every chain in the order of its first line.
  void for_each_chain(const std::function<void(const ChainSummary&)>& visit) const;
  std::vector<ChainSummary> chains() const;  // all at once; for small logs

  std::shared_ptr<const ChainStore> chain_store;  // empty for an unreadable log
  std::size_t max_open_chains = 0;
};

// The report of a log that could not be read.
LogReport unreadable_log(const std::string& path, const std::string& error);

struct VerifyOptions {
  // Longer lines are skipped unread and reported as bad form, so one line cannot exhaust memory.
  // Checking a line takes about six times its length in memory.
  std::size_t max_line_bytes = std::size_t{256} << 20;
  std::size_t max_open_chains = 128;  // see TrackerOptions
  // Failures kept with their details; beyond this they are only counted.
  std::size_t max_failures_kept = 100000;
  std::vector<Digest> expected_heads;
  // False: scores are not compared (set when this machine's sinf is not the engine's).
  bool replay_scores = true;
  // True: also hash every complete line into the RFC 6962 tree (merkle.h), for checkpoints, and
  // keep the root of the first N lines for each N in tree_sizes. False costs nothing.
  bool tree = false;
  std::vector<std::uint64_t> tree_sizes;
  bool line_chains = false;  // fill LogReport::line_chains (8 bytes a line)
  bool chart = false;        // fill LogReport::chart
};

// Feeds the lines of one log in order and collects the report.
class LogVerifier {
 public:
  LogVerifier(const PublicKey& key, VerifyOptions options = {}, std::string file = {});
  ~LogVerifier();
  LogVerifier(const LogVerifier&) = delete;
  LogVerifier& operator=(const LogVerifier&) = delete;

  void add_line(std::string_view line);  // a line that ended with "\n", without it
  // A line already checked by a LineChecker (on another thread, say): placed as add_line would.
  void add_checked(const LineFacts& facts);
  // With VerifyOptions::tree, a caller of add_checked gives each line's leaf_hash() here, in order.
  void add_tree_leaf(const TreeHash& leaf);
  void add_torn_line();                           // a last line with no "\n"
  void add_oversized_line(std::uint64_t length);  // a line longer than max_line_bytes, unread
  void add_not_a_log(std::uint64_t length);       // a file that is not a log, `length` bytes, unread
  // What a LineSource read: one of the four above (nothing for kEnd).
  void add_read(LineSource::Status status, std::string_view line, std::uint64_t length);

  std::uint64_t lines() const noexcept;
  // Ends the log and gives its report; the verifier takes no more lines.
  LogReport finish(const std::string& path, std::uint64_t bytes = 0);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Called now and then while a log is read, with lines and bytes done and the bytes to do (when
// known).
using ProgressFn = std::function<void(std::uint64_t lines, std::uint64_t bytes, std::optional<std::uint64_t> total)>;

}  // namespace velm::verify
