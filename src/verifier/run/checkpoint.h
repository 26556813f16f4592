// Witnessed checkpoints of a record log. A witness, kept away from the log's host, signs the size
// of the log and the RFC 6962 root of its lines (merkle.h) as a signed note (note.h). Later any
// change to the lines it covers (sealed fields or not), a line removed, inserted or reordered, and
// a log cut below its size show as a root that differs or lines that are missing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/ed25519.h"
#include "verifier/run/log_verifier.h"
#include "verifier/run/parallel_verify.h"
#include "verifier/tlog/note.h"

namespace velm::verify {

// A signed checkpoint as given, and where it came from (a path, for the report).
struct CheckpointInput {
  std::string source;
  std::string note;
};

// The checkpoints a log is checked against, opened with the witnesses' verifier keys.
class CheckpointSet {
 public:
  // Opens every note; one that does not open (or names another origin than `expected_origin`,
  // unless that is empty) is kept as a failure for judge().
  CheckpointSet(std::vector<CheckpointInput> inputs, std::span<const NoteVerifierKey> witnesses,
                std::string_view expected_origin = {});

  // Asks the verifier for the tree roots the checkpoints need.
  void prepare(VerifyOptions& options);
  // Adds to `report` (verified with prepare()d options) a failure for every checkpoint that is not
  // signed by a given witness, that the log does not match or that the log falls short of, and for
  // every pair of checkpoints that cannot both describe this log.
  void judge(LogReport& report) const;

  struct Entry {
    std::string source;
    std::optional<Checkpoint> checkpoint;  // empty when the note did not open
    std::string error;                     // why not
    std::vector<std::string> verified_by;
  };
  const std::vector<Entry>& entries() const noexcept { return entries_; }

 private:
  std::vector<Entry> entries_;
  std::size_t first_size_ = 0;  // where prepare() put the first size in VerifyOptions::tree_sizes
};

// Appends a failure to a finished report, counted and kept in line order; in a series `line` counts
// over the series, the failure names the piece and its line there too, and its detail says that the
// lines it names count over the series.
void add_report_failure(LogReport& report, std::uint64_t line, FailureKind kind, std::string detail);

struct CheckpointOutcome {
  LogReport report;                 // the log verified (and matched against `previous`)
  std::optional<std::string> note;  // the signed checkpoint of all its lines, only when report.ok()
};

// Verifies the log made of `pieces` (one for a plain log, or a series' pieces oldest first, whose
// lines in order are the tree's entries) under the engine's public key and, only if
// every line verifies and the log still matches `previous` (an earlier checkpoint of `origin`
// signed by this witness), signs a checkpoint of all its lines as `origin` (which must be a valid
// key name: the verifier key's name). Throws IoError when the log cannot be read, NoteError
// (kBadKey) for a bad origin.
CheckpointOutcome make_checkpoint(const std::vector<LogPiece>& pieces, const PublicKey& log_key,
                                  const SigningKey& witness, std::string_view origin,
                                  const std::optional<CheckpointInput>& previous = std::nullopt,
                                  VerifyOptions options = {});

}  // namespace velm::verify
