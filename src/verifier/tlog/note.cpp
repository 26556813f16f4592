#include "verifier/tlog/note.h"

#include <sodium.h>

#include <algorithm>
#include <charconv>
#include <system_error>

#include "encoding/hex.h"
#include "verifier/base/text.h"
#include "verifier/tlog/merkle.h"

namespace velm::verify {

namespace {

constexpr std::string_view kSignaturePrefix = "\xE2\x80\x94 ";  // U+2014 EM DASH, then a space
constexpr std::size_t kMaxVerifierKeyBytes = 4096;

[[noreturn]] void fail(NoteErrorKind kind, const std::string& message) { throw NoteError(kind, message); }

// The White_Space code points of Unicode.
bool unicode_space(char32_t cp) noexcept {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// What a signed note may hold: valid UTF-8 with no control character but the newline.
void check_note_bytes(std::string_view s, NoteErrorKind kind, std::string_view what) {
  for (std::size_t pos = 0; pos < s.size();) {
    char32_t cp;
    const std::size_t len = utf8_sequence(s, pos, cp);
    if (len == 0) fail(kind, std::string(what) + " is not valid UTF-8");
    if (cp < 0x20 && cp != '\n') fail(kind, std::string(what) + " holds a control character");
    pos += len;
  }
}

bool base64_decode(std::string_view text, std::vector<std::uint8_t>& out) {
  out.resize(text.size() / 4 * 3 + 3);
  std::size_t length = 0;
  const int status = sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, nullptr,
                                       sodium_base64_VARIANT_ORIGINAL);
  out.resize(status == 0 ? length : 0);
  return status == 0;
}

std::uint32_t read_be32(const std::uint8_t* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

bool parse_hex32(std::string_view text, std::uint32_t& out) noexcept {
  std::uint8_t bytes[4];
  if (!parse_hex_any_case(text, bytes, sizeof bytes)) return false;
  out = read_be32(bytes);
  return true;
}

std::string hex32(std::uint32_t value) { return hex_be32(value); }

}  // namespace

std::string base64_encode(const std::uint8_t* bytes, std::size_t size) {
  std::string out(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();  // the terminating NUL libsodium writes
  return out;
}

bool base64_decode_exact(std::string_view text, std::uint8_t* out, std::size_t size) noexcept {
  std::size_t length = 0;
  return sodium_base642bin(out, size, text.data(), text.size(), nullptr, &length, nullptr,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         length == size;
}

bool valid_key_name(std::string_view name) noexcept {
  if (name.empty()) return false;
  for (std::size_t pos = 0; pos < name.size();) {
    char32_t cp;
    const std::size_t len = utf8_sequence(name, pos, cp);
    if (len == 0 || cp < 0x20 || cp == '+' || unicode_space(cp)) return false;
    pos += len;
  }
  return true;
}

std::uint32_t ed25519_key_id(std::string_view name, const PublicKey& key) noexcept {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(name.data()), name.size());
  const unsigned char separator[2] = {'\n', kEd25519SignatureType};
  crypto_hash_sha256_update(&state, separator, sizeof separator);
  crypto_hash_sha256_update(&state, key.data(), key.size());
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, digest);
  return read_be32(digest);
}

NoteVerifierKey make_verifier_key(std::string_view name, const PublicKey& key) {
  if (!valid_key_name(name))
    fail(NoteErrorKind::kBadKey, "key name is empty or holds a space, '+' or control character");
  return NoteVerifierKey{std::string(name), ed25519_key_id(name, key), key};
}

std::string format_verifier_key(const NoteVerifierKey& key) {
  std::uint8_t encoded[1 + kPublicKeyBytes];
  encoded[0] = kEd25519SignatureType;
  std::copy(key.key.begin(), key.key.end(), encoded + 1);
  return key.name + "+" + hex32(key.key_id) + "+" + base64_encode(encoded, sizeof encoded);
}

NoteVerifierKey parse_verifier_key(std::string_view text) {
  if (text.size() > kMaxVerifierKeyBytes) fail(NoteErrorKind::kBadKey, "verifier key text is too long");
  const std::size_t first = text.find('+');
  const std::size_t second = first == std::string_view::npos ? first : text.find('+', first + 1);
  if (second == std::string_view::npos) fail(NoteErrorKind::kBadKey, "verifier key is not <name>+<key ID>+<key>");
  const std::string_view name = text.substr(0, first);
  if (!valid_key_name(name))
    fail(NoteErrorKind::kBadKey, "verifier key name is empty or holds a space or control character");
  std::uint32_t key_id;
  if (!parse_hex32(text.substr(first + 1, second - first - 1), key_id)) {
    fail(NoteErrorKind::kBadKey, "verifier key ID is not 8 hex digits");
  }
  std::vector<std::uint8_t> encoded;
  if (!base64_decode(text.substr(second + 1), encoded) || encoded.empty()) {
    fail(NoteErrorKind::kBadKey, "verifier key is not canonical base64");
  }
  if (encoded[0] != kEd25519SignatureType) fail(NoteErrorKind::kBadKey, "verifier key is not an Ed25519 key");
  if (encoded.size() != 1 + kPublicKeyBytes) fail(NoteErrorKind::kBadKey, "Ed25519 verifier key is not 32 bytes");
  NoteVerifierKey key;
  key.name = std::string(name);
  std::copy(encoded.begin() + 1, encoded.end(), key.key.begin());
  key.key_id = ed25519_key_id(key.name, key.key);
  if (key.key_id != key_id) fail(NoteErrorKind::kBadKey, "verifier key ID does not match its name and key");
  return key;
}

ParsedNote parse_note(std::string_view note) {
  if (note.size() > kMaxNoteBytes) fail(NoteErrorKind::kTooLarge, "note is larger than 1 MiB");
  check_note_bytes(note, NoteErrorKind::kMalformed, "note");
  if (note.empty() || note.back() != '\n') fail(NoteErrorKind::kMalformed, "note does not end in a newline");
  // Signature lines hold no empty line, so the last one separates them from the text.
  const std::size_t blank = note.rfind("\n\n");
  if (blank == std::string_view::npos) fail(NoteErrorKind::kMalformed, "note has no blank line before its signatures");
  ParsedNote out;
  out.text = std::string(note.substr(0, blank + 1));
  std::string_view block = note.substr(blank + 2);
  if (block.empty()) fail(NoteErrorKind::kMalformed, "note has no signature line");
  if (static_cast<std::size_t>(std::count(block.begin(), block.end(), '\n')) > kMaxNoteSignatures) {
    fail(NoteErrorKind::kTooLarge, "note has more than " + std::to_string(kMaxNoteSignatures) + " signatures");
  }
  std::size_t number = 0;
  while (!block.empty()) {
    ++number;
    const std::size_t end = block.find('\n');  // present: the note ends in a newline
    std::string_view line = block.substr(0, end);
    block.remove_prefix(end + 1);
    const std::string where = "signature line " + std::to_string(number);
    if (!line.starts_with(kSignaturePrefix))
      fail(NoteErrorKind::kMalformed, where + " does not start with an em dash and a space");
    line.remove_prefix(kSignaturePrefix.size());
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
      fail(NoteErrorKind::kMalformed, where + " has no signature after the key name");
    NoteSignature signature;
    signature.name = std::string(line.substr(0, space));
    if (!valid_key_name(signature.name)) fail(NoteErrorKind::kMalformed, where + " has an invalid key name");
    std::vector<std::uint8_t> bytes;
    if (!base64_decode(line.substr(space + 1), bytes))
      fail(NoteErrorKind::kMalformed, where + " is not canonical base64");
    if (bytes.size() < 5) fail(NoteErrorKind::kMalformed, where + " is shorter than a key ID and a signature");
    signature.key_id = read_be32(bytes.data());
    signature.signature.assign(bytes.begin() + 4, bytes.end());
    out.signatures.push_back(std::move(signature));
  }
  return out;
}

VerifiedNote open_note(std::string_view note, std::span<const NoteVerifierKey> keys) {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    for (std::size_t j = i + 1; j < keys.size(); ++j) {
      if (keys[i].name == keys[j].name && keys[i].key_id == keys[j].key_id && keys[i].key != keys[j].key) {
        fail(NoteErrorKind::kBadKey, "two verifier keys share the name " + keys[i].name + " and a key ID");
      }
    }
  }
  ParsedNote parsed = parse_note(note);
  VerifiedNote out;
  for (const NoteSignature& signature : parsed.signatures) {
    const auto known = std::find_if(keys.begin(), keys.end(), [&](const NoteVerifierKey& key) {
      return key.name == signature.name && key.key_id == signature.key_id;
    });
    if (known == keys.end()) continue;
    Signature bytes{};
    if (signature.signature.size() != bytes.size()) {
      fail(NoteErrorKind::kBadSignature, "signature by " + known->name + " is not 64 bytes");
    }
    std::copy(signature.signature.begin(), signature.signature.end(), bytes.begin());
    if (!verify_signature(known->key, reinterpret_cast<const std::uint8_t*>(parsed.text.data()), parsed.text.size(),
                          bytes)) {
      fail(NoteErrorKind::kBadSignature, "signature by " + known->name + " does not verify");
    }
    if (std::find(out.verified_by.begin(), out.verified_by.end(), known->name) == out.verified_by.end()) {
      out.verified_by.push_back(known->name);
    }
  }
  if (out.verified_by.empty()) fail(NoteErrorKind::kNoKnownSignature, "note carries no signature by a given key");
  out.text = std::move(parsed.text);
  return out;
}

std::string sign_note(std::string_view text, std::string_view key_name, const SigningKey& key) {
  if (!valid_key_name(key_name))
    fail(NoteErrorKind::kBadKey, "key name is empty or holds a space, '+' or control character");
  check_note_bytes(text, NoteErrorKind::kMalformed, "note text");
  if (text.empty() || text.back() != '\n') fail(NoteErrorKind::kMalformed, "note text does not end in a newline");
  const Signature signature = sign_message(key, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  std::uint8_t encoded[4 + kEd25519SignatureBytes];
  const std::uint32_t key_id = ed25519_key_id(key_name, key.public_key());
  encoded[0] = static_cast<std::uint8_t>(key_id >> 24);
  encoded[1] = static_cast<std::uint8_t>(key_id >> 16);
  encoded[2] = static_cast<std::uint8_t>(key_id >> 8);
  encoded[3] = static_cast<std::uint8_t>(key_id);
  std::copy(signature.begin(), signature.end(), encoded + 4);
  std::string note;
  note.reserve(text.size() + key_name.size() + 100);
  note.append(text).append("\n").append(kSignaturePrefix).append(key_name).append(" ");
  note.append(base64_encode(encoded, sizeof encoded)).append("\n");
  if (note.size() > kMaxNoteBytes) fail(NoteErrorKind::kTooLarge, "note would be larger than 1 MiB");
  return note;
}

std::string format_checkpoint_text(const Checkpoint& checkpoint) {
  if (checkpoint.origin.empty() || checkpoint.origin.find('\n') != std::string::npos) {
    fail(NoteErrorKind::kBadCheckpoint, "checkpoint origin is empty or holds a newline");
  }
  check_note_bytes(checkpoint.origin, NoteErrorKind::kBadCheckpoint, "checkpoint origin");
  if (!checkpoint.extensions.empty()) fail(NoteErrorKind::kBadCheckpoint, "extension lines are not written");
  std::string out = checkpoint.origin;
  out.append("\n").append(std::to_string(checkpoint.size)).append("\n");
  out.append(base64_encode(checkpoint.root.data(), checkpoint.root.size())).append("\n");
  return out;
}

Checkpoint parse_checkpoint_text(std::string_view text) {
  if (text.size() > kMaxNoteBytes) fail(NoteErrorKind::kBadCheckpoint, "checkpoint is larger than 1 MiB");
  check_note_bytes(text, NoteErrorKind::kBadCheckpoint, "checkpoint");
  if (text.empty() || text.back() != '\n') fail(NoteErrorKind::kBadCheckpoint, "checkpoint does not end in a newline");
  std::vector<std::string_view> lines;
  for (std::string_view rest = text; !rest.empty();) {
    const std::size_t end = rest.find('\n');
    lines.push_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  if (lines.size() < 3) fail(NoteErrorKind::kBadCheckpoint, "checkpoint has fewer than three lines");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty()) fail(NoteErrorKind::kBadCheckpoint, "checkpoint line " + std::to_string(i + 1) + " is empty");
  }
  Checkpoint out;
  out.origin = std::string(lines[0]);
  const std::string_view size = lines[1];
  const bool digits = std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || (size.size() > 1 && size[0] == '0')) {
    fail(NoteErrorKind::kBadCheckpoint, "checkpoint tree size is not a decimal number without leading zeros");
  }
  const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), out.size);
  if (error != std::errc{} || end != size.data() + size.size()) {
    fail(NoteErrorKind::kBadCheckpoint, "checkpoint tree size does not fit 64 bits");
  }
  if (!base64_decode_exact(lines[2], out.root.data(), out.root.size())) {
    fail(NoteErrorKind::kBadCheckpoint, "checkpoint root hash is not 32 bytes of canonical base64");
  }
  for (std::size_t i = 3; i < lines.size(); ++i) out.extensions.emplace_back(lines[i]);
  return out;
}

std::string sign_checkpoint(std::string_view origin, std::uint64_t size, const TreeHash& root, const SigningKey& key) {
  if (!valid_key_name(origin)) fail(NoteErrorKind::kBadKey, "origin is not a valid key name");
  Checkpoint checkpoint;
  checkpoint.origin = std::string(origin);
  checkpoint.size = size;
  checkpoint.root = root;
  return sign_note(format_checkpoint_text(checkpoint), origin, key);
}

VerifiedCheckpoint open_checkpoint(std::string_view note, std::span<const NoteVerifierKey> keys,
                                   std::string_view expected_origin) {
  VerifiedNote opened = open_note(note, keys);
  VerifiedCheckpoint out{parse_checkpoint_text(opened.text), std::move(opened.verified_by)};
  if (!expected_origin.empty() && out.checkpoint.origin != expected_origin) {
    fail(NoteErrorKind::kWrongOrigin, "checkpoint is of another log than " + std::string(expected_origin));
  }
  // No log can tell a signed tree of no leaves wrong, so its root is checked here.
  if (out.checkpoint.size == 0 && out.checkpoint.root != empty_tree_root()) {
    fail(NoteErrorKind::kBadCheckpoint,
         "checkpoint of tree size 0 does not carry the empty tree's root, the SHA-256 of nothing");
  }
  return out;
}

}  // namespace velm::verify
