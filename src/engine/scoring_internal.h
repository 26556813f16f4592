// The scorer's steps as free functions, so each can be checked on chosen inputs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/scoring.h"

namespace velm::scoring_detail {

using DeltaVector = std::array<std::int8_t, kVectorSize>;

// The vector of a decision whose prompt and output lengths add up to `combined_length` bytes.
DecisionVector decision_vector(std::uint64_t combined_length) noexcept;

// fmodf(x, 6.28f) for x >= 0, computed without the library call where that is exact.
float phase_remainder(float x) noexcept;

// For each row r in order, then each element i: mean[i] = mean[i] + rows[r*64 + i] * weights[r],
// the product and the sum rounded separately.
void accumulate_weighted(float* mean, const float* rows, const float* weights, std::size_t row_count) noexcept;

// Cosine of the angle between `v` and `mean` in double, clamped to [0, 1]; 0.5 if either is zero.
double coherence(const DecisionVector& v, const DecisionVector& mean) noexcept;

// (v - mean) * 127 per element, clamped to [-128, 127] and truncated toward zero.
DeltaVector delta_vector(const DecisionVector& v, const DecisionVector& mean) noexcept;

bool insight_due(bool auto_insight, double coherence) noexcept;

double next_reputation(double reputation, double coherence) noexcept;

}  // namespace velm::scoring_detail
