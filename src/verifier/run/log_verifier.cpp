#include "verifier/run/log_verifier.h"

#include <algorithm>
#include <tuple>
#include <unordered_map>

#include "verifier/chain/chain_tracker.h"

namespace velm::verify {

std::uint64_t LogReport::failure_total() const noexcept {
  std::uint64_t total = 0;
  for (const std::uint64_t n : failure_counts) total += n;
  return total;
}

void LogReport::for_each_chain(const std::function<void(const ChainSummary&)>& visit) const {
  if (chain_store) chain_store->for_each_chain([&](const ChainRecord& r) { visit(summarize(r, max_open_chains)); });
}

std::pair<std::string, std::uint64_t> LogReport::locate(std::uint64_t line) const {
  if (pieces.empty() || line == 0) return {path, line};
  // The last piece that begins at or before the line (an empty piece begins where the next does).
  auto it = std::upper_bound(pieces.begin(), pieces.end(), line,
                             [](std::uint64_t n, const PieceInfo& p) { return n < p.first_line; });
  if (it == pieces.begin()) return {path, line};
  --it;
  return {it->path, line - it->first_line + 1};
}

void LogReport::attribute_failures_to_pieces() {
  if (pieces.empty()) return;
  for (Failure& f : failures) {
    if (f.line == 0) continue;
    f.log_line = f.line;
    std::tie(f.file, f.line) = locate(f.line);
  }
}

void LogReport::hint_at_piece_order() {
  for (const auto& [line, from_line] : later_links) {
    const auto [piece, piece_line] = locate(line);
    const auto [later, later_line] = locate(from_line);
    if (piece == later) continue;
    hint = "the pieces look out of order: line " + std::to_string(piece_line) + " of " + piece +
           " continues the chain whose last record is line " + std::to_string(later_line) + " of " + later +
           ", given after it; give the pieces oldest first (audit.wal.2 audit.wal.1 audit.wal)";
    return;
  }
}

std::vector<ChainSummary> LogReport::chains() const {
  std::vector<ChainSummary> out;
  for_each_chain([&](const ChainSummary& c) { out.push_back(c); });
  return out;
}

// The folder of the log at `path`; empty for standard input.
static std::string folder_of(const std::string& path) {
  if (path.empty() || path == "-") return {};
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

LogReport unreadable_log(const std::string& path, const std::string& error) {
  LogReport r;
  r.path = path;
  r.error = error;
  return r;
}

struct LogVerifier::State {
  VerifyOptions options;
  LineChecker checker;
  LineFacts facts;  // reused from line to line
  FailureList failures;
  ChainTracker tracker;
  std::uint64_t line_no = 0;
  std::unordered_map<Digest, std::size_t, DigestHash> expected_index;
  std::vector<std::uint64_t> expected_head_lines;
  TreeBuilder tree;
  std::uint64_t tree_gap = 0;  // the first line left unread: the tree stops before it
  std::vector<std::optional<TreeHash>> tree_roots;
  std::vector<std::uint64_t> line_chains;  // per line: its chain's number in the store + 1, 0 if none
  ChartCollector chart;
  const LineFacts* placing = nullptr;  // the facts of the line being placed

  State(const PublicKey& key, VerifyOptions o, std::string file)
      : options(std::move(o)),
        checker(key),
        failures(file, options.max_failures_kept),
        tracker({options.max_open_chains, options.replay_scores, folder_of(file), placed_hook()}, failures) {
    expected_head_lines.assign(options.expected_heads.size(), 0);
    for (std::size_t i = 0; i < options.expected_heads.size(); ++i)
      expected_index.emplace(options.expected_heads[i], i);
    tree_roots.resize(options.tree_sizes.size());
    if (options.tree) keep_tree_roots();  // size 0
  }

  std::function<void(std::uint64_t, std::uint64_t)> placed_hook() {
    if (!options.line_chains && !options.chart) return {};
    return [this](std::uint64_t line, std::uint64_t chain) {
      if (options.line_chains) {
        if (line_chains.size() < line) line_chains.resize(line, 0);
        line_chains[line - 1] = chain + 1;
      }
      // A line moved to another chain later is charted where it was first placed.
      if (options.chart && placing != nullptr && line == line_no) chart.add(chain, *placing);
    };
  }

  // The store's chain numbers (+ 1) of line_chains turned into the report's.
  std::vector<std::uint64_t> report_line_chains(const ChainStore& store) {
    std::vector<std::uint64_t> ordinal(store.size() + 1, 0);
    std::uint64_t next = 0;
    store.for_each_numbered([&](std::uint64_t number, const ChainRecord&) { ordinal[number + 1] = ++next; });
    line_chains.resize(line_no, 0);
    for (std::uint64_t& c : line_chains) c = ordinal[c];
    return std::move(line_chains);
  }

  void add_leaf(const TreeHash& leaf) {
    if (tree_gap != 0) return;
    tree.add_leaf_hash(leaf);
    keep_tree_roots();
  }

  void keep_tree_roots() {
    for (std::size_t i = 0; i < options.tree_sizes.size(); ++i) {
      if (options.tree_sizes[i] == tree.size()) tree_roots[i] = tree.root();
    }
  }

  void take(const LineFacts& f) {
    const std::uint64_t n = ++line_no;
    if (!f.form_problem.empty()) failures.add(n, FailureKind::kBadForm, f.form_problem);
    if (f.root && !expected_index.empty()) {
      const auto it = expected_index.find(*f.root);
      if (it != expected_index.end() && expected_head_lines[it->second] == 0) expected_head_lines[it->second] = n;
    }
    if (f.hash_mismatch) {
      failures.add(n, FailureKind::kHashMismatch,
                   "the sealed fields hash to " + hex_lower(f.sealed->data(), 8) + "..., not to the stored hash");
    }
    if (f.bad_signature) {
      failures.add(n, FailureKind::kBadSignature,
                   "the signature does not verify for the stored hash under the public key");
    }
    placing = &f;
    tracker.place(n, f);
    placing = nullptr;
  }
};

LogVerifier::LogVerifier(const PublicKey& key, VerifyOptions options, std::string file)
    : state_(std::make_unique<State>(key, std::move(options), std::move(file))) {}

LogVerifier::~LogVerifier() = default;

void LogVerifier::add_line(std::string_view line) {
  state_->checker.check(line, state_->facts);
  state_->take(state_->facts);
  if (state_->options.tree) state_->add_leaf(leaf_hash(line));
}

void LogVerifier::add_checked(const LineFacts& facts) { state_->take(facts); }

void LogVerifier::add_tree_leaf(const TreeHash& leaf) {
  if (state_->options.tree) state_->add_leaf(leaf);
}

void LogVerifier::add_torn_line() {
  const std::uint64_t n = ++state_->line_no;
  state_->failures.add(n, FailureKind::kTornLine, "the last line has no line feed: its append was cut off");
}

void LogVerifier::add_oversized_line(std::uint64_t length) {
  const std::uint64_t n = ++state_->line_no;
  if (state_->tree_gap == 0) state_->tree_gap = n;
  state_->failures.add(n, FailureKind::kBadForm,
                       "the line is " + std::to_string(length) + " bytes long, more than the limit of " +
                           std::to_string(state_->options.max_line_bytes) + "; it was not read");
}

void LogVerifier::add_not_a_log(std::uint64_t length) {
  const std::uint64_t n = ++state_->line_no;
  if (state_->tree_gap == 0) state_->tree_gap = n;
  state_->failures.add(n, FailureKind::kNotALog,
                       "the file's " + std::to_string(length) +
                           " bytes are not JSON lines (its first line is binary, and no line read with it begins with "
                           "'{'): a key file, or another file a pattern caught? It was not read");
}

void LogVerifier::add_read(LineSource::Status status, std::string_view line, std::uint64_t length) {
  switch (status) {
    case LineSource::Status::kLine:
      add_line(line);
      break;
    case LineSource::Status::kTorn:
      add_torn_line();
      break;
    case LineSource::Status::kOversized:
      add_oversized_line(length);
      break;
    case LineSource::Status::kNotLog:
      add_not_a_log(length);
      break;
    case LineSource::Status::kEnd:
      break;
  }
}

std::uint64_t LogVerifier::lines() const noexcept { return state_->line_no; }

LogReport LogVerifier::finish(const std::string& path, std::uint64_t bytes) {
  State& s = *state_;
  LogReport r;
  r.path = path;
  r.lines = s.line_no;
  r.bytes = bytes;
  for (const LaterLink& link : s.tracker.later_links()) r.later_links.emplace_back(link.line, link.from_line);
  r.chain_store = std::make_shared<const ChainStore>(s.tracker.finish(r.records, r.chain_count));
  if (s.options.line_chains) r.line_chains = s.report_line_chains(*r.chain_store);
  if (s.options.chart) r.chart = s.chart.take(*r.chain_store);
  r.max_open_chains = s.options.max_open_chains == 0 ? 1 : s.options.max_open_chains;
  r.failure_counts = s.failures.counts();
  r.failures_omitted = s.failures.omitted();
  r.failures = s.failures.take_sorted();
  r.scores_replayed = s.options.replay_scores;
  r.expected_head_lines = s.expected_head_lines;
  if (s.options.tree) {
    r.tree_leaves = s.tree.size();
    r.tree_gap_line = s.tree_gap;
    r.tree_root = s.tree.root();
    r.tree_roots = s.tree_roots;
  }
  // A root given twice is watched once, under its first index.
  for (std::size_t i = 0; i < r.expected_head_lines.size(); ++i) {
    r.expected_head_lines[i] = s.expected_head_lines[s.expected_index.at(s.options.expected_heads[i])];
  }
  return r;
}

}  // namespace velm::verify
