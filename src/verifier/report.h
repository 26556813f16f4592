// The result of one run over one or more logs, rendered for people or as one JSON document.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encoding/digest.h"
#include "verifier/log_verifier.h"

namespace velm::verify {

struct ExpectedHead {
  Digest root{};
  bool found = false;
  std::string path;        // the first log holding it
  std::uint64_t line = 0;  // the line of that log whose merkle_root it is
};

struct RunReport {
  std::string public_key_hex;
  std::vector<LogReport> logs;
  std::vector<ExpectedHead> expected_heads;

  std::uint64_t missing_heads() const noexcept;
  bool ok() const noexcept;  // every log verified and every expected head found
};

// Fills run.expected_heads for `roots`, which every log was verified watching (in this order).
void resolve_expected_heads(RunReport& run, const std::vector<Digest>& roots);

// At most this many failures per log are listed in the text; the JSON lists every one kept.
inline constexpr std::size_t kTextFailuresShown = 1000;

std::string render_text(const RunReport& run);
std::string render_json(const RunReport& run);

}  // namespace velm::verify
