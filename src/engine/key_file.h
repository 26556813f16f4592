// The engine's persistent signing identity: a file of exactly 32 raw seed bytes beside the log.
#pragma once

#include <cstdint>
#include <string>

#include "encoding/ed25519.h"

namespace velm {

inline constexpr const char* kKeyFileSuffix = ".key";

// Loads the seed from `key_path`, or creates the file with a fresh seed when it is missing.
// A new key file is written under a temporary name, synced and linked into place, so that it
// appears whole or not at all and an existing identity is never replaced; if another process
// links its file first, that key is loaded. Where the file system has no hard links, the key is
// created in place, exclusively, and written and synced before use; a reader that finds it still
// short waits a moment for the rest. The file is made readable by its owner only.
//
// A key file that other users may write, or that belongs to another user (unless the process
// runs as root), is refused: whoever planted it could sign records. One that other users may
// read is used, and `warning` receives a text saying so (no key bytes).
// Fatal errors: "Failed to read signing key: ...", "Invalid key length: ...",
// "Failed to write signing key: ...", "Error: ..." (random source).
SecretSeed load_or_create_seed(const std::string& key_path, std::string& warning);

// Reads the existing key file at `key_path` exactly as load_or_create_seed does, refusing what it
// refuses and warning as it warns, but never creates one: a missing file is
// "Failed to read signing key: No such file or directory".
SecretSeed load_existing_seed(const std::string& key_path, std::string& warning);

// The name of a temporary file for writing `path` before it is linked into place: in the same
// folder, the file name followed by ".tmp-PID-COUNTER". Where that would pass NAME_MAX, the file
// name is cut short (never inside a UTF-8 sequence), so that a file whose own name fits can always
// be written. The process id and `counter` keep names apart; the file is opened exclusively all the
// same.
std::string temporary_name_beside(const std::string& path, std::uint64_t counter);

}  // namespace velm
