// Cost of the Merkle tree next to the cost of checking a line: building the tree over 100,000
// lines of about 2 KB ("ns_per_leaf", and "tree_over_ed25519", the tree's share per line against
// one Ed25519 verification, which every line's check already costs at least once), and
// generating one inclusion proof from the leaf hashes. The tree against a whole verification, and
// the check of one proof bundle, are in checkpoint_bench.cpp. Prints figures; asserts nothing
// about time.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "verifier/tlog/merkle.h"

namespace {

using velm::verify::TreeHash;

constexpr std::size_t kLines = 100000;

// Lines shaped like records with long texts: 1.7 to 2.3 KB of printable JSON each.
const std::vector<std::string>& lines() {
  static const std::vector<std::string> out = [] {
    std::vector<std::string> v;
    v.reserve(kLines);
    std::uint64_t lcg = 88172645463325252ULL;
    auto next = [&] { return lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL; };
    for (std::size_t i = 0; i < kLines; ++i) {
      std::string text(1600 + next() % 600, ' ');
      for (char& c : text) c = static_cast<char>('a' + (next() >> 33) % 26);
      v.push_back("{\"id\": \"qor_" + std::to_string(i) + "\", \"prompt\": \"" + text.substr(0, text.size() / 3) +
                  "\", \"output\": \"" + text.substr(text.size() / 3) +
                  "\", \"hash\": \"0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0\"}");
    }
    return v;
  }();
  return out;
}

double mean_line_bytes() {
  double total = 0;
  for (const std::string& line : lines()) total += static_cast<double>(line.size());
  return total / static_cast<double>(lines().size());
}

// CPU time of this thread, so that the ratios hold on a machine shared with other work.
double thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// CPU nanoseconds per Ed25519 verification of a 32-byte message: the median of 5 runs.
double ed25519_verify_ns() {
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(pk, sk);
  unsigned char message[32] = {7};
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, message, sizeof message, sk);
  std::vector<double> runs;
  for (int r = 0; r < 5; ++r) {
    constexpr int kCount = 2000;
    int good = 0;
    const double start = thread_cpu_ns();
    for (int i = 0; i < kCount; ++i) good += crypto_sign_verify_detached(signature, message, sizeof message, pk) == 0;
    const double stop = thread_cpu_ns();
    benchmark::DoNotOptimize(good);
    runs.push_back((stop - start) / kCount);
  }
  std::sort(runs.begin(), runs.end());
  return runs[2];
}

// The tree over the whole log as the verifier builds it while reading, with the roots of runs
// of 1024 lines kept, and its root at the end.
void BM_MerkleTree100k(benchmark::State& state) {
  const std::vector<std::string>& log = lines();
  TreeHash root{};
  for (auto _ : state) {
    velm::verify::TreeBuilder builder(10);
    for (const std::string& line : log) builder.add_entry(line);
    root = builder.root();
    benchmark::DoNotOptimize(root);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kLines));
  const double verify = ed25519_verify_ns();
  // CPU time per leaf from a pass of its own, measured like the Ed25519 figure.
  velm::verify::TreeBuilder builder(10);
  const double start = thread_cpu_ns();
  for (const std::string& line : log) builder.add_entry(line);
  benchmark::DoNotOptimize(builder.root());
  const double ns = (thread_cpu_ns() - start) / static_cast<double>(kLines);
  state.counters["ns_per_leaf"] = ns;
  state.counters["ed25519_verify_ns"] = verify;
  state.counters["tree_over_ed25519"] = ns / verify;
  state.counters["mean_line_bytes"] = mean_line_bytes();
}
BENCHMARK(BM_MerkleTree100k)->Unit(benchmark::kMillisecond)->Iterations(3);

// The inclusion proof of one line from the leaf hashes of 100,000 lines (the hashing of the
// lines themselves is the tree's cost above).
void BM_InclusionProofFromStream100k(benchmark::State& state) {
  static const std::vector<TreeHash> leaves = [] {
    std::vector<TreeHash> v;
    for (const std::string& line : lines()) v.push_back(velm::verify::leaf_hash(line));
    return v;
  }();
  for (auto _ : state) {
    velm::verify::ProofBuilder proof = velm::verify::ProofBuilder::inclusion(54321, kLines);
    for (const TreeHash& leaf : leaves) proof.add_leaf_hash(leaf);
    benchmark::DoNotOptimize(proof.proof());
  }
}
BENCHMARK(BM_InclusionProofFromStream100k)->Unit(benchmark::kMillisecond);

}  // namespace
