// The sequential stage: places each checked line in a hash chain, in log order, and replays the
// scores of the chains that begin at genesis.
//
// Invariants, after every call of place():
//  - Every chain ever opened has a number in the store, and numbers follow the chains' first
//    lines. A chain recovered through a damaged first root takes the number of the chain or of the
//    placeholder that was opened for that line, so the order holds for it too.
//  - At most max_open_chains chains are open. Each open chain sits once in `mru_` (most recently
//    extended first) and once in `open_heads_`, under its current head. Two open chains can share a
//    head (two engines that sealed the same contents in the same order).
//  - An open chain holds a scorer exactly while its scores are being replayed, so the pool never
//    holds more scorers than max_open_chains. Once replay of a chain stops it never resumes.
//  - At most one line is pending: the latest line whose merkle_root followed from no chain. While
//    it is pending, every other open chain knows the head it would have had if the pending line
//    had been its next record with a damaged merkle_root (alt_head).
//  - The store holds the final record of every closed chain; open chains are written at close.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "verifier/chain/chain_store.h"
#include "verifier/chain/score_replay.h"
#include "verifier/line/failure.h"
#include "verifier/line/line_check.h"

namespace velm::verify {

struct DigestHash {
  std::size_t operator()(const Digest& d) const noexcept {
    std::size_t v;
    // Roots a log can choose sit among at most max_open_chains heads; eight bytes suffice.
    std::memcpy(&v, d.data(), sizeof v);
    return v;
  }
};

struct TrackerOptions {
  // Chains whose heads are tried for each line. Past this many, the chain extended longest ago
  // is closed: a later record extending it is reported as a chain break.
  std::size_t max_open_chains = 128;
  bool replay_scores = true;  // false when this machine's sinf is not the engine's
  std::string log_dir;        // the log's folder, for the chain table where $TMPDIR cannot hold it
  // Told each line placed in a chain, with the chain's number in the store; told again with another
  // number when a later line shows that the line belongs to another chain.
  std::function<void(std::uint64_t line, std::uint64_t chain)> placed;
};

// A chain break whose record follows from the head of a chain that ends later in the log: the lines
// were given out of order (the pieces of a series, say).
struct LaterLink {
  std::uint64_t line = 0;       // the chain break
  std::uint64_t from_line = 0;  // the last record of the chain it follows from
};

class ChainTracker {
 public:
  ChainTracker(TrackerOptions options, FailureList& failures);

  // Places line `n`, whose own checks are done and reported, and replays its scores.
  void place(std::uint64_t n, const LineFacts& f);

  // Which of the first few chain breaks follow from the head of a chain still open that ends after
  // them, in line order. Call before finish().
  std::vector<LaterLink> later_links() const;

  // Writes the open chains to the store and hands it over, with the number of records placed
  // and of chains (both without the dissolved ones). The tracker is done afterwards.
  ChainStore finish(std::uint64_t& records, std::uint64_t& chains);

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  struct OpenChain {
    std::uint64_t number = 0;
    ChainRecord rec;
    std::optional<IdKey> last_id;
    std::optional<ScorerPool::Handle> scorer;
    std::optional<Digest> alt_head;
    std::optional<ScoreInput> first_scores;  // while the chain has one replayed record
  };
  enum class LinkKind { kNone, kHead, kGenesis, kAlt, kAltGenesis };
  struct Link {
    LinkKind kind = LinkKind::kNone;
    std::size_t slot = kNone;
  };
  // The most recent line that followed from no chain. If the next record of some chain follows
  // from "that chain's head, then this line's hash", this line belonged there and only its own
  // merkle_root was wrong: the chain goes on instead of breaking a second time.
  struct Pending {
    bool active = false;
    std::uint64_t line = 0;
    std::optional<IdKey> id;
    std::size_t slot = kNone;  // the open chain begun at it, if any
    std::uint64_t number = 0;  // that chain's number, or the placeholder's
    Digest genesis_alt{};      // its root had it been the first record of a chain
    ScoreInput scores;
    std::size_t failure = FailureList::kNotKept;  // its chain-break failure, to explain once resolved
  };

  Link find_link(const Digest& hash, const Digest& root) const;
  std::size_t pick_among_equal_heads(std::size_t first, const ScoreInput& s);
  bool is_duplicate(std::uint64_t n, const Digest& root, const std::optional<IdKey>& id);
  std::size_t open_chain(std::uint64_t line, const Digest& root, bool from_genesis, const std::optional<IdKey>& id,
                         std::optional<std::uint64_t> number = std::nullopt);
  void close_chain(std::size_t slot, bool dissolve);
  void dissolve_pending_chain();
  void set_head(std::size_t slot, const Digest& root);
  void extend(std::size_t slot, std::uint64_t line, const Digest& root, const ScoreInput& s,
              const std::optional<IdKey>& id);
  void touch(std::size_t slot);
  void replay(std::size_t slot, std::uint64_t line, const ScoreInput& s);
  void stop_replay(OpenChain& c, ScoresNote why, std::uint64_t line);
  void start_pending(std::uint64_t line, std::size_t slot, const Digest& hash, const LineFacts& f, std::size_t failure);
  void clear_pending();
  void resolve_pending(std::string detail);

  // The first chain breaks, kept to look for a later chain they follow from.
  struct BreakProbe {
    std::uint64_t line = 0;
    Digest hash{};
    Digest root{};
  };
  static constexpr std::size_t kMaxBreakProbes = 16;

  TrackerOptions options_;
  std::vector<BreakProbe> break_probes_;
  FailureList& failures_;
  ChainStore store_;
  GenesisIndex genesis_;
  ScorerPool pool_;
  std::vector<OpenChain> slots_;
  std::vector<std::size_t> free_slots_;
  std::vector<std::size_t> mru_;
  std::unordered_multimap<Digest, std::size_t, DigestHash> open_heads_;
  Pending pending_;
  std::uint32_t searches_left_ = kFirstOutputSearches;
};

}  // namespace velm::verify
