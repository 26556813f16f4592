// The RFC 6962 Merkle tree over a log's lines, with SHA-256: the tree a checkpoint commits to.
//
// An entry is one log line without its line feed. Leaf hash = SHA-256(0x00 || entry), node
// hash = SHA-256(0x01 || left || right), and the root of n leaves splits them at the largest
// power of two below n. Every piece here works on a stream of leaves read once, in order, with
// memory logarithmic in the tree size, so a verifier can hash a log while it checks it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velm::verify {

inline constexpr std::size_t kTreeHashBytes = 32;
using TreeHash = std::array<std::uint8_t, kTreeHashBytes>;

TreeHash leaf_hash(std::string_view entry) noexcept;
TreeHash node_hash(const TreeHash& left, const TreeHash& right) noexcept;
// The root of the empty tree: SHA-256 of nothing.
const TreeHash& empty_tree_root() noexcept;

// One perfect subtree of a compact range: 2^height leaves.
struct Subtree {
  TreeHash hash{};
  unsigned height = 0;
};

// Builds the tree leaf by leaf. Keeps one perfect subtree per set bit of the size (at most 64),
// so the root of the first n leaves is available at any point for the cost of a few node hashes.
//
// With a chunk height L, it also keeps the root of every complete run of 2^L leaves (lines
// 2^L*k+1 .. 2^L*(k+1)). Kept beside a checkpoint, these let a verifier that finds a different
// root say which runs of lines differ: the first differing run is where the log was first
// changed (an insertion or removal shifts every later run too). Such a list proves nothing by
// itself; it is trusted only once `root_from_chunks` turns it into the signed root.
class TreeBuilder {
 public:
  static constexpr unsigned kNoChunks = 64;
  explicit TreeBuilder(unsigned chunk_height = kNoChunks) noexcept : chunk_height_(chunk_height) {}

  void add_entry(std::string_view entry) { add_leaf_hash(leaf_hash(entry)); }
  void add_leaf_hash(const TreeHash& leaf) { add_subtree(leaf, 0); }
  // Appends a perfect subtree of 2^height leaves. The size must be a multiple of 2^height
  // (throws std::invalid_argument otherwise, or if the size would pass 2^64 - 1).
  void add_subtree(const TreeHash& hash, unsigned height);

  std::uint64_t size() const noexcept { return size_; }
  // The root of every leaf added so far (empty_tree_root() for none).
  TreeHash root() const noexcept;
  // The compact range [0, size): the perfect subtrees, largest (leftmost) first.
  const std::vector<Subtree>& subtrees() const noexcept { return stack_; }
  // The roots of the complete runs of 2^chunk_height leaves so far, in order (n / 2^L hashes:
  // 32 bytes per 1024 lines at L = 10). Kept only for leaves and subtrees no taller than a run.
  const std::vector<TreeHash>& chunk_roots() const noexcept { return chunks_; }

 private:
  std::vector<Subtree> stack_;
  std::vector<TreeHash> chunks_;
  std::uint64_t size_ = 0;
  unsigned chunk_height_;
};

// The root of a tree of `size` leaves from its complete runs of 2^chunk_height leaves and the
// compact range of the remaining size mod 2^chunk_height leaves (largest first), as a verifier
// rebuilds it from stored chunk roots. Throws std::invalid_argument when the pieces do not
// add up to `size`.
TreeHash root_from_chunks(std::uint64_t size, unsigned chunk_height, std::span<const TreeHash> chunks,
                          std::span<const Subtree> tail);

// Generates an RFC 6962 proof from the leaf hashes of a tree fed in order. Each proof element is
// the root of a run of leaves, and the runs are disjoint, so one builder suffices at a time:
// memory stays logarithmic in the tree size whatever the number of leaves.
class ProofBuilder {
 public:
  // PATH(index, D[size]): the inclusion proof of leaf `index` (0-based) in a tree of `size`
  // leaves. Throws std::invalid_argument unless index < size.
  static ProofBuilder inclusion(std::uint64_t index, std::uint64_t size);
  // PROOF(old_size, D[new_size]): the consistency proof between the trees of the first
  // `old_size` and of all `new_size` leaves; empty when old_size is 0 or equals new_size.
  // Throws std::invalid_argument if old_size > new_size.
  static ProofBuilder consistency(std::uint64_t old_size, std::uint64_t new_size);

  // Feeds the next leaf (leaf number `leaves_seen()`); leaves past the tree size are ignored.
  void add_leaf_hash(const TreeHash& leaf);
  std::uint64_t leaves_seen() const noexcept { return seen_; }
  // True once every leaf of the tree has been fed.
  bool complete() const noexcept { return seen_ >= tree_size_; }
  // The proof, in RFC 6962 order (nearest the leaf first). Throws std::logic_error before
  // complete().
  std::vector<TreeHash> proof() const;

 private:
  struct Run {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    std::size_t slot = 0;  // its place in the proof
  };
  ProofBuilder() = default;
  void start_run();

  std::vector<Run> runs_;  // by begin
  std::vector<TreeHash> proof_;
  std::size_t next_run_ = 0;
  TreeBuilder current_;
  std::uint64_t seen_ = 0;
  std::uint64_t tree_size_ = 0;
};

// RFC 9162 section 2.1.3.2: whether `proof` proves leaf `index` with hash `leaf` in the tree of
// `size` leaves whose root is `root`.
bool verify_inclusion(std::uint64_t index, std::uint64_t size, const TreeHash& leaf, std::span<const TreeHash> proof,
                      const TreeHash& root) noexcept;

// RFC 9162 section 2.1.4.2: whether `proof` shows the tree of `new_size` leaves with root
// `new_root` extends the tree of `old_size` leaves with root `old_root`. Equal sizes need an
// empty proof and equal roots; old size 0 needs an empty proof and the empty tree's root.
bool verify_consistency(std::uint64_t old_size, std::uint64_t new_size, const TreeHash& old_root,
                        const TreeHash& new_root, std::span<const TreeHash> proof) noexcept;

}  // namespace velm::verify
