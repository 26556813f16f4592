// The result of one run over one or more logs, rendered for people or as one JSON document.
// Both renderings are written piece by piece, so a log of many chains needs no more memory to
// report than to verify.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/digest.h"
#include "verifier/run/log_verifier.h"

namespace velm::verify {

// The version of the JSON report's layout; raised whenever a field changes meaning or goes.
inline constexpr int kReportFormat = 1;

struct ExpectedHead {
  Digest root{};
  bool found = false;
  std::string path;        // the first log holding it
  std::uint64_t line = 0;  // the line of that log whose merkle_root it is
};

// A checkpoint the log was checked against: the lines it covers, and who signed it.
struct CheckpointCover {
  std::string source;
  std::uint64_t size = 0;  // lines 1..size
  bool opened = false;     // false: malformed or signed by no given witness (see error)
  std::string error;
  std::vector<std::string> verified_by;
};

struct RunReport {
  std::string public_key_hex;
  std::vector<LogReport> logs;
  std::vector<ExpectedHead> expected_heads;
  std::string replay_note;  // why scores were not replayed; empty when they were
  std::vector<CheckpointCover> checkpoints;

  std::uint64_t missing_heads() const noexcept;
  bool all_readable() const noexcept;
  bool ok() const noexcept;  // every log read and verified, and every expected head found
};

// Fills run.expected_heads for `roots`, which every log was verified watching (in this order).
void resolve_expected_heads(RunReport& run, const std::vector<Digest>& roots);

// At most this many failures per log are listed in the text; the JSON lists every one kept.
inline constexpr std::size_t kTextFailuresShown = 1000;

using Sink = std::function<void(std::string_view)>;

// Collects small pieces and hands them on in blocks.
class Buffered {
 public:
  explicit Buffered(const Sink& out) : out_(out) {}
  ~Buffered() { flush(); }
  Buffered& operator<<(std::string_view s) {
    text_.append(s);
    if (text_.size() >= (std::size_t{1} << 16)) flush();
    return *this;
  }
  void flush() {
    if (!text_.empty()) out_(text_);
    text_.clear();
  }

 private:
  const Sink& out_;
  std::string text_;
};

void render_text(const RunReport& run, const Sink& out);
void render_json(const RunReport& run, const Sink& out);
std::string render_text(const RunReport& run);
std::string render_json(const RunReport& run);

// One self-contained HTML page (no script, no other file): the verdict, the logs, their chains
// and failures, checkpoint coverage and each log's scores over time (report_html.cpp).
void render_html(const RunReport& run, const Sink& out);
std::string render_html(const RunReport& run);

}  // namespace velm::verify
