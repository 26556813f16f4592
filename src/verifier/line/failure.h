// What a check found wrong, and where.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velm::verify {

enum class FailureKind : std::uint8_t {
  kTornLine,       // the last line has no line feed: its append was cut off
  kBadForm,        // not exactly a line the engine writes (not JSON at all included)
  kHashMismatch,   // the sealed fields do not hash to the stored hash
  kBadSignature,   // the signature does not verify for the stored hash under the key
  kChainBreak,     // the merkle_root follows from no open chain (or repeats an earlier record)
  kScoreMismatch,  // the scores differ from the replay of the chain's history
  kMissingHead,    // an expected root is not the merkle_root of any line
  // Against witnessed checkpoints (checkpoint.h):
  kCheckpointSignature,  // a checkpoint that is malformed or not signed by any given witness
  kCheckpointMismatch,   // the log's first N lines do not give the checkpoint's root
  kLogTruncated,         // the log has fewer complete lines than a checkpoint covers
  kCheckpointConflict,   // two checkpoints that cannot both describe this log
  kNotALog,              // a file whose bytes are not JSON lines at all (line_source.h), read no further
};
inline constexpr std::size_t kFailureKindCount = 12;

std::string_view failure_kind_name(FailureKind kind) noexcept;

// A log text quoted in a failure detail: at most `limit` bytes of it, then "...".
std::string quote_log_text(std::string_view text, std::size_t limit = 80);

struct Failure {
  std::string file;        // the log the line belongs to; empty when the report has one log
  std::uint64_t line = 0;  // 1-based; 0 when the failure concerns no single line
  FailureKind kind = FailureKind::kBadForm;
  std::string detail;          // may quote bytes of the log: escape before showing it
  std::uint64_t log_line = 0;  // in a series: the line counted over all its pieces; else 0
};

}  // namespace velm::verify

#include <array>
#include <utility>
#include <vector>

namespace velm::verify {

// The failures of one log: all of them counted, the first `limit` kept with their details.
class FailureList {
 public:
  static constexpr std::size_t kNotKept = static_cast<std::size_t>(-1);

  FailureList(std::string file, std::size_t limit) : file_(std::move(file)), limit_(limit) {}

  // The index of the kept failure, kNotKept beyond the limit.
  std::size_t add(std::uint64_t line, FailureKind kind, std::string detail);
  // Explains a kept failure better once a later line has shown its cause.
  void set_detail(std::size_t index, std::string detail);

  const std::array<std::uint64_t, kFailureKindCount>& counts() const noexcept { return counts_; }
  std::uint64_t omitted() const noexcept { return omitted_; }
  // The kept failures in line order (kinds in enum order within a line); empties the list.
  std::vector<Failure> take_sorted();

 private:
  std::string file_;
  std::size_t limit_;
  std::vector<Failure> kept_;
  std::uint64_t omitted_ = 0;
  std::array<std::uint64_t, kFailureKindCount> counts_{};
};

}  // namespace velm::verify
