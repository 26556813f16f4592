#include "verifier/chain/chain_tracker.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <utility>

namespace velm::verify {

ChainTracker::ChainTracker(TrackerOptions options, FailureList& failures)
    : options_(std::move(options)), failures_(failures), store_(4096, options_.log_dir) {
  if (options_.max_open_chains == 0) options_.max_open_chains = 1;
}

void ChainTracker::place(std::uint64_t n, const LineFacts& f) {
  if (!f.root) {
    // The root is unreadable (already reported): the next record of its chain can still show
    // where this one belongs.
    if (f.hash) start_pending(n, kNone, *f.hash, f, FailureList::kNotKept);
    return;
  }
  const Digest& root = *f.root;
  if (!f.hash) {
    // Nothing to link with (already reported); later records may still extend its root.
    if (!is_duplicate(n, root, f.id)) open_chain(n, root, false, f.id);
    return;
  }
  Link link = find_link(*f.hash, root);
  // A damaged stored hash: the chain may still link through the digest of the sealed fields.
  if (link.kind == LinkKind::kNone && f.sealed && *f.sealed != *f.hash) link = find_link(*f.sealed, root);
  if (is_duplicate(n, root, f.id)) return;

  switch (link.kind) {
    case LinkKind::kHead: {
      const std::size_t c = pick_among_equal_heads(link.slot, f.scores);
      extend(c, n, root, f.scores, f.id);
      if (pending_.active && c == pending_.slot) clear_pending();  // its root was right
      return;
    }
    case LinkKind::kGenesis: {
      const std::size_t c = open_chain(n, root, true, f.id);
      replay(c, n, f.scores);
      return;
    }
    case LinkKind::kAlt: {
      const std::size_t c = link.slot;
      const Digest mid = *slots_[c].alt_head;
      const Pending p = pending_;
      dissolve_pending_chain();
      set_head(c, mid);
      OpenChain& chain = slots_[c];
      chain.rec.last_line = p.line;
      chain.last_id = p.id;
      ++chain.rec.records;
      if (options_.placed) options_.placed(p.line, chain.number);
      replay(c, p.line, p.scores);
      resolve_pending("its merkle_root is damaged: line " + std::to_string(n) +
                      " follows from the root it should have had, in the chain of line " +
                      std::to_string(slots_[c].rec.first_line));
      extend(c, n, root, f.scores, f.id);
      return;
    }
    case LinkKind::kAltGenesis: {
      const Pending p = pending_;
      dissolve_pending_chain();
      resolve_pending("its merkle_root is damaged: line " + std::to_string(n) +
                      " follows from the root it should have had as the first record of a chain");
      const std::size_t c = open_chain(p.line, p.genesis_alt, true, p.id, p.number);
      replay(c, p.line, p.scores);
      extend(c, n, root, f.scores, f.id);
      return;
    }
    case LinkKind::kNone:
      break;
  }
  const std::size_t failure =
      failures_.add(n, FailureKind::kChainBreak,
                    "its merkle_root follows neither from genesis nor from the head of any open chain: a record "
                    "before it is missing, or this one was moved, inserted or damaged");
  if (break_probes_.size() < kMaxBreakProbes) break_probes_.push_back({n, *f.hash, root});
  const std::size_t c = open_chain(n, root, false, f.id);
  start_pending(n, c, *f.hash, f, failure);
}

std::vector<LaterLink> ChainTracker::later_links() const {
  std::vector<LaterLink> links;
  for (const BreakProbe& b : break_probes_) {
    for (const std::size_t slot : mru_) {
      const ChainRecord& r = slots_[slot].rec;
      if (r.last_line > b.line && next_chain_root(r.head, b.hash) == b.root) {
        links.push_back({b.line, r.last_line});
        break;
      }
    }
  }
  return links;
}

ChainTracker::Link ChainTracker::find_link(const Digest& hash, const Digest& root) const {
  auto follows = [&](const Digest& from) { return next_chain_root(from, hash) == root; };
  // The last chain extended is the likeliest, then a new chain; the rest only if both fail.
  if (!mru_.empty() && follows(slots_[mru_[0]].rec.head)) return {LinkKind::kHead, mru_[0]};
  if (follows(genesis_root())) return {LinkKind::kGenesis, kNone};
  for (std::size_t k = 1; k < mru_.size(); ++k) {
    if (follows(slots_[mru_[k]].rec.head)) return {LinkKind::kHead, mru_[k]};
  }
  if (pending_.active) {
    for (const std::size_t s : mru_) {
      if (slots_[s].alt_head && follows(*slots_[s].alt_head)) return {LinkKind::kAlt, s};
    }
    if (follows(pending_.genesis_alt)) return {LinkKind::kAltGenesis, kNone};
  }
  return {};
}

std::size_t ChainTracker::pick_among_equal_heads(std::size_t first, const ScoreInput& s) {
  const auto [begin, end] = open_heads_.equal_range(slots_[first].rec.head);
  if (std::next(begin) == end || !s.usable) return first;
  // Equal heads, different histories behind the scores: take the chain whose replay matches.
  for (auto it = begin; it != end; ++it) {
    const OpenChain& c = slots_[it->second];
    if (!c.scorer) continue;
    const Evaluation e = pool_.at(*c.scorer).evaluate(s.prompt_bytes, s.output_bytes, false);
    if (same_bits(e.coherence, s.coherence) && same_bits(e.reputation, s.reputation)) return it->second;
  }
  return first;
}

// The record repeated: same root and same id as the head of an open chain or the first record of
// any chain begun at genesis. The id is not sealed, so a repeat with a new id passes for a new
// engine that sealed the same contents; it cannot be told apart.
bool ChainTracker::is_duplicate(std::uint64_t n, const Digest& root, const std::optional<IdKey>& id) {
  if (!id) return false;
  std::uint64_t earlier = 0;
  for (auto [it, end] = open_heads_.equal_range(root); it != end && earlier == 0; ++it) {
    if (slots_[it->second].last_id == id) earlier = slots_[it->second].rec.last_line;
  }
  if (earlier == 0) earlier = genesis_.find(store_, root, *id);
  if (earlier == 0) return false;
  failures_.add(n, FailureKind::kChainBreak, "it repeats the record at line " + std::to_string(earlier));
  return true;
}

std::size_t ChainTracker::open_chain(std::uint64_t line, const Digest& root, bool from_genesis,
                                     const std::optional<IdKey>& id, std::optional<std::uint64_t> number) {
  if (mru_.size() >= options_.max_open_chains) close_chain(mru_.back(), false);
  OpenChain c;
  c.rec.first_line = line;
  c.rec.last_line = line;
  c.rec.records = 1;
  c.rec.head = root;
  c.rec.first_root = root;
  c.rec.from_genesis = from_genesis ? 1 : 0;
  if (id) {
    c.rec.first_id = *id;
    c.rec.has_first_id = 1;
  }
  c.last_id = id;
  if (!from_genesis) {
    c.rec.note = ScoresNote::kAfterBreak;
  } else if (!options_.replay_scores) {
    c.rec.note = ScoresNote::kSinfDiffers;
  } else {
    c.scorer = pool_.acquire();
  }
  if (number) {
    c.number = *number;
    store_.put(c.number, c.rec);
  } else {
    c.number = store_.add(c.rec);
  }
  if (from_genesis && id) genesis_.add(store_, c.number, root, *id);
  if (options_.placed) options_.placed(line, c.number);
  std::size_t slot;
  if (free_slots_.empty()) {
    slot = slots_.size();
    slots_.push_back(std::move(c));
  } else {
    slot = free_slots_.back();
    free_slots_.pop_back();
    slots_[slot] = std::move(c);
  }
  open_heads_.emplace(root, slot);
  mru_.insert(mru_.begin(), slot);
  return slot;
}

void ChainTracker::stop_replay(OpenChain& c, ScoresNote why, std::uint64_t line) {
  if (!c.scorer) return;
  pool_.release(*c.scorer);
  c.scorer.reset();
  c.first_scores.reset();
  c.rec.note = why;
  c.rec.note_line = line;
}

void ChainTracker::close_chain(std::size_t slot, bool dissolve) {
  OpenChain& c = slots_[slot];
  for (auto [it, end] = open_heads_.equal_range(c.rec.head); it != end; ++it) {
    if (it->second == slot) {
      open_heads_.erase(it);
      break;
    }
  }
  mru_.erase(std::find(mru_.begin(), mru_.end(), slot));
  if (dissolve) {
    c.rec.dissolved = 1;
  } else {
    stop_replay(c, ScoresNote::kClosed, c.rec.last_line);
  }
  if (c.scorer) pool_.release(*c.scorer);
  store_.put(c.number, c.rec);
  if (pending_.active && pending_.slot == slot) pending_.slot = kNone;
  slots_[slot] = OpenChain{};
  free_slots_.push_back(slot);
}

// The pending line's own chain, or its placeholder, turned out to be part of another chain.
void ChainTracker::dissolve_pending_chain() {
  if (pending_.slot != kNone) {
    close_chain(pending_.slot, true);
    return;
  }
  ChainRecord r = store_.get(pending_.number);
  r.dissolved = 1;
  store_.put(pending_.number, r);
}

void ChainTracker::set_head(std::size_t slot, const Digest& root) {
  OpenChain& c = slots_[slot];
  for (auto [it, end] = open_heads_.equal_range(c.rec.head); it != end; ++it) {
    if (it->second == slot) {
      open_heads_.erase(it);
      break;
    }
  }
  c.rec.head = root;
  open_heads_.emplace(root, slot);
}

void ChainTracker::touch(std::size_t slot) {
  const auto it = std::find(mru_.begin(), mru_.end(), slot);
  std::rotate(mru_.begin(), it, it + 1);
}

void ChainTracker::extend(std::size_t slot, std::uint64_t line, const Digest& root, const ScoreInput& s,
                          const std::optional<IdKey>& id) {
  set_head(slot, root);
  OpenChain& c = slots_[slot];
  c.rec.last_line = line;
  c.last_id = id;
  ++c.rec.records;
  if (options_.placed) options_.placed(line, c.number);
  c.alt_head.reset();
  touch(slot);
  replay(slot, line, s);
}

void ChainTracker::replay(std::size_t slot, std::uint64_t line, const ScoreInput& s) {
  OpenChain& c = slots_[slot];
  if (!c.scorer) return;
  if (!s.usable) {
    stop_replay(c, ScoresNote::kUnreadableScores, line);
    return;
  }
  ReplayStep step = replay_record(pool_.at(*c.scorer), s);
  ++c.rec.scores_checked;
  if (step.mismatch && c.rec.records == 2 && c.first_scores && searches_left_ > 0) {
    --searches_left_;
    // The first record scores alike for almost any length: its output may be the one changed.
    const ScoreInput first = *c.first_scores;
    if (const auto output = first_output_length_explaining(first, s)) {
      failures_.add(c.rec.first_line, FailureKind::kScoreMismatch,
                    "the output is " + std::to_string(first.output_bytes) + " bytes long, but line " +
                        std::to_string(line) + ", the next record of its chain, replays only with " +
                        std::to_string(*output) + " bytes here");
      ScorerPool::Handle h = *c.scorer;
      pool_.release(h);
      h = pool_.acquire();
      c.scorer = h;
      Scorer& scorer = pool_.at(h);
      scorer.commit(scorer.evaluate(first.prompt_bytes, *output, true));
      step = replay_record(scorer, s);
    } else {
      *step.mismatch += " (or the output of line " + std::to_string(c.rec.first_line) +
                        ", the first record of the chain, was changed: its own scores hardly depend on its length)";
    }
  }
  c.first_scores.reset();
  if (step.mismatch) {
    // The replay follows the prompt and output lengths of the chain's records: a changed one shifts the scores after
    // it.
    failures_.add(line, FailureKind::kScoreMismatch,
                  *step.mismatch + "; a prompt or output length in this chain (from line " +
                      std::to_string(c.rec.first_line) + ") changed at or before this line");
  }
  if (!step.history_known) {
    stop_replay(c, ScoresNote::kMismatch, line);
  } else if (c.rec.records == 1 && !step.mismatch) {
    c.first_scores = s;
  }
}

void ChainTracker::start_pending(std::uint64_t line, std::size_t slot, const Digest& hash, const LineFacts& f,
                                 std::size_t failure) {
  clear_pending();
  for (const std::size_t s : mru_) {
    if (s != slot) slots_[s].alt_head = next_chain_root(slots_[s].rec.head, hash);
  }
  pending_.active = true;
  pending_.line = line;
  pending_.id = f.id;
  pending_.slot = slot;
  if (slot != kNone) {
    pending_.number = slots_[slot].number;
  } else {
    // A placeholder keeps this line's place among the chains, should it turn out to begin one.
    ChainRecord placeholder;
    placeholder.first_line = line;
    placeholder.last_line = line;
    placeholder.dissolved = 1;
    pending_.number = store_.add(placeholder);
  }
  pending_.genesis_alt = next_chain_root(genesis_root(), hash);
  pending_.scores = f.scores;
  pending_.failure = failure;
}

void ChainTracker::clear_pending() {
  if (!pending_.active) return;
  for (const std::size_t s : mru_) slots_[s].alt_head.reset();
  pending_ = Pending{};
}

void ChainTracker::resolve_pending(std::string detail) {
  failures_.set_detail(pending_.failure, std::move(detail));
  clear_pending();
}

ChainStore ChainTracker::finish(std::uint64_t& records, std::uint64_t& chains) {
  for (const std::size_t slot : mru_) {
    OpenChain& c = slots_[slot];
    store_.put(c.number, c.rec);
  }
  records = 0;
  chains = 0;
  store_.for_each_chain([&](const ChainRecord& r) {
    records += r.records;
    ++chains;
  });
  store_.finish();
  return std::move(store_);
}

}  // namespace velm::verify
