// The engine's persistent signing identity: a file of exactly 32 raw seed bytes beside the log.
#pragma once

#include <string>

#include "encoding/ed25519.h"

namespace velm {

inline constexpr const char* kKeyFileSuffix = ".key";

// Loads the seed from `key_path`, or creates the file with a fresh seed when it is missing.
// A new key file is written under a temporary name, synced and linked into place, so that it
// appears whole or not at all and an existing identity is never replaced; if another process
// links its file first, that key is loaded. The file is readable by its owner only.
// Fatal errors: "Failed to read signing key: ...", "Invalid key length: ...",
// "Failed to write signing key: ...", "Error: ..." (random source).
SecretSeed load_or_create_seed(const std::string& key_path);

}  // namespace velm
