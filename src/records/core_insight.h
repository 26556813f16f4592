// The insight a capture may carry: a fixed lesson, the coherence as confidence, and the
// decision's difference from the history's mean, scaled to small integers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velm {

inline constexpr std::size_t kVectorSize = 64;  // elements of a decision vector and of a delta
inline constexpr std::string_view kInsightLesson = "Decision aligns well with historical pattern.";

struct InsightDelta {
  std::array<std::int8_t, kVectorSize> vector{};
  double confidence = 0.0;
  double delta_norm = 0.18;
};

struct CoreInsight {
  std::string_view lesson = kInsightLesson;
  double confidence = 0.0;
  std::optional<InsightDelta> delta;
};

}  // namespace velm
