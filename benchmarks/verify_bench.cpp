// Cost of checking one log line next to one Ed25519 verification (counter
// "per_line_over_ed25519", target <= 1.5) for a typical line (/0) and a short one like the README's
// example (/1), and lines per second over a 100,000-record log file ("items_per_second").
// Peak resident memory of the command over logs of 10,000 and 200,000 chains of one record each
// ("peak_rss_mb", read from the finished child process). The pipeline of the command at --jobs 1
// and at every core (BM_VerifyFileJobs). Prints figures; asserts nothing about time or memory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "encoding/clock.h"
#include "encoding/entropy.h"
#include "engine/engine.h"
#include "records/record_json.h"
#include "support/sample_capture.h"
#include "verifier/log_verifier.h"
#include "verifier/parallel_verify.h"

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
    const std::string output =
        short_texts ? (i % 2 != 0 ? "Yes." : "No, not now.") : std::string(200 + (lcg >> 20) % 300, 'o');
    velm::CaptureInput input = velm::testing::sample_input(prompt, output, i % 3 != 0);
    input.ctx_json = "{\"account\": " + std::to_string(i) + ", \"region\": \"eu-west-1\", \"tier\": \"gold\"}";
    input.reasoning_trace_json = "[\"scored risk\", \"checked limits\", {\"score\": 0.731}]";
    const velm::PPPTripletData ppp{"model:credit-v3", "eu-west-1/node-12", "credit limit review"};
    const velm::HumanDeltaChainData review{"review-chain-7", "decision-" + std::to_string(i), i % 5 == 0,
                                           "analyst-desk"};
    input.ppp = &ppp;
    input.review = &review;
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

// Nanoseconds per crypto_sign_verify_detached over a 32-byte message, as a log's lines give it:
// 256 distinct messages and signatures taken in turn. The median of 5 runs.
double ed25519_verify_ns() {
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(pk, sk);
  constexpr std::size_t kSigned = 256;
  std::vector<std::array<unsigned char, 32>> messages(kSigned);
  std::vector<std::array<unsigned char, crypto_sign_BYTES>> signatures(kSigned);
  for (std::size_t i = 0; i < kSigned; ++i) {
    randombytes_buf(messages[i].data(), messages[i].size());
    crypto_sign_detached(signatures[i].data(), nullptr, messages[i].data(), messages[i].size(), sk);
  }
  std::vector<double> runs;
  for (int r = 0; r < 5; ++r) {
    constexpr std::size_t kCount = 2000;
    int good = 0;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kCount; ++i) {
      const std::size_t k = i % kSigned;
      good += crypto_sign_verify_detached(signatures[k].data(), messages[k].data(), 32, pk) == 0;
    }
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

// The command's pipeline over the 100,000-record file at --jobs 1 and at every core: lines per
// second of each ("lines_per_s_1", "lines_per_s_all"), the second over cores times the first
// ("ratio_to_linear", target >= 0.85), and per line at --jobs 1 over one Ed25519 verification
// ("per_line_over_ed25519", target <= 1.2). This machine's speed drifts from one second to the
// next (other guests on the host), so each run at --jobs 1 is paired with an Ed25519 measurement
// taken right after it, and the ratio printed is the median of the pairs. The 1-minute load
// average is printed beside them: other work on the machine takes cores from the threads.
void BM_VerifyFileJobs(benchmark::State& state) {
  const LogFile file;
  const unsigned cores = velm::verify::available_cores();
  auto seconds_at = [&](unsigned jobs) {
    velm::verify::ParallelVerifier verifier(typical_log().key, jobs);
    const auto start = std::chrono::steady_clock::now();
    const velm::verify::LogReport report = verifier.verify({velm::verify::file_piece(file.path())}, {});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!report.ok() || report.lines != kLogRecords) state.SkipWithError("the generated log does not verify");
    return seconds;
  };
  double one = 0, all = 0;
  std::vector<double> ratios;
  for (auto _ : state) {
    for (int run = 0; run < 3; ++run) {
      const double seconds = seconds_at(1);
      one = std::max(one, static_cast<double>(kLogRecords) / seconds);
      ratios.push_back(seconds * 1e9 / static_cast<double>(kLogRecords) / ed25519_verify_ns());
    }
    for (int run = 0; run < 2; ++run) all = std::max(all, static_cast<double>(kLogRecords) / seconds_at(cores));
  }
  std::sort(ratios.begin(), ratios.end());
  double load[1] = {-1};
  getloadavg(load, 1);
  state.counters["cores"] = cores;
  state.counters["lines_per_s_1"] = one;
  state.counters["lines_per_s_all"] = all;
  state.counters["ratio_to_linear"] = all / (cores * one);
  state.counters["per_line_over_ed25519"] = ratios[ratios.size() / 2];
  state.counters["load_avg_1min"] = load[0];
}
BENCHMARK(BM_VerifyFileJobs)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

namespace {

// A log of `chains` engines that each wrote one record, all under one key (engines on one path
// share its key file).
std::string write_one_record_chains(std::size_t chains, const velm::SigningKey& key) {
  char name[] = "/tmp/velm_verify_chains_XXXXXX";
  const int fd = mkstemp(name);
  if (fd >= 0) ::close(fd);
  std::ofstream out(name, std::ios::binary);
  const velm::PPPTripletData ppp{"model:credit-v3", "eu-west-1/node-12", "credit limit review"};
  const velm::HumanDeltaChainData review{"review-chain-7", "decision", false, "analyst-desk"};
  velm::JsonWriter writer;
  for (std::size_t i = 0; i < chains; ++i) {
    velm::SealedRecordData r;
    r.prompt = "Raise the limit for account " + std::to_string(i) + "?";
    r.output = i % 2 != 0 ? "Yes." : "No, not now.";
    velm::Scorer scorer;
    const velm::Evaluation e = scorer.evaluate(r.prompt.size(), r.output.size(), true);
    r.coherence_score = e.coherence;
    r.reputation_scalar = e.reputation;
    if (e.insight) r.core_insight_json = velm::core_insight_json(*e.insight);
    const velm::Digest digest = velm::content_digest(ppp, r.prompt, r.coherence_score, r.reputation_scalar);
    const velm::Signature sig = velm::sign_message(key, digest.data(), digest.size());
    std::copy(sig.begin(), sig.end(), r.signature.begin());
    r.hash = velm::hex_lower(digest);
    r.merkle_root = velm::hex_lower(velm::next_chain_root(velm::genesis_root(), digest));
    r.id = "qor_" + velm::uuid_text(velm::new_uuid_v4());
    r.timestamp = velm::rfc3339_text(1765000000 + static_cast<std::int64_t>(i), 0);
    r.monotonic_nanos = 40;
    r.ppp_json = velm::ppp_json(ppp);
    r.ctx_json = "{\"account\": " + std::to_string(i) + "}";
    r.reasoning_trace_json = "[\"scored risk\"]";
    r.human_delta_chain_json = velm::human_delta_chain_json(review);
    velm::write_record_json(writer, r);
    out << writer.text() << '\n';
  }
  return name;
}

// A child's peak resident set (ru_maxrss) counts the memory it had before exec too, and a child
// forked from this process starts with all of this process's memory. So the command is started by
// a launcher, this same program started afresh (small), which runs it and writes its peak in KiB.
constexpr const char* kLaunchLog = "VELM_BENCH_RSS_LOG";
constexpr const char* kLaunchKey = "VELM_BENCH_RSS_KEY";

const bool kLauncher = [] {
  const char* log = std::getenv(kLaunchLog);
  const char* key = std::getenv(kLaunchKey);
  if (log == nullptr || key == nullptr) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, STDOUT_FILENO);
    execl(VELM_VERIFY_EXE, VELM_VERIFY_EXE, log, "--public-key", key, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  const bool ran = pid > 0 && wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("%ld\n", ran ? usage.ru_maxrss : -1L);
  std::fflush(stdout);
  _exit(0);
}();

// Runs velm-qor-verify on the log through the launcher; its peak resident set in bytes, or -1 when
// it did not run or failed.
double child_peak_rss(const std::string& log, const std::string& key_hex) {
  int pipe_fds[2];
  if (kLauncher || ::pipe(pipe_fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    setenv(kLaunchLog, log.c_str(), 1);
    setenv(kLaunchKey, key_hex.c_str(), 1);
    execl("/proc/self/exe", "velm_native_bench", static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(pipe_fds[1]);
  std::string text;
  char buf[64];
  for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  const long kib = std::strtol(text.c_str(), nullptr, 10);
  return kib > 0 ? static_cast<double>(kib) * 1024.0 : -1;
}

void BM_VerifyPeakRss(benchmark::State& state) {
  const auto chains = static_cast<std::size_t>(state.range(0));
  const velm::SigningKey key = velm::signing_key_from_seed(velm::generate_seed());
  const std::string log = write_one_record_chains(chains, key);
  double peak = -1;
  for (auto _ : state) peak = child_peak_rss(log, velm::hex_lower(key.public_key().data(), key.public_key().size()));
  std::remove(log.c_str());
  if (peak < 0) {
    state.SkipWithError("velm-qor-verify failed on the generated log");
    return;
  }
  state.counters["peak_rss_mb"] = peak / 1e6;
  state.counters["chains"] = static_cast<double>(chains);
}
BENCHMARK(BM_VerifyPeakRss)->Arg(10000)->Arg(200000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
