// Signed notes (c2sp.org/signed-note) with Ed25519 keys, and transparency log checkpoints
// (c2sp.org/tlog-checkpoint) carried in them: the form a witness signs a log's size and Merkle
// root in, readable by other transparency tooling.
//
//   <text ending in "\n">
//   <blank line>
//   — <key name> base64(key ID || signature)      one line per signature, U+2014 then a space
//
// key ID = the first 4 bytes, big-endian, of SHA-256(key name || 0x0A || 0x01 || public key).
// A verifier key is written "<name>+<8 lowercase hex digits of the key ID>+base64(0x01 || public
// key)". Base64 is RFC 4648 section 4 with padding, and only its canonical form is accepted.
//
// Everything read here may be hostile. Parsers take bounded input, never trust a length, and
// fail with a NoteError naming what is wrong; its message never repeats the input's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/ed25519.h"
#include "verifier/base/errors.h"
#include "verifier/tlog/merkle.h"

namespace velm::verify {

// Larger notes are refused unread. Room for the required 16 signatures of post-quantum size.
inline constexpr std::size_t kMaxNoteBytes = std::size_t{1} << 20;
// More signature lines than this are refused (at least 16 must be accepted).
inline constexpr std::size_t kMaxNoteSignatures = 100;
inline constexpr std::uint8_t kEd25519SignatureType = 0x01;

// Non-empty, valid UTF-8, no control characters, no Unicode white space, no '+'.
bool valid_key_name(std::string_view name) noexcept;

std::uint32_t ed25519_key_id(std::string_view name, const PublicKey& key) noexcept;

struct NoteVerifierKey {
  std::string name;
  std::uint32_t key_id = 0;
  PublicKey key{};
};

NoteVerifierKey make_verifier_key(std::string_view name, const PublicKey& key);  // throws kBadKey
std::string format_verifier_key(const NoteVerifierKey& key);
// Reads "<name>+<hex key ID>+<base64>" (surrounding white space is not allowed). Throws kBadKey
// for anything else, for another signature type, and when the key ID is not that of the key.
NoteVerifierKey parse_verifier_key(std::string_view text);

// One signature line as read; `signature` holds the bytes after the key ID.
struct NoteSignature {
  std::string name;
  std::uint32_t key_id = 0;
  std::vector<std::uint8_t> signature;
};

struct ParsedNote {
  std::string text;  // up to and including the newline before the blank line
  std::vector<NoteSignature> signatures;
};

// Splits a signed note into its text and signature lines, checking the form only. Throws.
ParsedNote parse_note(std::string_view note);

// The note with its signatures checked against `keys` (c2sp.org/signed-note): signatures by other
// keys are ignored; a signature by a known key (same name and key ID) that fails rejects the
// whole note (kBadSignature); a note with no signature by a known key is rejected
// (kNoKnownSignature). `verified_by` lists the names of the keys that signed, in note order.
struct VerifiedNote {
  std::string text;
  std::vector<std::string> verified_by;
};
VerifiedNote open_note(std::string_view note, std::span<const NoteVerifierKey> keys);

// `text` (a valid note text ending in "\n") followed by the blank line and one signature line.
// Throws kMalformed for an invalid text, kBadKey for an invalid name.
std::string sign_note(std::string_view text, std::string_view key_name, const SigningKey& key);

struct Checkpoint {
  std::string origin;
  std::uint64_t size = 0;
  TreeHash root{};
  std::vector<std::string> extensions;  // accepted when read, never written
};

// "<origin>\n<size>\n<base64 root>\n". Throws kBadCheckpoint for an empty origin or one with a
// character a note may not hold.
std::string format_checkpoint_text(const Checkpoint& checkpoint);
// A note text as c2sp.org/tlog-checkpoint lays it out: at least three non-empty lines; a decimal
// size without leading zeros that fits 64 bits; a 32-byte root in canonical base64; then any
// non-empty extension lines. Throws kBadCheckpoint.
Checkpoint parse_checkpoint_text(std::string_view text);

// The signed checkpoint of `size` leaves with root `root`, signed under the key name `origin`
// (the key name should match the origin). No extension lines.
std::string sign_checkpoint(std::string_view origin, std::uint64_t size, const TreeHash& root, const SigningKey& key);

// A checkpoint read from a signed note verified against `keys` (see open_note), whose origin
// must equal `expected_origin` unless that is empty, and which, of tree size 0, carries the empty
// tree's root. Throws NoteError.
struct VerifiedCheckpoint {
  Checkpoint checkpoint;
  std::vector<std::string> verified_by;
};
VerifiedCheckpoint open_checkpoint(std::string_view note, std::span<const NoteVerifierKey> keys,
                                   std::string_view expected_origin = {});

// Canonical RFC 4648 base64 with padding, for the JSON of proof bundles as well.
std::string base64_encode(const std::uint8_t* bytes, std::size_t size);
// Exactly `size` bytes from canonical padded base64, and nothing else; false otherwise.
bool base64_decode_exact(std::string_view text, std::uint8_t* out, std::size_t size) noexcept;

}  // namespace velm::verify
