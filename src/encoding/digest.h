// BLAKE3 digests, the chain link text and the chain step.
#pragma once

#include <blake3.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "encoding/hex.h"

namespace velm {

inline constexpr std::size_t kDigestBytes = 32;
inline constexpr std::size_t kChainLinkTextSize = 72;  // Hash("<64 hex>")

using Digest = std::array<std::uint8_t, kDigestBytes>;

// Unkeyed BLAKE3 with the default 32-byte output, fed in pieces.
class Blake3Hasher {
 public:
  Blake3Hasher() noexcept { blake3_hasher_init(&state_); }
  void update(const void* data, std::size_t size) noexcept { blake3_hasher_update(&state_, data, size); }
  void update(std::string_view bytes) noexcept { update(bytes.data(), bytes.size()); }
  [[nodiscard]] Digest finalize() const noexcept {
    Digest out;
    blake3_hasher_finalize(&state_, out.data(), out.size());
    return out;
  }

 private:
  blake3_hasher state_;
};

// The same in one step.
Digest blake3_digest(std::string_view bytes) noexcept;
Digest blake3_digest(const void* data, std::size_t size) noexcept;

// The text a digest takes in the chain step, Hash("<hex>"): kChainLinkTextSize bytes into `out`.
void chain_link_text_into(const Digest& digest, char* out) noexcept;
std::string chain_link_text(const Digest& digest);

// The chain step: BLAKE3 of the link texts of the previous root and of the content digest.
Digest next_chain_root(const Digest& previous_root, const Digest& content_digest) noexcept;

// BLAKE3 of the 7 bytes "genesis": the root every chain starts from.
const Digest& genesis_root() noexcept;

}  // namespace velm
