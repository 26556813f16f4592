// The Merkle tree of a log against published values and against a slow reference written here
// from RFC 6962's recursive definitions of MTH, PATH and PROOF (section 2.1).
#include <gtest/gtest.h>
#include <sodium.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "verifier/tlog/merkle.h"

namespace velm::verify {
namespace {

using Hashes = std::vector<TreeHash>;

TreeHash sha256(const std::string& bytes) {
  TreeHash out;
  crypto_hash_sha256(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return out;
}

std::string bytes_of(const TreeHash& h) { return std::string(h.begin(), h.end()); }

TreeHash from_hex(const std::string& hex) {
  TreeHash out{};
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return out;
}

std::string from_hex_text(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// RFC 6962 2.1, literally: D is a list of entries, k the largest power of two below n.
struct Reference {
  std::vector<std::string> d;

  static std::uint64_t k_of(std::uint64_t n) {
    std::uint64_t k = 1;
    while (k * 2 < n) k *= 2;
    return k;
  }
  TreeHash mth(std::uint64_t lo, std::uint64_t hi) const {
    const std::uint64_t n = hi - lo;
    if (n == 0) return sha256("");
    if (n == 1) return sha256(std::string(1, '\0') + d[lo]);
    const std::uint64_t k = k_of(n);
    return sha256(std::string(1, '\1') + bytes_of(mth(lo, lo + k)) + bytes_of(mth(lo + k, hi)));
  }
  Hashes path(std::uint64_t m, std::uint64_t lo, std::uint64_t hi) const {
    const std::uint64_t n = hi - lo;
    if (n == 1) return {};
    const std::uint64_t k = k_of(n);
    Hashes out;
    if (m < k) {
      out = path(m, lo, lo + k);
      out.push_back(mth(lo + k, hi));
    } else {
      out = path(m - k, lo + k, hi);
      out.push_back(mth(lo, lo + k));
    }
    return out;
  }
  Hashes subproof(std::uint64_t m, std::uint64_t lo, std::uint64_t hi, bool b) const {
    const std::uint64_t n = hi - lo;
    if (m == n) return b ? Hashes{} : Hashes{mth(lo, hi)};
    const std::uint64_t k = k_of(n);
    Hashes out;
    if (m <= k) {
      out = subproof(m, lo, lo + k, b);
      out.push_back(mth(lo + k, hi));
    } else {
      out = subproof(m - k, lo + k, hi, false);
      out.push_back(mth(lo, lo + k));
    }
    return out;
  }
};

// Entries of varied lengths, the first one empty.
Reference reference_of(std::size_t n) {
  Reference ref;
  for (std::size_t i = 0; i < n; ++i)
    ref.d.push_back(i == 0 ? std::string() : std::string(i % 9, static_cast<char>('a' + i % 26)) + std::to_string(i));
  return ref;
}

Hashes proof_from_stream(ProofBuilder builder, const Reference& ref, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_FALSE(builder.complete());
    builder.add_leaf_hash(leaf_hash(ref.d[i]));
  }
  return builder.proof();
}

// The reference tree of Certificate Transparency, as published with the test vectors of
// github.com/transparency-dev/merkle (proof/verify_test.go): eight entries, the roots of their
// first 0..8, and proofs between them.
const std::vector<std::string> kCtEntries = {
    "", "00", "10", "2021", "3031", "40414243", "5051525354555657", "606162636465666768696a6b6c6d6e6f"};
const std::vector<std::string> kCtRoots = {
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
    "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
    "fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125",
    "aeb6bcfe274b70a14fb067a5e5578264db0fa9b51af5e0ba159158f329e06e77",
    "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7",
    "4e3bbb1f7b478dcfe71fb631631519a3bca12c9aefca1612bfce4c13a86264d4",
    "76e67dadbcdf1e10e1b74ddc608abd2f98dfb16fbce75277b5232a127f2087ef",
    "ddb89be403809e325750d3d263cd78929c2942b7942a34b77e122c9594a74c8c",
    "5dc9da79a70659a9ad559cb701ded9a2ab9d823aad2f4960cfe370eff4604328",
};

struct PublishedProof {
  bool inclusion;
  std::uint64_t a;  // 0-based leaf index, or the old size
  std::uint64_t size;
  std::vector<std::string> proof;
};
const std::vector<PublishedProof> kCtProofs = {
    {true,
     0,
     8,
     {"96a296d224f285c67bee93c30f8a309157f0daa35dc5b87e410b78630a09cfc7",
      "5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
      "6b47aaf29ee3c2af9af889bc1fb9254dabd31177f16232dd6aab035ca39bf6e4"}},
    {true,
     5,
     8,
     {"bc1a0643b12e4d2d7c77918f44e0f4f79a838b6cf9ec5b5c283e1f4d88599e6b",
      "ca854ea128ed050b41b35ffc1b87b8eb2bde461e9e3b5596ece6b9d5975a0ae0",
      "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7"}},
    {true, 2, 3, {"fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125"}},
    {true,
     1,
     5,
     {"6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
      "5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
      "bc1a0643b12e4d2d7c77918f44e0f4f79a838b6cf9ec5b5c283e1f4d88599e6b"}},
    {false,
     1,
     8,
     {"96a296d224f285c67bee93c30f8a309157f0daa35dc5b87e410b78630a09cfc7",
      "5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
      "6b47aaf29ee3c2af9af889bc1fb9254dabd31177f16232dd6aab035ca39bf6e4"}},
    {false,
     6,
     8,
     {"0ebc5d3437fbe2db158b9f126a1d118e308181031d0a949f8dededebc558ef6a",
      "ca854ea128ed050b41b35ffc1b87b8eb2bde461e9e3b5596ece6b9d5975a0ae0",
      "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7"}},
    {false,
     2,
     5,
     {"5f083f0a1a33ca076a95279832580db3e0ef4584bdff1f54c8a360f50de3031e",
      "bc1a0643b12e4d2d7c77918f44e0f4f79a838b6cf9ec5b5c283e1f4d88599e6b"}},
    {false,
     6,
     7,
     {"0ebc5d3437fbe2db158b9f126a1d118e308181031d0a949f8dededebc558ef6a",
      "b08693ec2e721597130641e8211e7eedccb4c26413963eee6c1e2ed16ffb1a5f",
      "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7"}},
};

TEST(MerkleTree, PublishedRootsAndProofs) {
  TreeBuilder builder;
  EXPECT_EQ(builder.root(), from_hex(kCtRoots[0]));
  for (std::size_t n = 1; n <= kCtEntries.size(); ++n) {
    builder.add_entry(from_hex_text(kCtEntries[n - 1]));
    EXPECT_EQ(builder.root(), from_hex(kCtRoots[n])) << "size " << n;
  }
  for (const PublishedProof& p : kCtProofs) {
    SCOPED_TRACE(std::string(p.inclusion ? "inclusion " : "consistency ") + std::to_string(p.a) + " " +
                 std::to_string(p.size));
    Hashes expected;
    for (const std::string& h : p.proof) expected.push_back(from_hex(h));
    ProofBuilder proof = p.inclusion ? ProofBuilder::inclusion(p.a, p.size) : ProofBuilder::consistency(p.a, p.size);
    for (std::size_t i = 0; i < kCtEntries.size(); ++i) proof.add_leaf_hash(leaf_hash(from_hex_text(kCtEntries[i])));
    EXPECT_EQ(proof.proof(), expected);
    const TreeHash root = from_hex(kCtRoots[p.size]);
    if (p.inclusion) {
      EXPECT_TRUE(verify_inclusion(p.a, p.size, leaf_hash(from_hex_text(kCtEntries[p.a])), expected, root));
    } else {
      EXPECT_TRUE(verify_consistency(p.a, p.size, from_hex(kCtRoots[p.a]), root, expected));
    }
  }
}

// Every size 1..70, every leaf and every older size: streaming roots and generated proofs equal
// the reference, and the RFC 9162 checks accept them.
TEST(MerkleTree, EveryShapeMatchesTheReference) {
  constexpr std::size_t kMax = 70;
  const Reference ref = reference_of(kMax);
  TreeBuilder builder;
  for (std::size_t n = 1; n <= kMax; ++n) {
    builder.add_entry(ref.d[n - 1]);
    const TreeHash root = ref.mth(0, n);
    ASSERT_EQ(builder.size(), n);
    ASSERT_EQ(builder.root(), root) << "size " << n;
    ASSERT_EQ(builder.subtrees().size(), static_cast<std::size_t>(std::popcount(n)));
    for (std::size_t m = 0; m < n; ++m) {
      const Hashes path = ref.path(m, 0, n);
      ASSERT_EQ(proof_from_stream(ProofBuilder::inclusion(m, n), ref, n), path) << "leaf " << m << " of " << n;
      ASSERT_TRUE(verify_inclusion(m, n, leaf_hash(ref.d[m]), path, root)) << "leaf " << m << " of " << n;
    }
    for (std::size_t m = 0; m <= n; ++m) {
      const Hashes proof = (m == 0 || m == n) ? Hashes{} : ref.subproof(m, 0, n, true);
      ASSERT_EQ(proof_from_stream(ProofBuilder::consistency(m, n), ref, n), proof) << m << " to " << n;
      ASSERT_TRUE(verify_consistency(m, n, ref.mth(0, m), root, proof)) << m << " to " << n;
    }
  }
}

// Any change to a proof, its leaf, index, sizes or roots is refused.
TEST(MerkleTree, AlteredProofsAreRefused) {
  constexpr std::size_t kMax = 40;
  const Reference ref = reference_of(kMax);
  const TreeHash other = sha256("other");
  for (std::size_t n = 1; n <= kMax; ++n) {
    const TreeHash root = ref.mth(0, n);
    for (std::size_t m = 0; m < n; ++m) {
      const TreeHash leaf = leaf_hash(ref.d[m]);
      const Hashes path = ref.path(m, 0, n);
      std::vector<Hashes> altered;
      for (std::size_t i = 0; i < path.size(); ++i) {
        altered.push_back(path);
        altered.back()[i][i % 32] ^= 0x08;
      }
      if (!path.empty()) altered.emplace_back(path.begin(), path.end() - 1);
      altered.push_back(path);
      altered.back().push_back(root);
      altered.push_back(path);
      altered.back().insert(altered.back().begin(), leaf);
      for (const Hashes& bad : altered) EXPECT_FALSE(verify_inclusion(m, n, leaf, bad, root)) << m << " of " << n;
      EXPECT_FALSE(verify_inclusion(m, n, other, path, root));
      EXPECT_FALSE(verify_inclusion(m, n, leaf, path, other));
      EXPECT_FALSE(verify_inclusion(n, n, leaf, path, root));
      EXPECT_FALSE(verify_inclusion(m ^ 1, n, leaf, path, root)) << m << " of " << n;
      EXPECT_FALSE(verify_inclusion(m, 2 * n, leaf, path, root)) << m << " of " << n;
    }
    for (std::size_t m = 1; m < n; ++m) {
      const TreeHash old_root = ref.mth(0, m);
      const Hashes proof = ref.subproof(m, 0, n, true);
      std::vector<Hashes> altered{{}};
      for (std::size_t i = 0; i < proof.size(); ++i) {
        altered.push_back(proof);
        altered.back()[i][(i + 5) % 32] ^= 0x10;
      }
      altered.emplace_back(proof.begin(), proof.end() - 1);
      altered.push_back(proof);
      altered.back().push_back(root);
      altered.push_back(proof);
      altered.back().insert(altered.back().begin(), proof[0]);
      for (const Hashes& bad : altered) EXPECT_FALSE(verify_consistency(m, n, old_root, root, bad)) << m << " to " << n;
      EXPECT_FALSE(verify_consistency(m, n, other, root, proof)) << m << " to " << n;
      EXPECT_FALSE(verify_consistency(m, n, old_root, other, proof)) << m << " to " << n;
      EXPECT_FALSE(verify_consistency(m, n, root, old_root, proof)) << m << " to " << n;
      EXPECT_FALSE(verify_consistency(n, m, root, old_root, proof)) << m << " to " << n;
    }
  }
}

TEST(MerkleTree, ConsistencyAtTheEdges) {
  const TreeHash empty = sha256("");
  const TreeHash one = sha256(std::string(1, '\0') + "x");
  const TreeHash other = sha256("other");
  struct Case {
    std::uint64_t old_size, new_size;
    TreeHash old_root, new_root;
    Hashes proof;
    bool ok;
  };
  const std::vector<Case> cases = {
      {0, 0, empty, empty, {}, true},       {0, 5, empty, other, {}, true}, {0, 5, other, other, {}, false},
      {0, 5, empty, other, {empty}, false}, {3, 3, one, one, {}, true},     {3, 3, one, other, {}, false},
      {3, 3, one, one, {one}, false},       {1, 2, one, other, {}, false},  {2, 1, one, other, {}, false},
      {2, 1, one, one, {}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(verify_consistency(c.old_size, c.new_size, c.old_root, c.new_root, c.proof), c.ok)
        << c.old_size << " to " << c.new_size;
  }
}

// Stored roots of runs of 4 leaves rebuild the root with the compact range of the rest, and a
// changed line changes the root of its own run only.
TEST(MerkleTree, ChunkRootsLocaliseAndRebuildTheRoot) {
  constexpr unsigned kHeight = 2;
  constexpr std::size_t kMax = 70;
  Reference ref = reference_of(kMax);
  TreeBuilder builder(kHeight);
  for (std::size_t n = 1; n <= kMax; ++n) {
    builder.add_entry(ref.d[n - 1]);
    const std::size_t full = n / 4;
    ASSERT_EQ(builder.chunk_roots().size(), full);
    for (std::size_t k = 0; k < full; ++k) ASSERT_EQ(builder.chunk_roots()[k], ref.mth(4 * k, 4 * k + 4));
    TreeBuilder tail;
    for (std::size_t i = 4 * full; i < n; ++i) tail.add_entry(ref.d[i]);
    EXPECT_EQ(root_from_chunks(n, kHeight, builder.chunk_roots(), tail.subtrees()), ref.mth(0, n)) << n;
    EXPECT_THROW(root_from_chunks(n + 4, kHeight, builder.chunk_roots(), tail.subtrees()), std::invalid_argument);
  }
  ref.d[37] += "!";
  TreeBuilder changed(kHeight);
  for (const std::string& entry : ref.d) changed.add_entry(entry);
  for (std::size_t k = 0; k < kMax / 4; ++k)
    EXPECT_EQ(changed.chunk_roots()[k] != builder.chunk_roots()[k], k == 37 / 4) << k;
}

TEST(MerkleTree, MisuseIsRefused) {
  TreeBuilder builder;
  builder.add_leaf_hash(TreeHash{});
  EXPECT_THROW(builder.add_subtree(TreeHash{}, 1), std::invalid_argument);
  EXPECT_THROW(builder.add_subtree(TreeHash{}, 64), std::invalid_argument);
  TreeBuilder full;
  full.add_subtree(TreeHash{}, 63);
  full.add_subtree(TreeHash{}, 62);
  EXPECT_THROW(full.add_subtree(TreeHash{}, 62), std::invalid_argument);
  EXPECT_THROW(ProofBuilder::inclusion(3, 3), std::invalid_argument);
  EXPECT_THROW(ProofBuilder::consistency(4, 3), std::invalid_argument);
  ProofBuilder proof = ProofBuilder::inclusion(0, 2);
  proof.add_leaf_hash(TreeHash{});
  EXPECT_THROW(proof.proof(), std::logic_error);
  EXPECT_FALSE(verify_inclusion(0, 0, TreeHash{}, {}, TreeHash{}));
}

}  // namespace
}  // namespace velm::verify
