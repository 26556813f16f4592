#include "verifier/line/line_check.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "encoding/hex.h"
#include "encoding/json_writer.h"
#include "engine/engine.h"
#include "records/record_json.h"
#include "verifier/line/canonical_line.h"
#include "verifier/line/field_forms.h"

namespace velm::verify {

namespace {

using simdjson::dom::element;
using Type = simdjson::dom::element_type;
using F = LineValues;  // its field numbers

// After a line longer than this, the parser and the texts give their room back, so one huge line
// is not held on to for the rest of the log.
constexpr std::size_t kKeptRoom = std::size_t{1} << 20;

constexpr std::array<std::string_view, 15> kKeys = {"id",
                                                    "timestamp",
                                                    "monotonic_nanos",
                                                    "hash",
                                                    "signature",
                                                    "merkle_root",
                                                    "coherence_score",
                                                    "reputation_scalar",
                                                    "ppp_json",
                                                    "ctx_json",
                                                    "prompt",
                                                    "reasoning_trace_json",
                                                    "output",
                                                    "human_delta_chain_json",
                                                    "core_insight_json"};

// What each member must be, for the report.
constexpr std::array<std::string_view, F::kSlotCount> kExpected = {"a string",
                                                                   "a string",
                                                                   "an unsigned 64-bit integer",
                                                                   "a string",
                                                                   "an array of 64 integers 0..255",
                                                                   "a string",
                                                                   "a decimal number",
                                                                   "a decimal number",
                                                                   "a string",
                                                                   "a string",
                                                                   "a string",
                                                                   "a string",
                                                                   "a string",
                                                                   "a string",
                                                                   "a string or null"};

constexpr std::array<std::string SealedRecordData::*, F::kSlotCount> kTexts = {
    &SealedRecordData::id,
    &SealedRecordData::timestamp,
    nullptr,
    &SealedRecordData::hash,
    nullptr,
    &SealedRecordData::merkle_root,
    nullptr,
    nullptr,
    &SealedRecordData::ppp_json,
    &SealedRecordData::ctx_json,
    &SealedRecordData::prompt,
    &SealedRecordData::reasoning_trace_json,
    &SealedRecordData::output,
    &SealedRecordData::human_delta_chain_json,
    nullptr};

void note(std::string& problem, std::string text) {
  if (problem.empty()) problem = std::move(text);
}

bool read_unsigned(element v, std::uint64_t& out) {
  if (v.type() == Type::UINT64) {
    out = v.get_uint64().value_unsafe();
    return true;
  }
  if (v.type() == Type::INT64 && v.get_int64().value_unsafe() >= 0) {
    out = static_cast<std::uint64_t>(v.get_int64().value_unsafe());
    return true;
  }
  return false;
}

bool read_signature(element v, std::array<std::uint8_t, kSignatureBytes>& out) {
  simdjson::dom::array items;
  if (v.get_array().get(items) != simdjson::SUCCESS || items.size() != kSignatureBytes) return false;
  std::size_t i = 0;
  for (const element item : items) {
    std::uint64_t byte = 0;
    if (!read_unsigned(item, byte) || byte > 255) return false;
    out[i++] = static_cast<std::uint8_t>(byte);
  }
  return true;
}

std::string parse_problem(simdjson::error_code e) {
  switch (e) {
    case simdjson::NUMBER_ERROR:
      return "not JSON: a number is malformed or out of range";
    case simdjson::UTF8_ERROR:
      return "not JSON: it is not valid UTF-8";
    case simdjson::STRING_ERROR:
      return "not JSON: a string has a bad escape or an unpaired surrogate";
    case simdjson::UNESCAPED_CHARS:
      return "not JSON: a string holds an unescaped control character";
    case simdjson::DEPTH_ERROR:
      return "not JSON: it nests deeper than the parser follows";
    case simdjson::CAPACITY:
    case simdjson::MEMALLOC:
      return "not JSON: it is too large for the parser";
    default:
      return std::string("not JSON: ") + simdjson::error_message(e);
  }
}

}  // namespace

struct LineChecker::Scratch {
  simdjson::dom::parser parser;
  std::unique_ptr<char[]> buffer;  // the text being parsed, with simdjson's padding after it
  std::size_t capacity = 0;
  JsonWriter writer;
  SealedRecordData record;
  PPPTripletData ppp;
  HumanDeltaChainData review;

  simdjson::error_code parse(std::string_view text, element& out) {
    const std::size_t need = text.size() + simdjson::SIMDJSON_PADDING;
    if (need > capacity) {
      const std::size_t grown = std::max(need, 2 * capacity);
      buffer = std::make_unique_for_overwrite<char[]>(grown);
      capacity = grown;
    }
    if (!text.empty()) std::memcpy(buffer.get(), text.data(), text.size());
    std::memset(buffer.get() + text.size(), 0, simdjson::SIMDJSON_PADDING);
    return parser.parse(buffer.get(), text.size(), false).get(out);
  }

  void give_back_room() {
    if (capacity > kKeptRoom) {
      buffer.reset();
      capacity = 0;
    }
    if (parser.capacity() > kKeptRoom) parser = simdjson::dom::parser{};
    for (std::string* text :
         {&record.id, &record.timestamp, &record.hash, &record.merkle_root, &record.ppp_json, &record.ctx_json,
          &record.prompt, &record.reasoning_trace_json, &record.output, &record.human_delta_chain_json}) {
      if (text->capacity() > kKeptRoom) std::string().swap(*text);
    }
    for (std::string* text : {&ppp.provenance, &ppp.place, &ppp.purpose, &review.chain_id, &review.agent_decision_ref,
                              &review.terminal_node}) {
      if (text->capacity() > kKeptRoom) std::string().swap(*text);
    }
    if (record.core_insight_json && record.core_insight_json->capacity() > kKeptRoom) record.core_insight_json.reset();
  }

  // A JSON object whose members are all strings, except `flag` (a boolean, if not empty). Fills
  // `texts` in the order of `names`; false when the text is anything else.
  bool read_flat(const std::string& text, std::initializer_list<std::string_view> names,
                 std::initializer_list<std::string*> texts, std::string_view flag, bool* flag_out) {
    element root;
    simdjson::dom::object object;
    if (parse(text, root) != simdjson::SUCCESS || root.get_object().get(object) != simdjson::SUCCESS) return false;
    unsigned found = 0;  // one bit per name
    bool flag_found = false;
    for (const auto field : object) {
      if (!flag.empty() && field.key == flag) {
        if (field.value.type() != Type::BOOL) return false;
        *flag_out = field.value.get_bool().value_unsafe();
        flag_found = true;
        continue;
      }
      const auto name = std::find(names.begin(), names.end(), field.key);
      if (name == names.end() || field.value.type() != Type::STRING) return false;
      const auto i = static_cast<std::size_t>(name - names.begin());
      *texts.begin()[i] = field.value.get_string().value_unsafe();
      found |= 1U << i;
    }
    // A repeated member or another order shows up when the text is written again.
    return found == (1U << names.size()) - 1 && (flag.empty() || flag_found);
  }
};

LineChecker::LineChecker(const PublicKey& key, Reading reading)
    : key_(key), reading_(reading), scratch_(std::make_unique<Scratch>()) {}
LineChecker::~LineChecker() = default;

// The general path: any JSON the parser takes, each member's type and form checked and the first
// problem named. False when the line is not a JSON object at all.
bool LineChecker::read_members(std::string_view line, LineFacts& f, std::array<bool, kFieldCount>& have) {
  Scratch& s = *scratch_;
  SealedRecordData& r = s.record;
  r.core_insight_json.reset();
  std::array<bool, F::kSlotCount> seen{};

  element root;
  if (const auto e = s.parse(line, root); e != simdjson::SUCCESS) {
    f.form_problem = parse_problem(e);
    return false;
  }
  simdjson::dom::object object;
  if (root.get_object().get(object) != simdjson::SUCCESS) {
    f.form_problem = "the line is not a JSON object";
    return false;
  }
  std::size_t next = 0;
  for (const auto field : object) {
    // Lines come in the engine's order, so the next key is almost always the expected one.
    std::size_t slot = F::kSlotCount;
    if (next < F::kSlotCount && kKeys[next] == field.key) {
      slot = next;
    } else {
      const auto it = std::find(kKeys.begin(), kKeys.end(), field.key);
      slot = static_cast<std::size_t>(it - kKeys.begin());
    }
    if (slot == F::kSlotCount) {
      note(f.form_problem, "unexpected key " + quote_log_text(field.key));
      continue;
    }
    if (seen[slot]) note(f.form_problem, "key \"" + std::string(kKeys[slot]) + "\" appears twice");
    seen[slot] = true;
    next = slot + 1;
    const element v = field.value;
    bool ok = false;
    switch (slot) {
      case F::kNanos:
        ok = read_unsigned(v, r.monotonic_nanos);
        break;
      case F::kSignature:
        ok = read_signature(v, r.signature);
        break;
      case F::kCoherence:
      case F::kReputation:
        ok = v.type() == Type::DOUBLE;
        if (ok) (slot == F::kCoherence ? r.coherence_score : r.reputation_scalar) = v.get_double().value_unsafe();
        break;
      case F::kInsight:
        ok = v.type() == Type::STRING || v.type() == Type::NULL_VALUE;
        if (v.type() == Type::STRING) {
          r.core_insight_json.emplace(v.get_string().value_unsafe());
        } else {
          r.core_insight_json.reset();
        }
        break;
      default:
        ok = v.type() == Type::STRING;
        if (ok) r.*kTexts[slot] = v.get_string().value_unsafe();  // copied: both keep their room
        break;
    }
    have[slot] = ok;
    if (!ok) note(f.form_problem, "\"" + std::string(kKeys[slot]) + "\" is not " + std::string(kExpected[slot]));
  }
  for (std::size_t i = 0; i < F::kSlotCount; ++i) {
    if (!seen[i]) note(f.form_problem, "missing key \"" + std::string(kKeys[i]) + "\"");
  }
  return true;
}

// The general path's checks of the nested texts and of the whole line's form. Returns the
// provenance triplet when ppp_json could be read.
const PPPTripletData* LineChecker::check_nested_and_form(std::string_view line, LineFacts& f,
                                                         const std::array<bool, kFieldCount>& have, bool& review_read) {
  Scratch& s = *scratch_;
  SealedRecordData& r = s.record;
  const PPPTripletData* ppp = nullptr;
  // The nested texts are parsed after the line's own values were copied out of the parser.
  if (have[F::kPpp]) {
    PPPTripletData& p = s.ppp;
    if (!s.read_flat(r.ppp_json, {"provenance", "place", "purpose"}, {&p.provenance, &p.place, &p.purpose}, {},
                     nullptr)) {
      note(f.form_problem, "ppp_json is not a JSON object of the texts \"provenance\", \"place\" and \"purpose\"");
    } else {
      // Other keys, another order or other escapes all show up as a different text.
      if (ppp_json(p) != r.ppp_json) note(f.form_problem, "ppp_json is not in the form the engine writes");
      ppp = &p;
    }
  }
  if (have[F::kReview]) {
    HumanDeltaChainData& node = s.review;
    if (!s.read_flat(r.human_delta_chain_json, {"chain_id", "agent_decision_ref", "terminal_node"},
                     {&node.chain_id, &node.agent_decision_ref, &node.terminal_node}, "resolved", &node.resolved)) {
      note(f.form_problem, "human_delta_chain_json is not a JSON object of three texts and the boolean \"resolved\"");
    } else {
      review_read = true;
      if (human_delta_chain_json(node) != r.human_delta_chain_json) {
        note(f.form_problem, "human_delta_chain_json is not in the form the engine writes");
      }
    }
  }

  // The form is right when writing the record again gives back the same bytes: that one
  // comparison covers key order, escapes and number forms.
  if (std::all_of(have.begin(), have.end(), [](bool b) { return b; })) {
    write_record_json(s.writer, r);
    const std::string_view canonical = s.writer.text();
    if (canonical != line) {
      const auto diff = std::mismatch(canonical.begin(), canonical.end(), line.begin(), line.end());
      note(f.form_problem, "the line is not in the form the engine writes (first difference at byte " +
                               std::to_string(diff.second - line.begin() + 1) + ")");
    }
  }
  return ppp;
}

bool LineChecker::read_line(std::string_view line, LineFacts& f, std::array<bool, kFieldCount>& have, bool& canonical) {
  Scratch& s = *scratch_;
  // Most lines are exactly as the engine wrote them, and the one-pass reader takes those; any
  // other line goes the general way, which names what is wrong with it.
  canonical = reading_ == Reading::kEngineFormFirst && read_canonical_record(line, s.record, s.ppp, s.review);
  if (canonical) {
    have.fill(true);
    return true;
  }
  return read_members(line, f, have);
}

LineValues LineChecker::read(std::string_view line) {
  Scratch& s = *scratch_;
  LineValues out;
  LineFacts f;  // the form problems found on the way are not asked for
  if (bool canonical = false; read_line(line, f, out.have, canonical)) {
    bool review_read = canonical;
    const PPPTripletData* ppp = canonical ? &s.ppp : check_nested_and_form(line, f, out.have, review_read);
    std::swap(out.record, s.record);
    if (ppp) out.ppp = *ppp;
    if (review_read) out.review = s.review;
  }
  s.give_back_room();
  return out;
}

void LineChecker::check(std::string_view line, LineFacts& f) {
  Scratch& s = *scratch_;
  f = LineFacts{};
  SealedRecordData& r = s.record;
  std::array<bool, kFieldCount> have{};
  bool canonical = false;
  if (!read_line(line, f, have, canonical)) {
    s.give_back_room();
    return;
  }

  if (have[F::kId]) {
    if (!valid_record_id(r.id)) note(f.form_problem, "id is not \"qor_\" and a lowercase UUID v4");
    const Digest d = blake3_digest(r.id);
    f.id.emplace();
    std::copy_n(d.begin(), f.id->size(), f.id->begin());
  }
  if (have[F::kTimestamp] && !valid_record_timestamp(r.timestamp)) {
    note(f.form_problem, "timestamp is not an RFC 3339 UTC time in the engine's form");
  } else if (have[F::kTimestamp] && r.timestamp.size() <= f.time.size()) {
    f.time_size = static_cast<std::uint8_t>(r.timestamp.copy(f.time.data(), f.time.size()));
  }
  for (const auto& [slot, out] : {std::pair{F::kHash, &f.hash}, std::pair{F::kRoot, &f.root}}) {
    if (!have[slot]) continue;
    Digest value;
    if (parse_hex_lower(r.*kTexts[slot], value.data(), value.size())) {
      *out = value;
    } else {
      // Built by appending: GCC 12 warns wrongly (-Wrestrict) on the operator+ chain once inlined here.
      note(f.form_problem, std::string("\"").append(kKeys[slot]).append("\" is not 64 lowercase hex digits"));
    }
  }

  bool review_read = canonical;  // not asked for here
  const PPPTripletData* ppp = canonical ? &s.ppp : check_nested_and_form(line, f, have, review_read);

  if (ppp && have[F::kPrompt] && have[F::kCoherence] && have[F::kReputation]) {
    f.sealed = content_digest(*ppp, r.prompt, r.coherence_score, r.reputation_scalar);
    f.hash_mismatch = f.hash && *f.sealed != *f.hash;
  }
  if (f.hash && have[F::kSignature]) {
    Signature sig;
    std::copy(r.signature.begin(), r.signature.end(), sig.begin());
    f.bad_signature = !verify_signature(key_, f.hash->data(), f.hash->size(), sig);
  }
  if (have[F::kPrompt] && have[F::kOutput] && have[F::kCoherence] && have[F::kReputation] && have[F::kInsight]) {
    ScoreInput& in = f.scores;
    in.usable = true;
    in.prompt_bytes = r.prompt.size();
    in.output_bytes = r.output.size();
    in.coherence = r.coherence_score;
    in.reputation = r.reputation_scalar;
    in.insight = r.core_insight_json;
  }
  s.give_back_room();
}

}  // namespace velm::verify
