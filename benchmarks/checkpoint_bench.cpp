// What checkpoints add to verifying a 100,000-record log file of typical records: CPU time of the
// plain verification, of the same with the RFC 6962 tree built over every line (as --checkpoint
// does), and their ratio "tree_share" (target: at most 0.10); "hash_share" is the CPU time of
// hashing the lines into the tree alone over the plain verification. Then the time to check one
// proof bundle of that log with check_proof: the witness's checkpoint signature, the inclusion
// proof and the record's form, seal and signature. Prints figures; asserts nothing about time.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "encoding/clock.h"
#include "encoding/entropy.h"
#include "engine/engine.h"
#include "records/record_json.h"
#include "verifier/run/checkpoint.h"
#include "verifier/run/log_verifier.h"
#include "verifier/run/parallel_verify.h"
#include "verifier/run/proof_bundle.h"

namespace {

constexpr std::size_t kRecords = 100000;

struct Log {
  std::string path;
  std::vector<std::string> lines;
  velm::PublicKey key{};
  Log() = default;
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;
  ~Log() {
    if (!path.empty()) std::remove(path.c_str());
  }
};

// One engine's records with a few hundred bytes of prompt and output, a small context and trace,
// an insight on two records of three: the typical log of the verifier's own benchmark.
const Log& typical_log() {
  static Log log_file;  // its file is removed at exit
  static const bool made = [] {
    Log* out = &log_file;
    velm::Engine engine{std::string(velm::kMemoryPath)};
    out->key = engine.public_key();
    velm::JsonWriter writer;
    std::uint64_t lcg = 12345;
    for (std::size_t i = 0; i < kRecords; ++i) {
      lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL;
      velm::CaptureInput input;
      input.ctx_json = "{\"account\": " + std::to_string(i) + ", \"region\": \"eu-west-1\", \"tier\": \"gold\"}";
      input.reasoning_trace_json = "[\"scored risk\", \"checked limits\", {\"score\": 0.731}]";
      const std::string prompt(150 + (lcg >> 40) % 200, 'p');
      const std::string output(200 + (lcg >> 20) % 300, 'o');
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
      out->lines.emplace_back(writer.text());
    }
    char name[] = "/tmp/velm_checkpoint_bench_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) ::close(fd);
    out->path = name;
    std::ofstream file(out->path, std::ios::binary);
    for (const std::string& line : out->lines) file << line << '\n';
    return true;
  }();
  (void)made;
  return log_file;
}

double thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// CPU nanoseconds of one verification of the file, with or without the tree.
double verify_cpu_ns(const Log& log, bool tree, bool& ok) {
  velm::verify::VerifyOptions options;
  options.tree = tree;
  const double start = thread_cpu_ns();
  const velm::verify::LogReport report = velm::verify::verify_log_file(log.path, log.key, options);
  const double ns = thread_cpu_ns() - start;
  ok = ok && report.ok() && report.lines == kRecords && (!tree || report.tree_leaves == kRecords);
  return ns;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Plain and tree runs alternate, so that a change in the machine's load falls on both.
void BM_TreeOverVerifyFile100k(benchmark::State& state) {
  const Log& log = typical_log();
  std::vector<double> plain, with_tree, hashing;
  bool ok = true;
  for (auto _ : state) {
    plain.push_back(verify_cpu_ns(log, false, ok));
    with_tree.push_back(verify_cpu_ns(log, true, ok));
    const double start = thread_cpu_ns();
    velm::verify::TreeBuilder builder;
    for (const std::string& line : log.lines) builder.add_entry(line);
    benchmark::DoNotOptimize(builder.root());
    hashing.push_back(thread_cpu_ns() - start);
  }
  if (!ok) state.SkipWithError("the generated log does not verify");
  const double p = median(plain), t = median(with_tree), h = median(hashing);
  state.counters["plain_s"] = p / 1e9;
  state.counters["with_tree_s"] = t / 1e9;
  state.counters["tree_share"] = (t - p) / p;
  state.counters["hash_share"] = h / p;
  double bytes = 0;
  for (const std::string& line : log.lines) bytes += static_cast<double>(line.size() + 1);
  state.counters["mean_line_bytes"] = bytes / static_cast<double>(kRecords);
}
BENCHMARK(BM_TreeOverVerifyFile100k)->Unit(benchmark::kSecond)->Iterations(3);

// One bundle of a line in the middle of the 100,000-line log, checked from its JSON text.
void BM_CheckProofBundle100k(benchmark::State& state) {
  const Log& log = typical_log();
  const velm::SigningKey witness = velm::signing_key_from_seed(velm::generate_seed());
  std::string note;
  {
    velm::verify::TreeBuilder tree;
    for (const std::string& line : log.lines) tree.add_entry(line);
    note = velm::verify::sign_checkpoint("bench.example/log", kRecords, tree.root(), witness);
  }
  const std::string path = log.path + ".cp";
  std::ofstream(path, std::ios::binary) << note;
  const std::string bundle =
      velm::verify::bundle_json(velm::verify::prove({velm::verify::file_piece(log.path)}, 54321, note));
  std::remove(path.c_str());
  const std::vector<velm::verify::NoteVerifierKey> keys{
      velm::verify::make_verifier_key("bench.example/log", witness.public_key())};
  for (auto _ : state) {
    const velm::verify::ProofCheck check = velm::verify::check_proof(bundle, keys, log.key);
    if (!check.ok()) state.SkipWithError("the bundle does not verify");
    benchmark::DoNotOptimize(check);
  }
  state.counters["bundle_bytes"] = static_cast<double>(bundle.size());
}
BENCHMARK(BM_CheckProofBundle100k)->Unit(benchmark::kMicrosecond);

}  // namespace
