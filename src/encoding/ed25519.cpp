#include "encoding/ed25519.h"

#include <sodium.h>

#include <cstdlib>

namespace velm {

namespace {
// libsodium must be initialised once before use; sodium_init is idempotent and thread-safe.
void ensure_sodium() noexcept {
  static const bool ready = sodium_init() >= 0;
  if (!ready) std::abort();  // no usable library: nothing can be signed safely
}
}  // namespace

SecretSeed::~SecretSeed() { wipe(); }

SecretSeed::SecretSeed(SecretSeed&& other) noexcept : bytes_(other.bytes_) { other.wipe(); }

SecretSeed& SecretSeed::operator=(SecretSeed&& other) noexcept {
  if (this != &other) {
    bytes_ = other.bytes_;
    other.wipe();
  }
  return *this;
}

void SecretSeed::wipe() noexcept { sodium_memzero(bytes_.data(), bytes_.size()); }

SigningKey signing_key_from_seed(SecretSeed&& seed) noexcept {
  ensure_sodium();
  // libsodium's 64-byte secret key is the seed followed by the public key; the expanded scalar
  // lives only inside the library call.
  PublicKey public_key;
  unsigned char secret[crypto_sign_SECRETKEYBYTES];
  crypto_sign_seed_keypair(public_key.data(), secret, seed.data());
  sodium_memzero(secret, sizeof secret);
  return SigningKey(std::move(seed), public_key);
}

Signature sign_message(const SigningKey& key, const std::uint8_t* message, std::size_t size) noexcept {
  ensure_sodium();
  unsigned char secret[crypto_sign_SECRETKEYBYTES];
  std::copy(key.seed_.data(), key.seed_.data() + kSeedBytes, secret);
  std::copy(key.public_key_.begin(), key.public_key_.end(), secret + kSeedBytes);
  Signature signature;
  crypto_sign_detached(signature.data(), nullptr, message, size, secret);
  sodium_memzero(secret, sizeof secret);
  return signature;
}

bool verify_signature(const PublicKey& key, const std::uint8_t* message, std::size_t size,
                      const Signature& signature) noexcept {
  ensure_sodium();
  return crypto_sign_verify_detached(signature.data(), message, size, key.data()) == 0;
}

}  // namespace velm
