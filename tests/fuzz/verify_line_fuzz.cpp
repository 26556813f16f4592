// Arbitrary bytes fed to the log verifier as lines: no crash, no undefined behaviour, every line
// accounted for, a report that can always be written, and the same report from the fast parser
// as from the reference one. The seed corpus holds real records
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


velm::verify::LogReport run(const std::uint8_t* data, std::size_t size, bool reference) {
  velm::verify::VerifyOptions options;
  options.max_open_chains = 4;
  options.max_line_bytes = 1 << 16;
  options.reference_parser = reference;
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
  velm::verify::LogReport report = verifier.report("fuzz");
  if (report.records > report.lines) std::abort();
  return report;
}

bool same(const velm::verify::LogReport& a, const velm::verify::LogReport& b) {
  if (a.lines != b.lines || a.records != b.records || a.failures.size() != b.failures.size() ||
      a.chains.size() != b.chains.size() || a.failure_counts != b.failure_counts) {
    return false;
  }
  for (std::size_t i = 0; i < a.failures.size(); ++i) {
    const auto& x = a.failures[i];
    const auto& y = b.failures[i];
    if (x.line != y.line || x.kind != y.kind || x.detail != y.detail) return false;
  }
  for (std::size_t i = 0; i < a.chains.size(); ++i) {
    const auto& x = a.chains[i];
    const auto& y = b.chains[i];
    if (x.first_line != y.first_line || x.last_line != y.last_line || x.records != y.records || x.head != y.head ||
        x.from_genesis != y.from_genesis || x.scores_checked != y.scores_checked || x.scores_note != y.scores_note) {
      return false;
    }
  }
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!same(run(data, size, false), run(data, size, true))) std::abort();
  return 0;
}
