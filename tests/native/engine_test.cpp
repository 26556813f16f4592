// The engine's capture pipeline: the seal, the chain, and all-or-nothing behaviour when any
// allocation inside a capture fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "encoding/fatal_error.h"
#include "encoding/float_text.h"
#include "engine/engine.h"
#include "engine/key_file.h"
#include "support/sample_capture.h"

// Counts allocations and fails the Nth one while armed; used to drive every failure path.
namespace {
thread_local long g_allocations_until_failure = -1;
}

// These are the replacements themselves, so GCC's new/free pairing check does not apply.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (g_allocations_until_failure == 0) throw std::bad_alloc();
  if (g_allocations_until_failure > 0) --g_allocations_until_failure;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The non-throwing forms must come from the same allocator as the deletes below.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace velm {
namespace {

using velm::testing::sample_input;

// Hooks as the binding's when a failed append is raised as an error: the capture stops.
struct StrictHooks final : CaptureHooks {
  void append_failed(const AppendResult& result) override {
    if (result.error == ENOMEM) throw std::bad_alloc();
    throw FatalError("append failed: " + os_error_text(result.error));
  }
};

// A file engine in a fresh folder of its own; the folder goes with it.
struct FileEngine {
  std::string dir = [] {
    char name[] = "/tmp/velm_engine_test_XXXXXX";
    const char* made = ::mkdtemp(name);
    return std::string(made ? made : "");
  }();
  std::string wal = dir + "/t.wal";
  Engine engine{wal};
  ~FileEngine() {
    ::unlink(wal.c_str());
    ::unlink((wal + kKeyFileSuffix).c_str());
    ::rmdir(dir.c_str());
  }
  std::size_t log_lines() const {
    std::ifstream in(wal);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }
};

TEST(SealText, WorkedExample) {
  const PPPTripletData ppp{"a", "b", "c"};
  EXPECT_EQ(seal_text(ppp, "p", 1.0, 0.51), "abcp1.00.51");
  EXPECT_EQ(seal_text({"", "", ""}, "", 1.0, 0.5), "1.00.5");
  EXPECT_EQ(content_digest(ppp, "p", 1.0, 0.51), blake3_digest(std::string_view("abcp1.00.51")));
  const std::string big(100000, 'x');
  EXPECT_EQ(content_digest(ppp, big, 0.25, 1e-7), blake3_digest(seal_text(ppp, big, 0.25, 1e-7)));
}

TEST(Capture, FirstRecordOfAMemoryEngine) {
  Engine engine{std::string(kMemoryPath)};
  EXPECT_TRUE(engine.memory_mode());
  SealedRecordData record;
  engine.capture(sample_input("p", ""), draw_stamps(), record);
  EXPECT_EQ(record.hash, "83492f590718d75e3d9e27e82b0faa0ddada3d7946342444caabe396517bbb29");
  EXPECT_EQ(record.merkle_root, "b4c2b904e6edec426dd65391e7eee4ded93502a675873aaaed9732e9865f4ad9");
  EXPECT_EQ(record.ppp_json, "{\"provenance\":\"a\",\"place\":\"b\",\"purpose\":\"c\"}");
  EXPECT_EQ(record.human_delta_chain_json,
            "{\"chain_id\":\"chain\",\"agent_decision_ref\":\"ref\",\"resolved\":true,\"terminal_node\":\"node\"}");
  Signature sig;
  std::copy(record.signature.begin(), record.signature.end(), sig.begin());
  const Digest digest = blake3_digest(std::string_view("abcp1.00.51"));
  EXPECT_TRUE(verify_signature(engine.public_key(), digest.data(), digest.size(), sig));
  ASSERT_TRUE(record.core_insight_json.has_value());
  EXPECT_EQ(record.id.rfind("qor_", 0), 0u);
  EXPECT_EQ(record.id.size(), 40u);
  EXPECT_FALSE(engine.append_to_log(record).error);  // memory mode: nothing to do, no failure
}

// Every allocation of a capture fails in turn, the append's included (the line is written into a
// buffer first): each failure leaves engine and log as they were.
TEST(Capture, AllocationFailureAnywhereChangesNothing) {
  FileEngine file;
  Engine& engine = file.engine;
  Engine twin{std::string(kMemoryPath)};
  StrictHooks hooks;
  const std::string prompt(300, 'p'), output(200, 'o');
  for (int i = 0; i < 20; ++i) {
    SealedRecordData r;
    engine.capture(sample_input(prompt.substr(i), output), draw_stamps(), r, hooks);
    twin.capture(sample_input(prompt.substr(i), output), draw_stamps(), r);
  }
  int failures = 0;
  for (long n = 0;; ++n) {
    const Digest root = engine.chain_root();
    const double reputation = engine.scorer().reputation();
    const std::size_t history = engine.scorer().history_size();
    CaptureInput input = sample_input(prompt, output);
    Stamps stamps = draw_stamps();
    SealedRecordData record;
    g_allocations_until_failure = n;
    bool failed = false;
    try {
      engine.capture(std::move(input), std::move(stamps), record, hooks);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    g_allocations_until_failure = -1;
    if (!failed) break;
    ++failures;
    ASSERT_EQ(engine.chain_root(), root);
    ASSERT_EQ(engine.scorer().reputation(), reputation);
    ASSERT_EQ(engine.scorer().history_size(), history);
    ASSERT_TRUE(record.hash.empty());
    ASSERT_EQ(file.log_lines(), 20u);
  }
  EXPECT_GT(failures, 5);
  EXPECT_EQ(file.log_lines(), 21u);
  // The loop ended with one successful capture; after it the engine is exactly where its twin
  // is after the same single capture.
  SealedRecordData a, b;
  twin.capture(sample_input(prompt, output), draw_stamps(), b);
  engine.capture(sample_input(prompt, output), draw_stamps(), a, hooks);
  twin.capture(sample_input(prompt, output), draw_stamps(), b);
  EXPECT_EQ(a.coherence_score, b.coherence_score);
  EXPECT_EQ(a.reputation_scalar, b.reputation_scalar);
  EXPECT_EQ(a.hash, b.hash);
}

// A failed append that the caller lets pass is only reported: the capture commits. One that it
// raises stops the capture before the commit.
TEST(Capture, FailedAppendGoesThroughTheHooks) {
  FileEngine file;
  ::unlink(file.wal.c_str());
  ::unlink((file.wal + kKeyFileSuffix).c_str());
  ASSERT_EQ(::rmdir(file.dir.c_str()), 0);  // the log's folder is gone: every append fails
  struct Counting final : CaptureHooks {
    int failed = 0, error = 0;
    void append_failed(const AppendResult& result) override {
      ++failed;
      error = result.error;
    }
  } lenient;
  SealedRecordData record;
  file.engine.capture(sample_input("p", ""), draw_stamps(), record, lenient);
  EXPECT_EQ(lenient.failed, 1);
  EXPECT_EQ(lenient.error, ENOENT);
  EXPECT_EQ(file.engine.scorer().history_size(), 1u);
  const Digest root = file.engine.chain_root();
  StrictHooks strict;
  SealedRecordData refused;
  EXPECT_THROW(file.engine.capture(sample_input("p", ""), draw_stamps(), refused, strict), FatalError);
  EXPECT_EQ(file.engine.chain_root(), root);
  EXPECT_EQ(file.engine.scorer().history_size(), 1u);
  EXPECT_TRUE(refused.hash.empty());
}

}  // namespace
}  // namespace velm
