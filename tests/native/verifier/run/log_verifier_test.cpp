// The log verifier: forms, seals, chains and score replay, each against damage made here.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <simdjson.h>

#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "encoding/entropy.h"
#include "encoding/float_text.h"
#include "engine/engine.h"
#include "records/record_json.h"
#include "support/sample_capture.h"
#include "support/temp_file.h"
#include "verifier/base/escape.h"
#include "verifier/chain/chain_store.h"
#include "verifier/chain/score_replay.h"
#include "verifier/line/canonical_line.h"
#include "verifier/line/line_check.h"
#include "verifier/run/log_verifier.h"
#include "verifier/run/parallel_verify.h"
#include "verifier/run/report.h"

namespace velm::verify {
namespace {

const PPPTripletData kPpp{"prov", "place", "purpose"};

// One chain's scoring history: a memory engine supplies the scores, the Sealer the seal.
struct ChainState {
  Engine engine{std::string(kMemoryPath)};
  Digest root = genesis_root();
};

// Seals records under one key of its own, so that several chains share a key and a test can
// log chosen values under a valid seal.
class Sealer {
 public:
  Sealer() : key_(signing_key_from_seed(generate_seed())) {}
  const PublicKey& public_key() const { return key_.public_key(); }

  std::string next(ChainState& chain, const std::string& prompt, const std::string& output, bool auto_insight = true,
                   const std::function<void(SealedRecordData&)>& edit = {}) {
    CaptureInput input = velm::testing::sample_input(prompt, output, auto_insight);
    input.reasoning_trace_json = "[\"step\"]";
    input.ppp = &kPpp;
    SealedRecordData r;
    chain.engine.capture(std::move(input), draw_stamps(), r);
    if (edit) edit(r);
    const Digest digest = content_digest(kPpp, r.prompt, r.coherence_score, r.reputation_scalar);
    const Signature sig = sign_message(key_, digest.data(), digest.size());
    std::copy(sig.begin(), sig.end(), r.signature.begin());
    chain.root = next_chain_root(chain.root, digest);
    r.hash = hex_lower(digest);
    r.merkle_root = hex_lower(chain.root);
    JsonWriter w;
    write_record_json(w, r);
    return std::string(w.text());
  }

  // n records of one new chain with varied lengths, insight asked for on two of every three.
  std::vector<std::string> log(std::size_t n) {
    ChainState chain;
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < n; ++i) {
      lines.push_back(next(chain, std::string(10 + 37 * (i % 5), 'p'), std::string(i * 11, 'o'), i % 3 != 0));
    }
    return lines;
  }

 private:
  SigningKey key_;
};

LogReport verify(const PublicKey& key, const std::vector<std::string>& lines, VerifyOptions options = {}) {
  LogVerifier v(key, std::move(options));
  for (const std::string& line : lines) v.add_line(line);
  return v.finish("test.wal");
}

using Kinds = std::set<std::pair<std::uint64_t, std::string>>;

Kinds kinds(const LogReport& r) {
  Kinds out;
  for (const Failure& f : r.failures) out.emplace(f.line, std::string(failure_kind_name(f.kind)));
  return out;
}

std::string replace_once(std::string s, const std::string& from, const std::string& to) {
  const std::size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

std::string field(const std::string& line, const std::string& key) {
  return nlohmann::json::parse(line).at(key).get<std::string>();
}

TEST(LogVerifier, InterleavedChainsVerifyAndReportTheirHeads) {
  Sealer sealer;
  ChainState a, b, c;
  std::vector<std::string> lines;
  const char* order = "aabababbbaacacbc";
  for (std::size_t i = 0; order[i] != 0; ++i) {
    ChainState& chain = order[i] == 'a' ? a : order[i] == 'b' ? b : c;
    lines.push_back(
        sealer.next(chain, std::string(1 + 500 * (i % 3), 'x'), "é✓\n\"" + std::string(i, 'o'), i % 2 == 0));
  }
  const LogReport r = verify(sealer.public_key(), lines);
  EXPECT_TRUE(r.ok()) << (r.failures.empty() ? "" : r.failures[0].detail);
  EXPECT_EQ(r.lines, lines.size());
  EXPECT_EQ(r.records, lines.size());
  const std::vector<ChainSummary> chains = r.chains();
  ASSERT_EQ(chains.size(), 3u);
  EXPECT_EQ(r.chain_count, 3u);
  const std::pair<const ChainState*, std::uint64_t> expected[] = {{&a, 7}, {&b, 6}, {&c, 3}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(chains[i].head, expected[i].first->root);
    EXPECT_EQ(chains[i].records, expected[i].second);
    EXPECT_EQ(chains[i].scores_checked, expected[i].second);
    EXPECT_TRUE(chains[i].from_genesis);
  }
  EXPECT_EQ(chains[2].first_line, 12u);
  EXPECT_EQ(chains[2].last_line, 16u);
}

TEST(LogVerifier, EqualHeadsAreToldApartByTheirScores) {
  // Both first records seal the same contents, so both chains have one head; the outputs, which
  // are not sealed, give them different histories.
  Sealer sealer;
  ChainState d, e;
  std::vector<std::string> lines = {sealer.next(d, "same", ""), sealer.next(e, "same", std::string(3000, 'o'))};
  for (int i = 0; i < 3; ++i) {
    lines.push_back(sealer.next(d, "x", ""));
    lines.push_back(sealer.next(e, "x", ""));
  }
  ASSERT_NE(nlohmann::json::parse(lines[2])["coherence_score"], nlohmann::json::parse(lines[3])["coherence_score"]);
  const LogReport r = verify(sealer.public_key(), lines);
  EXPECT_TRUE(r.ok()) << (r.failures.empty() ? "" : r.failures[0].detail);
  const std::vector<ChainSummary> chains = r.chains();
  ASSERT_EQ(chains.size(), 2u);
  EXPECT_EQ(chains[0].head, d.root);
  EXPECT_EQ(chains[1].head, e.root);
  EXPECT_EQ(chains[0].scores_checked + chains[1].scores_checked, 8u);
}

TEST(LogVerifier, FormIsTheEnginesExactLine) {
  Sealer sealer;
  const std::vector<std::string> clean = sealer.log(3);
  const std::string& l = clean[1];
  const std::string id = field(l, "id");
  std::string upper_id = id;
  for (char& ch : upper_id) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const std::size_t nanos_at = l.find("\"monotonic_nanos\":");
  const std::string nanos_field = l.substr(nanos_at, l.find(',', nanos_at) + 1 - nanos_at);
  const std::string prompt = "\"prompt\":\"" + field(l, "prompt") + "\"";
  const std::vector<std::string> bad = {
      "{ " + l.substr(1),                                                    // whitespace
      l.substr(0, l.size() - 1) + ",\"extra\":1}",                           // extra key
      replace_once(l, prompt, prompt + "," + prompt),                        // duplicate key
      replace_once(l, id, upper_id),                                         // id case
      replace_once(l, "\"id\":\"qor_", "\"id\":\"QOR_"),                     // id prefix
      replace_once(l, nanos_field, "\"monotonic_nanos\":-1,"),               // negative
      replace_once(l, nanos_field, "\"monotonic_nanos\":1.0,"),              // float
      replace_once(l, "\"prompt\":\"p", "\"prompt\":\"\\u0070"),             // needless escape
      replace_once(l, "+00:00\"", "Z\""),                                    // timestamp zone
      replace_once(l, "\"ctx_json\":\"{\\\"k\\\": 1}\"", "\"ctx_json\":7"),  // type
      replace_once(l, "{\\\"provenance\\\":\\\"prov\\\",\\\"place\\\":\\\"place\\\"",
                   "{\\\"place\\\":\\\"place\\\",\\\"provenance\\\":\\\"prov\\\""),  // ppp_json order
      replace_once(l, "\\\"resolved\\\":true", "\\\"resolved\\\":1"),                // review flag type
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    const LogReport r = verify(sealer.public_key(), {clean[0], bad[i], clean[2]});
    EXPECT_EQ(kinds(r), (Kinds{{2, "bad form"}})) << "variant " << i << ": " << bad[i];
  }
  // A count past 64 bits is JSON the parser refuses: nothing of the line is read, so the next
  // record of its chain follows from nothing either.
  EXPECT_EQ(
      kinds(verify(sealer.public_key(),
                   {clean[0], replace_once(l, nanos_field, "\"monotonic_nanos\":18446744073709551616,"), clean[2]})),
      (Kinds{{2, "bad form"}, {3, "chain break"}}));
  // The largest 64-bit count is a proper number, and the line stays the engine's.
  const LogReport big =
      verify(sealer.public_key(),
             {clean[0], replace_once(l, nanos_field, "\"monotonic_nanos\":18446744073709551615,"), clean[2]});
  EXPECT_TRUE(big.ok());
}

TEST(LogVerifier, ParsedDoublesAreBitExact) {
  // The form check relies on reading a logged float back to the very double that was written.
  std::mt19937_64 rng(7);
  std::vector<double> values = {5e-324,
                                2.2250738585072011e-308,
                                2.2250738585072014e-308,
                                1.7976931348623157e308,
                                0.1 + 0.2,
                                0.92,
                                1e-5,
                                9.999999999999999e15,
                                1e16,
                                -0.0,
                                0.51};
  for (int i = 0; i < 100000; ++i) {
    double d;
    const std::uint64_t bits = rng();
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) values.push_back(d);
  }
  for (const double d : values) {
    char text[kFloatTextCapacity];
    const std::size_t n = write_json_float(d, text);
    simdjson::dom::parser parser;
    const simdjson::padded_string padded(text, n);
    double back = 0;
    ASSERT_EQ(parser.parse(padded).get_double().get(back), simdjson::SUCCESS) << std::string(text, n);
    double expected = 0;
    ASSERT_EQ(std::from_chars(text, text + n, expected).ec, std::errc());
    ASSERT_EQ(std::memcmp(&back, &d, sizeof d), 0) << std::string(text, n);
    ASSERT_EQ(std::memcmp(&back, &expected, sizeof d), 0) << std::string(text, n);
  }
}

std::string gmtime_text(std::int64_t seconds, std::uint32_t nanos) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string s = buf;
  char frac[16];
  if (nanos % 1000000 == 0 && nanos != 0) {
    std::snprintf(frac, sizeof frac, ".%03u", nanos / 1000000);
    s += frac;
  } else if (nanos % 1000 == 0 && nanos != 0) {
    std::snprintf(frac, sizeof frac, ".%06u", nanos / 1000);
    s += frac;
  } else if (nanos != 0) {
    std::snprintf(frac, sizeof frac, ".%09u", nanos);
    s += frac;
  }
  return s + "+00:00";
}

TEST(FieldForms, TimestampsAndIds) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; ++i) {
    const auto seconds = static_cast<std::int64_t>(rng() % 253402300800ULL);
    std::uint32_t nanos = static_cast<std::uint32_t>(rng() % 1000000000ULL);
    if (i % 4 == 1) nanos -= nanos % 1000000;
    if (i % 4 == 2) nanos -= nanos % 1000;
    if (i % 4 == 3) nanos = 0;
    const std::string text = gmtime_text(seconds, nanos);
    ASSERT_TRUE(valid_record_timestamp(text)) << text;
  }
  for (const char* ok : {"2024-02-29T23:59:59+00:00", "2000-02-29T00:00:00.100+00:00",
                         "1970-01-01T00:00:00.000000001+00:00", "2024-05-01T12:00:00.123456+00:00"}) {
    EXPECT_TRUE(valid_record_timestamp(ok)) << ok;
  }
  for (const char* bad :
       {"2023-02-29T00:00:00+00:00", "1900-02-29T00:00:00+00:00", "2024-04-31T00:00:00+00:00",
        "2024-05-01T24:00:00+00:00", "2024-05-01T12:60:00+00:00", "2016-12-31T23:59:60+00:00",
        "1969-12-31T23:59:59+00:00", "2024-05-01T12:00:00.000+00:00", "2024-05-01T12:00:00.100000+00:00",
        "2024-05-01T12:00:00.123000+00:00", "2024-05-01T12:00:00.1+00:00", "2024-05-01T12:00:00.1234567891+00:00",
        "2024-05-01T12:00:00Z", "2024-05-01 12:00:00+00:00", "2024-5-01T12:00:00+00:00", "2024-05-01T12:00:00",
        "2024-05-01T12:00:00+00:00 ", "", "2024"}) {
    EXPECT_FALSE(valid_record_timestamp(bad)) << bad;
  }

  for (int i = 0; i < 1000; ++i) {
    unsigned char b[16];
    for (unsigned char& x : b) x = static_cast<unsigned char>(rng());
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | (0x80 + (i % 4) * 0x10));
    char text[64];
    std::snprintf(text, sizeof text, "qor_%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    ASSERT_TRUE(valid_record_id(text)) << text;
    std::string wrong_version = text;
    wrong_version[18] = '1';
    ASSERT_FALSE(valid_record_id(wrong_version));
    std::string wrong_variant = text;
    wrong_variant[23] = "0137cdef"[i % 8];
    ASSERT_FALSE(valid_record_id(wrong_variant)) << wrong_variant;
  }
  for (const char* bad : {"qor_0123456789ab-4def-8123-456789abcdef0", "qor_01234567-89AB-4def-8123-456789abcdef",
                          "qor_01234567-89ab-4def-8123456789abcdef-", "QOR_01234567-89ab-4def-8123-456789abcdef",
                          "qor_01234567-89ab-4def-8123-456789abcde", ""}) {
    EXPECT_FALSE(valid_record_id(bad)) << bad;
  }
  EXPECT_TRUE(valid_record_id("qor_01234567-89ab-4def-8123-456789abcdef"));
}

TEST(LogVerifier, EachDamageIsReportedOnceWhereItIs) {
  Sealer sealer;
  const std::vector<std::string> l = sealer.log(5);
  auto with = [&](std::size_t i, std::string line) {
    std::vector<std::string> out = l;
    out[i] = std::move(line);
    return out;
  };
  auto flip_hex = [](std::string line, const std::string& key) {
    const std::size_t at = line.find("\"" + key + "\":\"") + key.size() + 4 + 10;
    line[at] = line[at] == '0' ? '1' : '0';
    return line;
  };
  const std::string sig = "\"signature\":[";
  std::string bad_sig = l[2];
  const std::size_t sig_at = bad_sig.find(sig) + sig.size();
  bad_sig.replace(sig_at, bad_sig.find(',', sig_at) - sig_at, std::to_string(std::stoi(bad_sig.substr(sig_at)) ^ 1));

  struct Case {
    const char* name;
    std::vector<std::string> lines;
    Kinds expected;
    std::size_t chains;
  };
  const std::vector<Case> cases = {
      {"prompt", with(2, replace_once(l[2], "\"prompt\":\"pp", "\"prompt\":\"qp")), {{3, "hash mismatch"}}, 1},
      {"ppp", with(2, replace_once(l[2], "\\\"place\\\"", "\\\"placf\\\"")), {{3, "bad form"}}, 1},
      {"purpose text", with(2, replace_once(l[2], "\\\"purpose\\\"}", "\\\"purposf\\\"}")), {{3, "hash mismatch"}}, 1},
      {"hash", with(2, flip_hex(l[2], "hash")), {{3, "hash mismatch"}, {3, "bad signature"}}, 1},
      {"signature", with(2, bad_sig), {{3, "bad signature"}}, 1},
      {"merkle_root", with(2, flip_hex(l[2], "merkle_root")), {{3, "chain break"}}, 1},
      {"first merkle_root", with(0, flip_hex(l[0], "merkle_root")), {{1, "chain break"}}, 1},
      {"last merkle_root", with(4, flip_hex(l[4], "merkle_root")), {{5, "chain break"}}, 2},
      {"deleted", {l[0], l[1], l[3], l[4]}, {{3, "chain break"}}, 2},
      {"duplicated", {l[0], l[1], l[2], l[2], l[3], l[4]}, {{4, "chain break"}}, 1},
      {"first duplicated late", {l[0], l[1], l[2], l[3], l[4], l[0]}, {{6, "chain break"}}, 1},
      {"swapped", {l[0], l[1], l[3], l[2], l[4]}, {{3, "chain break"}}, 2},
      {"unreadable", with(2, l[2].substr(0, 40)), {{3, "bad form"}, {4, "chain break"}}, 2},
      {"uppercase root",
       with(2, replace_once(l[2], "\"merkle_root\":\"", "\"merkle_root\":\"ABCDEF")
                   .erase(l[2].find("\"merkle_root\"") + 21, 6)),
       {{3, "bad form"}},
       1},
  };
  for (const Case& c : cases) {
    const LogReport r = verify(sealer.public_key(), c.lines);
    EXPECT_EQ(kinds(r), c.expected) << c.name;
    EXPECT_EQ(r.chain_count, c.chains) << c.name;
    EXPECT_EQ(r.chains().size(), c.chains) << c.name;
  }

  // After a damaged root the chain goes on, scores and all.
  const LogReport root = verify(sealer.public_key(), cases[5].lines);
  ASSERT_EQ(root.chains().size(), 1u);
  EXPECT_EQ(root.chains()[0].records, 5u);
  EXPECT_EQ(root.chains()[0].scores_checked, 5u);
  EXPECT_NE(root.failures[0].detail.find("damaged"), std::string::npos);
  // A duplicate names the line it repeats.
  const LogReport dup = verify(sealer.public_key(), cases[10].lines);
  EXPECT_NE(dup.failures[0].detail.find("line 1"), std::string::npos) << dup.failures[0].detail;
  // The wrong key fails every signature and nothing else.
  Sealer other;
  const LogReport wrong = verify(other.public_key(), l);
  EXPECT_EQ(wrong.failure_counts[static_cast<std::size_t>(FailureKind::kBadSignature)], 5u);
  EXPECT_EQ(wrong.failure_total(), 5u);
}

TEST(LogVerifier, ScoresAreReplayedBitExactly) {
  Sealer sealer;
  auto build = [&](std::size_t edited, const std::function<void(SealedRecordData&)>& edit,
                   bool insight_at_edit = true) {
    ChainState chain;
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < 6; ++i) {
      // Lengths far apart keep coherence well below the insight threshold at odd lines.
      const std::string prompt(i % 2 == 0 ? 3 : 2900, 'p');
      lines.push_back(sealer.next(chain, prompt, "out", i == edited ? insight_at_edit : true,
                                  i == edited ? edit : std::function<void(SealedRecordData&)>{}));
    }
    return verify(sealer.public_key(), lines);
  };
  const std::function<void(SealedRecordData&)> nothing = [](SealedRecordData&) {};
  EXPECT_TRUE(build(9, nothing).ok());

  const LogReport rep =
      build(2, [](SealedRecordData& r) { r.reputation_scalar = std::nextafter(r.reputation_scalar, 1.0); });
  EXPECT_EQ(kinds(rep), (Kinds{{3, "score mismatch"}}));
  EXPECT_EQ(rep.chains()[0].scores_checked, 6u);  // the history was intact: the replay went on

  const LogReport coh =
      build(2, [](SealedRecordData& r) { r.coherence_score = std::nextafter(r.coherence_score, 0.0); });
  EXPECT_EQ(kinds(coh), (Kinds{{3, "score mismatch"}}));
  EXPECT_EQ(coh.chains()[0].scores_checked, 3u);
  EXPECT_NE(coh.chains()[0].scores_note.find("line 3"), std::string::npos);

  // The output is not sealed, but its length is scored.
  const LogReport longer = build(3, [](SealedRecordData& r) { r.output += "x"; });
  EXPECT_EQ(kinds(longer), (Kinds{{4, "score mismatch"}}));
  EXPECT_NE(longer.failures[0].detail.find(
                "; a prompt or output length in this chain (from line 1) changed at or before this line"),
            std::string::npos)
      << longer.failures[0].detail;

  // Insights: a null for one the replay makes is allowed (auto_insight may have been off) ...
  EXPECT_TRUE(build(2, [](SealedRecordData& r) {
                ASSERT_TRUE(r.core_insight_json.has_value());
                r.core_insight_json.reset();
              }).ok());
  // ... and so is the replayed insight on a record captured with auto_insight off ...
  std::string copied;
  {
    ChainState probe;
    Sealer s2;
    s2.next(probe, std::string(3, 'p'), "out", true);
    s2.next(probe, std::string(2900, 'p'), "out", true);
    s2.next(probe, std::string(3, 'p'), "out", true,
            [&](SealedRecordData& r) { copied = r.core_insight_json.value_or(""); });
  }
  ASSERT_FALSE(copied.empty());
  EXPECT_TRUE(build(
                  2,
                  [&](SealedRecordData& r) {
                    ASSERT_FALSE(r.core_insight_json.has_value());
                    r.core_insight_json = copied;
                  },
                  false)
                  .ok());
  // ... but not an altered one, nor one where the coherence is below the threshold.
  EXPECT_EQ(kinds(build(2, [](SealedRecordData& r) { (*r.core_insight_json)[12] ^= 1; })),
            (Kinds{{3, "score mismatch"}}));
  EXPECT_EQ(kinds(build(3,
                        [&](SealedRecordData& r) {
                          ASSERT_LT(r.coherence_score, kInsightThreshold);
                          r.core_insight_json = copied;
                        })),
            (Kinds{{4, "score mismatch"}}));
}

TEST(LogVerifier, OpenChainWindowIsBounded) {
  Sealer sealer;
  ChainState a, b, c;
  const std::vector<std::string> lines = {sealer.next(a, "1", ""), sealer.next(b, "2", ""), sealer.next(c, "3", ""),
                                          sealer.next(a, "4", "")};
  EXPECT_TRUE(verify(sealer.public_key(), lines).ok());
  VerifyOptions two;
  two.max_open_chains = 2;
  const LogReport r = verify(sealer.public_key(), lines, two);
  EXPECT_EQ(kinds(r), (Kinds{{4, "chain break"}}));
  EXPECT_NE(r.chains()[0].scores_note.find("closed"), std::string::npos);
}

TEST(LogVerifier, HostileLinesNeverCrash) {
  Sealer sealer;
  const std::vector<std::string> l = sealer.log(2);
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  std::string inner_deep = l[1];
  inner_deep = replace_once(inner_deep, "\"ppp_json\":\"", "\"ppp_json\":\"" + std::string(200000, '['));
  std::mt19937 rng(3);
  std::vector<std::string> lines = {deep,
                                    std::string(200000, '{'),
                                    "",
                                    "null",
                                    "1e999",
                                    "{\"id\":1e999}",
                                    inner_deep,
                                    std::string("\xff\xfe{}", 4),
                                    "{\"prompt\":\"\xc3\x28\"}"};
  for (int i = 0; i < 200; ++i) {
    std::string junk = l[1];
    for (int k = 0; k < 5; ++k) junk[rng() % junk.size()] = static_cast<char>(rng());
    lines.push_back(junk);
  }
  const LogReport r = verify(sealer.public_key(), lines);
  EXPECT_EQ(r.lines, lines.size());
  EXPECT_EQ(kinds(r).count({1, "bad form"}), 1u);
  EXPECT_EQ(kinds(r).count({2, "bad form"}), 1u);
  EXPECT_EQ(kinds(r).count({5, "bad form"}), 1u);
  EXPECT_EQ(kinds(r).count({7, "bad form"}), 1u);
  for (std::uint64_t n = 1; n <= 9; ++n) {
    EXPECT_TRUE(kinds(r).count({n, "bad form"}) + kinds(r).count({n, "torn line"}) > 0) << n;
  }
}

// Verifies, and checks what must hold of any report: every line counted once, every record in
// exactly one chain, every failure on a line that exists.
LogReport verify_checked(const PublicKey& key, const std::vector<std::string>& lines, VerifyOptions options = {}) {
  const bool failed_before = ::testing::Test::HasFailure();
  const LogReport r = verify(key, lines, std::move(options));
  EXPECT_EQ(r.lines, lines.size());
  std::uint64_t in_chains = 0;
  for (const ChainSummary& c : r.chains()) {
    in_chains += c.records;
    EXPECT_LE(c.scores_checked, c.records);
    EXPECT_LE(c.first_line, c.last_line);
  }
  EXPECT_EQ(in_chains, r.records);
  EXPECT_LE(r.records, r.lines);
  for (const Failure& f : r.failures) EXPECT_TRUE(f.line >= 1 && f.line <= r.lines) << f.detail;
  if (!failed_before && ::testing::Test::HasFailure()) {
    for (const std::string& line : lines) ADD_FAILURE() << "in: " << line;
  }
  return r;
}

std::string number_text(const std::string& line, const std::string& key) {
  const std::size_t at = line.find("\"" + key + "\":") + key.size() + 3;
  return line.substr(at, line.find_first_of(",]}", at) - at);
}

std::string printf_double(const char* format, double d) {
  char buf[1300];
  std::snprintf(buf, sizeof buf, format, d);
  return buf;
}

TEST(LogVerifier, EquivalentSpellingsReadToTheSameValues) {
  // The prompt and both scores are sealed, the output's length is scored: a value read wrong shows
  // up as a hash or score mismatch next to the bad form of the other spelling.
  Sealer sealer;
  ChainState chain;
  const std::vector<std::string> clean = {sealer.next(chain, "first", "o"),
                                          sealer.next(chain, "a\xF0\x9F\x98\x80\xC3\xA9/b", "out"),
                                          sealer.next(chain, "third", "o")};
  const std::string& l = clean[1];
  ASSERT_TRUE(verify_checked(sealer.public_key(), clean).ok());
  std::vector<std::string> variants = {
      replace_once(l, "\xF0\x9F\x98\x80", "\\ud83d\\ude00"),
      replace_once(l, "\xF0\x9F\x98\x80", "\\uD83D\\uDE00"),
      replace_once(l, "\xC3\xA9", "\\u00e9"),
      replace_once(l, "\xC3\xA9", "\\u00E9"),
      replace_once(l, "/b\"", "\\/b\""),
      replace_once(l, "\"prompt\":\"a", "\"prompt\":\"\\u0061"),
      replace_once(l, "\"output\":\"out", "\"output\":\"\\u006fut"),
  };
  for (const std::string key : {"coherence_score", "reputation_scalar"}) {
    const std::string text = number_text(l, key);
    double d = 0;
    ASSERT_EQ(std::from_chars(text.data(), text.data() + text.size(), d).ec, std::errc()) << text;
    // 17, 26 and 61 significant digits, an upper-case exponent, and the exact decimal expansion.
    for (const char* format : {"%.16e", "%.25e", "%.60e", "%.20E", "%.1100f"}) {
      std::string spelled = printf_double(format, d);
      if (spelled == text) spelled += "0";
      variants.push_back(replace_once(l, "\"" + key + "\":" + text, "\"" + key + "\":" + spelled));
    }
  }
  const std::string nanos = number_text(l, "monotonic_nanos");
  for (const std::string& spelled : {std::string("-0"), nanos + ".0", nanos + "e0", std::string("1e2")}) {
    variants.push_back(replace_once(l, "\"monotonic_nanos\":" + nanos + ",", "\"monotonic_nanos\":" + spelled + ","));
  }
  const std::string first_byte = number_text(l, "signature").substr(1);
  for (const char* spelled : {"1.0", "1e0", "-1", "256", "null", "\"1\"", "[1]", "{}", "true"}) {
    variants.push_back(
        replace_once(l, "\"signature\":[" + first_byte + ",", std::string("\"signature\":[") + spelled + ","));
  }
  variants.push_back(replace_once(l, "\"coherence_score\":", "\"coherence_score\":-0,\"x\":"));
  variants.push_back(" " + l + "\t\r");
  for (std::size_t i = 0; i < variants.size(); ++i) {
    EXPECT_EQ(kinds(verify_checked(sealer.public_key(), {clean[0], variants[i], clean[2]})), (Kinds{{2, "bad form"}}))
        << "variant " << i << ": " << variants[i];
  }
  // Texts the parser refuses as a whole: nothing of the line is read, so the next record of its
  // chain follows from nothing either.
  const std::vector<std::string> refused = {
      std::string("\xEF\xBB\xBF") + l,  // a byte order mark
      l + std::string("\0junk", 5),     // a NUL byte and more after the object
      l.substr(0, l.size() - 1) + ",\"extra\":" + std::string(3000, '[') + std::string(3000, ']') + "}",  // too deep
      replace_once(l, "\"signature\":[" + first_byte + ",", "\"signature\":[18446744073709551616,"),  // past 64 bits
  };
  for (const std::string& line : refused) {
    const LogReport r = verify_checked(sealer.public_key(), {clean[0], line, clean[2]});
    EXPECT_EQ(kinds(r), (Kinds{{2, "bad form"}, {3, "chain break"}})) << line;
    EXPECT_EQ(r.failures[0].detail.rfind("not JSON", 0), 0u) << r.failures[0].detail;
  }
  // "-0" is read as the integer 0: a changed byte unless it was 0.
  EXPECT_EQ(kinds(verify_checked(
                sealer.public_key(),
                {clean[0], replace_once(l, "\"signature\":[" + first_byte + ",", "\"signature\":[-0,"), clean[2]})),
            (first_byte == "0" ? Kinds{{2, "bad form"}} : Kinds{{2, "bad form"}, {2, "bad signature"}}));

  // A valid byte in place of another is read, so the signature is checked and fails.
  const std::string other_byte = first_byte == "0" ? "1" : "0";
  EXPECT_EQ(kinds(verify_checked(
                sealer.public_key(),
                {clean[0], replace_once(l, "\"signature\":[" + first_byte + ",", "\"signature\":[" + other_byte + ","),
                 clean[2]})),
            (Kinds{{2, "bad signature"}}));
  // A number beyond any double.
  const LogReport huge =
      verify_checked(sealer.public_key(),
                     {clean[0], replace_once(l, "\"coherence_score\":", "\"coherence_score\":1e999,\"x\":"), clean[2]});
  EXPECT_EQ(kinds(huge), (Kinds{{2, "bad form"}, {3, "chain break"}}));
  EXPECT_NE(huge.failures[0].detail.find("out of range"), std::string::npos) << huge.failures[0].detail;
  // ppp_json behind a byte order mark is not read, so the hash cannot be checked.
  EXPECT_EQ(kinds(verify_checked(sealer.public_key(),
                                 {clean[0],
                                  replace_once(replace_once(l, "\"ppp_json\":\"{", "\"ppp_json\":\"\\ufeff{"),
                                               "\\\"purpose\\\"}", "\\\"purposf\\\"}"),
                                  clean[2]})),
            (Kinds{{2, "bad form"}}));
}

TEST(LogVerifier, MalformedTextIsNotJson) {
  Sealer sealer;
  ChainState chain;
  const std::vector<std::string> clean = {sealer.next(chain, "first", "o"), sealer.next(chain, "a/b", "out"),
                                          sealer.next(chain, "third", "o")};
  const std::string& l = clean[1];
  for (const char* bad : {"\\ud800",
                          "\\udc00",
                          "\\udfff",
                          "\\ud800\\u0041",
                          "\\ud800x",
                          "\\ud800\\ud800",
                          "\\udbff\\ue000",
                          "\\ud800\\\\u0041",
                          "\\uD83D",
                          "\\u12",
                          "\\u00g0",
                          "\\x41",
                          "\\a",
                          "\\U0041",
                          "\xC3\x28",
                          "\xED\xA0\x80",
                          "\xF4\x90\x80\x80",
                          "\xC0\xAF",
                          "\xE0\x80\xAF",
                          "\x80",
                          "\xFF",
                          "\x01",
                          "\x1F",
                          "\t",
                          "\x7F\xFF"}) {
    const std::string line = replace_once(l, "/b\"", std::string(bad) + "\"");
    EXPECT_EQ(kinds(verify_checked(sealer.public_key(), {clean[0], line, clean[2]})),
              (Kinds{{2, "bad form"}, {3, "chain break"}}))
        << line;
  }
  for (const char* bad : {"0", "+", "--", "."}) {
    const std::string line = replace_once(l, "\"monotonic_nanos\":", std::string("\"monotonic_nanos\":") + bad);
    EXPECT_EQ(kinds(verify_checked(sealer.public_key(), {clean[0], line, clean[2]})),
              (Kinds{{2, "bad form"}, {3, "chain break"}}))
        << line;
  }
  // What JSON allows in a string is read as a (different) prompt.
  for (const char* fine :
       {"\x7F", "\\u0000", "\\u001f", "\\uffff", "\\udbff\\udfff", "\xF4\x8F\xBF\xBF", "\\\"\\\\\\b\\f\\n\\r\\t"}) {
    const std::string line = replace_once(l, "/b\"", std::string(fine) + "\"");
    // Read as a different prompt, so the seal fails; the line itself is JSON.
    const LogReport r = verify_checked(sealer.public_key(), {clean[0], line, clean[2]});
    EXPECT_EQ(kinds(r).count({2, "hash mismatch"}), 1u) << line;
    for (const Failure& f : r.failures) EXPECT_NE(f.detail.rfind("not JSON", 0), 0u) << line;
  }
}

TEST(LogVerifier, DamagedLinesAreAllAccountedFor) {
  Sealer sealer;
  const std::vector<std::string> l = sealer.log(4);
  const char* pieces[] = {"-0",      "0",        "-1",      "1e999", "1e-999",       "1.5",     "18446744073709551616",
                          "\\ud800", "\\udc00",  "\\u0000", "\xFF",  "\xEF\xBB\xBF", "[",       "]",
                          "{",       "}",        ",",       ":",     "\"",           "\\",      "\\\"",
                          " ",       "null",     "true",    "\x00",  "\xC3\xA9",     "\\u00e9", "1E5",
                          "-0.0",    "{\"a\":1}"};
  std::mt19937 rng(19);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::string> lines = l;
    std::string& line = lines[1 + rng() % 2];
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % (line.size() + 1);
      switch (rng() % 3) {
        case 0: {
          const char* piece = pieces[rng() % std::size(pieces)];
          line.insert(at, piece, *piece == 0 ? 1 : std::strlen(piece));
          break;
        }
        case 1:
          if (at < line.size()) line.erase(at, 1 + rng() % 8);
          break;
        default:
          if (at < line.size()) line[at] = static_cast<char>(rng());
          break;
      }
    }
    verify_checked(sealer.public_key(), lines);
    if (HasFailure()) break;
  }

  // Scores of every magnitude, shortest and long: the score mismatch names the value read.
  std::mt19937_64 bits(23);
  const std::string text = number_text(l[1], "coherence_score");
  for (int round = 0; round < 2000 && !HasFailure(); ++round) {
    double d;
    const std::uint64_t b = bits();
    std::memcpy(&d, &b, sizeof d);
    if (!std::isfinite(d)) continue;
    char shortest[kFloatTextCapacity];
    const std::string spellings[] = {std::string(shortest, write_json_float(d, shortest)), printf_double("%.17g", d),
                                     printf_double("%.30e", d)};
    for (const std::string& spelled : spellings) {
      std::vector<std::string> lines = l;
      lines[1] = replace_once(l[1], "\"coherence_score\":" + text + ",", "\"coherence_score\":" + spelled + ",");
      verify_checked(sealer.public_key(), lines);
    }
  }
}

using velm::testing::TempFile;

TEST(LogFile, ReadsLinesAcrossBuffersAndReportsTornAndOversizedLines) {
  Sealer sealer;
  ChainState chain;
  std::string text;
  for (std::size_t size : {10u, 3000000u, 50u}) text += sealer.next(chain, std::string(size, 'p'), "o") + "\n";
  const TempFile clean(text);
  const LogReport ok = verify_log_file(clean.path(), sealer.public_key(), {});
  EXPECT_TRUE(ok.ok());
  EXPECT_EQ(ok.records, 3u);

  const TempFile torn(text + text.substr(0, 30));
  EXPECT_EQ(kinds(verify_log_file(torn.path(), sealer.public_key(), {})), (Kinds{{4, "torn line"}}));

  VerifyOptions small;
  small.max_line_bytes = 1000000;
  const LogReport big = verify_log_file(clean.path(), sealer.public_key(), small);
  EXPECT_EQ(kinds(big), (Kinds{{2, "bad form"}, {3, "chain break"}}));
  EXPECT_NE(big.failures[0].detail.find("3000"), std::string::npos);

  const TempFile empty("");
  const LogReport none = verify_log_file(empty.path(), sealer.public_key(), {});
  EXPECT_TRUE(none.ok());
  EXPECT_EQ(none.lines, 0u);

  EXPECT_THROW(verify_log_file("/nonexistent/velm.wal", sealer.public_key(), {}), IoError);
  EXPECT_THROW(verify_log_file("/tmp", sealer.public_key(), {}), IoError);
}

TEST(Report, JsonAndTextCarryTheFailures) {
  Sealer sealer;
  std::vector<std::string> l = sealer.log(3);
  l[1] = replace_once(l[1], "\"prompt\":\"pp", "\"prompt\":\"qp");
  RunReport run;
  run.public_key_hex = hex_lower(sealer.public_key().data(), 32);
  VerifyOptions watch;
  Digest last{}, gone{};
  ASSERT_TRUE(parse_hex_lower(field(l[2], "merkle_root"), last.data(), 32));
  gone[0] = 1;
  watch.expected_heads = {last, gone};
  run.logs.push_back(verify(sealer.public_key(), l, watch));
  resolve_expected_heads(run, watch.expected_heads);
  EXPECT_FALSE(run.ok());
  EXPECT_EQ(run.missing_heads(), 1u);

  const nlohmann::json j = nlohmann::json::parse(render_json(run));
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["logs"][0]["lines"], 3);
  EXPECT_EQ(j["logs"][0]["failures"][0]["line"], 2);
  EXPECT_EQ(j["logs"][0]["failures"][0]["kind"], "hash mismatch");
  EXPECT_EQ(j["logs"][0]["chains"][0]["head"], field(l[2], "merkle_root"));
  EXPECT_EQ(j["expected_heads"][0]["line"], 3);
  EXPECT_EQ(j["failures"][0]["kind"], "missing head");

  const std::string text = render_text(run);
  EXPECT_NE(text.find("line 2: hash mismatch"), std::string::npos) << text;
  EXPECT_NE(text.find("head " + field(l[2], "merkle_root")), std::string::npos) << text;
  EXPECT_NE(text.find("missing head: " + hex_lower(gone)), std::string::npos) << text;
}

}  // namespace
}  // namespace velm::verify

namespace velm::verify {
namespace {

TEST(Report, TextFromTheLogIsEscaped) {
  // Expected texts written out by hand from the escaping rules.
  const std::pair<std::string, std::string> cases[] = {
      {"plain é ✓ /", "plain é ✓ /"},
      {"\"q\" \\", "\\\"q\\\" \\\\"},
      {"a\nb\r\tc", "a\\nb\\r\\tc"},
      {"\x1b[8m\x7f\x01", "\\x1b[8m\\x7f\\x01"},
      {"\xff\xc3(\xed\xa0\x80", "\\xff\\xc3(\\xed\\xa0\\x80"},  // not UTF-8
      {"\xc2\x9b"
       "2J \xe2\x80\xae"
       "x\xe2\x80\xa8",
       "\\u009b2J \\u202ex\\u2028"},  // C1 CSI, bidi, separator
      {"\u061c|\u200b|\u2060|\ufeff|\u00ad|\U000e0001|\U0001d173|\u200a",
       "\\u061c|\\u200b|\\u2060|\\ufeff|\\u00ad|\\U000e0001|\\U0001d173|\u200a"},  // format characters; a space stays
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(escape_text(in), out) << in;

  // A hostile key, a value and a line ending that would forge a verdict if printed raw.
  Sealer sealer;
  std::vector<std::string> l = sealer.log(3);
  l[0] = l[0].substr(0, l[0].size() - 1) + ",\"x\\\"\\n  every line verifies\\nOK\\n\\u001b[8m\":1}";
  l[1] = replace_once(l[1], "\"id\":\"qor_", "\"id\":\"\\r\\nOK\\u009b\\u202eqor_") + "\r";
  l[2] = replace_once(l[2], "\"ppp_json\":\"{", "\"ppp_json\":\"\\n\\u001b]0;x\\u0007{");
  RunReport run;
  run.logs.push_back(verify(sealer.public_key(), l));
  const std::string text = render_text(run);
  EXPECT_EQ(text.find_first_of("\r\x1b\x07"), std::string::npos) << text;
  EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << text;
  EXPECT_EQ(text.find("\n  every line verifies"), std::string::npos) << text;
  EXPECT_EQ(text.find("\nOK"), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("\nFAILED\n")) << text;
  EXPECT_NE(text.find("\\\"\\n  every line verifies\\nOK\\n\\x1b[8m"), std::string::npos) << text;
  EXPECT_EQ(nlohmann::json::parse(render_json(run))["ok"], false);
}

// sin in long double, rounded once to float: within one unit in the last place of any faithful
// single-precision sine.
bool within_one_ulp(float x, float s) {
  const auto exact = static_cast<float>(std::sin(static_cast<long double>(x)));
  return s == exact || s == std::nextafter(exact, 2.0f) || s == std::nextafter(exact, -2.0f);
}

TEST(ScoreReplay, RecordedSinesMatchThisMachineAndElseReplayStops) {
  const std::span<const SinePair> table = recorded_sines();
  ASSERT_EQ(table.size(), 16u * 64u);
  for (const SinePair& p : table) {
    float x, s;
    std::memcpy(&x, &p.phase_bits, 4);
    std::memcpy(&s, &p.sine_bits, 4);
    ASSERT_TRUE(x >= 0.0f && x < 6.28f) << x;
    EXPECT_TRUE(within_one_ulp(x, s)) << x;
  }
  // The engine in this build and the table agree: the same C library.
  EXPECT_EQ(sine_difference(table), std::nullopt);
  std::vector<SinePair> other(table.begin(), table.end());
  other[100].sine_bits ^= 1;
  EXPECT_NE(sine_difference(other).value_or("").find("sinf("), std::string::npos);

  // Where the sines differ, scores go unchecked rather than mismatched.
  Sealer sealer;
  std::vector<std::string> l = sealer.log(4);
  l[2] = replace_once(l[2], "\"output\":\"", "\"output\":\"xx");
  VerifyOptions no_replay;
  no_replay.replay_scores = false;
  const LogReport r = verify(sealer.public_key(), l, no_replay);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.chains()[0].scores_checked, 0u);
  EXPECT_NE(r.chains()[0].scores_note.find("sinf"), std::string::npos);
  EXPECT_EQ(kinds(verify(sealer.public_key(), l)), (Kinds{{3, "score mismatch"}}));
}

TEST(ScoreReplay, AChangedFirstOutputIsReportedOnTheFirstLine) {
  Sealer sealer;
  struct Case {
    std::size_t first_output;  // logged output length of the first record
    int change;                // bytes added to it after sealing
    Kinds expected;
  };
  // Within the search the edit is placed on line 1; far beyond it, line 2 takes the blame.
  const Case cases[] = {
      {40, 3, {{1, "score mismatch"}}}, {40, -25, {{1, "score mismatch"}}}, {40, 5000, {{2, "score mismatch"}}}};
  for (const Case& c : cases) {
    ChainState chain;
    std::vector<std::string> lines;
    lines.push_back(sealer.next(chain, "first", std::string(c.first_output, 'o'), true, [&](SealedRecordData& r) {
      r.output = std::string(static_cast<std::size_t>(static_cast<int>(c.first_output) + c.change), 'o');
    }));
    for (int i = 0; i < 3; ++i) lines.push_back(sealer.next(chain, "next", std::string(300 * i, 'o')));
    const LogReport r = verify(sealer.public_key(), lines);
    ASSERT_EQ(kinds(r), c.expected) << c.change;
    if (c.expected.begin()->first == 1) {
      EXPECT_NE(r.failures[0].detail.find(std::to_string(c.first_output) + " bytes here"), std::string::npos)
          << r.failures[0].detail;
      EXPECT_EQ(r.chains()[0].scores_checked, 4u);  // the replay goes on with the length found
    } else {
      EXPECT_NE(r.failures[0].detail.find("line 1"), std::string::npos) << r.failures[0].detail;
    }
  }
}

TEST(LogVerifier, ManyShortChainsAreKeptInOrderOutsideMemory) {
  // More chains than the chain table keeps in memory: they move to a temporary file.
  Sealer sealer;
  constexpr std::size_t kChains = 5000;
  std::vector<std::string> lines;
  std::vector<Digest> heads;
  for (std::size_t i = 0; i < kChains; ++i) {
    ChainState chain;
    lines.push_back(sealer.next(chain, "p" + std::to_string(i), "o"));
    heads.push_back(chain.root);
  }
  lines.push_back(lines[7]);  // a first record repeated far later
  const LogReport r = verify(sealer.public_key(), lines);
  EXPECT_EQ(kinds(r), (Kinds{{kChains + 1, "chain break"}}));
  EXPECT_NE(r.failures[0].detail.find("line 8"), std::string::npos) << r.failures[0].detail;
  const std::vector<ChainSummary> chains = r.chains();
  ASSERT_EQ(chains.size(), kChains);
  for (std::size_t i = 0; i < kChains; ++i) {
    ASSERT_EQ(chains[i].first_line, i + 1);
    ASSERT_EQ(chains[i].head, heads[i]);
    ASSERT_EQ(chains[i].scores_checked, 1u);
  }
}

}  // namespace
}  // namespace velm::verify

namespace velm::verify {
namespace {

// Everything a check finds, in one comparable text.
std::string facts_text(const LineFacts& f) {
  const auto digest = [](const std::optional<Digest>& d) { return d ? hex_lower(*d) : std::string("-"); };
  std::string out = "problem=" + f.form_problem + " hash=" + digest(f.hash) + " root=" + digest(f.root) +
                    " sealed=" + digest(f.sealed) + " mismatch=" + std::to_string(f.hash_mismatch) +
                    " badsig=" + std::to_string(f.bad_signature);
  out += " id=" + (f.id ? hex_lower(f.id->data(), f.id->size()) : std::string("-"));
  const ScoreInput& s = f.scores;
  out += " scores=" + std::to_string(s.usable) + "/" + std::to_string(s.prompt_bytes) + "/" +
         std::to_string(s.output_bytes) + "/" + std::to_string(std::bit_cast<std::uint64_t>(s.coherence)) + "/" +
         std::to_string(std::bit_cast<std::uint64_t>(s.reputation)) + "/" + s.insight.value_or("<null>");
  return out;
}

// The one-pass reader of engine-form lines must find exactly what the general path finds, on the
// engine's lines and on every line one byte away from them; and it must take the engine's lines.
TEST(LineChecker, EngineFormReaderAgreesWithTheGeneralPath) {
  Sealer sealer;
  ChainState chain;
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls += static_cast<char>(c);
  const HumanDeltaChainData review{"ch\"a\\in",
                                   "r\xC3\xA9"
                                   "f",
                                   false,
                                   "n\x01"
                                   "ode"};
  std::vector<std::string> bases = {
      sealer.next(chain, "p", "o", false),
      sealer.next(chain, controls + "\"\\/\x7f" + "0123456789abcdef\"", "\xF0\x9F\x98\x80\xE2\x82\xAC\xC3\xA9", true,
                  [&](SealedRecordData& r) {
                    r.human_delta_chain_json = human_delta_chain_json(review);
                    r.ctx_json = std::string(40, 'c') + "\\\"" + controls;
                  }),
      sealer.next(chain, std::string(31, 'q') + "\"" + std::string(16, 'q'), std::string(300, 'o')),
  };
  const LineChecker::Reading kReadings[] = {LineChecker::Reading::kEngineFormFirst, LineChecker::Reading::kGeneralOnly};
  LineChecker fast(sealer.public_key(), kReadings[0]);
  LineChecker general(sealer.public_key(), kReadings[1]);
  SealedRecordData record;
  PPPTripletData ppp;
  HumanDeltaChainData node;
  const std::string kBytes = std::string("\"\\u0aAeE.-,:}] n", 16) + std::string("\0\x1f\x7f\x80\xC3", 5);
  std::size_t lines = 0, taken = 0;
  LineFacts a, b;
  for (const std::string& base : bases) {
    ASSERT_TRUE(read_canonical_record(base, record, ppp, node)) << base;
    std::vector<std::string> variants = {base};
    for (std::size_t i = 0; i < base.size(); ++i) {
      variants.push_back(std::string(base).erase(i, 1));
      for (const char c : kBytes) {
        if (c != base[i]) variants.push_back(std::string(base).replace(i, 1, 1, c));
      }
    }
    for (const std::string& line : variants) {
      fast.check(line, a);
      general.check(line, b);
      ++lines;
      taken += read_canonical_record(line, record, ppp, node);
      ASSERT_EQ(facts_text(a), facts_text(b)) << line;
    }
  }
  // Some changed lines are still in the engine's form (a digit of a text, a hex digit): the
  // reader must have taken those too, not only the three unchanged ones.
  EXPECT_GT(taken, 3 + lines / 100) << taken << " of " << lines;
}

}  // namespace
}  // namespace velm::verify

namespace velm::verify {
namespace {

std::size_t open_descriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Finished tables that outgrew memory share one temporary file, so a run over many logs does not
// keep a descriptor per log (which ran out at the open-file limit); each still reads back intact,
// also after others were let go of.
TEST(ChainStore, FinishedTablesShareOneFile) {
  auto record = [](std::uint64_t table, std::uint64_t n) {
    ChainRecord r;
    r.first_line = table * 1000 + n;
    r.records = n + 1;
    r.head[0] = static_cast<std::uint8_t>(table);
    r.head[31] = static_cast<std::uint8_t>(n);
    return r;
  };
  const std::size_t before = open_descriptors();
  std::vector<std::unique_ptr<ChainStore>> tables;
  for (std::uint64_t t = 0; t < 60; ++t) {
    auto store = std::make_unique<ChainStore>(2);  // past two records, the table moves to a file
    for (std::uint64_t n = 0; n < 5 + t; ++n) store->add(record(t, n));
    store->put(1, record(t, 99));
    store->finish();
    tables.push_back(std::move(store));
    if (t % 3 == 0) tables[t / 2].reset();  // some go while others are made
  }
  EXPECT_LE(open_descriptors(), before + 1);

  // A child process after fork writes tables of its own elsewhere: one it inherited reads as an
  // error, not as whatever the parent puts there later, and the parent's tables stay intact.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 0;
    try {
      tables.back()->get(0);
      status = 1;
    } catch (const IoError&) {
    }
    ChainStore own(2);
    for (std::uint64_t n = 0; n < 5; ++n) own.add(record(7, n));
    own.finish();
    const ChainRecord got = own.get(4), want = record(7, 4);
    if (std::memcmp(&got, &want, sizeof got) != 0) status = 2;
    std::_Exit(status);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (std::uint64_t t = 0; t < tables.size(); ++t) {
    if (!tables[t]) continue;
    ASSERT_EQ(tables[t]->size(), 5 + t);
    std::vector<ChainRecord> all(tables[t]->size());
    tables[t]->get_range(0, all.size(), all.data());
    for (std::uint64_t n = 0; n < all.size(); ++n) {
      const ChainRecord want = record(t, n == 1 ? 99 : n);
      ASSERT_EQ(std::memcmp(&all[n], &want, sizeof want), 0) << t << " " << n;
    }
  }
}

// Many chains whose first records share one root (engines whose first capture is the same health
// check) are told apart by their ids, each in a few reads of the table, not in a run over all of
// them; and a repeated root and id names its earliest chain.
TEST(GenesisIndex, OneFirstRootForManyChainsCostsFewReads) {
  constexpr std::uint64_t kChains = 6000;
  ChainStore store(64);  // most of the table in a file, as in a long log
  GenesisIndex index;
  Digest root{};
  root.fill(0x5a);
  const auto id_of = [](std::uint64_t n) {
    IdKey id{};
    std::memcpy(id.data(), &n, sizeof n);
    return id;
  };
  for (std::uint64_t n = 0; n < kChains; ++n) {
    ChainRecord r;
    r.first_line = n + 1;
    r.first_root = root;
    r.first_id = id_of(n);
    r.has_first_id = 1;
    r.from_genesis = 1;
    index.add(store, store.add(r), root, r.first_id);
  }
  // The same pair again, as a chain whose damaged first root was mended later would be.
  ChainRecord again;
  again.first_line = kChains + 1;
  again.first_root = root;
  again.first_id = id_of(17);
  again.has_first_id = 1;
  index.add(store, store.add(again), root, again.first_id);

  for (std::uint64_t n = 0; n < kChains; n += 7) EXPECT_EQ(index.find(store, root, id_of(n)), n + 1) << n;
  EXPECT_EQ(index.find(store, root, id_of(17)), 18u);
  EXPECT_EQ(index.find(store, root, id_of(kChains + 5)), 0u);
  Digest other = root;
  other[0] ^= 1;
  EXPECT_EQ(index.find(store, other, id_of(3)), 0u);
  // Linear probing at most half full: a few reads per lookup and per chain moved when the index
  // grows. A run over every chain of the root would take about kChains / 2 reads per lookup.
  const std::uint64_t lookups = kChains / 7 + 4;
  EXPECT_LT(index.store_reads(), 8 * (lookups + kChains)) << index.store_reads();
}

}  // namespace
}  // namespace velm::verify
