// The log verifier: forms, seals, chains and score replay, each against damage made here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "encoding/entropy.h"
#include "encoding/float_text.h"
#include "engine/engine.h"
#include "records/record_json.h"
#include "verifier/log_verifier.h"
#include "verifier/report.h"

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
    CaptureInput input;
    input.ctx_json = "{\"k\": 1}";
    input.reasoning_trace_json = "[\"step\"]";
    input.prompt = prompt;
    input.output = output;
    static const HumanDeltaChainData review{"chain", "ref", false, "node"};
    input.ppp = &kPpp;
    input.review = &review;
    input.auto_insight = auto_insight;
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
  return v.report("test.wal");
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
    lines.push_back(sealer.next(chain, std::string(1 + 500 * (i % 3), 'x'), "é✓\n\"" + std::string(i, 'o'), i % 2 == 0));
  }
  const LogReport r = verify(sealer.public_key(), lines);
  EXPECT_TRUE(r.ok()) << (r.failures.empty() ? "" : r.failures[0].detail);
  EXPECT_EQ(r.lines, lines.size());
  EXPECT_EQ(r.records, lines.size());
  ASSERT_EQ(r.chains.size(), 3u);
  const std::pair<const ChainState*, std::uint64_t> expected[] = {{&a, 7}, {&b, 6}, {&c, 3}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(r.chains[i].head, expected[i].first->root);
    EXPECT_EQ(r.chains[i].records, expected[i].second);
    EXPECT_EQ(r.chains[i].scores_checked, expected[i].second);
    EXPECT_TRUE(r.chains[i].from_genesis);
  }
  EXPECT_EQ(r.chains[2].first_line, 12u);
  EXPECT_EQ(r.chains[2].last_line, 16u);
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
  ASSERT_EQ(r.chains.size(), 2u);
  EXPECT_EQ(r.chains[0].head, d.root);
  EXPECT_EQ(r.chains[1].head, e.root);
  EXPECT_EQ(r.chains[0].scores_checked + r.chains[1].scores_checked, 8u);
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
      "{ " + l.substr(1),                                                       // whitespace
      l.substr(0, l.size() - 1) + ",\"extra\":1}",                              // extra key
      replace_once(l, prompt, prompt + "," + prompt),                           // duplicate key
      replace_once(l, id, upper_id),                                            // id case
      replace_once(l, "\"id\":\"qor_", "\"id\":\"QOR_"),                        // id prefix
      replace_once(l, nanos_field, "\"monotonic_nanos\":-1,"),                  // negative
      replace_once(l, nanos_field, "\"monotonic_nanos\":1.0,"),                 // float
      replace_once(l, nanos_field, "\"monotonic_nanos\":18446744073709551616,"),  // overflow
      replace_once(l, "\"prompt\":\"p", "\"prompt\":\"\\u0070"),                 // needless escape
      replace_once(l, "+00:00\"", "Z\""),                                       // timestamp zone
      replace_once(l, "\"ctx_json\":\"{\\\"k\\\": 1}\"", "\"ctx_json\":7"),     // type
      replace_once(l, "{\\\"provenance\\\":\\\"prov\\\",\\\"place\\\":\\\"place\\\"",
                   "{\\\"place\\\":\\\"place\\\",\\\"provenance\\\":\\\"prov\\\""),  // ppp_json order
      replace_once(l, "\\\"resolved\\\":false", "\\\"resolved\\\":0"),           // review flag type
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    const LogReport r = verify(sealer.public_key(), {clean[0], bad[i], clean[2]});
    EXPECT_EQ(kinds(r), (Kinds{{2, "bad form"}})) << "variant " << i << ": " << bad[i];
  }
  // The largest 64-bit count is a proper number, and the line stays the engine's.
  const LogReport big =
      verify(sealer.public_key(), {clean[0], replace_once(l, nanos_field, "\"monotonic_nanos\":18446744073709551615,"), clean[2]});
  EXPECT_TRUE(big.ok());
}

TEST(LogVerifier, ParsedDoublesAreBitExact) {
  // The form check relies on reading a logged float back to the very double that was written.
  std::mt19937_64 rng(7);
  std::vector<double> values = {5e-324, 2.2250738585072011e-308, 2.2250738585072014e-308, 1.7976931348623157e308,
                                0.1 + 0.2, 0.92, 1e-5, 9.999999999999999e15, 1e16, -0.0, 0.51};
  for (int i = 0; i < 100000; ++i) {
    double d;
    const std::uint64_t bits = rng();
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) values.push_back(d);
  }
  for (const double d : values) {
    char text[kFloatTextCapacity];
    const std::size_t n = write_json_float(d, text);
    const nlohmann::json parsed = nlohmann::json::parse(text, text + n);
    ASSERT_TRUE(parsed.is_number_float()) << std::string(text, n);
    const double back = parsed.get<double>();
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
  for (const char* ok : {"2024-02-29T23:59:59+00:00", "2000-02-29T00:00:00.100+00:00", "1970-01-01T00:00:00.000000001+00:00",
                         "2024-05-01T12:00:00.123456+00:00"}) {
    EXPECT_TRUE(valid_record_timestamp(ok)) << ok;
  }
  for (const char* bad : {"2023-02-29T00:00:00+00:00", "1900-02-29T00:00:00+00:00", "2024-04-31T00:00:00+00:00",
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
    std::snprintf(text, sizeof text, "qor_%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
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
  bad_sig.replace(sig_at, bad_sig.find(',', sig_at) - sig_at,
                  std::to_string(std::stoi(bad_sig.substr(sig_at)) ^ 1));

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
      {"unreadable", with(2, l[2].substr(0, 40)), {{3, "torn line"}, {4, "chain break"}}, 2},
      {"uppercase root", with(2, replace_once(l[2], "\"merkle_root\":\"", "\"merkle_root\":\"ABCDEF").erase(l[2].find("\"merkle_root\"") + 21, 6)),
       {{3, "bad form"}}, 1},
  };
  for (const Case& c : cases) {
    const LogReport r = verify(sealer.public_key(), c.lines);
    EXPECT_EQ(kinds(r), c.expected) << c.name;
    EXPECT_EQ(r.chains.size(), c.chains) << c.name;
  }

  // After a damaged root the chain goes on, scores and all.
  const LogReport root = verify(sealer.public_key(), cases[5].lines);
  ASSERT_EQ(root.chains.size(), 1u);
  EXPECT_EQ(root.chains[0].records, 5u);
  EXPECT_EQ(root.chains[0].scores_checked, 5u);
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
  auto build = [&](std::size_t edited, const std::function<void(SealedRecordData&)>& edit, bool insight_at_edit = true) {
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

  const LogReport rep = build(2, [](SealedRecordData& r) { r.reputation_scalar = std::nextafter(r.reputation_scalar, 1.0); });
  EXPECT_EQ(kinds(rep), (Kinds{{3, "score mismatch"}}));
  EXPECT_EQ(rep.chains[0].scores_checked, 6u);  // the history was intact: the replay went on

  const LogReport coh = build(2, [](SealedRecordData& r) { r.coherence_score = std::nextafter(r.coherence_score, 0.0); });
  EXPECT_EQ(kinds(coh), (Kinds{{3, "score mismatch"}}));
  EXPECT_EQ(coh.chains[0].scores_checked, 3u);
  EXPECT_NE(coh.chains[0].scores_note.find("line 3"), std::string::npos);

  // The output is not sealed, but its length is scored.
  EXPECT_EQ(kinds(build(3, [](SealedRecordData& r) { r.output += "x"; })), (Kinds{{4, "score mismatch"}}));

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
    s2.next(probe, std::string(3, 'p'), "out", true, [&](SealedRecordData& r) { copied = r.core_insight_json.value_or(""); });
  }
  ASSERT_FALSE(copied.empty());
  EXPECT_TRUE(build(2, [&](SealedRecordData& r) {
                ASSERT_FALSE(r.core_insight_json.has_value());
                r.core_insight_json = copied;
              }, false).ok());
  // ... but not an altered one, nor one where the coherence is below the threshold.
  EXPECT_EQ(kinds(build(2, [](SealedRecordData& r) { (*r.core_insight_json)[12] ^= 1; })), (Kinds{{3, "score mismatch"}}));
  EXPECT_EQ(kinds(build(3, [&](SealedRecordData& r) {
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
  EXPECT_NE(r.chains[0].scores_note.find("closed"), std::string::npos);
}

TEST(LogVerifier, HostileLinesNeverCrash) {
  Sealer sealer;
  const std::vector<std::string> l = sealer.log(2);
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  std::string inner_deep = l[1];
  inner_deep = replace_once(inner_deep, "\"ppp_json\":\"", "\"ppp_json\":\"" + std::string(200000, '['));
  std::mt19937 rng(3);
  std::vector<std::string> lines = {deep, std::string(200000, '{'), "", "null", "1e999", "{\"id\":1e999}", inner_deep,
                                    std::string("\xff\xfe{}", 4), "{\"prompt\":\"\xc3\x28\"}"};
  for (int i = 0; i < 200; ++i) {
    std::string junk = l[1];
    for (int k = 0; k < 5; ++k) junk[rng() % junk.size()] = static_cast<char>(rng());
    lines.push_back(junk);
  }
  const LogReport r = verify(sealer.public_key(), lines);
  EXPECT_EQ(r.lines, lines.size());
  EXPECT_EQ(kinds(r).count({1, "bad form"}), 1u);
  EXPECT_EQ(kinds(r).count({2, "torn line"}), 1u);
  EXPECT_EQ(kinds(r).count({5, "bad form"}), 1u);
  EXPECT_EQ(kinds(r).count({7, "bad form"}), 1u);
  for (std::uint64_t n = 1; n <= 9; ++n) {
    EXPECT_TRUE(kinds(r).count({n, "bad form"}) + kinds(r).count({n, "torn line"}) > 0) << n;
  }
}

// Both parsers on the same lines: every failure, detail and chain alike.
std::string report_difference(const LogReport& a, const LogReport& b) {
  if (a.lines != b.lines || a.records != b.records) return "line or record counts differ";
  if (a.failures.size() != b.failures.size()) return "failure counts differ";
  for (std::size_t i = 0; i < a.failures.size(); ++i) {
    const Failure& x = a.failures[i];
    const Failure& y = b.failures[i];
    if (x.line != y.line || x.kind != y.kind || x.detail != y.detail) {
      return "failure " + std::to_string(i) + ": line " + std::to_string(x.line) + " " +
             std::string(failure_kind_name(x.kind)) + " (" + x.detail + ") vs line " + std::to_string(y.line) + " " +
             std::string(failure_kind_name(y.kind)) + " (" + y.detail + ")";
    }
  }
  if (a.chains.size() != b.chains.size()) return "chain counts differ";
  for (std::size_t i = 0; i < a.chains.size(); ++i) {
    const ChainSummary& x = a.chains[i];
    const ChainSummary& y = b.chains[i];
    if (x.first_line != y.first_line || x.last_line != y.last_line || x.records != y.records || x.head != y.head ||
        x.from_genesis != y.from_genesis || x.scores_checked != y.scores_checked || x.scores_note != y.scores_note) {
      return "chain " + std::to_string(i) + " differs";
    }
  }
  if (a.watch_lines != b.watch_lines) return "watched lines differ";
  return "";
}

// Verifies with the fast parser, and checks that the reference parser reports the same.
LogReport verify_both(const PublicKey& key, const std::vector<std::string>& lines, VerifyOptions options = {}) {
  VerifyOptions reference = options;
  reference.reference_parser = true;
  const LogReport fast = verify(key, lines, std::move(options));
  const LogReport slow = verify(key, lines, std::move(reference));
  const std::string diff = report_difference(fast, slow);
  EXPECT_EQ(diff, "");
  if (!diff.empty()) {
    for (const std::string& line : lines) ADD_FAILURE() << "in: " << line;
  }
  return fast;
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
  ASSERT_TRUE(verify_both(sealer.public_key(), clean).ok());
  std::vector<std::string> variants = {
      replace_once(l, "\xF0\x9F\x98\x80", "\\ud83d\\ude00"), replace_once(l, "\xF0\x9F\x98\x80", "\\uD83D\\uDE00"),
      replace_once(l, "\xC3\xA9", "\\u00e9"),               replace_once(l, "\xC3\xA9", "\\u00E9"),
      replace_once(l, "/b\"", "\\/b\""),                     replace_once(l, "\"prompt\":\"a", "\"prompt\":\"\\u0061"),
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
  for (const char* spelled : {"-0", "1.0", "1e0", "-1", "256", "18446744073709551616", "null", "\"1\"", "[1]", "{}", "true"}) {
    variants.push_back(replace_once(l, "\"signature\":[" + first_byte + ",", std::string("\"signature\":[") + spelled + ","));
  }
  variants.push_back(replace_once(l, "\"coherence_score\":", "\"coherence_score\":-0,\"x\":"));
  variants.push_back(std::string("\xEF\xBB\xBF") + l);           // a byte order mark
  variants.push_back(l + std::string("\0junk", 5));              // a NUL byte ends the text
  variants.push_back(l.substr(0, l.size() - 1) + ",\"extra\":" + std::string(3000, '[') + std::string(3000, ']') + "}");
  variants.push_back(" " + l + "\t\r");
  for (std::size_t i = 0; i < variants.size(); ++i) {
    EXPECT_EQ(kinds(verify_both(sealer.public_key(), {clean[0], variants[i], clean[2]})), (Kinds{{2, "bad form"}}))
        << "variant " << i << ": " << variants[i];
  }

  // A valid byte in place of another is read, so the signature is checked and fails.
  const std::string other_byte = first_byte == "0" ? "1" : "0";
  EXPECT_EQ(kinds(verify_both(sealer.public_key(),
                              {clean[0], replace_once(l, "\"signature\":[" + first_byte + ",", "\"signature\":[" + other_byte + ","),
                               clean[2]})),
            (Kinds{{2, "bad signature"}}));
  // A number beyond any double.
  const LogReport huge = verify_both(
      sealer.public_key(), {clean[0], replace_once(l, "\"coherence_score\":", "\"coherence_score\":1e999,\"x\":"), clean[2]});
  EXPECT_EQ(kinds(huge), (Kinds{{2, "bad form"}, {3, "chain break"}}));
  EXPECT_NE(huge.failures[0].detail.find("out of range"), std::string::npos) << huge.failures[0].detail;
  // ppp_json behind a byte order mark is still read, so its changed purpose fails the hash.
  EXPECT_EQ(kinds(verify_both(sealer.public_key(),
                              {clean[0],
                               replace_once(replace_once(l, "\"ppp_json\":\"{", "\"ppp_json\":\"\\ufeff{"), "\\\"purpose\\\"}",
                                            "\\\"purposf\\\"}"),
                               clean[2]})),
            (Kinds{{2, "bad form"}, {2, "hash mismatch"}}));
}

TEST(LogVerifier, MalformedTextIsNotJson) {
  Sealer sealer;
  ChainState chain;
  const std::vector<std::string> clean = {sealer.next(chain, "first", "o"), sealer.next(chain, "a/b", "out"),
                                          sealer.next(chain, "third", "o")};
  const std::string& l = clean[1];
  for (const char* bad : {"\\ud800", "\\udc00", "\\udfff", "\\ud800\\u0041", "\\ud800x", "\\ud800\\ud800", "\\udbff\\ue000",
                          "\\ud800\\\\u0041", "\\uD83D", "\\u12", "\\u00g0", "\\x41", "\\a", "\\U0041", "\xC3\x28", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xC0\xAF", "\xE0\x80\xAF", "\x80", "\xFF", "\x01", "\x1F", "\t", "\x7F\xFF"}) {
    const std::string line = replace_once(l, "/b\"", std::string(bad) + "\"");
    EXPECT_EQ(kinds(verify_both(sealer.public_key(), {clean[0], line, clean[2]})),
              (Kinds{{2, "torn line"}, {3, "chain break"}}))
        << line;
  }
  for (const char* bad : {"0", "+", "--", "."}) {
    const std::string line = replace_once(l, "\"monotonic_nanos\":", std::string("\"monotonic_nanos\":") + bad);
    EXPECT_EQ(kinds(verify_both(sealer.public_key(), {clean[0], line, clean[2]})),
              (Kinds{{2, "torn line"}, {3, "chain break"}}))
        << line;
  }
  // What both parsers accept in a string, read alike.
  for (const char* fine : {"\x7F", "\\u0000", "\\u001f", "\\uffff", "\\udbff\\udfff", "\xF4\x8F\xBF\xBF", "\\\"\\\\\\b\\f\\n\\r\\t"}) {
    const std::string line = replace_once(l, "/b\"", std::string(fine) + "\"");
    // Read as a different prompt, so the seal fails; the line itself is JSON.
    const Kinds k = kinds(verify_both(sealer.public_key(), {clean[0], line, clean[2]}));
    EXPECT_EQ(k.count({2, "hash mismatch"}), 1u) << line;
    EXPECT_EQ(k.count({2, "torn line"}), 0u) << line;
  }
}

TEST(LogVerifier, FastAndReferenceParsersAgreeOnDamagedLines) {
  Sealer sealer;
  const std::vector<std::string> l = sealer.log(4);
  const char* pieces[] = {"-0", "0", "-1", "1e999", "1e-999", "1.5", "18446744073709551616", "\\ud800", "\\udc00",
                          "\\u0000", "\xFF", "\xEF\xBB\xBF", "[", "]", "{", "}", ",", ":", "\"", "\\", "\\\"", " ",
                          "null", "true", "\x00", "\xC3\xA9", "\\u00e9", "1E5", "-0.0", "{\"a\":1}"};
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
    verify_both(sealer.public_key(), lines);
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
      verify_both(sealer.public_key(), lines);
    }
  }
}

class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    char name[] = "/tmp/velm_verify_test_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

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
  watch.watch_roots = {last, gone};
  run.logs.push_back(verify(sealer.public_key(), l, watch));
  resolve_expected_heads(run, watch.watch_roots);
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
