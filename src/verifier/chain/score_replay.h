// Score replay: a chain's records scored again from their lengths, compared bit for bit with the
// logged scores. Scorer states come from a pool no larger than the number of open chains.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "encoding/sine_check.h"
#include "engine/scoring.h"
#include "verifier/line/line_check.h"

namespace velm::verify {

// The recorded sines and the comparison with this machine's sinf, shared with the engine.
using velm::recorded_sines;
using velm::sine_difference;
using velm::SinePair;

// The same IEEE-754 bits: replayed scores must equal the logged ones exactly.
bool same_bits(double a, double b) noexcept;

// Scorer states for the chains being replayed. A state is handed out empty and comes back when
// its chain stops being replayed, and is reused in place (reset, never re-allocated), so the
// memory held is that of the most chains open at once.
class ScorerPool {
 public:
  using Handle = std::uint32_t;  // an index into the pool
  Handle acquire();
  void release(Handle h) noexcept;
  Scorer& at(Handle h) noexcept { return *slots_[h]; }
  std::size_t size() const noexcept { return slots_.size(); }

 private:
  std::vector<std::unique_ptr<Scorer>> slots_;
  std::vector<Handle> free_;
};

// One record's replay against `scorer`: what differs, if anything, and whether the history is
// still known afterwards (it is when the coherence matched; the record's vector is then pushed).
struct ReplayStep {
  std::optional<std::string> mismatch;  // what differs, when the scores do not match
  bool history_known = true;
};
ReplayStep replay_record(Scorer& scorer, const ScoreInput& in);

// The output lengths tried around the logged one when a chain's second record does not replay.
inline constexpr std::uint64_t kFirstOutputSearch = 512;
// Searches made for one log at most, so a log of many such chains costs no more than a bounded
// amount of extra time.
inline constexpr std::uint32_t kFirstOutputSearches = 1000;

// A chain's first record scores the same for almost any length, so an edited output there shows
// only at the second record. Looks for an output length of the first record, within
// kFirstOutputSearch bytes of the logged one, under which both records replay; that length, or
// nothing.
std::optional<std::uint64_t> first_output_length_explaining(const ScoreInput& first, const ScoreInput& second);

}  // namespace velm::verify
