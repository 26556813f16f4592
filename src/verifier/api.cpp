#include "verifier/api.h"

#include <sodium.h>

#include <new>

#include "encoding/fatal_error.h"
#include "encoding/hex.h"
#include "engine/key_file.h"
#include "verifier/base/escape.h"
#include "verifier/base/small_file.h"
#include "verifier/base/text.h"
#include "verifier/chain/score_replay.h"
#include "verifier/run/checkpoint.h"
#include "verifier/run/witness_key.h"

namespace velm::verify::api {

namespace {

constexpr std::size_t kMaxVerifierKeyFileBytes = 4096;

void ready() {
  static const bool initialised = sodium_init() >= 0;
  if (!initialised) throw std::runtime_error("libsodium could not be initialised");
}

// Why scores are not replayed on this machine (its sinf differs from the engine's); empty when
// they are. Measured once per process.
const std::string& replay_note() {
  static const std::string note = sine_difference(recorded_sines()).value_or("");
  return note;
}

std::string quoted(const Request& r, std::string_view text) {
  return r.spelling.escape_quotes ? escape_text(text) : std::string(text);
}

// An error from a lower layer, its message quoted as the caller shows input.
IoError requoted(const Request& r, const IoError& e) { return IoError(quoted(r, e.what()), e.error_number()); }

void check_key_name(std::string_view name, std::string_view spelling) {
  if (!valid_key_name(name)) {
    throw UsageError(std::string(spelling) + " must be a key name: no spaces, '+' or control characters");
  }
}

PublicKey parse_public_key(const Request& r) {
  PublicKey key{};
  if (!parse_hex_any_case(r.public_key, key.data(), key.size())) {
    throw UsageError(std::string(r.spelling.public_key) + " must be 64 hex digits");
  }
  if (crypto_core_ed25519_is_valid_point(key.data()) != 1) {
    throw UsageError(std::string(r.spelling.public_key) + " is not a valid Ed25519 public key");
  }
  return key;
}

std::vector<Digest> parse_heads(const Request& r) {
  std::vector<Digest> heads;
  for (const std::string& text : r.expected_heads) {
    Digest root{};
    if (!parse_hex_any_case(text, root.data(), root.size())) {
      throw UsageError(std::string(r.spelling.expected_heads) + " 64 hex digits, not '" + quoted(r, text) + "'");
    }
    heads.push_back(root);
  }
  return heads;
}

std::string read_text(const Request& r, const TextInput& input, std::size_t limit, const char* what) {
  if (input.text) return *input.text;
  try {
    return read_small_file(input.name, limit, what);
  } catch (const IoError& e) {
    throw requoted(r, e);
  }
}

// A verifier key from its text or, with witness_files, from a file holding it.
NoteVerifierKey read_witness(const Request& r, const std::string& text) {
  const std::string witness(r.spelling.witness);
  try {
    return parse_verifier_key(text);
  } catch (const NoteError& e) {
    if (!r.witness_files) throw UsageError(witness + " is not a verifier key: " + e.what());
  }
  std::string file;
  try {
    file = read_small_file(text, kMaxVerifierKeyFileBytes, "verifier key file");
  } catch (const IoError& e) {
    throw UsageError(witness + " is neither a verifier key nor a file holding one: " + quoted(r, e.what()));
  }
  if (!file.empty() && file.back() == '\n') file.pop_back();
  try {
    return parse_verifier_key(file);
  } catch (const NoteError& e) {
    throw UsageError(witness + " " + quoted(r, text) + ": " + e.what());
  }
}

std::vector<NoteVerifierKey> parse_witnesses(const Request& r) {
  std::vector<NoteVerifierKey> keys;
  for (const std::string& text : r.witnesses) keys.push_back(read_witness(r, text));
  if (keys.empty()) throw UsageError(std::string(r.spelling.no_witness));
  return keys;
}

RunReport new_run(const PublicKey& key) {
  RunReport run;
  run.public_key_hex = hex_lower(key.data(), key.size());
  run.replay_note = replay_note();
  return run;
}

std::optional<CheckpointSet> open_checkpoints(const Request& r, VerifyOptions& options) {
  if (r.checkpoints.empty()) return std::nullopt;
  if (r.logs.size() != 1 && !r.series) throw UsageError("checkpoints need exactly one log, or a series");
  const std::vector<NoteVerifierKey> witnesses = parse_witnesses(r);
  std::vector<CheckpointInput> inputs;
  for (const TextInput& c : r.checkpoints) inputs.push_back({c.name, read_text(r, c, kMaxNoteBytes, "checkpoint")});
  std::optional<CheckpointSet> set(std::in_place, std::move(inputs), witnesses);
  set->prepare(options);
  return set;
}

// The log checkpoint and prove read: the series' pieces, or the one log.
std::vector<LogPiece> pieces_of(const Request& r) {
  if (!r.series) return {file_piece(r.log)};
  if (r.logs.empty()) throw UsageError(std::string(r.spelling.no_log));
  return r.logs;
}

}  // namespace

VerifyResult verify(const Request& r) {
  ready();
  const PublicKey key = parse_public_key(r);
  VerifyOptions options;
  options.expected_heads = parse_heads(r);
  if (r.jobs > kMaxJobs) throw UsageError(std::string(r.spelling.jobs) + " must be from 1 to 1024");
  if (r.logs.empty()) throw UsageError(std::string(r.spelling.no_log));
  const std::optional<CheckpointSet> checkpoints = open_checkpoints(r, options);

  VerifyResult result{new_run(key), {}};
  options.replay_scores = result.run.replay_note.empty();
  options.chart = r.chart;
  ParallelVerifier verifier(key, r.jobs == 0 ? available_cores() : r.jobs);
  const auto verify_log = [&](const std::vector<LogPiece>& pieces) {
    const std::string& name = pieces.back().name;
    try {
      const ProgressFn progress = r.progress ? r.progress(name) : ProgressFn{};
      result.run.logs.push_back(verifier.verify(pieces, options, progress));
    } catch (const IoError& e) {
      if (r.stop_at_unreadable) throw requoted(r, e);
      result.unreadable.push_back(requoted(r, e));
      result.run.logs.push_back(unreadable_log(name, e.what()));
    } catch (const std::bad_alloc&) {
      if (r.stop_at_unreadable) throw;
      result.run.logs.push_back(unreadable_log(name, "out of memory while verifying it"));
    }
  };
  if (r.series) {
    verify_log(r.logs);
  } else {
    for (const LogPiece& piece : r.logs) verify_log({piece});
  }
  if (checkpoints) {
    checkpoints->judge(result.run.logs.front());
    for (const CheckpointSet::Entry& e : checkpoints->entries()) {
      result.run.checkpoints.push_back(
          {e.source, e.checkpoint ? e.checkpoint->size : 0, e.checkpoint.has_value(), e.error, e.verified_by});
    }
  }
  resolve_expected_heads(result.run, options.expected_heads);
  return result;
}

RecordsResult records(const Request& r) {
  ready();
  RecordsResult result;
  result.verified = !r.public_key.empty();
  PublicKey key{};
  if (result.verified) {
    key = parse_public_key(r);
  } else {
    // Any valid key: chains are placed alike under every key, and the signatures are not asked about.
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secret{};
    const std::array<unsigned char, crypto_sign_SEEDBYTES> seed{};
    crypto_sign_seed_keypair(key.data(), secret.data(), seed.data());
  }
  if (r.logs.empty()) throw UsageError(std::string(r.spelling.no_log));
  VerifyOptions options;
  options.replay_scores = replay_note().empty();
  options.max_failures_kept = static_cast<std::size_t>(-1);
  options.line_chains = true;
  ParallelVerifier verifier(key, r.jobs == 0 ? available_cores() : r.jobs);
  LineChecker reader(key);  // reads the values on this thread while the workers check the lines
  const auto read_log = [&](const std::vector<LogPiece>& pieces) {
    RecordLog& log = result.logs.emplace_back();
    std::uint64_t line = 0;
    const auto row = [&](LineSource::Status status, const std::string& text) {
      ++line;
      if (status == LineSource::Status::kTorn) return;
      log.rows.push_back(status == LineSource::Status::kLine ? reader.read(text) : LineValues{});
      log.row_lines.push_back(line);
    };
    try {
      log.report = verifier.verify(pieces, options, {}, row);
    } catch (const IoError& e) {
      throw requoted(r, e);
    }
  };
  if (r.series) {
    read_log(r.logs);
  } else {
    for (const LogPiece& piece : r.logs) read_log({piece});
  }
  return result;
}

CheckpointResult checkpoint(const Request& r) {
  ready();
  const PublicKey key = parse_public_key(r);
  check_key_name(r.origin, r.spelling.origin);
  std::optional<CheckpointInput> previous;
  if (r.previous) previous = CheckpointInput{r.previous->name, read_text(r, *r.previous, kMaxNoteBytes, "checkpoint")};
  std::optional<SigningKey> witness;
  try {
    witness.emplace(load_witness_key(r.witness_key));
  } catch (const IoError& e) {
    throw IoError(escape_text(r.witness_key) + ": " + e.what());  // a key file's path is always shown escaped
  }
  CheckpointResult result{new_run(key), std::nullopt, {}};
  VerifyOptions options;
  options.replay_scores = result.run.replay_note.empty();
  CheckpointOutcome outcome;
  try {
    outcome = make_checkpoint(pieces_of(r), key, *witness, r.origin, previous, options);
  } catch (const IoError& e) {
    throw requoted(r, e);
  }
  witness.reset();
  result.note = std::move(outcome.note);
  if (!result.note) {
    const auto count = [&](FailureKind kind) { return outcome.report.failure_counts[static_cast<std::size_t>(kind)]; };
    const bool previous_failed = count(FailureKind::kCheckpointSignature) + count(FailureKind::kCheckpointMismatch) +
                                     count(FailureKind::kLogTruncated) !=
                                 0;
    result.refusal = previous_failed ? "no checkpoint: the log does not extend the previous checkpoint"
                                     : "no checkpoint: the log does not verify";
  }
  result.run.logs.push_back(std::move(outcome.report));
  return result;
}

std::string prove(const Request& r) {
  ready();
  if (r.record_id && r.line != 0) {
    throw UsageError(std::string(r.spelling.line) + " and a record id cannot both be given");
  }
  if (!r.record_id && r.line == 0) {
    throw UsageError(std::string(r.spelling.line) + " must be a line number from 1 to 2^64 - 1");
  }
  const std::string note = read_text(r, r.checkpoint, kMaxNoteBytes, "checkpoint");
  const std::vector<LogPiece> pieces = pieces_of(r);
  try {
    std::uint64_t line = r.line;
    if (r.record_id) {
      const std::uint64_t size = parse_checkpoint_text(parse_note(note).text).size;
      const std::optional<std::uint64_t> found = find_record_line(pieces, *r.record_id, size);
      if (!found) {
        throw BundleError("no record with id " + quoted(r, *r.record_id) + " among the checkpoint's " +
                          count_text(size, "line", "lines"));
      }
      line = *found;
    }
    return bundle_json(verify::prove(pieces, line, note));
  } catch (const IoError& e) {
    throw requoted(r, e);
  } catch (const NoteError& e) {
    throw Error(ErrorKind::kRefused, "no proof: " + quoted(r, r.checkpoint.name) + ": " + e.what());
  } catch (const BundleError& e) {
    throw Error(ErrorKind::kRefused, std::string("no proof: ") + e.what());
  }
}

ProofCheck check_proof(const Request& r) {
  ready();
  const PublicKey key = parse_public_key(r);
  const std::vector<NoteVerifierKey> witnesses = parse_witnesses(r);
  return verify::check_proof(read_text(r, r.bundle, kMaxBundleBytes, "bundle"), witnesses, key);
}

std::optional<std::string> make_witness_key(const std::string& path, const std::string& name,
                                            std::string_view name_spelling, const Announce& announce) {
  check_key_name(name, name_spelling);
  ready();
  try {
    return create_witness_key(path, name, announce);
  } catch (const IoError& e) {
    throw IoError(escape_text(path) + ": " + e.what());
  }
}

std::string witness_verifier_key(const std::string& path, const std::string& name, std::string_view name_spelling) {
  check_key_name(name, name_spelling);
  ready();
  try {
    return format_verifier_key(make_verifier_key(name, load_witness_key(path).public_key()));
  } catch (const IoError& e) {
    throw IoError(escape_text(path) + ": " + e.what());
  }
}

std::string engine_public_key(const std::string& path, std::string& warning) {
  ready();
  try {
    const SigningKey key = signing_key_from_seed(load_existing_seed(path, warning));
    return hex_lower(key.public_key().data(), key.public_key().size());
  } catch (const FatalError& e) {
    throw IoError(escape_text(e.what()), e.os_error());  // the engine's message names the path
  }
}

}  // namespace velm::verify::api
