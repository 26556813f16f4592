// The verifier's one entry point, under both the command (cli/) and the Python module
// (src/verify_module): one request, and one function per operation. Each parses the keys, checks
// once that this machine's sinf is the engine's, runs the layers below and throws Error
// (base/errors.h) for whatever it refuses; the error's kind tells the caller how to report it.
// Beyond that only std::bad_alloc, or a libsodium that cannot start, is thrown. Messages name the
// request's parts as the caller spells them (Spelling), so each caller shows them unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "verifier/base/errors.h"
#include "verifier/run/parallel_verify.h"
#include "verifier/run/proof_bundle.h"
#include "verifier/run/report.h"

namespace velm::verify::api {

// Threads a request may ask for.
inline constexpr unsigned kMaxJobs = 1024;

// How the caller names the parts of a request in messages.
struct Spelling {
  std::string_view public_key;
  std::string_view expected_heads;  // "<expected_heads> 64 hex digits, not '<root>'"
  std::string_view jobs;
  std::string_view no_log;
  std::string_view origin;
  std::string_view line;
  std::string_view witness;
  std::string_view no_witness;
  bool escape_quotes;  // quoted input is escaped (escape_text) for a terminal
};

inline constexpr Spelling kCommandSpelling{
    "--public-key", "--expect-head must be", "--jobs", "no LOG given", "--origin", "--line",
    "--witness",    "--witness is required", true};
inline constexpr Spelling kPythonSpelling{"public_key", "expect_heads must hold roots of",
                                          "jobs",       "no log given",
                                          "origin",     "line",
                                          "witness",    "no witness given",
                                          false};

// A small text (a checkpoint, a bundle): given as it is, or read from the file `name`.
struct TextInput {
  std::string name;                 // the file, or what the text is called in messages
  std::optional<std::string> text;  // empty: read the file
};

// Shows a log's progress while it is read: called with the log's name, gives the function that is
// then called with its progress (and dropped when the log is done).
using ProgressFor = std::function<ProgressFn(const std::string& log)>;

struct Request {
  Spelling spelling = kPythonSpelling;
  std::string public_key;  // the engine's, 64 hex digits

  // verify: the logs (or with `series`, the pieces of one log, oldest first).
  std::vector<LogPiece> logs;
  bool series = false;
  std::vector<std::string> expected_heads;  // merkle_roots some line must have, 64 hex digits each
  unsigned jobs = 0;                        // threads checking lines; 0: every core
  std::vector<TextInput> checkpoints;       // signed checkpoints the one log is checked against
  bool stop_at_unreadable = false;          // throw the first log's IoError instead of going on
  bool chart = false;                       // keep the scores the HTML report charts (LogReport::chart)
  ProgressFor progress;

  // verify (with checkpoints) and check_proof: verifier keys "name+keyid+base64", or with
  // `witness_files` also files holding one.
  std::vector<std::string> witnesses;
  bool witness_files = false;

  // checkpoint and prove: the log's path ("-": standard input); with `series`, `logs` instead: the
  // pieces of one log, oldest first, whose lines in order are the tree's entries.
  std::string log;
  std::string witness_key;               // checkpoint: the witness key file
  std::string origin;                    // checkpoint: the name it is signed as
  std::optional<TextInput> previous;     // checkpoint: an earlier checkpoint the log must extend
  std::uint64_t line = 0;                // prove: 1-based (counted over a series)
  std::optional<std::string> record_id;  // prove, instead of `line`: the first line with this "id"
  TextInput checkpoint;                  // prove
  TextInput bundle;                      // check_proof
};

struct VerifyResult {
  RunReport run;
  std::vector<IoError> unreadable;  // why each unreadable log could not be read, in log order
};

struct CheckpointResult {
  RunReport run;                    // the one log verified
  std::optional<std::string> note;  // the signed checkpoint; empty when refused
  std::string refusal;              // why not: "no checkpoint: ..."
};

// The checks of velm-qor-verify LOG...: Throws UsageError, and with stop_at_unreadable IoError.
VerifyResult verify(const Request& request);

// One log (or series) line by line: its report, with every failure kept and each line's chain.
struct RecordLog {
  LogReport report;
  std::vector<LineValues> rows;          // one per complete line, in log order
  std::vector<std::uint64_t> row_lines;  // each row's line, counted over the series
};
struct RecordsResult {
  std::vector<RecordLog> logs;
  bool verified = false;  // false without a public key: the lines were placed in chains, not verified
};
// What every line of the logs holds, for a table of records. `public_key` may be empty: then the
// reports' failures mean nothing. Throws UsageError, IoError.
RecordsResult records(const Request& request);
// Verifies `log` and signs a checkpoint of all its lines unless it fails or no longer extends
// `previous`. Throws UsageError, IoError.
CheckpointResult checkpoint(const Request& request);
// The proof bundle (JSON) of line `line` (or of the record `record_id`) under `checkpoint`. Throws
// UsageError, IoError, and Error of kind kRefused ("no proof: ...", "no proof: no record with id ...").
std::string prove(const Request& request);
// Checks `bundle` without its log. A bundle that does not hold is in the result, never thrown.
// Throws UsageError, IoError.
ProofCheck check_proof(const Request& request);
// Hands a new witness key's verifier key on; false when that failed.
using Announce = std::function<bool(const std::string& verifier_key)>;
// Creates the witness key file `path` for the key name `name` and gives its verifier key to
// `announce` before returning it; nothing, and no key file, when announcing failed (see
// create_witness_key). Throws UsageError, IoError.
std::optional<std::string> make_witness_key(const std::string& path, const std::string& name,
                                            std::string_view name_spelling, const Announce& announce = {});
// The verifier key of the existing witness key file `path` under the key name `name` (the file holds
// no name). Throws UsageError, IoError.
std::string witness_verifier_key(const std::string& path, const std::string& name, std::string_view name_spelling);

// The engine's public key (64 lowercase hex digits) from its key file `path`, read as the engine
// reads it and refused where the engine refuses it (never created); `warning` receives the
// engine's warning, if any (a key other users may read). Throws IoError.
std::string engine_public_key(const std::string& path, std::string& warning);

}  // namespace velm::verify::api
