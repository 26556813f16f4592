// Hostile proof bundles: check_proof never throws or crashes, whatever the text. The input is
// checked as a bundle of its own, and also written over a valid bundle (of a record signed with a
// fixed key, in a tree of five lines under a checkpoint signed by a fixed witness), so that the
// checks past the JSON (signature, inclusion, record) are reached as well. A bundle that still
// verifies must hold that very record, line and tree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/clock.h"
#include "encoding/hex.h"
#include "engine/engine.h"
#include "records/record_json.h"
#include "verifier/run/proof_bundle.h"

namespace {

using namespace velm::verify;

velm::SigningKey fixed_key(std::uint8_t fill) {
  velm::SecretSeed seed;
  std::memset(seed.data(), fill, seed.size());
  return velm::signing_key_from_seed(std::move(seed));
}

struct Fixture {
  velm::SigningKey engine = fixed_key(3);
  std::vector<NoteVerifierKey> witnesses;
  std::string record;
  std::string bundle;

  Fixture() {
    const velm::SigningKey witness = fixed_key(7);
    witnesses.push_back(make_verifier_key("witness.example/log", witness.public_key()));
    const velm::PPPTripletData ppp{"model", "place", "purpose"};
    const velm::HumanDeltaChainData review{"chain", "decision", false, "desk"};
    velm::SealedRecordData r;
    r.prompt = "Raise the limit?";
    r.output = "Yes.";
    velm::Scorer scorer;
    const velm::Evaluation e = scorer.evaluate(r.prompt.size(), r.output.size(), true);
    r.coherence_score = e.coherence;
    r.reputation_scalar = e.reputation;
    if (e.insight) r.core_insight_json = velm::core_insight_json(*e.insight);
    const velm::Digest digest = velm::content_digest(ppp, r.prompt, r.coherence_score, r.reputation_scalar);
    const velm::Signature sig = velm::sign_message(engine, digest.data(), digest.size());
    std::copy(sig.begin(), sig.end(), r.signature.begin());
    r.hash = velm::hex_lower(digest);
    r.merkle_root = velm::hex_lower(velm::next_chain_root(velm::genesis_root(), digest));
    r.id = "qor_0b7e2a4c-1d2e-4f3a-9b8c-7d6e5f4a3b2c";
    r.timestamp = velm::rfc3339_text(1765000000, 0);
    r.monotonic_nanos = 40;
    r.ppp_json = velm::ppp_json(ppp);
    r.ctx_json = "{}";
    r.reasoning_trace_json = "[]";
    r.human_delta_chain_json = velm::human_delta_chain_json(review);
    velm::JsonWriter writer;
    velm::write_record_json(writer, r);
    record = std::string(writer.text());
    TreeBuilder tree;
    ProofBuilder proof = ProofBuilder::inclusion(2, 5);
    for (int i = 0; i < 5; ++i) {
      const TreeHash leaf = leaf_hash(i == 2 ? record : std::to_string(i));
      tree.add_leaf_hash(leaf);
      proof.add_leaf_hash(leaf);
    }
    ProofBundle b{record, sign_checkpoint("witness.example/log", 5, tree.root(), witness), 2, 5, proof.proof()};
    bundle = bundle_json(b);
    if (!check_proof(bundle, witnesses, engine.public_key()).ok()) std::abort();  // the fixture itself
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

void check(std::string_view text) {
  const Fixture& f = fixture();
  const ProofCheck result = check_proof(text, f.witnesses, f.engine.public_key());
  if (result.ok() && (result.line != 3 || result.tree_size != 5 || parse_bundle(text).record != f.record)) {
    std::abort();  // something else than the one record passed for it
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check(input);
  if (size >= 2) {
    std::string bundle = fixture().bundle;
    const std::size_t at = (std::size_t{data[0]} << 8 | data[1]) % bundle.size();
    bundle.replace(at, std::min(size - 2, bundle.size() - at), input.substr(2));
    check(bundle);
  }
  return 0;
}
