#include "verifier/line/failure.h"

#include <algorithm>

namespace velm::verify {

std::string quote_log_text(std::string_view text, std::size_t limit) {
  std::string out = "\"";
  out.append(text.substr(0, limit));
  out += text.size() > limit ? "\"..." : "\"";
  return out;
}

std::string_view failure_kind_name(FailureKind kind) noexcept {
  switch (kind) {
    case FailureKind::kTornLine:
      return "torn line";
    case FailureKind::kBadForm:
      return "bad form";
    case FailureKind::kHashMismatch:
      return "hash mismatch";
    case FailureKind::kBadSignature:
      return "bad signature";
    case FailureKind::kChainBreak:
      return "chain break";
    case FailureKind::kScoreMismatch:
      return "score mismatch";
    case FailureKind::kMissingHead:
      return "missing head";
    case FailureKind::kCheckpointSignature:
      return "checkpoint signature";
    case FailureKind::kCheckpointMismatch:
      return "checkpoint mismatch";
    case FailureKind::kLogTruncated:
      return "log truncated";
    case FailureKind::kCheckpointConflict:
      return "checkpoint conflict";
    case FailureKind::kNotALog:
      return "not a log";
  }
  return "unknown";
}

std::size_t FailureList::add(std::uint64_t line, FailureKind kind, std::string detail) {
  ++counts_[static_cast<std::size_t>(kind)];
  if (kept_.size() >= limit_) {
    ++omitted_;
    return kNotKept;
  }
  kept_.push_back({file_, line, kind, std::move(detail)});
  return kept_.size() - 1;
}

void FailureList::set_detail(std::size_t index, std::string detail) {
  if (index < kept_.size()) kept_[index].detail = std::move(detail);
}

std::vector<Failure> FailureList::take_sorted() {
  std::stable_sort(kept_.begin(), kept_.end(), [](const Failure& a, const Failure& b) {
    return a.line != b.line ? a.line < b.line : a.kind < b.kind;
  });
  return std::move(kept_);
}

}  // namespace velm::verify
