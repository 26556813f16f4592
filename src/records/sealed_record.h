// The result of one capture: fifteen fields in declaration order. The same order is used by the
// record's Python properties and by the keys of its log line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace velm {

inline constexpr std::size_t kSignatureBytes = 64;

struct SealedRecordData {
  std::string id;
  std::string timestamp;
  std::uint64_t monotonic_nanos = 0;
  std::string hash;
  std::array<std::uint8_t, kSignatureBytes> signature{};
  std::string merkle_root;
  double coherence_score = 0.0;
  double reputation_scalar = 0.0;
  std::string ppp_json;
  std::string ctx_json;
  std::string prompt;
  std::string reasoning_trace_json;
  std::string output;
  std::string human_delta_chain_json;
  std::optional<std::string> core_insight_json;
};

}  // namespace velm
