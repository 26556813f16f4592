// Cost of checking one log line next to one Ed25519 verification (counter
// "per_line_over_ed25519", target <= 1.5) for a typical line (/0) and a short one like the README's
// example (/1), and lines per second over a 100,000-record log file ("items_per_second").
// Prints figures; asserts nothing about time.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "records/record_json.h"
#include "verifier/log_verifier.h"

namespace {

constexpr std::size_t kLogRecords = 100000;
constexpr std::size_t kShortLogRecords = 20000;

struct TypicalLog {
  std::vector<std::string> lines;
  velm::PublicKey key{};
};

// One engine's records. Typical: a few hundred bytes of prompt and output, a small context and
// trace, an insight on two records of three. Short: the README's one-line question and answer.
TypicalLog make_log(bool short_texts, std::size_t records) {
  TypicalLog out;
  velm::Engine engine{std::string(velm::kMemoryPath)};
  out.key = engine.public_key();
  velm::JsonWriter writer;
  std::uint64_t lcg = 12345;
  for (std::size_t i = 0; i < records; ++i) {
    lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL;
    const std::string prompt = short_texts ? "Raise the limit?" : std::string(150 + (lcg >> 40) % 200, 'p');
    const std::string output = short_texts ? (i % 2 != 0 ? "Yes." : "No, not now.") : std::string(200 + (lcg >> 20) % 300, 'o');
    velm::CaptureInput input;
    input.ctx_json = "{\"account\": " + std::to_string(i) + ", \"region\": \"eu-west-1\", \"tier\": \"gold\"}";
    input.reasoning_trace_json = "[\"scored risk\", \"checked limits\", {\"score\": 0.731}]";
    input.prompt = prompt;
    input.output = output;
    const velm::PPPTripletData ppp{"model:credit-v3", "eu-west-1/node-12", "credit limit review"};
    const velm::HumanDeltaChainData review{"review-chain-7", "decision-" + std::to_string(i), i % 5 == 0,
                                           "analyst-desk"};
    input.ppp = &ppp;
    input.review = &review;
    input.auto_insight = i % 3 != 0;
    velm::SealedRecordData record;
    engine.capture(std::move(input), velm::draw_stamps(), record);
    velm::write_record_json(writer, record);
    out.lines.emplace_back(writer.text());
  }
  return out;
}

const TypicalLog& typical_log() {
  static const TypicalLog log = make_log(false, kLogRecords);
  return log;
}

const TypicalLog& short_log() {
  static const TypicalLog log = make_log(true, kShortLogRecords);
  return log;
}

// Nanoseconds per crypto_sign_verify_detached over a 32-byte message: the median of 5 runs.
double ed25519_verify_ns() {
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(pk, sk);
  unsigned char message[32] = {1, 2, 3};
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, message, sizeof message, sk);
  std::vector<double> runs;
  for (int r = 0; r < 5; ++r) {
    constexpr int kCount = 2000;
    int good = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCount; ++i) good += crypto_sign_verify_detached(signature, message, sizeof message, pk) == 0;
    const auto stop = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(good);
    runs.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / kCount);
  }
  std::sort(runs.begin(), runs.end());
  return runs[2];
}

void BM_Ed25519Verify32(benchmark::State& state) {
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(pk, sk);
  unsigned char message[32] = {};
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, message, sizeof message, sk);
  for (auto _ : state) benchmark::DoNotOptimize(crypto_sign_verify_detached(signature, message, sizeof message, pk));
}
BENCHMARK(BM_Ed25519Verify32);

// Every check of one line in a long single-writer log (history full, insight on most lines).
void BM_VerifyLine(benchmark::State& state) {
  const TypicalLog& log = state.range(0) == 0 ? typical_log() : short_log();
  auto verifier = std::make_unique<velm::verify::LogVerifier>(log.key);
  std::size_t next = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (next == log.lines.size()) {
      state.PauseTiming();
      verifier = std::make_unique<velm::verify::LogVerifier>(log.key);
      next = 0;
      state.ResumeTiming();
    }
    verifier->add_line(log.lines[next++]);
  }
  const auto stop = std::chrono::steady_clock::now();
  if (!verifier->finish("bench").ok()) state.SkipWithError("the generated log does not verify");
  const double per_line = std::chrono::duration<double, std::nano>(stop - start).count() /
                          static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  const double verify = ed25519_verify_ns();
  state.counters["per_line_ns"] = per_line;
  state.counters["ed25519_verify_ns"] = verify;
  state.counters["per_line_over_ed25519"] = per_line / verify;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < 1000; ++i) bytes += log.lines[i].size() + 1;
  state.counters["mean_line_bytes"] = static_cast<double>(bytes) / 1000.0;
}
BENCHMARK(BM_VerifyLine)->Arg(0)->Arg(1);

// A file removed when the benchmark ends.
class LogFile {
 public:
  LogFile() {
    char name[] = "/tmp/velm_verify_bench_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) ::close(fd);
    path_ = name;
    std::ofstream out(path_, std::ios::binary);
    for (const std::string& line : typical_log().lines) out << line << '\n';
  }
  ~LogFile() { std::remove(path_.c_str()); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The whole command's work on a 100,000-record file: reading, every check, the report.
void BM_VerifyFile100k(benchmark::State& state) {
  const LogFile file;
  for (auto _ : state) {
    const velm::verify::LogReport report =
        velm::verify::verify_log_file(file.path(), typical_log().key, velm::verify::VerifyOptions{});
    if (!report.ok() || report.lines != kLogRecords) state.SkipWithError("the generated log does not verify");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kLogRecords));
}
BENCHMARK(BM_VerifyFile100k)->Unit(benchmark::kSecond)->Iterations(2);

}  // namespace
