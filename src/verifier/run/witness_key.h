// The witness's signing key file: 32 raw seed bytes, readable by its owner only.
#pragma once

#include <string>
#include <string_view>

#include "encoding/ed25519.h"

namespace velm::verify {

// Creates `path` holding a fresh seed, by the engine's key-file writer (engine/key_file.h): written
// under a temporary name, synced and linked into place, so it appears whole or not at all and no
// file is ever replaced. Returns the verifier key "name+keyid+base64" for `name`. Throws IoError
// (also when `path` exists) or NoteError (kBadKey) for a bad name.
std::string create_witness_key(const std::string& path, std::string_view name);

// Reads a witness key file: a regular file of exactly 32 bytes. Throws IoError.
SigningKey load_witness_key(const std::string& path);

}  // namespace velm::verify
