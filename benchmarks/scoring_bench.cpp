// Cost of scoring one decision against the history, next to one Ed25519 signature.
// Prints "scoring at 500 / one signature = X" after the run; asserts nothing about time.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/scoring.h"

namespace {

// A scorer holding `size` committed vectors of varied lengths.
velm::Scorer scorer_with_history(std::int64_t size) {
  velm::Scorer scorer;
  std::uint64_t length = 12345;
  for (std::int64_t i = 0; i < size; ++i) {
    length = length * 6364136223846793005ULL + 1442695040888963407ULL;
    scorer.commit(scorer.evaluate((length >> 40) % 5000, (length >> 20) % 20000, true));
  }
  return scorer;
}

void BM_ScoringEvaluate(benchmark::State& state) {
  const velm::Scorer scorer = scorer_with_history(state.range(0));
  std::uint64_t prompt = 100;
  for (auto _ : state) {
    velm::Evaluation e = scorer.evaluate(prompt, 2000, true);
    benchmark::DoNotOptimize(e);
    prompt = (prompt + 7) % 4096;
  }
}
BENCHMARK(BM_ScoringEvaluate)->Arg(1)->Arg(100)->Arg(500);

void BM_ScoringEvaluateCommit(benchmark::State& state) {
  velm::Scorer scorer = scorer_with_history(500);
  std::uint64_t prompt = 100;
  for (auto _ : state) {
    const velm::Evaluation e = scorer.evaluate(prompt, 2000, true);
    scorer.commit(e);
    prompt = (prompt + 7) % 4096;
  }
}
BENCHMARK(BM_ScoringEvaluateCommit);

void BM_Ed25519Sign32(benchmark::State& state) {
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> pk{};
  std::array<unsigned char, crypto_sign_SECRETKEYBYTES> sk{};
  crypto_sign_keypair(pk.data(), sk.data());
  std::array<unsigned char, 32> message{};
  std::array<unsigned char, crypto_sign_BYTES> signature{};
  for (auto _ : state) {
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), sk.data());
    benchmark::DoNotOptimize(signature);
    message[0] = signature[0];
  }
}
BENCHMARK(BM_Ed25519Sign32);

// Prints as usual and keeps each benchmark's time per iteration in nanoseconds: the median when
// repetitions are asked for, otherwise the single run.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      const std::string name = run.run_name.str();
      const double ns = run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations);
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") {
          ns_per_iteration[name] = ns;
          from_median[name] = true;
        }
      } else if (!from_median[name]) {
        ns_per_iteration[name] = ns;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> ns_per_iteration;

 private:
  std::map<std::string, bool> from_median;
};

}  // namespace

int main(int argc, char** argv) {
  if (sodium_init() < 0) {
    std::fprintf(stderr, "libsodium failed to initialise\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto scoring = reporter.ns_per_iteration.find("BM_ScoringEvaluate/500");
  const auto signing = reporter.ns_per_iteration.find("BM_Ed25519Sign32");
  if (scoring != reporter.ns_per_iteration.end() && signing != reporter.ns_per_iteration.end() &&
      signing->second > 0.0) {
    std::printf("scoring at 500 / one signature = %.3f (%.0f ns / %.0f ns)\n", scoring->second / signing->second,
                scoring->second, signing->second);
  } else {
    std::printf("scoring at 500 / one signature = n/a (both benchmarks must run)\n");
  }
  return 0;
}
