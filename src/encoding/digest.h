// BLAKE3 digests and their text forms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velm {

inline constexpr std::size_t kDigestBytes = 32;
inline constexpr std::size_t kDigestDebugTextSize = 72;  // Hash("<64 hex>")

using Digest = std::array<std::uint8_t, kDigestBytes>;

// Unkeyed BLAKE3 with the default 32-byte output.
Digest blake3_digest(std::string_view bytes) noexcept;
Digest blake3_digest(const void* data, std::size_t size) noexcept;

// Lowercase hex, two characters per byte, high nibble first.
void hex_lower_into(const std::uint8_t* bytes, std::size_t size, char* out) noexcept;
std::string hex_lower(const std::uint8_t* bytes, std::size_t size);
inline std::string hex_lower(const Digest& d) { return hex_lower(d.data(), d.size()); }

// Writes Hash("<hex>") (kDigestDebugTextSize bytes) into `out`.
void digest_debug_text_into(const Digest& digest, char* out) noexcept;
std::string digest_debug_text(const Digest& digest);

// The chain step: BLAKE3 of the debug texts of the previous root and of the content digest.
Digest next_chain_root(const Digest& previous_root, const Digest& content_digest) noexcept;

// BLAKE3 of the 7 bytes "genesis": the root every chain starts from.
const Digest& genesis_root() noexcept;

}  // namespace velm
