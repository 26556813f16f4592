// Hostile signed notes, checkpoints, verifier keys and Merkle proofs: never a crash, and what is
// accepted is canonical (a checkpoint reads back to the same text; a proof that verifies is the
// one the tree gives).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "verifier/tlog/merkle.h"
#include "verifier/tlog/note.h"

namespace {

using namespace velm::verify;

const std::vector<NoteVerifierKey>& keys() {
  static const std::vector<NoteVerifierKey> out = [] {
    velm::SecretSeed seed;
    std::memset(seed.data(), 7, seed.size());
    const velm::SigningKey key = velm::signing_key_from_seed(std::move(seed));
    return std::vector<NoteVerifierKey>{make_verifier_key("witness.example/log", key.public_key())};
  }();
  return out;
}

constexpr std::uint64_t kLeaves = 37;

const std::vector<TreeHash>& leaves() {
  static const std::vector<TreeHash> out = [] {
    std::vector<TreeHash> v;
    for (std::uint64_t i = 0; i < kLeaves; ++i) v.push_back(leaf_hash(std::to_string(i)));
    return v;
  }();
  return out;
}

TreeHash root_of(std::uint64_t size) {
  TreeBuilder builder;
  for (std::uint64_t i = 0; i < size; ++i) builder.add_leaf_hash(leaves()[i]);
  return builder.root();
}

void check_note(std::string_view text) {
  try {
    const VerifiedCheckpoint cp = open_checkpoint(text, keys());
    if (cp.checkpoint.extensions.empty() &&
        text.substr(0, format_checkpoint_text(cp.checkpoint).size()) != format_checkpoint_text(cp.checkpoint)) {
      std::abort();  // two texts for one checkpoint
    }
  } catch (const NoteError&) {
  }
  try {
    (void)parse_checkpoint_text(text);
  } catch (const NoteError&) {
  }
}

void check_key(std::string_view text) {
  try {
    const NoteVerifierKey key = parse_verifier_key(text);
    // One text per key, but for the case of the key ID's hex digits.
    std::string lowered(text);
    for (std::size_t i = key.name.size() + 1; i < key.name.size() + 9; ++i) {
      if (lowered[i] >= 'A' && lowered[i] <= 'F') lowered[i] = static_cast<char>(lowered[i] - 'A' + 'a');
    }
    if (format_verifier_key(key) != lowered) std::abort();
  } catch (const NoteError&) {
  }
}

void check_proof(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const std::uint64_t index = data[0] % (kLeaves + 3);
  const std::uint64_t tree = data[1] % (kLeaves + 3);
  std::vector<TreeHash> proof((size - 2) / kTreeHashBytes);
  for (std::size_t i = 0; i < proof.size(); ++i)
    std::memcpy(proof[i].data(), data + 2 + i * kTreeHashBytes, kTreeHashBytes);
  const std::uint64_t bounded = tree > kLeaves ? kLeaves : tree;
  const TreeHash leaf = index < kLeaves ? leaves()[index] : TreeHash{};
  const TreeHash root = root_of(bounded);
  if (verify_inclusion(index, tree, leaf, proof, root)) {
    if (tree > kLeaves) std::abort();
    ProofBuilder expected = ProofBuilder::inclusion(index, tree);
    for (std::uint64_t i = 0; i < tree; ++i) expected.add_leaf_hash(leaves()[i]);
    if (expected.proof() != proof) std::abort();
  }
  if (verify_consistency(index, bounded, root_of(index > kLeaves ? kLeaves : index), root, proof)) {
    if (index > bounded) std::abort();
    ProofBuilder expected = ProofBuilder::consistency(index, bounded);
    for (std::uint64_t i = 0; i < bounded; ++i) expected.add_leaf_hash(leaves()[i]);
    if (expected.proof() != proof) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0:
      check_note(text);
      break;
    case 1:
      check_key(text);
      break;
    default:
      check_proof(data + 1, size - 1);
      break;
  }
  return 0;
}
