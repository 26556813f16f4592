// Signed notes and checkpoints: published examples, an independent check of what is written, and
// hostile input of every kind refused with the right error.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "verifier/tlog/note.h"

namespace velm::verify {
namespace {

constexpr std::string_view kDash = "\xE2\x80\x94 ";

SigningKey key_from_seed(const std::uint8_t* seed) {
  SecretSeed secret;
  std::memcpy(secret.data(), seed, kSeedBytes);
  return signing_key_from_seed(std::move(secret));
}

SigningKey key_from_byte(std::uint8_t b) {
  std::uint8_t seed[kSeedBytes];
  std::memset(seed, b, sizeof seed);
  return key_from_seed(seed);
}

std::vector<std::uint8_t> b64(const std::string& text) {
  std::vector<std::uint8_t> out(text.size());
  std::size_t len = 0;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &len, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    ADD_FAILURE() << "test vector is not base64";
  }
  out.resize(len);
  return out;
}

NoteErrorKind error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const NoteError& e) {
    return e.kind();
  }
  ADD_FAILURE() << "accepted";
  return NoteErrorKind::kMalformed;
}

// The example of the Go module checksum database's note package (golang.org/x/mod/sumdb/note,
// package documentation), which c2sp.org/signed-note writes down: a signer key, its verifier key
// and the note it signs. Ed25519 is deterministic, so the signature must come out identical.
constexpr std::string_view kGoSignerKeyData = "AYEKFALVFGyNhPJEMzD1QIDr+Y7hfZx09iUvxdXHKDFz";  // 0x01 || seed
constexpr std::string_view kGoVerifierKey = "PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW";
const std::string kGoText =
    "If you think cryptography is the answer to your problem,\n"
    "then you don't know what your problem is.\n";
const std::string kGoSignature =
    "\xE2\x80\x94 PeterNeumann "
    "x08go/ZJkuBS9UG/SffcvIAQxVBtiFupLLr8pAcElZInNIuGUgYN1FFYC2pZSNXgKvqfqdngotpRZb6KE6RyyBwJnAM=\n";
const std::string kGoSecondSignature =
    "\xE2\x80\x94 EnochRoot "
    "rwz+eBzmZa0SO3NbfRGzPCpDckykFXSdeX+MNtCOXm2/5n2tiOHp+vAF1aGrQ5ovTG01oOTGwnWLox33WWd1RvMc+QQ=\n";

TEST(SignedNote, PublishedExampleSignsAndVerifies) {
  const std::vector<std::uint8_t> skey = b64(std::string(kGoSignerKeyData));
  ASSERT_EQ(skey.size(), 33u);
  ASSERT_EQ(skey[0], 1);
  const SigningKey key = key_from_seed(skey.data() + 1);
  const NoteVerifierKey made = make_verifier_key("PeterNeumann", key.public_key());
  EXPECT_EQ(made.key_id, 0xc74f20a3u);
  EXPECT_EQ(format_verifier_key(made), kGoVerifierKey);
  const NoteVerifierKey parsed = parse_verifier_key(kGoVerifierKey);
  EXPECT_EQ(parsed.key, key.public_key());
  EXPECT_EQ(sign_note(kGoText, "PeterNeumann", key), kGoText + "\n" + kGoSignature);
  // The doubly signed form: the unknown second signer is ignored.
  const VerifiedNote opened = open_note(kGoText + "\n" + kGoSignature + kGoSecondSignature, std::vector{parsed});
  EXPECT_EQ(opened.text, kGoText);
  EXPECT_EQ(opened.verified_by, std::vector<std::string>{"PeterNeumann"});
}

// The examples of c2sp.org/tlog-checkpoint and c2sp.org/signed-note, whose keys are not
// published: their form is read, and no signature of theirs passes for one of ours.
TEST(SignedNote, PublishedC2spExamplesParse) {
  const std::string checkpoint_text =
      "example.com/behind-the-sofa\n20852163\nCsUYapGGPo4dkMgIAUqom/Xajj7h2fB2MPA3j2jxq2I=\n";
  const std::string checkpoint_sig =
      "Az3grlgtzPICa5OS8npVmf1Myq/5IZniMp+ZJurmRDeOoRDe4URYN7u5/Zhcyv2q1gGzGku9nTo+zyWE+xeMcTOAYQ8=";
  const std::string note =
      checkpoint_text + "\n" + std::string(kDash) + "example.com/behind-the-sofa " + checkpoint_sig + "\n";
  const ParsedNote parsed = parse_note(note);
  EXPECT_EQ(parsed.text, checkpoint_text);
  ASSERT_EQ(parsed.signatures.size(), 1u);
  const std::vector<std::uint8_t> raw = b64(checkpoint_sig);
  EXPECT_EQ(parsed.signatures[0].key_id,
            (std::uint32_t{raw[0]} << 24) | (std::uint32_t{raw[1]} << 16) | (std::uint32_t{raw[2]} << 8) | raw[3]);
  EXPECT_EQ(parsed.signatures[0].signature, std::vector<std::uint8_t>(raw.begin() + 4, raw.end()));
  const Checkpoint checkpoint = parse_checkpoint_text(parsed.text);
  EXPECT_EQ(checkpoint.origin, "example.com/behind-the-sofa");
  EXPECT_EQ(checkpoint.size, 20852163u);
  EXPECT_EQ(format_checkpoint_text(checkpoint), checkpoint_text);
  const NoteVerifierKey same_name = make_verifier_key("example.com/behind-the-sofa", key_from_byte(1).public_key());
  EXPECT_EQ(error_of([&] { open_checkpoint(note, std::vector{same_name}); }), NoteErrorKind::kNoKnownSignature);

  const std::string poem =
      "Ognuno sta solo sul cuor della terra\ntrafitto da un raggio di sole:\n\ned \xC3\xA8 subito sera.\n";
  const ParsedNote quasimodo =
      parse_note(poem + "\n" + std::string(kDash) +
                 "quasimodo.example/salvatore "
                 "NnugSzTjtVAewIS+Z/iJhUPeFDkO/5QQ2i5ddnGITLlC+EhfLW9oJKONrMouFSQU0xMcXxj99ihAQwaqP3ZekRwNtIc=\n");
  EXPECT_EQ(quasimodo.text, poem);
  ASSERT_EQ(quasimodo.signatures.size(), 1u);
  EXPECT_EQ(quasimodo.signatures[0].name, "quasimodo.example/salvatore");
  EXPECT_EQ(quasimodo.signatures[0].signature.size(), 64u);
}

// What sign_checkpoint writes, checked with libsodium alone: the layout, the key ID from its
// definition and the Ed25519 signature over the text.
TEST(SignedNote, WrittenCheckpointVerifiesIndependently) {
  const SigningKey key = key_from_byte(7);
  TreeHash root;
  for (std::size_t i = 0; i < root.size(); ++i) root[i] = static_cast<std::uint8_t>(i * 13);
  const std::string origin = "witness.example/velm-log";
  const std::string note = sign_checkpoint(origin, 18446744073709551615u, root, key);

  const std::size_t blank = note.rfind("\n\n");
  ASSERT_NE(blank, std::string::npos);
  const std::string text = note.substr(0, blank + 1);
  const std::string root_b64 = text.substr(text.rfind('\n', text.size() - 2) + 1, 44);
  EXPECT_EQ(text, origin + "\n18446744073709551615\n" + root_b64 + "\n");
  EXPECT_EQ(b64(root_b64), std::vector<std::uint8_t>(root.begin(), root.end()));
  const std::string prefix = std::string(kDash) + origin + " ";
  const std::string line = note.substr(blank + 2);
  ASSERT_EQ(line.substr(0, prefix.size()), prefix);
  ASSERT_EQ(line.back(), '\n');
  const std::vector<std::uint8_t> sig = b64(line.substr(prefix.size(), line.size() - prefix.size() - 1));
  ASSERT_EQ(sig.size(), 68u);

  std::string id_input = origin + "\n\x01";
  id_input.append(reinterpret_cast<const char*>(key.public_key().data()), kPublicKeyBytes);
  unsigned char digest[32];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(id_input.data()), id_input.size());
  EXPECT_EQ(std::memcmp(sig.data(), digest, 4), 0);
  EXPECT_EQ(crypto_sign_verify_detached(sig.data() + 4, reinterpret_cast<const unsigned char*>(text.data()),
                                        text.size(), key.public_key().data()),
            0);

  const NoteVerifierKey vkey = make_verifier_key(origin, key.public_key());
  const VerifiedCheckpoint opened = open_checkpoint(note, std::vector{vkey}, origin);
  EXPECT_EQ(opened.checkpoint.origin, origin);
  EXPECT_EQ(opened.checkpoint.size, 18446744073709551615u);
  EXPECT_EQ(opened.checkpoint.root, root);
  EXPECT_TRUE(opened.checkpoint.extensions.empty());
  EXPECT_EQ(error_of([&] { open_checkpoint(note, std::vector{vkey}, "other.example/log"); }),
            NoteErrorKind::kWrongOrigin);
}

TEST(SignedNote, HostileVerifierKeysAreRefused) {
  const std::string good(kGoVerifierKey);
  const std::string key_b64 = good.substr(good.rfind('+') + 1);
  const std::vector<std::string> cases = {
      "",
      "PeterNeumann",
      "PeterNeumann+c74f20a3",
      "+c74f20a3+" + key_b64,
      "PeterNeumann+c74f20a+" + key_b64,
      "PeterNeumann+c74f20a33+" + key_b64,
      "PeterNeumann+c74f20g3+" + key_b64,
      "PeterNeumann+-74f20a3+" + key_b64,
      "PeterNeumann+c74f20a4+" + key_b64,  // not this key's ID
      "PeterNeumanm+c74f20a3+" + key_b64,  // the ID of another name
      "Peter Neumann+c74f20a3+" + key_b64,
      "Peter\xC2\xA0Neumann+c74f20a3+" + key_b64,  // no-break space
      "Peter\x01Neumann+c74f20a3+" + key_b64,
      "Peter\xC0\xAENeumann+c74f20a3+" + key_b64,  // overlong UTF-8
      good + "\n",
      good + "=",
      good.substr(0, good.size() - 1),                                       // a character short
      "PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TX",  // another key under the same ID
      "PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10T*",
      "PeterNeumann+c74f20a3+ApJc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TW",      // signature type 2
      "PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10Q=",      // 31-byte key
      "PeterNeumann+c74f20a3+ARpc2QcUPDhMQegwxbzhKqiBfsVkmqq/LDE4izWy10TWAA==",  // 33-byte key
      std::string(5000, 'a') + "+c74f20a3+" + key_b64,
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(error_of([&] { parse_verifier_key(text); }), NoteErrorKind::kBadKey) << text.substr(0, 80);
  }
  EXPECT_EQ(parse_verifier_key("PeterNeumann+C74F20A3+" + key_b64).key_id, 0xc74f20a3u);
  EXPECT_EQ(error_of([&] { make_verifier_key("a+b", PublicKey{}); }), NoteErrorKind::kBadKey);
}

TEST(SignedNote, HostileNotesAreRefused) {
  const SigningKey key = key_from_byte(3);
  const NoteVerifierKey vkey = make_verifier_key("log.example/a", key.public_key());
  const std::string text = "log.example/a\n5\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n";
  const std::string good = sign_note(text, "log.example/a", key);
  const std::string line = good.substr(text.size() + 1);
  const std::string sig_b64 = line.substr(kDash.size() + 14, line.size() - kDash.size() - 15);
  const std::string other_line = sign_note(text, "log.example/b", key_from_byte(4)).substr(text.size() + 1);
  std::string many;
  for (int i = 0; i < 101; ++i) many += other_line;
  struct Case {
    const char* what;
    std::string note;
    NoteErrorKind kind;
  };
  const std::vector<Case> cases = {
      {"no final newline", good.substr(0, good.size() - 1), NoteErrorKind::kMalformed},
      {"no blank line", text + line, NoteErrorKind::kMalformed},
      {"no signature line", good.substr(0, text.size() + 1), NoteErrorKind::kMalformed},
      {"blank line after the signatures", good + "\n", NoteErrorKind::kMalformed},
      {"hyphen for the dash", text + "\n- log.example/a " + sig_b64 + "\n", NoteErrorKind::kMalformed},
      {"no space after the name", text + "\n" + std::string(kDash) + "log.example/a\n", NoteErrorKind::kMalformed},
      {"two spaces", text + "\n" + std::string(kDash) + "log.example/a  " + sig_b64 + "\n", NoteErrorKind::kMalformed},
      {"empty name", text + "\n" + std::string(kDash) + " " + sig_b64 + "\n", NoteErrorKind::kMalformed},
      {"name with a plus", text + "\n" + std::string(kDash) + "log+a " + sig_b64 + "\n", NoteErrorKind::kMalformed},
      {"base64 without padding",
       text + "\n" + std::string(kDash) + "log.example/a " + sig_b64.substr(0, sig_b64.size() - 1) + "\n",
       NoteErrorKind::kMalformed},
      {"base64 with a bad character", text + "\n" + std::string(kDash) + "log.example/a !" + sig_b64.substr(1) + "\n",
       NoteErrorKind::kMalformed},
      {"signature of 4 bytes", text + "\n" + std::string(kDash) + "log.example/a AAAAAA==\n",
       NoteErrorKind::kMalformed},
      {"carriage return", "log.example/a\r" + good.substr(13), NoteErrorKind::kMalformed},
      {"tab", "log.example/a\t\n" + good.substr(14), NoteErrorKind::kMalformed},
      {"NUL", std::string("log.example/a\0", 14) + good.substr(13), NoteErrorKind::kMalformed},
      {"lone continuation byte", "\x80" + good, NoteErrorKind::kMalformed},
      {"overlong slash",
       "log.example\xC0\xAF"
       "a" +
           good.substr(13),
       NoteErrorKind::kMalformed},
      {"surrogate", "\xED\xA0\x80" + good, NoteErrorKind::kMalformed},
      {"above U+10FFFF", "\xF4\x90\x80\x80" + good, NoteErrorKind::kMalformed},
      {"truncated sequence at the end", good + "\xE2\x80", NoteErrorKind::kMalformed},
      {"larger than 1 MiB", std::string(kMaxNoteBytes, 'a') + "\n\n" + line, NoteErrorKind::kTooLarge},
      {"101 signatures", text + "\n" + line + many, NoteErrorKind::kTooLarge},
      {"no signature by a given key", text + "\n" + other_line, NoteErrorKind::kNoKnownSignature},
      {"altered text", "log.example/a\n6\n" + good.substr(16), NoteErrorKind::kBadSignature},
      {"short signature by a known key", text + "\n" + line.substr(0, kDash.size() + 14) + sig_b64.substr(0, 84) + "\n",
       NoteErrorKind::kBadSignature},
      {"altered signature after a good one",
       good + line.substr(0, kDash.size() + 14) + sig_b64.substr(0, 20) + (sig_b64[20] == 'A' ? "B" : "A") +
           sig_b64.substr(21) + "\n",
       NoteErrorKind::kBadSignature},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of([&] { open_note(c.note, std::vector{vkey}); }), c.kind) << c.what;
  }
  // Every single-byte change is refused, and none crashes the parser.
  for (std::size_t i = 0; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] = static_cast<char>(bad[i] ^ 0x20);
    EXPECT_THROW(open_note(bad, std::vector{vkey}), NoteError) << "byte " << i;
  }
}

// No log can show a signed tree of no leaves wrong, so its root must be SHA-256 of nothing.
TEST(SignedNote, ACheckpointOfNoLinesCarriesTheEmptyTreesRoot) {
  const SigningKey key = key_from_byte(9);
  const NoteVerifierKey vkey = make_verifier_key("w.example/0", key.public_key());
  TreeHash empty;
  crypto_hash_sha256(empty.data(), nullptr, 0);
  TreeHash other = empty;
  other[31] ^= 1;
  EXPECT_EQ(open_checkpoint(sign_checkpoint("w.example/0", 0, empty, key), std::vector{vkey}).checkpoint.size, 0u);
  EXPECT_EQ(error_of([&] { open_checkpoint(sign_checkpoint("w.example/0", 0, other, key), std::vector{vkey}); }),
            NoteErrorKind::kBadCheckpoint);
  EXPECT_EQ(open_checkpoint(sign_checkpoint("w.example/0", 1, other, key), std::vector{vkey}).checkpoint.root, other);
}

TEST(SignedNote, SignatureRulesOfTheFormat) {
  const SigningKey key = key_from_byte(5);
  const NoteVerifierKey vkey = make_verifier_key("w.example/1", key.public_key());
  const std::string text = "first\n\nthird, after an empty line\n";
  const std::string good = sign_note(text, "w.example/1", key);
  const std::string line = good.substr(text.size() + 1);
  // Sixteen signatures must be accepted; unknown ones are ignored, before or after the known one.
  std::string signatures;
  for (int i = 0; i < 15; ++i) {
    if (i == 7) signatures += line;
    signatures +=
        sign_note(text, "w.example/" + std::to_string(i + 2), key_from_byte(static_cast<std::uint8_t>(10 + i)))
            .substr(text.size() + 1);
  }
  const VerifiedNote opened = open_note(text + "\n" + signatures, std::vector{vkey});
  EXPECT_EQ(opened.text, text);
  EXPECT_EQ(opened.verified_by, std::vector<std::string>{"w.example/1"});
  // A key of the same name and another ID is another key.
  const NoteVerifierKey same_name = make_verifier_key("w.example/1", key_from_byte(6).public_key());
  EXPECT_EQ(error_of([&] { open_note(good, std::vector{same_name}); }), NoteErrorKind::kNoKnownSignature);
  EXPECT_EQ(open_note(good, std::vector{same_name, vkey}).verified_by.size(), 1u);
  // A verified note whose text is not a checkpoint.
  EXPECT_EQ(error_of([&] { open_checkpoint(good, std::vector{vkey}); }), NoteErrorKind::kBadCheckpoint);
  EXPECT_EQ(error_of([&] { sign_note("no newline", "w.example/1", key); }), NoteErrorKind::kMalformed);
  EXPECT_EQ(error_of([&] { sign_note("a\n", "w example", key); }), NoteErrorKind::kBadKey);
  EXPECT_EQ(error_of([&] { sign_checkpoint("w example", 1, TreeHash{}, key); }), NoteErrorKind::kBadKey);
}

TEST(Checkpoint, TextsAreReadStrictly) {
  const std::string root = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
  struct Case {
    std::string text;
    bool ok;
    std::uint64_t size;
  };
  const std::vector<Case> cases = {
      {"o\n0\n" + root + "\n", true, 0},
      {"o\n18446744073709551615\n" + root + "\n", true, 18446744073709551615u},
      {"o\n7\n" + root + "\next one\next two\n", true, 7},
      {"o\n18446744073709551616\n" + root + "\n", false, 0},
      {"o\n99999999999999999999999999999999\n" + root + "\n", false, 0},
      {"o\n01\n" + root + "\n", false, 0},
      {"o\n00\n" + root + "\n", false, 0},
      {"o\n-1\n" + root + "\n", false, 0},
      {"o\n+1\n" + root + "\n", false, 0},
      {"o\n 1\n" + root + "\n", false, 0},
      {"o\n1 \n" + root + "\n", false, 0},
      {"o\n0x10\n" + root + "\n", false, 0},
      {"o\n\n" + root + "\n", false, 0},
      {"\n1\n" + root + "\n", false, 0},
      {"o\n1\n" + root, false, 0},
      {"o\n1\n", false, 0},
      {"o\n1\n" + root + "\n\n", false, 0},
      {"o\n1\n" + root + "\next\n\n", false, 0},
      {"o\n1\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==\n", false, 0},  // 31 bytes
      {"o\n1\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n", false, 0},  // 33 bytes
      {"o\n1\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n", false, 0},   // no padding
      {"o\n1\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAB=\n", false, 0},  // stray low bits
      {"o\n1\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA-=\n", false, 0},  // URL-safe alphabet
      {"o\n1\n AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n", false, 0},
      {"o\x7f\x01\n1\n" + root + "\n", false, 0},
  };
  for (const Case& c : cases) {
    if (c.ok) {
      const Checkpoint cp = parse_checkpoint_text(c.text);
      EXPECT_EQ(cp.size, c.size);
      EXPECT_EQ(cp.root, TreeHash{});
    } else {
      EXPECT_EQ(error_of([&] { parse_checkpoint_text(c.text); }), NoteErrorKind::kBadCheckpoint)
          << c.text.substr(0, 60);
    }
  }
  EXPECT_EQ(parse_checkpoint_text("o\n7\n" + root + "\next one\next two\n").extensions,
            (std::vector<std::string>{"ext one", "ext two"}));
  Checkpoint with_extension{"o", 1, TreeHash{}, {"x"}};
  EXPECT_EQ(error_of([&] { format_checkpoint_text(with_extension); }), NoteErrorKind::kBadCheckpoint);
}

}  // namespace
}  // namespace velm::verify
