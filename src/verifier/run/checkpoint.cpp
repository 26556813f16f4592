#include "verifier/run/checkpoint.h"

#include <algorithm>
#include <tuple>

namespace velm::verify {

void add_report_failure(LogReport& report, std::uint64_t line, FailureKind kind, std::string detail) {
  ++report.failure_counts[static_cast<std::size_t>(kind)];
  Failure f{report.path, line, kind, std::move(detail)};
  if (report.series() && line != 0) {
    f.log_line = line;
    std::tie(f.file, f.line) = report.locate(line);
    f.detail += " (the lines named here count over the series)";
  }
  // In a series the failures are in the order of their lines over the series.
  const auto place = [](const Failure& x) { return x.log_line != 0 ? x.log_line : x.line; };
  const auto at = std::upper_bound(
      report.failures.begin(), report.failures.end(), f,
      [&](const Failure& a, const Failure& b) { return place(a) != place(b) ? place(a) < place(b) : a.kind < b.kind; });
  report.failures.insert(at, std::move(f));
}

CheckpointSet::CheckpointSet(std::vector<CheckpointInput> inputs, std::span<const NoteVerifierKey> witnesses,
                             std::string_view expected_origin) {
  for (CheckpointInput& input : inputs) {
    Entry e;
    e.source = std::move(input.source);
    try {
      VerifiedCheckpoint opened = open_checkpoint(input.note, witnesses, expected_origin);
      e.checkpoint = std::move(opened.checkpoint);
      e.verified_by = std::move(opened.verified_by);
    } catch (const NoteError& error) {
      e.error = error.what();
    }
    entries_.push_back(std::move(e));
  }
}

void CheckpointSet::prepare(VerifyOptions& options) {
  options.tree = true;
  first_size_ = options.tree_sizes.size();
  for (const Entry& e : entries_) options.tree_sizes.push_back(e.checkpoint ? e.checkpoint->size : 0);
}

namespace {

using Entries = std::vector<CheckpointSet::Entry>;

// How the log stands against one checkpoint.
enum class Match { kUnopened, kMatch, kMismatch, kShort, kUnread };

// Each checkpoint's match; adds the failures of those that did not open, that the log falls short
// of, and that an unread (oversized) line keeps from being matched.
std::vector<Match> match_all(const Entries& entries, std::size_t first_size, LogReport& report) {
  std::vector<Match> states(entries.size(), Match::kUnopened);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const CheckpointSet::Entry& e = entries[i];
    if (!e.checkpoint) {
      add_report_failure(report, 0, FailureKind::kCheckpointSignature, e.source + ": " + e.error);
      continue;
    }
    const std::uint64_t n = e.checkpoint->size;
    const std::optional<TreeHash>& root = report.tree_roots[first_size + i];
    if (report.tree_gap_line != 0 && n >= report.tree_gap_line) {
      states[i] = Match::kUnread;
      add_report_failure(report, report.tree_gap_line, FailureKind::kCheckpointMismatch,
                         e.source + ": line " + std::to_string(report.tree_gap_line) +
                             " was too long to read, so the first " + std::to_string(n) +
                             " lines cannot be matched against the checkpoint");
    } else if (n > report.tree_leaves || !root) {
      states[i] = Match::kShort;
      add_report_failure(report, report.tree_leaves + 1, FailureKind::kLogTruncated,
                         e.source + ": the checkpoint covers " + std::to_string(n) + " lines, the log has only " +
                             std::to_string(report.tree_leaves) + " complete lines: lines " +
                             std::to_string(report.tree_leaves + 1) + ".." + std::to_string(n) +
                             " were removed or cut off");
    } else {
      states[i] = *root == e.checkpoint->root ? Match::kMatch : Match::kMismatch;
    }
  }
  return states;
}

// A failure for each checkpoint the log does not match, naming where the first change lies: past
// the largest size that matches below it, and at or before the smallest size past that which does
// not match.
void report_mismatches(const Entries& entries, const std::vector<Match>& states, LogReport& report) {
  const auto size_of = [&](std::size_t i) { return entries[i].checkpoint->size; };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (states[i] != Match::kMismatch) continue;
    std::uint64_t matched = 0;
    std::optional<std::size_t> matched_by;
    for (std::size_t j = 0; j < entries.size(); ++j) {
      if (states[j] == Match::kMatch && size_of(j) < size_of(i) && size_of(j) >= matched) {
        matched = size_of(j);
        matched_by = j;
      }
    }
    std::uint64_t first_bad = size_of(i);
    for (std::size_t j = 0; j < entries.size(); ++j) {
      if (states[j] == Match::kMismatch && size_of(j) > matched) first_bad = std::min(first_bad, size_of(j));
    }
    const std::string range = matched + 1 == first_bad
                                  ? "line " + std::to_string(first_bad)
                                  : "lines " + std::to_string(matched + 1) + ".." + std::to_string(first_bad);
    add_report_failure(
        report, matched + 1, FailureKind::kCheckpointMismatch,
        entries[i].source + ": the first " + std::to_string(size_of(i)) +
            " lines do not give the checkpoint's root: a line was changed, removed, inserted or "
            "reordered; the first change lies in " +
            range +
            (matched_by ? " (lines 1.." + std::to_string(matched) + " match " + entries[*matched_by].source + ")"
                        : std::string()));
  }
}

// Pairs that cannot both describe this log: equal sizes with different roots, or a later
// checkpoint that matches the log while an earlier one it should extend does not.
void report_conflicts(const Entries& entries, const std::vector<Match>& states, LogReport& report) {
  const auto size_of = [&](std::size_t i) { return entries[i].checkpoint->size; };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].checkpoint) continue;
    for (std::size_t j = i + 1; j < entries.size(); ++j) {
      if (entries[j].checkpoint && size_of(i) == size_of(j) &&
          entries[i].checkpoint->root != entries[j].checkpoint->root) {
        add_report_failure(report, 0, FailureKind::kCheckpointConflict,
                           entries[i].source + " and " + entries[j].source + " both cover " +
                               std::to_string(size_of(i)) + " lines with different roots: they cannot both be right");
      }
    }
    if (states[i] != Match::kMismatch) continue;
    // The smallest larger checkpoint that the log matches: it should extend this one.
    std::optional<std::size_t> later;
    for (std::size_t j = 0; j < entries.size(); ++j) {
      if (states[j] == Match::kMatch && size_of(j) > size_of(i) && (!later || size_of(j) < size_of(*later))) later = j;
    }
    if (later) {
      add_report_failure(report, 0, FailureKind::kCheckpointConflict,
                         entries[*later].source + " matches the log but does not extend " + entries[i].source +
                             ": its first " + std::to_string(size_of(i)) +
                             " lines were rewritten before it was signed");
    }
  }
}

}  // namespace

void CheckpointSet::judge(LogReport& report) const {
  if (!report.readable()) return;
  if (report.tree_roots.size() < first_size_ + entries_.size())
    throw std::logic_error("the log was not verified with the checkpoints' tree sizes");
  const std::vector<Match> states = match_all(entries_, first_size_, report);
  report_mismatches(entries_, states, report);
  report_conflicts(entries_, states, report);
}

CheckpointOutcome make_checkpoint(const std::vector<LogPiece>& pieces, const PublicKey& log_key,
                                  const SigningKey& witness, std::string_view origin,
                                  const std::optional<CheckpointInput>& previous, VerifyOptions options) {
  const NoteVerifierKey own = make_verifier_key(origin, witness.public_key());
  std::optional<CheckpointSet> earlier;
  if (previous) earlier.emplace(std::vector<CheckpointInput>{*previous}, std::span(&own, 1), origin);
  options.tree = true;
  if (earlier) earlier->prepare(options);
  CheckpointOutcome out{ParallelVerifier(log_key, 1).verify(pieces, options), {}};
  if (earlier) earlier->judge(out.report);
  if (out.report.ok()) out.note = sign_checkpoint(origin, out.report.tree_leaves, out.report.tree_root, witness);
  return out;
}

}  // namespace velm::verify
