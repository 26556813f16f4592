// Coherence, reputation and insight scoring. Every operation is specified in single or double
// precision and rounded on its own, because the results are sealed as text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "records/core_insight.h"

namespace velm {

inline constexpr std::size_t kHistoryLimit = 500;
inline constexpr double kInsightThreshold = 0.92;
inline constexpr double kInitialReputation = 0.5;

using DecisionVector = std::array<float, kVectorSize>;

// The outcome of scoring one decision, computed without changing the scorer.
struct Evaluation {
  DecisionVector vector{};
  double coherence = 0.5;
  double reputation = kInitialReputation;  // the new reputation
  std::optional<CoreInsight> insight;
};

class Scorer {
 public:
  Scorer();  // empty history, storage for kHistoryLimit vectors reserved here
  ~Scorer();
  Scorer(Scorer&&) noexcept;
  Scorer& operator=(Scorer&&) noexcept;

  // Scores a decision as if its vector had been pushed onto the history; changes nothing.
  Evaluation evaluate(std::uint64_t prompt_bytes, std::uint64_t output_bytes, bool auto_insight) const;
  // Pushes the evaluated vector (dropping the oldest beyond the limit) and takes its reputation.
  void commit(const Evaluation& evaluation) noexcept;
  // Back to the state of a new scorer: empty history, initial reputation.
  void reset() noexcept;

  std::size_t history_size() const noexcept;
  double reputation() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velm
