// The engine's capture pipeline: the seal, the chain, and all-or-nothing behaviour when any
// allocation inside a capture fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "encoding/float_text.h"
#include "engine/engine.h"

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

CaptureInput make_input(std::string_view prompt, std::string_view output) {
  CaptureInput input;
  input.ctx_json = "{\"k\": 1}";
  input.reasoning_trace_json = "null";
  input.prompt = prompt;
  input.output = output;
  static const PPPTripletData ppp{"a", "b", "c"};
  static const HumanDeltaChainData review{"chain", "ref", true, "node"};
  input.ppp = &ppp;
  input.review = &review;
  return input;
}

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
  engine.capture(make_input("p", ""), draw_stamps(), record);
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

TEST(Capture, AllocationFailureAnywhereChangesNothing) {
  Engine engine{std::string(kMemoryPath)};
  Engine twin{std::string(kMemoryPath)};
  const std::string prompt(300, 'p'), output(200, 'o');
  for (int i = 0; i < 20; ++i) {
    SealedRecordData r;
    engine.capture(make_input(prompt.substr(i), output), draw_stamps(), r);
    twin.capture(make_input(prompt.substr(i), output), draw_stamps(), r);
  }
  int failures = 0;
  for (long n = 0;; ++n) {
    const Digest root = engine.chain_root();
    const double reputation = engine.scorer().reputation();
    const std::size_t history = engine.scorer().history_size();
    CaptureInput input = make_input(prompt, output);
    Stamps stamps = draw_stamps();
    SealedRecordData record;
    g_allocations_until_failure = n;
    bool failed = false;
    try {
      engine.capture(std::move(input), std::move(stamps), record);
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
  }
  EXPECT_GT(failures, 5);
  // The loop ended with one successful capture; after it the engine is exactly where its twin
  // is after the same single capture.
  SealedRecordData a, b;
  twin.capture(make_input(prompt, output), draw_stamps(), b);
  engine.capture(make_input(prompt, output), draw_stamps(), a);
  twin.capture(make_input(prompt, output), draw_stamps(), b);
  EXPECT_EQ(a.coherence_score, b.coherence_score);
  EXPECT_EQ(a.reputation_scalar, b.reputation_scalar);
  EXPECT_EQ(a.hash, b.hash);
}

}  // namespace
}  // namespace velm
