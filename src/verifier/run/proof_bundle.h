// Proof bundles: one record line of a log with a witnessed checkpoint and the RFC 6962 inclusion
// proof that the line is in the tree the checkpoint signs. Whoever holds the bundle, the
// witness's verifier key and the engine's public key can check, without the log, that this very
// line (every byte of it) is the one logged, and that its seal and signature hold.
//
// The bundle is one JSON object (and a line feed), members in this order:
//   "format": 1
//   "record": the log line, without its line feed
//   "checkpoint": the signed checkpoint note, as the witness wrote it
//   "leaf_index": the line's 0-based index in the tree (line number - 1)
//   "tree_size": the checkpoint's tree size
//   "inclusion_proof": the RFC 6962 audit path, nearest the leaf first, each hash in base64
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/ed25519.h"
#include "verifier/run/parallel_verify.h"
#include "verifier/tlog/merkle.h"
#include "verifier/tlog/note.h"

namespace velm::verify {

inline constexpr int kBundleFormat = 1;
// Larger bundles are refused unread; prove() does not write one.
inline constexpr std::size_t kMaxBundleBytes = std::size_t{64} << 20;
// An audit path in a tree of fewer than 2^64 leaves has at most 64 hashes.
inline constexpr std::size_t kMaxProofHashes = 64;

struct ProofBundle {
  std::string record;
  std::string checkpoint;
  std::uint64_t leaf_index = 0;
  std::uint64_t tree_size = 0;
  std::vector<TreeHash> inclusion_proof;
};

std::string bundle_json(const ProofBundle& bundle);
// Reads the JSON above: exactly those members, each once, of those types. Throws BundleError.
ProofBundle parse_bundle(std::string_view json);

// The bundle of line `line` (1-based) of the log made of `pieces` (one for a plain log; a series'
// pieces oldest first, its lines counted over them all) under `checkpoint_note`. The note's
// signature is not checked here (check_proof does that); its tree size N and root are, against the
// log: only when the log's first N lines give the root is a bundle made. Throws BundleError (the
// line is not among the first N, the log has fewer lines, the root differs, the line cannot be put
// in a bundle), NoteError (the note is not a checkpoint), IoError (the log cannot be read).
ProofBundle prove(const std::vector<LogPiece>& pieces, std::uint64_t line, std::string_view checkpoint_note,
                  std::size_t max_line_bytes = std::size_t{256} << 20);

// The first of the first `limit` lines of the log made of `pieces` that is a JSON object whose "id"
// is `record_id` (1-based, counted over the pieces); nothing when there is none. Throws IoError.
std::optional<std::uint64_t> find_record_line(const std::vector<LogPiece>& pieces, std::string_view record_id,
                                              std::uint64_t limit, std::size_t max_line_bytes = std::size_t{256} << 20);

struct ProofCheck {
  enum class Problem : std::uint8_t {
    kNone,
    kBundle,      // not a bundle: size, JSON, members, numbers, base64
    kCheckpoint,  // the checkpoint is malformed or not signed by a given witness
    kInclusion,   // the proof does not place the record in the checkpoint's tree
    kRecord,      // the record is not a line the engine writes, or its seal or signature fails
  };
  Problem problem = Problem::kNone;
  std::string detail;  // what failed; may name a witness, never quotes the bundle
  // What was read, as far as the check got:
  std::string origin;
  std::vector<std::string> verified_by;
  std::uint64_t line = 0;  // 1-based
  std::uint64_t tree_size = 0;

  bool ok() const noexcept { return problem == Problem::kNone; }
};

std::string_view proof_problem_name(ProofCheck::Problem problem) noexcept;

// The check as one line of JSON: "ok", "problem" (null when ok), "detail", "origin",
// "verified_by", "line" and "tree_size", texts made valid UTF-8.
std::string proof_check_json(const ProofCheck& check);

// Checks a bundle without the log: the checkpoint signed by one of `witnesses`, the inclusion of
// the record in its tree, and the record's form, seal and Ed25519 signature under `log_key`.
// Never throws for any bundle text (std::bad_alloc aside).
ProofCheck check_proof(std::string_view bundle, std::span<const NoteVerifierKey> witnesses, const PublicKey& log_key);

}  // namespace velm::verify
