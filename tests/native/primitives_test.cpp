// Digests, signatures, identifiers and clocks against published vectors and libc.
#include <gtest/gtest.h>

#include <ctime>
#include <random>
#include <set>
#include <string>

#include "encoding/clock.h"
#include "encoding/digest.h"
#include "encoding/ed25519.h"
#include "encoding/entropy.h"

namespace velm {
namespace {

std::string from_hex_string(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(Blake3, ReferenceValues) {
  EXPECT_EQ(hex_lower(blake3_digest(std::string_view(""))),
            "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  EXPECT_EQ(hex_lower(blake3_digest(std::string_view("\0", 1))),
            "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213");
  EXPECT_EQ(hex_lower(blake3_digest(std::string_view("abc"))),
            "6437b3ac38465133ffb63b75273a8db548c558465d79db03fd359c6cd5bd9d85");
  EXPECT_EQ(hex_lower(genesis_root()), "df840a304e772ef4cdfb23293d8adadde8d43567bde4b0190c3d954f696f0b0a");
  EXPECT_EQ(hex_lower(blake3_digest(std::string_view("abcp1.00.51"))),
            "83492f590718d75e3d9e27e82b0faa0ddada3d7946342444caabe396517bbb29");
}

TEST(Hex, LowercasePairsInOrder) {
  const std::uint8_t bytes[] = {0x0a, 0xff, 0x00, 0x9c};
  EXPECT_EQ(hex_lower(bytes, 4), "0aff009c");
  EXPECT_EQ(hex_lower(bytes, 0), "");
}

TEST(ChainRoot, DebugTextsAndWorkedRoot) {
  const Digest content = blake3_digest(std::string_view("abcp1.00.51"));
  const std::string text = chain_link_text(genesis_root());
  ASSERT_EQ(text.size(), 72u);
  EXPECT_EQ(text, "Hash(\"df840a304e772ef4cdfb23293d8adadde8d43567bde4b0190c3d954f696f0b0a\")");
  const std::string link = text + chain_link_text(content);
  ASSERT_EQ(link.size(), 144u);
  EXPECT_EQ(next_chain_root(genesis_root(), content), blake3_digest(link));
  EXPECT_EQ(hex_lower(next_chain_root(genesis_root(), content)),
            "b4c2b904e6edec426dd65391e7eee4ded93502a675873aaaed9732e9865f4ad9");
}

struct Rfc8032Vector {
  const char* secret;
  const char* public_key;
  const char* message;
  const char* signature;
};

// RFC 8032, section 7.1, tests 1 to 3.
const Rfc8032Vector kVectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f059"
     "5bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4"
     "302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716"
     "ed28dc027beceea1ec40a"},
};

TEST(Ed25519, Rfc8032Vectors) {
  for (const auto& v : kVectors) {
    SecretSeed seed;
    const std::string secret = from_hex_string(v.secret);
    std::copy(secret.begin(), secret.end(), seed.data());
    const SigningKey key = signing_key_from_seed(std::move(seed));
    EXPECT_EQ(hex_lower(key.public_key().data(), 32), v.public_key);
    const std::string message = from_hex_string(v.message);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    const Signature sig = sign_message(key, bytes, message.size());
    EXPECT_EQ(hex_lower(sig.data(), sig.size()), v.signature);
    EXPECT_EQ(sign_message(key, bytes, message.size()), sig);  // deterministic
    EXPECT_TRUE(verify_signature(key.public_key(), bytes, message.size(), sig));
  }
}

TEST(Ed25519, SignatureOverDigestBytesIsNotOverItsHex) {
  const SigningKey key = signing_key_from_seed(generate_seed());
  const Digest digest = blake3_digest(std::string_view("x"));
  const Signature sig = sign_message(key, digest.data(), digest.size());
  const std::string hex = hex_lower(digest);
  EXPECT_TRUE(verify_signature(key.public_key(), digest.data(), digest.size(), sig));
  EXPECT_FALSE(verify_signature(key.public_key(), reinterpret_cast<const std::uint8_t*>(hex.data()), hex.size(), sig));
}

TEST(Ed25519, MovedSeedIsWiped) {
  SecretSeed seed;
  seed.data()[0] = 7;
  SecretSeed other(std::move(seed));
  EXPECT_EQ(other.data()[0], 7);
  for (std::size_t i = 0; i < SecretSeed::size(); ++i) ASSERT_EQ(seed.data()[i], 0);
}

TEST(Uuid, LayoutAndFreshness) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string text = uuid_text(new_uuid_v4());
    ASSERT_EQ(text.size(), 36u);
    for (std::size_t p : {8u, 13u, 18u, 23u}) ASSERT_EQ(text[p], '-');
    ASSERT_EQ(text[14], '4');
    ASSERT_NE(std::string("89ab").find(text[19]), std::string::npos);
    for (char c : text) ASSERT_NE(std::string("0123456789abcdef-").find(c), std::string::npos);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
  Uuid ones;
  ones.fill(0xff);
  EXPECT_EQ(uuid_text(uuid_v4_from_bytes(ones)), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  EXPECT_EQ(uuid_text(uuid_v4_from_bytes(Uuid{})), "00000000-0000-4000-8000-000000000000");
}

TEST(Rfc3339, FractionForms) {
  const std::int64_t t = 1796675648;  // 2026-12-07T20:34:08Z
  EXPECT_EQ(rfc3339_text(t, 0), "2026-12-07T20:34:08+00:00");
  EXPECT_EQ(rfc3339_text(t, 120000000), "2026-12-07T20:34:08.120+00:00");
  EXPECT_EQ(rfc3339_text(t, 123456000), "2026-12-07T20:34:08.123456+00:00");
  EXPECT_EQ(rfc3339_text(t, 1), "2026-12-07T20:34:08.000000001+00:00");
  EXPECT_EQ(rfc3339_text(t, 100000), "2026-12-07T20:34:08.000100+00:00");
  EXPECT_EQ(rfc3339_text(0, 0), "1970-01-01T00:00:00+00:00");
  EXPECT_EQ(rfc3339_text(253402300799, 999999999), "9999-12-31T23:59:59.999999999+00:00");
  EXPECT_EQ(rfc3339_text(253402300800, 0), "+10000-01-01T00:00:00+00:00");
}

TEST(Rfc3339, CalendarMatchesGmtime) {
  std::mt19937_64 rng(42);
  std::uniform_int_distribution<std::int64_t> seconds(0, 253402300799);  // up to year 9999
  for (int i = 0; i < 200000; ++i) {
    const std::int64_t s = i < 1000 ? i * 86399 : seconds(rng);
    const time_t tt = static_cast<time_t>(s);
    struct tm tm {};
    ASSERT_NE(gmtime_r(&tt, &tm), nullptr);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%04d-%02d-%02dT%02d:%02d:%02d+00:00", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    ASSERT_EQ(rfc3339_text(s, 0), expected) << s;
  }
}

TEST(Rfc3339, NowIsRecent) {
  const std::string now = rfc3339_now();
  const std::time_t t = std::time(nullptr);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char year[16];
  std::snprintf(year, sizeof year, "%04d-", tm.tm_year + 1900);
  EXPECT_EQ(now.rfind(year, 0), 0u);
  EXPECT_TRUE(now.size() == 25 || now.size() == 29 || now.size() == 32 || now.size() == 35);
}

TEST(MonotonicGap, Arithmetic) {
  EXPECT_EQ(timespec_gap_nanos({5, 100}, {5, 100}), 0u);
  EXPECT_EQ(timespec_gap_nanos({5, 100}, {5, 99}), 0u);
  EXPECT_EQ(timespec_gap_nanos({5, 100}, {4, 999999999}), 0u);
  EXPECT_EQ(timespec_gap_nanos({5, 999999999}, {6, 1}), 2u);
  EXPECT_EQ(timespec_gap_nanos({1, 500}, {3, 400}), 1999999900u);
  EXPECT_LT(monotonic_gap_nanos(), 1000000000u);
}

}  // namespace
}  // namespace velm
