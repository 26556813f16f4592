// The pieces of one capture: digests, the log line, the append, and the whole core pipeline at a
// full history. The Python benchmark reads these figures to compute the floor of a capture.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "encoding/digest.h"
#include "engine/engine.h"
#include "records/record_json.h"
#include "support/sample_capture.h"

namespace {

using namespace velm;

const std::string kPrompt(300, 'p');
const std::string kOutput(300, 'o');

CaptureInput typical_input() {
  CaptureInput input = velm::testing::sample_input(kPrompt, kOutput);
  input.ctx_json = "{\"user\": \"u-1842\", \"channel\": \"web\", \"locale\": \"en-GB\", \"attempt\": 2}";
  input.reasoning_trace_json = "[\"retrieved 3 documents\", \"ranked by recency\", \"drafted answer\"]";
  static const PPPTripletData ppp{"model:v3/run-7", "eu-west-1/node-12", "customer support"};
  static const HumanDeltaChainData review{"5f0c6a0e-8d1b-4c7e-9a55-0f4c1d2b3a69", "decision-0001", false,
                                          "analyst-desk"};
  input.ppp = &ppp;
  input.review = &review;
  return input;
}

SealedRecordData typical_record() {
  Engine engine{std::string(kMemoryPath)};
  SealedRecordData record;
  engine.capture(typical_input(), draw_stamps(), record);
  return record;
}

void BM_Blake3SealText(benchmark::State& state) {
  const PPPTripletData ppp = *typical_input().ppp;
  for (auto _ : state) benchmark::DoNotOptimize(content_digest(ppp, kPrompt, 0.9871234, 0.5123456));
}
BENCHMARK(BM_Blake3SealText);

void BM_Blake3LinkText(benchmark::State& state) {
  Digest root = genesis_root();
  const Digest content = blake3_digest(kPrompt);
  for (auto _ : state) {
    root = next_chain_root(root, content);
    benchmark::DoNotOptimize(root);
  }
}
BENCHMARK(BM_Blake3LinkText);

void BM_WriteLogLine(benchmark::State& state) {
  const SealedRecordData record = typical_record();
  JsonWriter writer;
  for (auto _ : state) {
    write_record_json(writer, record);
    writer.line_feed();
    benchmark::DoNotOptimize(writer.text().data());
  }
  state.counters["bytes"] = static_cast<double>(writer.text().size());
}
BENCHMARK(BM_WriteLogLine);

// Times `append(path, line)` on a file in a fresh temporary folder, emptying the file now and then
// outside the timing so that it stays small. `line` is a typical log line with its line feed.
template <class Append>
void time_appends(benchmark::State& state, Append&& append) {
  JsonWriter writer;
  write_record_json(writer, typical_record());
  writer.line_feed();
  const std::string line(writer.text());
  char dir_template[] = "/tmp/velm_bench_XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  if (dir == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string path = std::string(dir) + "/bench.wal";
  long lines = 0;
  for (auto _ : state) {
    append(path, std::string_view(line));
    if (++lines % 100000 == 0) {
      state.PauseTiming();
      ::truncate(path.c_str(), 0);
      state.ResumeTiming();
    }
  }
  ::unlink(path.c_str());
  ::rmdir(dir);
}

void BM_AppendLogLine(benchmark::State& state) {
  time_appends(state, [](const std::string& path, std::string_view line) {
    benchmark::DoNotOptimize(append_log_line(path, line));
  });
}
BENCHMARK(BM_AppendLogLine);

// The floor of an append: open for appending, one write of the line, close. No lock, no checks.
void BM_BareOpenAppendClose(benchmark::State& state) {
  time_appends(state, [](const std::string& path, std::string_view line) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
    ::close(fd);
  });
}
BENCHMARK(BM_BareOpenAppendClose);

void BM_DrawStamps(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(draw_stamps());
}
BENCHMARK(BM_DrawStamps);

// The core pipeline at a full history: stamps, scoring, seal, signature, chain, record texts.
void BM_EngineCaptureFullHistory(benchmark::State& state) {
  Engine engine{std::string(kMemoryPath)};
  SealedRecordData record;
  for (int i = 0; i < 600; ++i) engine.capture(typical_input(), draw_stamps(), record);
  for (auto _ : state) {
    engine.capture(typical_input(), draw_stamps(), record);
    benchmark::DoNotOptimize(record.hash.data());
  }
}
BENCHMARK(BM_EngineCaptureFullHistory);

}  // namespace
