// The witness's signing key file: 32 raw seed bytes, readable by its owner only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/ed25519.h"

namespace velm::verify {

// Creates `path` holding a fresh seed, by the engine's key-file writer (engine/key_file.h): written
// under a temporary name, synced and linked into place, so it appears whole or not at all and no
// file is ever replaced. Gives the verifier key "name+keyid+base64" for `name` to `announce`, and
// returns it; when `announce` fails (the key could not be handed on), the new file is removed
// again and nothing is returned: a key whose verifier key was lost is never kept. Throws IoError
// (also when `path` exists) or NoteError (kBadKey) for a bad name.
std::optional<std::string> create_witness_key(const std::string& path, std::string_view name,
                                              const std::function<bool(const std::string&)>& announce = {});

// Reads a witness key file: a regular file of exactly 32 bytes. Throws IoError.
SigningKey load_witness_key(const std::string& path);

}  // namespace velm::verify
