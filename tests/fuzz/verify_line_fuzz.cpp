// Arbitrary bytes fed to the log verifier as lines: no crash, no undefined behaviour, every line
// accounted for, every record in one chain, and a report that can always be rendered. The seed
// corpus holds real records
// signed with the seed of 32 bytes 0x01, so mutations explore lines that are almost valid.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "encoding/ed25519.h"
#include "verifier/log_verifier.h"
#include "verifier/report.h"

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
  velm::verify::RunReport run;
  run.logs.push_back(verifier.finish("fuzz"));
  const velm::verify::LogReport& report = run.logs.back();
  std::uint64_t in_chains = 0;
  report.for_each_chain([&](const velm::verify::ChainSummary& c) {
    if (c.records == 0 || c.scores_checked > c.records || c.first_line > c.last_line || c.last_line > fed) std::abort();
    in_chains += c.records;
  });
  if (in_chains != report.records || report.records > report.lines) std::abort();
  for (const auto& f : report.failures) {
    if (f.line == 0 || f.line > fed) std::abort();
  }
  // Nothing a log holds can start a line of the text report.
  const std::string text = velm::verify::render_text(run);
  std::size_t newlines = 0;
  for (const char c : text) newlines += c == '\n';
  const std::size_t shown = std::min<std::size_t>(report.failures.size(), velm::verify::kTextFailuresShown);
  const std::size_t expected = 1 + 2 * report.chain_count + shown + (report.failure_total() > shown ? 1 : 0) + 1 + 1;
  if (newlines != expected) std::abort();
  velm::verify::render_json(run);
  return 0;
}
