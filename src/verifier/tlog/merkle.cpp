#include "verifier/tlog/merkle.h"

#include <sodium.h>

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace velm::verify {

namespace {

// The largest power of two strictly below n, for n >= 2: where RFC 6962 splits n leaves.
std::uint64_t split_point(std::uint64_t n) noexcept { return std::bit_floor(n - 1); }

// One step up both an inclusion and a consistency path: drop the lowest bit of both positions.
void shift(std::uint64_t& fn, std::uint64_t& sn) noexcept {
  fn >>= 1;
  sn >>= 1;
}

}  // namespace

TreeHash leaf_hash(std::string_view entry) noexcept {
  static constexpr unsigned char kLeafPrefix = 0x00;
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  crypto_hash_sha256_update(&state, &kLeafPrefix, 1);
  crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(entry.data()), entry.size());
  TreeHash out;
  crypto_hash_sha256_final(&state, out.data());
  return out;
}

TreeHash node_hash(const TreeHash& left, const TreeHash& right) noexcept {
  unsigned char buffer[1 + 2 * kTreeHashBytes];
  buffer[0] = 0x01;
  std::copy(left.begin(), left.end(), buffer + 1);
  std::copy(right.begin(), right.end(), buffer + 1 + kTreeHashBytes);
  TreeHash out;
  crypto_hash_sha256(out.data(), buffer, sizeof buffer);
  return out;
}

const TreeHash& empty_tree_root() noexcept {
  static const TreeHash root = [] {
    TreeHash out;
    crypto_hash_sha256(out.data(), nullptr, 0);
    return out;
  }();
  return root;
}

void TreeBuilder::add_subtree(const TreeHash& hash, unsigned height) {
  if (height >= 64) throw std::invalid_argument("subtree height out of range");
  const std::uint64_t leaves = std::uint64_t{1} << height;
  if (size_ % leaves != 0) throw std::invalid_argument("subtree not aligned to the tree size");
  if (size_ > UINT64_MAX - leaves) throw std::invalid_argument("tree size past 2^64 - 1");
  size_ += leaves;
  // Every subtree already kept is at least as tall (the size is a multiple of 2^height), so
  // equal heights at the top merge into their parent, as in binary addition.
  stack_.push_back(Subtree{hash, height});
  if (height == chunk_height_) chunks_.push_back(hash);
  while (stack_.size() >= 2 && stack_[stack_.size() - 2].height == stack_.back().height) {
    const Subtree right = stack_.back();
    stack_.pop_back();
    Subtree& left = stack_.back();
    left.hash = node_hash(left.hash, right.hash);
    ++left.height;
    if (left.height == chunk_height_) chunks_.push_back(left.hash);
  }
}

TreeHash TreeBuilder::root() const noexcept {
  if (stack_.empty()) return empty_tree_root();
  // The largest subtree is the left child of the root; the rest of the leaves form its right
  // child, recursively.
  TreeHash root = stack_.back().hash;
  for (std::size_t i = stack_.size() - 1; i-- > 0;) root = node_hash(stack_[i].hash, root);
  return root;
}

TreeHash root_from_chunks(std::uint64_t size, unsigned chunk_height, std::span<const TreeHash> chunks,
                          std::span<const Subtree> tail) {
  TreeBuilder builder;
  for (const TreeHash& chunk : chunks) builder.add_subtree(chunk, chunk_height);
  for (const Subtree& subtree : tail) builder.add_subtree(subtree.hash, subtree.height);
  if (builder.size() != size) throw std::invalid_argument("chunks and tail do not cover the tree size");
  return builder.root();
}

ProofBuilder ProofBuilder::inclusion(std::uint64_t index, std::uint64_t size) {
  if (index >= size) throw std::invalid_argument("leaf index not below the tree size");
  ProofBuilder out;
  out.tree_size_ = size;
  // Walk down from the root to the leaf; each step's sibling is one proof element, the top one
  // last.
  std::uint64_t lo = 0;
  std::uint64_t hi = size;
  while (hi - lo > 1) {
    const std::uint64_t mid = lo + split_point(hi - lo);
    if (index < mid) {
      out.runs_.push_back(Run{mid, hi, 0});
      hi = mid;
    } else {
      out.runs_.push_back(Run{lo, mid, 0});
      lo = mid;
    }
  }
  for (std::size_t i = 0; i < out.runs_.size(); ++i) out.runs_[i].slot = out.runs_.size() - 1 - i;
  out.start_run();
  return out;
}

ProofBuilder ProofBuilder::consistency(std::uint64_t old_size, std::uint64_t new_size) {
  if (old_size > new_size) throw std::invalid_argument("old tree larger than the new one");
  ProofBuilder out;
  out.tree_size_ = new_size;
  if (old_size == 0 || old_size == new_size) return out;
  // SUBPROOF(m, D[lo:hi], b), unrolled: the recursion goes down one side per step, and each step
  // appends one element after the deeper ones.
  std::uint64_t m = old_size;
  std::uint64_t lo = 0;
  std::uint64_t hi = new_size;
  bool whole_old_tree = true;  // the subtree holds the whole old tree, whose root the verifier has
  for (;;) {
    if (m == hi - lo) {
      if (!whole_old_tree) out.runs_.push_back(Run{lo, hi, 0});
      break;
    }
    const std::uint64_t k = split_point(hi - lo);
    if (m <= k) {
      out.runs_.push_back(Run{lo + k, hi, 0});
      hi = lo + k;
    } else {
      out.runs_.push_back(Run{lo, lo + k, 0});
      m -= k;
      lo += k;
      whole_old_tree = false;
    }
  }
  for (std::size_t i = 0; i < out.runs_.size(); ++i) out.runs_[i].slot = out.runs_.size() - 1 - i;
  out.start_run();
  return out;
}

void ProofBuilder::start_run() {
  proof_.assign(runs_.size(), TreeHash{});
  std::sort(runs_.begin(), runs_.end(), [](const Run& a, const Run& b) { return a.begin < b.begin; });
}

void ProofBuilder::add_leaf_hash(const TreeHash& leaf) {
  const std::uint64_t i = seen_++;
  if (i >= tree_size_ || next_run_ == runs_.size() || i < runs_[next_run_].begin) return;
  current_.add_leaf_hash(leaf);
  if (i + 1 == runs_[next_run_].end) {
    proof_[runs_[next_run_].slot] = current_.root();
    current_ = TreeBuilder{};
    ++next_run_;
  }
}

std::vector<TreeHash> ProofBuilder::proof() const {
  if (!complete()) throw std::logic_error("proof asked for before every leaf of the tree was fed");
  return proof_;
}

bool verify_inclusion(std::uint64_t index, std::uint64_t size, const TreeHash& leaf, std::span<const TreeHash> proof,
                      const TreeHash& root) noexcept {
  if (index >= size) return false;
  std::uint64_t fn = index;
  std::uint64_t sn = size - 1;
  TreeHash r = leaf;
  for (const TreeHash& p : proof) {
    if (sn == 0) return false;  // more elements than the path has levels
    if ((fn & 1) != 0 || fn == sn) {
      r = node_hash(p, r);
      // A last node with no right sibling rises without hashing.
      while ((fn & 1) == 0 && fn != 0) shift(fn, sn);
    } else {
      r = node_hash(r, p);
    }
    shift(fn, sn);
  }
  return sn == 0 && r == root;
}

bool verify_consistency(std::uint64_t old_size, std::uint64_t new_size, const TreeHash& old_root,
                        const TreeHash& new_root, std::span<const TreeHash> proof) noexcept {
  if (old_size > new_size) return false;
  if (old_size == new_size) return proof.empty() && old_root == new_root;
  if (old_size == 0) return proof.empty() && old_root == empty_tree_root();
  if (proof.empty()) return false;
  // A power-of-two old tree is a complete subtree of the new one: its root starts the path.
  const bool old_is_subtree = std::has_single_bit(old_size);
  std::uint64_t fn = old_size - 1;
  std::uint64_t sn = new_size - 1;
  while ((fn & 1) != 0) shift(fn, sn);
  TreeHash fr = old_is_subtree ? old_root : proof[0];
  TreeHash sr = fr;
  for (std::size_t i = old_is_subtree ? 0 : 1; i < proof.size(); ++i) {
    const TreeHash& c = proof[i];
    if (sn == 0) return false;
    if ((fn & 1) != 0 || fn == sn) {
      fr = node_hash(c, fr);
      sr = node_hash(c, sr);
      while ((fn & 1) == 0 && fn != 0) shift(fn, sn);
    } else {
      sr = node_hash(sr, c);
    }
    shift(fn, sn);
  }
  return sn == 0 && fr == old_root && sr == new_root;
}

}  // namespace velm::verify
