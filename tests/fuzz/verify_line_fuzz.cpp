// Arbitrary bytes fed to the log verifier as lines: no crash, no undefined behaviour, every line
// accounted for, and a report that can always be written. The seed corpus holds real records
// signed with the seed of 32 bytes 0x01, so mutations explore lines that are almost valid.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "encoding/ed25519.h"
#include "verifier/log_verifier.h"

namespace {
const velm::PublicKey& fuzz_key() {
  static const velm::PublicKey key = [] {
    velm::SecretSeed seed;
    for (std::size_t i = 0; i < velm::SecretSeed::size(); ++i) seed.data()[i] = 1;
    return velm::signing_key_from_seed(std::move(seed)).public_key();
  }();
  return key;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velm::verify::VerifyOptions options;
  options.max_open_chains = 4;
  options.max_line_bytes = 1 << 16;
  velm::verify::LogVerifier verifier(fuzz_key(), options);
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::uint64_t fed = 0;
  while (!rest.empty()) {
    const auto newline = rest.find('\n');
    if (newline == std::string_view::npos) {
      verifier.add_torn_line();
      ++fed;
      break;
    }
    verifier.add_line(rest.substr(0, newline));
    ++fed;
    rest.remove_prefix(newline + 1);
  }
  if (verifier.lines() != fed) std::abort();
  const velm::verify::LogReport report = verifier.report("fuzz");
  if (report.records > report.lines) std::abort();
  return 0;
}
