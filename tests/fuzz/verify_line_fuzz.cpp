// Arbitrary bytes fed to the log verifier as lines: no crash, no undefined behaviour, every line
// accounted for, every record in one chain, and a report that can always be rendered; and each
// line's facts the same whether it is read by the one-pass reader of the engine's form or by the
// general parser alone. The seed corpus holds real records signed with the seed of 32 bytes 0x01,
// so mutations explore lines that are almost valid.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "encoding/ed25519.h"
#include "verifier/line/line_check.h"
#include "verifier/run/log_verifier.h"
#include "verifier/run/report.h"

namespace {
const velm::PublicKey& fuzz_key() {
  static const velm::PublicKey key = [] {
    velm::SecretSeed seed;
    for (std::size_t i = 0; i < velm::SecretSeed::size(); ++i) seed.data()[i] = 1;
    return velm::signing_key_from_seed(std::move(seed)).public_key();
  }();
  return key;
}

bool same_facts(const velm::verify::LineFacts& a, const velm::verify::LineFacts& b) {
  const velm::verify::ScoreInput& x = a.scores;
  const velm::verify::ScoreInput& y = b.scores;
  return a.form_problem == b.form_problem && a.hash == b.hash && a.root == b.root && a.sealed == b.sealed &&
         a.hash_mismatch == b.hash_mismatch && a.bad_signature == b.bad_signature && a.id == b.id &&
         x.usable == y.usable && x.prompt_bytes == y.prompt_bytes && x.output_bytes == y.output_bytes &&
         std::memcmp(&x.coherence, &y.coherence, sizeof x.coherence) == 0 &&
         std::memcmp(&x.reputation, &y.reputation, sizeof x.reputation) == 0 && x.insight == y.insight;
}

// Both readings of one line must agree.
void check_both_readings(std::string_view line) {
  using velm::verify::LineChecker;
  static LineChecker engine_form_first(fuzz_key(), LineChecker::Reading::kEngineFormFirst);
  static LineChecker general_only(fuzz_key(), LineChecker::Reading::kGeneralOnly);
  velm::verify::LineFacts a, b;
  engine_form_first.check(line, a);
  general_only.check(line, b);
  if (!same_facts(a, b)) std::abort();
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
    check_both_readings(rest.substr(0, newline));
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
