#include "encoding/digest.h"

#include <blake3.h>

#include <cstring>

namespace velm {

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";
}

Digest blake3_digest(const void* data, std::size_t size) noexcept {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, data, size);
  Digest out;
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  return out;
}

Digest blake3_digest(std::string_view bytes) noexcept {
  return blake3_digest(bytes.data(), bytes.size());
}

void hex_lower_into(const std::uint8_t* bytes, std::size_t size, char* out) noexcept {
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kHexDigits[bytes[i] >> 4];
    out[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
  }
}

std::string hex_lower(const std::uint8_t* bytes, std::size_t size) {
  std::string out(2 * size, '\0');
  hex_lower_into(bytes, size, out.data());
  return out;
}

void digest_debug_text_into(const Digest& digest, char* out) noexcept {
  std::memcpy(out, "Hash(\"", 6);
  hex_lower_into(digest.data(), digest.size(), out + 6);
  std::memcpy(out + 6 + 2 * kDigestBytes, "\")", 2);
}

std::string digest_debug_text(const Digest& digest) {
  std::string out(kDigestDebugTextSize, '\0');
  digest_debug_text_into(digest, out.data());
  return out;
}

Digest next_chain_root(const Digest& previous_root, const Digest& content_digest) noexcept {
  char link_text[2 * kDigestDebugTextSize];
  digest_debug_text_into(previous_root, link_text);
  digest_debug_text_into(content_digest, link_text + kDigestDebugTextSize);
  return blake3_digest(link_text, sizeof link_text);
}

const Digest& genesis_root() noexcept {
  static const Digest root = blake3_digest(std::string_view("genesis"));
  return root;
}

}  // namespace velm
