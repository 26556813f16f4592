// The operating system's random source: signing seeds and version-4 UUIDs.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "encoding/ed25519.h"

namespace velm {

inline constexpr std::size_t kUuidBytes = 16;
inline constexpr std::size_t kUuidTextSize = 36;
using Uuid = std::array<std::uint8_t, kUuidBytes>;

// 32 bytes in one getentropy request; FatalError "Error: <cause>" when the source fails.
SecretSeed generate_seed();

// 16 random bytes with the version (4) and variant (RFC 4122) bits forced;
// FatalError "could not retrieve random bytes for uuid: <cause>" when the source fails.
Uuid new_uuid_v4();

// Sets the version and variant bits of 16 drawn bytes.
Uuid uuid_v4_from_bytes(Uuid bytes) noexcept;

// 8-4-4-4-12 lowercase hex groups joined by "-".
void uuid_text_into(const Uuid& uuid, char* out) noexcept;
std::string uuid_text(const Uuid& uuid);

}  // namespace velm
