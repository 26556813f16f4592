// Lines checked on several threads give the report of the plain one-line-at-a-time verifier, for
// every batch size; a rotated series reads as the whole log it was cut from.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "encoding/entropy.h"
#include "engine/engine.h"
#include "records/record_json.h"
#include "support/temp_file.h"
#include "verifier/run/parallel_verify.h"
#include "verifier/run/report.h"

namespace velm::verify {
namespace {

using namespace std::string_literals;

const PPPTripletData kPpp{"prov", "place", "purpose"};
const HumanDeltaChainData kReview{"chain", "ref", false, "node"};

// Records of several chains under one key: a memory engine per chain scores, one key seals.
class Chains {
 public:
  explicit Chains(std::size_t count) : key_(signing_key_from_seed(generate_seed())), chains_(count) {}
  const PublicKey& public_key() const { return key_.public_key(); }

  std::string next(std::size_t chain, const std::string& prompt, const std::string& output) {
    State& c = chains_[chain];
    CaptureInput input;
    input.ctx_json = "{\"k\": 1}";
    input.reasoning_trace_json = "[\"step\"]";
    input.prompt = prompt;
    input.output = output;
    input.ppp = &kPpp;
    input.review = &kReview;
    SealedRecordData r;
    c.engine.capture(std::move(input), draw_stamps(), r);
    const Digest digest = content_digest(kPpp, r.prompt, r.coherence_score, r.reputation_scalar);
    const Signature sig = sign_message(key_, digest.data(), digest.size());
    std::copy(sig.begin(), sig.end(), r.signature.begin());
    c.root = next_chain_root(c.root, digest);
    r.hash = hex_lower(digest);
    r.merkle_root = hex_lower(c.root);
    JsonWriter w;
    write_record_json(w, r);
    return std::string(w.text());
  }

 private:
  struct State {
    Engine engine{std::string(kMemoryPath)};
    Digest root = genesis_root();
  };
  SigningKey key_;
  std::vector<State> chains_;
};

using velm::testing::TempFile;

std::string json_of(LogReport log, const PublicKey& key) {
  RunReport run;
  run.public_key_hex = hex_lower(key.data(), key.size());
  run.logs.push_back(std::move(log));
  return render_json(run) + render_text(run);
}

// Three interleaved chains with damage of every kind the line checks and the chains see, an
// oversized line and a torn last line.
std::vector<std::string> damaged_log(Chains& chains) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < 120; ++i) {
    lines.push_back(chains.next(i % 3, std::string(20 + 7 * (i % 11), 'p'), std::string(i % 13, 'o')));
  }
  lines[10].replace(lines[10].find("\"prompt\":\"p"), 11, "\"prompt\":\"q");  // hash mismatch
  lines.erase(lines.begin() + 30);                                            // chain break
  lines[50] = lines[50].substr(0, 60);                                        // bad form
  lines[70] += std::string(3000, ' ');                                        // oversized below
  lines.insert(lines.begin() + 90, lines[80]);                                // repeated line
  return lines;
}

std::string joined(const std::vector<std::string>& lines, std::size_t from, std::size_t to) {
  std::string out;
  for (std::size_t i = from; i < to; ++i) out += lines[i] + "\n";
  return out;
}

TEST(ParallelVerifier, EveryBatchSizeAndThreadCountGivesTheSameReport) {
  Chains chains(3);
  const std::vector<std::string> lines = damaged_log(chains);
  const TempFile file(joined(lines, 0, lines.size()) + lines[5].substr(0, 99));
  VerifyOptions options;
  options.max_line_bytes = 2500;
  const std::string expected = json_of(verify_log_file(file.path(), chains.public_key(), options), chains.public_key());
  ASSERT_NE(expected.find("\"torn line\":1"), std::string::npos);
  ASSERT_NE(expected.find("\"hash mismatch\":1"), std::string::npos);

  for (const unsigned jobs : {1u, 2u, 3u, 8u}) {
    for (const BatchLimits limits : {BatchLimits{1, 1}, BatchLimits{2, 1 << 20}, BatchLimits{7, 3000}, BatchLimits{}}) {
      ParallelVerifier verifier(chains.public_key(), jobs, limits);
      for (int repeat = 0; repeat < 2; ++repeat) {  // a verifier serves one log after another
        EXPECT_EQ(json_of(verifier.verify({file_piece(file.path())}, options), chains.public_key()), expected)
            << jobs << " jobs, batches of " << limits.lines << " lines / " << limits.bytes << " bytes";
      }
    }
  }
}

TEST(ParallelVerifier, ASeriesReadsAsTheLogItWasCutFrom) {
  Chains chains(3);
  const std::vector<std::string> lines = damaged_log(chains);
  VerifyOptions options;
  options.max_line_bytes = 2500;
  const TempFile whole(joined(lines, 0, lines.size()));
  const LogReport single = verify_log_file(whole.path(), chains.public_key(), options);
  const std::vector<std::size_t> cuts = {0, 40, 40, 95, lines.size()};  // one piece is empty
  std::vector<std::unique_ptr<TempFile>> files;
  std::vector<LogPiece> pieces;
  for (std::size_t p = 0; p + 1 < cuts.size(); ++p) {
    files.push_back(std::make_unique<TempFile>(joined(lines, cuts[p], cuts[p + 1])));
    pieces.push_back(file_piece(files.back()->path()));
  }
  for (const unsigned jobs : {1u, 3u}) {
    ParallelVerifier verifier(chains.public_key(), jobs, {5, 1 << 20});
    const LogReport series = verifier.verify(pieces, options);
    EXPECT_EQ(series.path, files.back()->path());
    EXPECT_EQ(series.lines, single.lines);
    EXPECT_EQ(series.bytes, single.bytes);
    EXPECT_EQ(series.failure_counts, single.failure_counts);
    ASSERT_EQ(series.pieces.size(), 4u);
    const std::vector<ChainSummary> a = series.chains(), b = single.chains();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(std::tie(a[i].first_line, a[i].last_line, a[i].records, a[i].head, a[i].scores_checked),
                std::tie(b[i].first_line, b[i].last_line, b[i].records, b[i].head, b[i].scores_checked));
    }
    ASSERT_EQ(series.failures.size(), single.failures.size());
    for (std::size_t i = 0; i < series.failures.size(); ++i) {
      const Failure& f = series.failures[i];
      const std::uint64_t n = single.failures[i].line;
      std::size_t p = 0;
      while (n > cuts[p + 1]) ++p;
      EXPECT_EQ(f.log_line, n);
      EXPECT_EQ(f.file, files[p]->path()) << n;
      EXPECT_EQ(f.line, n - cuts[p]) << n;
      EXPECT_EQ(f.kind, single.failures[i].kind);
    }
  }

  // A piece whose last line has no line feed: that line is torn (so the next record of its chain
  // breaks), and the next piece goes on.
  const TempFile first(joined(lines, 0, 3) + lines[3]);
  const TempFile second(joined(lines, 4, 9));
  ParallelVerifier verifier(chains.public_key(), 2);
  const LogReport torn = verifier.verify({file_piece(first.path()), file_piece(second.path())}, options);
  ASSERT_EQ(torn.failures.size(), 2u);
  EXPECT_EQ(std::make_tuple(torn.failures[0].file, torn.failures[0].line, torn.failures[0].kind),
            std::make_tuple(first.path(), std::uint64_t{4}, FailureKind::kTornLine));
  EXPECT_EQ(std::make_tuple(torn.failures[1].file, torn.failures[1].line, torn.failures[1].kind),
            std::make_tuple(second.path(), std::uint64_t{3}, FailureKind::kChainBreak));  // lines[6] follows lines[3]
  EXPECT_EQ(torn.lines, 9u);
  EXPECT_EQ(torn.records, 8u);
}

// Pieces in the wrong order get a hint; a key file among the pieces is one "not a log" failure.
TEST(ParallelVerifier, ASeriesTellsOfPiecesOutOfOrderAndOfFilesThatAreNoLog) {
  Chains chains(2);
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < 12; ++i) lines.push_back(chains.next(i % 2, "prompt " + std::to_string(i), "out"));
  const TempFile older(joined(lines, 0, 6)), newer(joined(lines, 6, 12));
  const TempFile key("\x8f\x01\xfe\x00\x17 a seed of 32 bytes, no lines."s);
  const std::string hint = "the pieces look out of order: line 1 of " + newer.path() +
                           " continues the chain whose last record is line 5 of " + older.path() + ", given after it";
  const struct {
    std::vector<std::string> paths;
    std::string hint;  // its start; empty: none
    std::vector<std::tuple<std::string, std::uint64_t, std::string>> failures;
  } cases[] = {
      {{older.path(), newer.path()}, "", {}},
      {{newer.path(), older.path()}, hint, {{newer.path(), 1, "chain break"}, {newer.path(), 2, "chain break"}}},
      {{older.path(), key.path(), newer.path()}, "", {{key.path(), 1, "not a log"}}},
  };
  for (const auto& c : cases) {
    std::vector<LogPiece> pieces;
    for (const std::string& path : c.paths) pieces.push_back(file_piece(path));
    const LogReport report = ParallelVerifier(chains.public_key(), 2).verify(pieces, {});
    EXPECT_EQ(report.hint.substr(0, c.hint.size()), c.hint);
    EXPECT_EQ(report.hint.empty(), c.hint.empty()) << report.hint;
    std::vector<std::tuple<std::string, std::uint64_t, std::string>> failures;
    for (const Failure& f : report.failures) failures.emplace_back(f.file, f.line, failure_kind_name(f.kind));
    EXPECT_EQ(failures, c.failures);
    EXPECT_EQ(json_of(report, chains.public_key()).find(c.hint.empty() ? "hint" : c.hint) != std::string::npos,
              !c.hint.empty());
  }
}

TEST(ParallelVerifier, AFailingReadEndsTheRunCleanly) {
  Chains chains(1);
  std::string text;
  for (int i = 0; i < 200; ++i) text += chains.next(0, "prompt " + std::to_string(i), "out") + "\n";
  for (const unsigned jobs : {1u, 3u}) {
    std::size_t offset = 0;
    LogPiece piece{"reader", [&](std::size_t max) {
                     return std::make_unique<LineSource>(
                         [&](char* buffer, std::size_t size) -> std::size_t {
                           if (offset > text.size() / 2) throw IoError("the source failed");
                           const std::size_t n = std::min<std::size_t>({size, 700, text.size() - offset});
                           std::copy_n(text.data() + offset, n, buffer);
                           offset += n;
                           return n;
                         },
                         max);
                   }};
    ParallelVerifier verifier(chains.public_key(), jobs, {3, 1 << 20});
    EXPECT_THROW(verifier.verify({piece}, {}), IoError);
    // The same verifier goes on with the next log.
    const LogReport after = verifier.verify({file_piece("/dev/null")}, {});
    EXPECT_TRUE(after.ok());
  }
}

}  // namespace
}  // namespace velm::verify
