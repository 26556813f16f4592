#include "verifier/chain/score_replay.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "encoding/json_writer.h"
#include "engine/scoring_internal.h"
#include "records/record_json.h"

namespace velm::verify {

namespace {

std::string float_text(double v) {
  JsonWriter w;
  w.float64(v);
  return w.take();
}

bool matches(const Evaluation& e, const ScoreInput& in) noexcept {
  return same_bits(e.coherence, in.coherence) && same_bits(e.reputation, in.reputation);
}

}  // namespace

bool same_bits(double a, double b) noexcept {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

ScorerPool::Handle ScorerPool::acquire() {
  if (!free_.empty()) {
    const Handle h = free_.back();
    free_.pop_back();
    // Reset in place: freeing and re-allocating the large aligned state once per chain, between
    // the allocations of failure texts, fragments the heap until it holds many times the states
    // in use.
    slots_[h]->reset();
    return h;
  }
  slots_.push_back(std::make_unique<Scorer>());
  return static_cast<Handle>(slots_.size() - 1);
}

void ScorerPool::release(Handle h) noexcept { free_.push_back(h); }

ReplayStep replay_record(Scorer& scorer, const ScoreInput& in) {
  // auto_insight is not logged; it changes neither the history nor the reputation, so the replay
  // asks for an insight and accepts a logged null in its place.
  const Evaluation e = scorer.evaluate(in.prompt_bytes, in.output_bytes, true);
  ReplayStep step;
  if (!same_bits(e.coherence, in.coherence)) {
    step.mismatch = "coherence_score is " + float_text(in.coherence) + ", the replay gives " + float_text(e.coherence);
  } else if (!same_bits(e.reputation, in.reputation)) {
    step.mismatch =
        "reputation_scalar is " + float_text(in.reputation) + ", the replay gives " + float_text(e.reputation);
  } else if (in.insight) {
    if (!e.insight) {
      step.mismatch = "core_insight_json is set, but the replayed coherence is below the insight threshold";
    } else if (core_insight_json(*e.insight) != *in.insight) {
      step.mismatch = "core_insight_json differs from the replayed insight";
    }
  }
  if (same_bits(e.coherence, in.coherence)) {
    // The history is intact; a wrong reputation or insight was only logged wrong.
    scorer.commit(e);
  } else {
    // The lengths behind this record are not what was scored: the history from here is unknown.
    step.history_known = false;
  }
  return step;
}

namespace {

// The scores of a chain's first two records for the first one's combined length `l1`, by the
// scoring steps themselves: a fast filter, each hit confirmed with a full Scorer.
bool two_records_match(std::uint64_t l1, std::uint64_t l2, const ScoreInput& first, const ScoreInput& second) {
  using namespace scoring_detail;
  const DecisionVector v1 = decision_vector(l1);
  alignas(32) DecisionVector mean1{};
  const float one = 1.0f;  // the only weight of a one-vector history
  accumulate_weighted(mean1.data(), v1.data(), &one, 1);
  const double c1 = coherence(v1, mean1);
  const double r1 = next_reputation(kInitialReputation, c1);
  if (!same_bits(c1, first.coherence) || !same_bits(r1, first.reputation)) return false;
  const DecisionVector v2 = decision_vector(l2);
  const float decay = 0.98f;
  const float norm = (1.0f - decay * decay) / 0.019999980926513672f;
  const float weights[2] = {1.0f / norm, decay / norm};
  alignas(32) DecisionVector mean2{};
  accumulate_weighted(mean2.data(), v2.data(), &weights[0], 1);
  accumulate_weighted(mean2.data(), v1.data(), &weights[1], 1);
  const double c2 = coherence(v2, mean2);
  return same_bits(c2, second.coherence) && same_bits(next_reputation(r1, c2), second.reputation);
}

}  // namespace

std::optional<std::uint64_t> first_output_length_explaining(const ScoreInput& first, const ScoreInput& second) {
  if (!first.usable || !second.usable) return std::nullopt;
  const std::uint64_t logged = first.output_bytes;
  const std::uint64_t l2 = second.prompt_bytes + second.output_bytes;
  for (std::uint64_t distance = 1; distance <= kFirstOutputSearch; ++distance) {
    for (int side = 0; side < 2; ++side) {
      if (side == 0 ? distance > logged : logged > UINT64_MAX - distance) continue;
      const std::uint64_t output = side == 0 ? logged - distance : logged + distance;
      if (!two_records_match(first.prompt_bytes + output, l2, first, second)) continue;
      Scorer s;
      const Evaluation e1 = s.evaluate(first.prompt_bytes, output, true);
      if (!matches(e1, first)) continue;
      if (first.insight && (!e1.insight || core_insight_json(*e1.insight) != *first.insight)) continue;
      s.commit(e1);
      if (matches(s.evaluate(second.prompt_bytes, second.output_bytes, true), second)) return output;
    }
  }
  return std::nullopt;
}

}  // namespace velm::verify
