// Checks a record log line by line: the form of each line, its seal, its signature, its place in
// a hash chain and its scores replayed against the history of that chain.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/digest.h"
#include "encoding/ed25519.h"

namespace velm::verify {

enum class FailureKind : std::uint8_t {
  kTornLine,       // the last line has no line feed, or the line is not JSON at all
  kBadForm,        // JSON, but not exactly the line the engine writes
  kHashMismatch,   // the sealed fields do not hash to the stored hash
  kBadSignature,   // the signature does not verify for the stored hash under the key
  kChainBreak,     // the merkle_root follows from no open chain (or repeats an earlier record)
  kScoreMismatch,  // the scores differ from the replay of the chain's history
  kMissingHead,    // an expected root is not the merkle_root of any line
};
inline constexpr std::size_t kFailureKindCount = 7;

std::string_view failure_kind_name(FailureKind kind) noexcept;

struct Failure {
  std::uint64_t line = 0;  // 1-based; 0 when the failure concerns no single line
  FailureKind kind = FailureKind::kBadForm;
  std::string detail;
};

struct ChainSummary {
  std::uint64_t first_line = 0;
  std::uint64_t last_line = 0;
  std::uint64_t records = 0;
  Digest head{};                    // the merkle_root of its last record
  bool from_genesis = false;        // false: it begins after a break, its history is unknown
  std::uint64_t scores_checked = 0; // records whose scores were compared with the replay
  std::string scores_note;          // why the others were not, empty when all were
};

struct LogReport {
  std::string path;
  std::uint64_t lines = 0;
  std::uint64_t records = 0;  // lines placed in a chain
  std::vector<ChainSummary> chains;  // in order of their first line
  std::vector<Failure> failures;     // in line order; at most VerifyOptions::max_failures_kept
  std::uint64_t failures_omitted = 0;
  std::array<std::uint64_t, kFailureKindCount> failure_counts{};
  // For each of VerifyOptions::watch_roots: the first line whose merkle_root it is, 0 if none.
  std::vector<std::uint64_t> watch_lines;

  std::uint64_t failure_total() const noexcept;
  bool ok() const noexcept { return failure_total() == 0; }
};

struct VerifyOptions {
  // Longer lines are skipped unread and reported as bad form, so one line cannot exhaust memory.
  std::size_t max_line_bytes = std::size_t{256} << 20;
  // Chains whose heads are tried for each line. Past this many, the chain extended longest ago
  // is closed: a later record extending it is reported as a chain break.
  std::size_t max_open_chains = 128;
  // Failures kept with their details; beyond this they are only counted.
  std::size_t max_failures_kept = 100000;
  std::vector<Digest> watch_roots;
  // Reads every line with the slower reference parser alone; the report is the same. For
  // cross-checks of the fast one.
  bool reference_parser = false;
};

// Feeds the lines of one log in order and collects the report.
class LogVerifier {
 public:
  explicit LogVerifier(const PublicKey& key, VerifyOptions options = {});
  ~LogVerifier();
  LogVerifier(const LogVerifier&) = delete;
  LogVerifier& operator=(const LogVerifier&) = delete;

  void add_line(std::string_view line);  // a line that ended with "\n", without it
  void add_torn_line();                  // a last line with no "\n"
  void add_oversized_line(std::uint64_t length);  // a line longer than max_line_bytes, unread

  std::uint64_t lines() const noexcept;
  // The report so far; the verifier may take more lines afterwards.
  LogReport report(const std::string& path) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Failure to open or read a log.
class IoError : public std::runtime_error {
 public:
  explicit IoError(const std::string& message) : std::runtime_error(message) {}
};

// Reads a file line by line through a fixed buffer.
class LineReader {
 public:
  enum class Status { kLine, kTorn, kOversized, kEnd };

  LineReader(const std::string& path, std::size_t max_line_bytes);  // throws IoError
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // kLine: `line` holds the next line without its "\n". kTorn: the last bytes had no "\n".
  // kOversized: a line longer than the limit was skipped; `length` is its length. Throws IoError.
  Status next(std::string& line, std::uint64_t& length);

 private:
  bool fill();

  std::string path_;
  int fd_ = -1;
  std::size_t max_line_bytes_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
};

// Called every `progress_every` lines with the number of lines read so far.
using ProgressFn = std::function<void(std::uint64_t lines)>;

// Verifies one whole log file. Throws IoError.
LogReport verify_log_file(const std::string& path, const PublicKey& key, const VerifyOptions& options,
                          const ProgressFn& progress = {}, std::uint64_t progress_every = 10000);

// Field forms, exposed for tests.
bool valid_record_id(std::string_view id);         // "qor_" + lowercase UUID v4 text
bool valid_record_timestamp(std::string_view ts);  // what rfc3339_text writes for a real time
// 2*N lowercase hex digits into `out`; false for anything else.
bool parse_hex_lower(std::string_view text, std::uint8_t* out, std::size_t n) noexcept;
// 2*N hex digits of either case into `out`; for command-line arguments.
bool parse_hex_any_case(std::string_view text, std::uint8_t* out, std::size_t n) noexcept;

}  // namespace velm::verify
