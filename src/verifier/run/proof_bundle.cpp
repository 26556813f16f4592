#include "verifier/run/proof_bundle.h"

#include <simdjson.h>

#include <array>
#include <string>

#include "encoding/json_writer.h"
#include "verifier/base/escape.h"
#include "verifier/base/text.h"
#include "verifier/line/line_check.h"
#include "verifier/line/line_source.h"

namespace velm::verify {

namespace {

constexpr std::array<std::string_view, 6> kMembers = {"format",     "record",    "checkpoint",
                                                      "leaf_index", "tree_size", "inclusion_proof"};

}  // namespace

std::string bundle_json(const ProofBundle& bundle) {
  JsonWriter w;
  w.begin_object();
  w.key("format");
  w.uint64(kBundleFormat);
  w.key("record");
  w.string(bundle.record);
  w.key("checkpoint");
  w.string(bundle.checkpoint);
  w.key("leaf_index");
  w.uint64(bundle.leaf_index);
  w.key("tree_size");
  w.uint64(bundle.tree_size);
  w.key("inclusion_proof");
  w.begin_array();
  for (const TreeHash& h : bundle.inclusion_proof) w.string(base64_encode(h.data(), h.size()));
  w.end_array();
  w.end_object();
  w.line_feed();
  return w.take();
}

ProofBundle parse_bundle(std::string_view json) {
  if (json.size() > kMaxBundleBytes) throw BundleError("the bundle is larger than 64 MiB");
  simdjson::dom::parser parser;
  const simdjson::padded_string padded(json.data(), json.size());
  simdjson::dom::element root;
  if (const auto e = parser.parse(padded).get(root); e != simdjson::SUCCESS) {
    throw BundleError(std::string("the bundle is not JSON: ") + simdjson::error_message(e));
  }
  simdjson::dom::object object;
  if (root.get_object().get(object) != simdjson::SUCCESS) throw BundleError("the bundle is not a JSON object");
  ProofBundle out;
  std::array<bool, kMembers.size()> seen{};
  for (const auto field : object) {
    std::size_t slot = 0;
    while (slot < kMembers.size() && kMembers[slot] != field.key) ++slot;
    if (slot == kMembers.size()) throw BundleError("the bundle has a member it should not have");
    if (seen[slot]) throw BundleError("the bundle has \"" + std::string(kMembers[slot]) + "\" twice");
    seen[slot] = true;
    const simdjson::dom::element v = field.value;
    const auto whole = [&](std::uint64_t& target) {
      if (v.get_uint64().get(target) != simdjson::SUCCESS) {
        throw BundleError("\"" + std::string(kMembers[slot]) + "\" is not an integer from 0 to 2^64 - 1");
      }
    };
    const auto text = [&](std::string& target) {
      std::string_view s;
      if (v.get_string().get(s) != simdjson::SUCCESS)
        throw BundleError("\"" + std::string(kMembers[slot]) + "\" is not a string");
      target.assign(s);
    };
    switch (slot) {
      case 0: {
        std::uint64_t format = 0;
        whole(format);
        if (format != kBundleFormat) throw BundleError("the bundle's format is not 1");
        break;
      }
      case 1:
        text(out.record);
        break;
      case 2:
        text(out.checkpoint);
        break;
      case 3:
        whole(out.leaf_index);
        break;
      case 4:
        whole(out.tree_size);
        break;
      default: {
        simdjson::dom::array items;
        if (v.get_array().get(items) != simdjson::SUCCESS) throw BundleError("\"inclusion_proof\" is not an array");
        if (items.size() > kMaxProofHashes) throw BundleError("\"inclusion_proof\" has more than 64 hashes");
        for (const simdjson::dom::element item : items) {
          std::string_view s;
          TreeHash h{};
          if (item.get_string().get(s) != simdjson::SUCCESS || !base64_decode_exact(s, h.data(), h.size())) {
            throw BundleError("an \"inclusion_proof\" hash is not 32 bytes of canonical base64");
          }
          out.inclusion_proof.push_back(h);
        }
      }
    }
  }
  for (std::size_t slot = 0; slot < kMembers.size(); ++slot) {
    if (!seen[slot]) throw BundleError("the bundle has no \"" + std::string(kMembers[slot]) + "\"");
  }
  return out;
}

namespace {

// Hands each line of the pieces, in order, to `take(status, line)` until it returns false.
template <class Take>
void read_lines(const std::vector<LogPiece>& pieces, std::size_t max_line_bytes, Take&& take) {
  std::string text;
  std::uint64_t length = 0;
  for (const LogPiece& piece : pieces) {
    const std::unique_ptr<LineSource> source = piece.open(max_line_bytes);
    for (LineSource::Status status; (status = source->next(text, length)) != LineSource::Status::kEnd;) {
      if (!take(status, text)) return;
    }
  }
}

// The "id" member of a line that is a JSON object holding one as a string.
std::optional<std::string_view> record_id_of(simdjson::dom::parser& parser, const std::string& line) {
  simdjson::dom::element root;
  std::string_view id;
  if (parser.parse(line).get(root) != simdjson::SUCCESS || root["id"].get_string().get(id) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  return id;
}

}  // namespace

std::optional<std::uint64_t> find_record_line(const std::vector<LogPiece>& pieces, std::string_view record_id,
                                              std::uint64_t limit, std::size_t max_line_bytes) {
  simdjson::dom::parser parser;
  std::uint64_t line = 0;
  std::optional<std::uint64_t> found;
  read_lines(pieces, max_line_bytes, [&](LineSource::Status status, const std::string& text) {
    if (++line > limit) return false;
    // Only lines holding the id's bytes are parsed; an escaped id in a line is not looked for.
    if (status == LineSource::Status::kLine && text.find(record_id) != std::string::npos &&
        record_id_of(parser, text) == record_id) {
      found = line;
      return false;
    }
    return true;
  });
  return found;
}

ProofBundle prove(const std::vector<LogPiece>& pieces, std::uint64_t line, std::string_view checkpoint_note,
                  std::size_t max_line_bytes) {
  const Checkpoint checkpoint = parse_checkpoint_text(parse_note(checkpoint_note).text);
  const std::uint64_t size = checkpoint.size;
  if (line == 0 || line > size) {
    throw BundleError("line " + std::to_string(line) + " is not among the checkpoint's " +
                      count_text(size, "line", "lines"));
  }
  ProofBundle out;
  out.checkpoint = std::string(checkpoint_note);
  out.leaf_index = line - 1;
  out.tree_size = size;
  TreeBuilder tree;
  ProofBuilder proof = ProofBuilder::inclusion(line - 1, size);
  std::optional<LineSource::Status> stopped;
  if (size > 0) {
    read_lines(pieces, max_line_bytes, [&](LineSource::Status status, const std::string& text) {
      if (status != LineSource::Status::kLine) {
        stopped = status;
        return false;
      }
      const TreeHash leaf = leaf_hash(text);
      tree.add_leaf_hash(leaf);
      proof.add_leaf_hash(leaf);
      if (tree.size() == line) out.record = text;
      return tree.size() < size;
    });
  }
  if (stopped == LineSource::Status::kOversized) {
    throw BundleError("line " + std::to_string(tree.size() + 1) + " of the log is too long to read");
  }
  if (tree.size() < size) {
    throw BundleError("the log has only " + count_text(tree.size(), "complete line", "complete lines") +
                      ", fewer than the checkpoint's " + std::to_string(size));
  }
  if (tree.root() != checkpoint.root) {
    throw BundleError("the log's first " + count_text(size, "line does", "lines do") +
                      " not give the checkpoint's root: the log changed since it was signed, or the checkpoint is of "
                      "another log");
  }
  if (valid_utf8(out.record) != out.record) throw BundleError("line " + std::to_string(line) + " is not valid UTF-8");
  out.inclusion_proof = proof.proof();
  if (bundle_json(out).size() > kMaxBundleBytes) {
    throw BundleError("line " + std::to_string(line) + " is too long for a bundle of at most 64 MiB");
  }
  return out;
}

std::string_view proof_problem_name(ProofCheck::Problem problem) noexcept {
  switch (problem) {
    case ProofCheck::Problem::kNone:
      return "ok";
    case ProofCheck::Problem::kBundle:
      return "bundle";
    case ProofCheck::Problem::kCheckpoint:
      return "checkpoint signature";
    case ProofCheck::Problem::kInclusion:
      return "inclusion";
    case ProofCheck::Problem::kRecord:
      return "record";
  }
  return "unknown";
}

ProofCheck check_proof(std::string_view bundle_text, std::span<const NoteVerifierKey> witnesses,
                       const PublicKey& log_key) {
  using Problem = ProofCheck::Problem;
  ProofCheck out;
  const auto fail = [&](Problem problem, std::string detail) {
    out.problem = problem;
    out.detail = std::move(detail);
    return out;
  };
  ProofBundle bundle;
  try {
    bundle = parse_bundle(bundle_text);
  } catch (const BundleError& e) {
    return fail(Problem::kBundle, e.what());
  }
  out.line = bundle.leaf_index + 1;  // wraps to 0 for 2^64 - 1, which is beyond any tree anyway
  out.tree_size = bundle.tree_size;
  Checkpoint checkpoint;
  try {
    VerifiedCheckpoint opened = open_checkpoint(bundle.checkpoint, witnesses);
    checkpoint = std::move(opened.checkpoint);
    out.verified_by = std::move(opened.verified_by);
  } catch (const NoteError& e) {
    return fail(Problem::kCheckpoint, e.what());
  }
  out.origin = checkpoint.origin;
  if (bundle.tree_size != checkpoint.size) {
    return fail(Problem::kInclusion, "the bundle's tree size " + std::to_string(bundle.tree_size) +
                                         " is not the checkpoint's " + std::to_string(checkpoint.size));
  }
  if (bundle.leaf_index >= checkpoint.size) {
    return fail(Problem::kInclusion, "the leaf index " + std::to_string(bundle.leaf_index) +
                                         " is beyond the checkpoint's " + count_text(checkpoint.size, "line", "lines"));
  }
  if (!verify_inclusion(bundle.leaf_index, checkpoint.size, leaf_hash(bundle.record), bundle.inclusion_proof,
                        checkpoint.root)) {
    return fail(Problem::kInclusion,
                "the inclusion proof does not lead from the record to the checkpoint's root: the record or the "
                "proof was changed");
  }
  LineChecker checker(log_key);
  LineFacts facts;
  checker.check(bundle.record, facts);
  if (!facts.form_problem.empty()) return fail(Problem::kRecord, facts.form_problem);
  if (facts.hash_mismatch) return fail(Problem::kRecord, "the sealed fields do not hash to the stored hash");
  if (facts.bad_signature)
    return fail(Problem::kRecord, "the signature does not verify for the stored hash under the public key");
  return out;
}

std::string proof_check_json(const ProofCheck& check) {
  JsonWriter w;
  w.begin_object();
  w.key("ok");
  w.boolean(check.ok());
  w.key("problem");
  if (check.ok()) {
    w.null();
  } else {
    w.string(proof_problem_name(check.problem));
  }
  w.key("detail");
  w.string(valid_utf8(check.detail));
  w.key("origin");
  w.string(valid_utf8(check.origin));
  w.key("verified_by");
  w.begin_array();
  for (const std::string& name : check.verified_by) w.string(valid_utf8(name));
  w.end_array();
  w.key("line");
  w.uint64(check.line);
  w.key("tree_size");
  w.uint64(check.tree_size);
  w.end_object();
  w.line_feed();
  return w.take();
}

}  // namespace velm::verify
