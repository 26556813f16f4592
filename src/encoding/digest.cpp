#include "encoding/digest.h"

#include <cstring>

namespace velm {

Digest blake3_digest(const void* data, std::size_t size) noexcept {
  Blake3Hasher hasher;
  hasher.update(data, size);
  return hasher.finalize();
}

Digest blake3_digest(std::string_view bytes) noexcept { return blake3_digest(bytes.data(), bytes.size()); }

void chain_link_text_into(const Digest& digest, char* out) noexcept {
  std::memcpy(out, "Hash(\"", 6);
  hex_lower_into(digest.data(), digest.size(), out + 6);
  std::memcpy(out + 6 + 2 * kDigestBytes, "\")", 2);
}

std::string chain_link_text(const Digest& digest) {
  std::string out(kChainLinkTextSize, '\0');
  chain_link_text_into(digest, out.data());
  return out;
}

Digest next_chain_root(const Digest& previous_root, const Digest& content_digest) noexcept {
  char link_text[2 * kChainLinkTextSize];
  chain_link_text_into(previous_root, link_text);
  chain_link_text_into(content_digest, link_text + kChainLinkTextSize);
  return blake3_digest(link_text, sizeof link_text);
}

const Digest& genesis_root() noexcept {
  static const Digest root = blake3_digest(std::string_view("genesis"));
  return root;
}

}  // namespace velm
