// Ed25519 (RFC 8032, pure) over libsodium. The seed is the only secret kept; it is wiped when the
// key is destroyed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace velm {

inline constexpr std::size_t kSeedBytes = 32;
inline constexpr std::size_t kPublicKeyBytes = 32;
inline constexpr std::size_t kEd25519SignatureBytes = 64;

using Seed = std::array<std::uint8_t, kSeedBytes>;
using PublicKey = std::array<std::uint8_t, kPublicKeyBytes>;
using Signature = std::array<std::uint8_t, kEd25519SignatureBytes>;

// A seed buffer that wipes itself on destruction.
class SecretSeed {
 public:
  SecretSeed() noexcept = default;
  ~SecretSeed();
  SecretSeed(const SecretSeed&) = delete;
  SecretSeed& operator=(const SecretSeed&) = delete;
  SecretSeed(SecretSeed&& other) noexcept;
  SecretSeed& operator=(SecretSeed&& other) noexcept;

  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  static constexpr std::size_t size() noexcept { return kSeedBytes; }
  void wipe() noexcept;

 private:
  Seed bytes_{};
};

// A key pair, made only from a seed (there is no empty key that could sign).
class SigningKey {
 public:
  const PublicKey& public_key() const noexcept { return public_key_; }
  const SecretSeed& seed() const noexcept { return seed_; }

 private:
  friend SigningKey signing_key_from_seed(SecretSeed&& seed) noexcept;
  friend Signature sign_message(const SigningKey& key, const std::uint8_t* message, std::size_t size) noexcept;
  SigningKey(SecretSeed&& seed, const PublicKey& public_key) noexcept
      : seed_(std::move(seed)), public_key_(public_key) {}
  SecretSeed seed_;
  PublicKey public_key_;
};

// Derives the key pair; the expanded secret is wiped before returning. Takes the seed over.
SigningKey signing_key_from_seed(SecretSeed&& seed) noexcept;

// Deterministic detached signature over `message`.
Signature sign_message(const SigningKey& key, const std::uint8_t* message, std::size_t size) noexcept;

// Checks a detached signature (used by the verifier and the tests, never by the engine).
[[nodiscard]] bool verify_signature(const PublicKey& key, const std::uint8_t* message, std::size_t size,
                                    const Signature& signature) noexcept;

}  // namespace velm
