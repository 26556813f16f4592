#include "verifier/log_verifier.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <simdjson.h>
#include <unordered_map>
#include <utility>

#include "encoding/clock.h"
#include "encoding/entropy.h"
#include "encoding/fatal_error.h"
#include "encoding/json_writer.h"
#include "engine/engine.h"
#include "engine/scoring.h"
#include "records/record_json.h"

namespace velm::verify {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kNoIndex = static_cast<std::size_t>(-1);
constexpr std::size_t kReadBufferBytes = std::size_t{1} << 20;
// A reused text keeps at most this much room after a line, so one huge line is not held on to.
constexpr std::size_t kKeptTextRoom = std::size_t{1} << 20;
// Longer texts go to nlohmann: simdjson's parser keeps about 15 bytes of room per byte read.
constexpr std::size_t kFastParseMaxBytes = std::size_t{1} << 20;

struct DigestHash {
  std::size_t operator()(const Digest& d) const noexcept {
    std::uint64_t v;
    // Genesis roots are BLAKE3 outputs; any other root sits among at most max_open_chains heads.
    std::memcpy(&v, d.data(), sizeof v);
    return static_cast<std::size_t>(v);
  }
};

int hex_digit(char c, bool any_case) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (any_case && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_hex(std::string_view text, std::uint8_t* out, std::size_t n, bool any_case) noexcept {
  if (text.size() != 2 * n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const int hi = hex_digit(text[2 * i], any_case);
    const int lo = hex_digit(text[2 * i + 1], any_case);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return true;
}

std::string short_hex(const Digest& d) { return hex_lower(d.data(), 8) + "..."; }

// Days from 1970-01-01 to a proleptic Gregorian date (years counted from March 1).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(y - era * 400);
  const unsigned day_of_year = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

unsigned days_in_month(unsigned y, unsigned m) noexcept {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// The parts of a record that the checks after the form need; each is empty when unreadable.
struct ScoreInput {
  bool usable = false;
  std::uint64_t prompt_bytes = 0;
  std::uint64_t output_bytes = 0;
  double coherence = 0.0;
  double reputation = 0.0;
  std::optional<std::string> insight;
};

struct LineFields {
  std::string problem;  // the first form problem found, empty when none
  SealedRecordData record;
  std::optional<Digest> hash;
  std::optional<Digest> root;
  std::optional<Signature> signature;
  std::optional<PPPTripletData> ppp;
  bool prompt_read = false;
  bool scores_read = false;  // coherence and reputation
  ScoreInput scores;
};

// Empties `f` for the next line, keeping the room its texts have grown.
void reset(LineFields& f) {
  f.problem.clear();
  SealedRecordData& r = f.record;
  for (std::string* text : {&r.id, &r.timestamp, &r.hash, &r.merkle_root, &r.ppp_json, &r.ctx_json, &r.prompt,
                            &r.reasoning_trace_json, &r.output, &r.human_delta_chain_json}) {
    if (text->capacity() > kKeptTextRoom) {
      std::string().swap(*text);
    } else {
      text->clear();
    }
  }
  r.monotonic_nanos = 0;
  r.signature = {};
  r.coherence_score = 0.0;
  r.reputation_scalar = 0.0;
  r.core_insight_json.reset();
  f.hash.reset();
  f.root.reset();
  f.signature.reset();
  f.ppp.reset();
  f.prompt_read = false;
  f.scores_read = false;
  f.scores = ScoreInput{};
}

void note(std::string& problem, std::string text) {
  if (problem.empty()) problem = std::move(text);
}

constexpr std::array<std::string_view, 15> kKeys = {
    "id",     "timestamp", "monotonic_nanos",      "hash",   "signature",
    "merkle_root", "coherence_score", "reputation_scalar", "ppp_json", "ctx_json",
    "prompt", "reasoning_trace_json", "output", "human_delta_chain_json", "core_insight_json"};

enum Slot : std::size_t {
  kId, kTimestamp, kNanos, kHash, kSignature, kRoot, kCoherence, kReputation,
  kPpp, kCtx, kPrompt, kTrace, kOutput, kReview, kInsight, kSlotCount
};

// What each member must be, for the report.
constexpr std::array<std::string_view, kSlotCount> kExpected = {
    "a string", "a string", "an unsigned 64-bit integer", "a string", "an array of 64 integers 0..255",
    "a string", "a decimal number", "a decimal number", "a string", "a string",
    "a string", "a string", "a string", "a string", "a string or null"};

// nlohmann's event interface, with every event accepted and ignored unless overridden.
class SaxBase : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
};

// Takes a record line's members straight from nlohmann's events: no document is built, and each
// text is moved out of the parser's buffer.
class RecordReader final : public SaxBase {
 public:
  explicit RecordReader(LineFields& f) : f_(f) {}

  bool object = false;  // the line is one JSON object
  std::array<bool, kSlotCount> have{};  // members read with the right type
  bool syntax_error = false;            // not JSON at all
  bool range_error = false;             // a number no double holds
  std::size_t error_byte = 0;

  bool null() override { return scalar(Kind::kNull); }
  bool boolean(bool) override { return scalar(Kind::kOther); }
  bool number_integer(number_integer_t) override { return scalar(Kind::kOther); }
  bool number_unsigned(number_unsigned_t v) override {
    unsigned_ = v;
    return scalar(Kind::kUnsigned);
  }
  bool number_float(number_float_t v, const string_t&) override {
    float_ = v;
    return scalar(Kind::kFloat);
  }
  bool string(string_t& v) override { return text(v); }
  bool text(std::string_view v) {
    string_ = v;
    return scalar(Kind::kString);
  }
  bool signed_integer() { return scalar(Kind::kOther); }
  bool start_object(std::size_t) override {
    if (depth_ == 0) {
      object = true;
    } else {
      container();
    }
    ++depth_;
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 1 && slot_ == kSignature) {
      in_signature_ = true;
      signature_ok_ = true;
      signature_count_ = 0;
    } else {
      container();
    }
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    if (depth_ == 1 && in_signature_) {
      in_signature_ = false;
      if (signature_ok_ && signature_count_ == kSignatureBytes) {
        have[kSignature] = true;
      } else {
        wrong_type();
      }
    }
    return true;
  }
  bool key(string_t& k) override { return member(k); }
  bool member(std::string_view k) {
    if (depth_ != 1) return true;
    // Lines come in the engine's order, so the next key is almost always the expected one.
    slot_ = kSlotCount;
    if (next_ < kSlotCount && kKeys[next_] == k) {
      slot_ = next_;
    } else {
      for (std::size_t i = 0; i < kSlotCount; ++i) {
        if (kKeys[i] == k) slot_ = i;
      }
    }
    if (slot_ == kSlotCount) {
      note(f_.problem, "unexpected key \"" + std::string(k) + "\"");
      return true;
    }
    if (seen_[slot_]) note(f_.problem, "key \"" + std::string(k) + "\" appears twice");
    seen_[slot_] = true;
    next_ = slot_ + 1;
    return true;
  }
  bool parse_error(std::size_t byte, const std::string&, const nlohmann::detail::exception& e) override {
    error_byte = byte;
    constexpr int kNumberOverflow = 406;
    (e.id == kNumberOverflow ? range_error : syntax_error) = true;
    return false;
  }

  void note_missing() {
    for (std::size_t i = 0; i < kSlotCount; ++i) {
      if (!seen_[i]) note(f_.problem, "missing key \"" + std::string(kKeys[i]) + "\"");
    }
  }

 private:
  enum class Kind { kNull, kUnsigned, kFloat, kString, kOther };

  void wrong_type() {
    note(f_.problem, "\"" + std::string(kKeys[slot_]) + "\" is not " + std::string(kExpected[slot_]));
  }

  void container() {
    if (depth_ == 1 && slot_ != kSlotCount) wrong_type();
    if (depth_ == 2 && in_signature_) signature_ok_ = false;
  }

  bool scalar(Kind kind) {
    if (depth_ == 2 && in_signature_) {
      if (kind == Kind::kUnsigned && unsigned_ <= 255 && signature_count_ < kSignatureBytes) {
        f_.record.signature[signature_count_] = static_cast<std::uint8_t>(unsigned_);
      } else {
        signature_ok_ = false;
      }
      ++signature_count_;
      return true;
    }
    if (depth_ != 1 || slot_ == kSlotCount) return true;  // a bare scalar line, or inside a wrong value
    SealedRecordData& r = f_.record;
    bool ok = false;
    switch (slot_) {
      case kNanos:
        ok = kind == Kind::kUnsigned;
        if (ok) r.monotonic_nanos = unsigned_;
        break;
      case kCoherence:
      case kReputation:
        ok = kind == Kind::kFloat;
        if (ok) (slot_ == kCoherence ? r.coherence_score : r.reputation_scalar) = float_;
        break;
      case kInsight:
        ok = kind == Kind::kString || kind == Kind::kNull;
        if (kind == Kind::kString) {
          r.core_insight_json.emplace(string_);
        } else {
          r.core_insight_json.reset();
        }
        break;
      case kSignature:
        break;
      default: {
        static constexpr std::array<std::string SealedRecordData::*, kSlotCount> kTexts = {
            &SealedRecordData::id, &SealedRecordData::timestamp, nullptr, &SealedRecordData::hash, nullptr,
            &SealedRecordData::merkle_root, nullptr, nullptr, &SealedRecordData::ppp_json, &SealedRecordData::ctx_json,
            &SealedRecordData::prompt, &SealedRecordData::reasoning_trace_json, &SealedRecordData::output,
            &SealedRecordData::human_delta_chain_json, nullptr};
        ok = kind == Kind::kString;
        // Copied, not moved: the parser's buffer and the record's texts both keep their room.
        if (ok) r.*kTexts[slot_] = string_;
        break;
      }
    }
    have[slot_] = ok;
    if (!ok) wrong_type();
    return true;
  }

  LineFields& f_;
  std::size_t depth_ = 0;
  std::size_t slot_ = kSlotCount;  // the member whose value comes next
  std::size_t next_ = 0;
  std::array<bool, kSlotCount> seen_{};
  bool in_signature_ = false;
  bool signature_ok_ = false;
  std::size_t signature_count_ = 0;
  std::uint64_t unsigned_ = 0;
  double float_ = 0.0;
  std::string_view string_;
};

// A JSON object whose members are all strings or booleans, read from nlohmann's events.
class FlatReader final : public SaxBase {
 public:
  struct Member {
    std::string key;
    std::string text;
    int flag = -1;  // -1 for a text, else the boolean
  };
  std::vector<Member> members;

  bool good() const noexcept { return object_ && ok_; }
  const Member* find(std::string_view key) const {
    for (const Member& m : members) {
      if (m.key == key) return &m;
    }
    return nullptr;
  }

  bool null() override { return other(); }
  bool number_integer(number_integer_t) override { return other(); }
  bool number_unsigned(number_unsigned_t) override { return other(); }
  bool number_float(number_float_t, const string_t&) override { return other(); }
  bool boolean(bool v) override {
    if (depth_ != 1 || members.empty()) return other();
    members.back().flag = v ? 1 : 0;
    return true;
  }
  bool string(string_t& v) override {
    if (depth_ != 1 || members.empty()) return other();
    members.back().text = std::move(v);
    return true;
  }
  bool start_object(std::size_t) override {
    if (depth_++ == 0) {
      object_ = true;
      return true;
    }
    return other();
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override { return other(); }
  bool key(string_t& k) override {
    members.push_back({std::move(k), {}, -1});
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return other(); }

 private:
  bool other() {
    ok_ = false;
    return false;  // nothing more is needed from this text
  }
  std::size_t depth_ = 0;
  bool object_ = false;
  bool ok_ = true;
};

// simdjson's DOM parser over one reused padded buffer. Where its reading could differ from
// nlohmann's (any error it reports, and the cases below), the text goes to nlohmann instead, so
// what is accepted, rejected and reported stays nlohmann's.
class FastParser {
 public:
  FastParser() : parser_(kFastParseMaxBytes) {}

  // False when simdjson did not read `text`.
  bool parse(std::string_view text, simdjson::dom::element& out) {
    if (text.size() > kFastParseMaxBytes) return false;
    const std::size_t need = text.size() + simdjson::SIMDJSON_PADDING;
    if (need > capacity_) {
      const std::size_t grown = std::max(need, 2 * capacity_);
      buffer_ = std::make_unique_for_overwrite<char[]>(grown);
      capacity_ = grown;
    }
    if (text.size() > parser_.capacity() &&
        parser_.allocate(std::min(kFastParseMaxBytes, std::max(text.size(), 2 * parser_.capacity()))) !=
            simdjson::SUCCESS) {
      return false;
    }
    if (!text.empty()) std::memcpy(buffer_.get(), text.data(), text.size());
    std::memset(buffer_.get() + text.size(), 0, simdjson::SIMDJSON_PADDING);
    return parser_.parse(buffer_.get(), text.size(), false).get(out) == simdjson::SUCCESS;
  }

 private:
  simdjson::dom::parser parser_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
};

// simdjson reads the integer -0 as 0, which nlohmann reads as a signed integer: a line holding
// the token (or, harmlessly, these bytes inside a string) goes to nlohmann.
bool has_negative_zero(std::string_view text) noexcept {
  for (std::size_t at = text.find("-0"); at != std::string_view::npos; at = text.find("-0", at + 2)) {
    if (at + 2 == text.size()) return true;
    switch (text[at + 2]) {
      case ',': case ']': case '}': case ' ': case '\t': case '\r': case '\n': return true;
      default: break;
    }
  }
  return false;
}

// The line being fed, with the scan for -0 done at most once.
struct FedLine {
  std::string_view text;
  int negative_zero = -1;  // unknown until a 0 is read
  bool has_negative_zero() {
    if (negative_zero < 0) negative_zero = verify::has_negative_zero(text) ? 1 : 0;
    return negative_zero == 1;
  }
};

// Gives `reader` the events nlohmann would for `v` at depth 1 (`outer`) or 2. Members of deeper
// containers change nothing in the reader, so they are not visited. False: read it with nlohmann.
bool feed_value(simdjson::dom::element v, FedLine& line, RecordReader& reader, bool outer) {
  using Type = simdjson::dom::element_type;
  switch (v.type()) {
    case Type::ARRAY:
      reader.start_array(0);
      if (outer) {
        const simdjson::dom::array items = v.get_array().value_unsafe();
        for (const simdjson::dom::element item : items) {
          if (!feed_value(item, line, reader, false)) return false;
        }
      }
      return reader.end_array();
    case Type::OBJECT:
      reader.start_object(0);
      return reader.end_object();
    case Type::INT64: {
      const std::int64_t i = v.get_int64().value_unsafe();
      if (i < 0) return reader.signed_integer();
      if (i == 0 && line.has_negative_zero()) return false;
      return reader.number_unsigned(static_cast<std::uint64_t>(i));
    }
    case Type::UINT64: return reader.number_unsigned(v.get_uint64().value_unsafe());
    case Type::DOUBLE: return reader.number_float(v.get_double().value_unsafe(), {});
    case Type::STRING: return reader.text(v.get_string().value_unsafe());
    case Type::BOOL: return reader.boolean(v.get_bool().value_unsafe());
    case Type::NULL_VALUE: return reader.null();
  }
  return false;
}

// Reads a line through simdjson into `reader`; false when it must be read with nlohmann.
bool read_record_fast(std::string_view line, FastParser& fast, RecordReader& reader) {
  simdjson::dom::element root;
  if (!fast.parse(line, root)) return false;
  simdjson::dom::object object;
  // Any other document gives nlohmann's reader nothing it keeps.
  if (root.get_object().get(object) != simdjson::SUCCESS) return true;
  FedLine fed{line};
  reader.start_object(0);
  for (const simdjson::dom::key_value_pair field : object) {
    reader.member(field.key);
    if (!feed_value(field.value, fed, reader, true)) return false;
  }
  return reader.end_object();
}

bool read_flat(const std::string& text, FlatReader& reader, FastParser* fast) {
  simdjson::dom::element root;
  if (fast == nullptr || !fast->parse(text, root)) {
    return Json::sax_parse(text.begin(), text.end(), &reader) && reader.good();
  }
  simdjson::dom::object object;
  if (root.get_object().get(object) != simdjson::SUCCESS) return false;
  reader.start_object(0);
  for (const simdjson::dom::key_value_pair field : object) {
    reader.members.push_back({std::string(field.key), {}, -1});
    switch (field.value.type()) {
      case simdjson::dom::element_type::STRING:
        reader.members.back().text = field.value.get_string().value_unsafe();
        break;
      case simdjson::dom::element_type::BOOL:
        reader.members.back().flag = field.value.get_bool().value_unsafe() ? 1 : 0;
        break;
      default:
        return false;  // as nlohmann's reading stops at the first other value
    }
  }
  return true;
}

std::optional<PPPTripletData> read_ppp(const std::string& text, std::string& problem, FastParser* fast) {
  FlatReader reader;
  if (!read_flat(text, reader, fast)) {
    note(problem, "ppp_json is not a JSON object of texts");
    return std::nullopt;
  }
  PPPTripletData ppp;
  std::string* parts[] = {&ppp.provenance, &ppp.place, &ppp.purpose};
  const char* names[] = {"provenance", "place", "purpose"};
  for (std::size_t i = 0; i < 3; ++i) {
    const FlatReader::Member* m = reader.find(names[i]);
    if (m == nullptr || m->flag != -1) {
      note(problem, std::string("ppp_json has no text \"") + names[i] + "\"");
      return std::nullopt;
    }
    *parts[i] = m->text;
  }
  // Other keys, another order or other escapes all show up as a different text.
  if (ppp_json(ppp) != text) note(problem, "ppp_json is not in the form the engine writes");
  return ppp;
}

void check_review(const std::string& text, std::string& problem, FastParser* fast) {
  FlatReader reader;
  if (!read_flat(text, reader, fast)) {
    note(problem, "human_delta_chain_json is not a JSON object of texts and a flag");
    return;
  }
  HumanDeltaChainData node;
  std::string* texts[] = {&node.chain_id, &node.agent_decision_ref, &node.terminal_node};
  const char* names[] = {"chain_id", "agent_decision_ref", "terminal_node"};
  for (std::size_t i = 0; i < 3; ++i) {
    const FlatReader::Member* m = reader.find(names[i]);
    if (m == nullptr || m->flag != -1) {
      note(problem, std::string("human_delta_chain_json has no text \"") + names[i] + "\"");
      return;
    }
    *texts[i] = m->text;
  }
  const FlatReader::Member* resolved = reader.find("resolved");
  if (resolved == nullptr || resolved->flag == -1) {
    note(problem, "human_delta_chain_json has no boolean \"resolved\"");
    return;
  }
  node.resolved = resolved->flag == 1;
  if (human_delta_chain_json(node) != text) {
    note(problem, "human_delta_chain_json is not in the form the engine writes");
  }
}

// The outcome of reading a line.
enum class LineRead { kRecord, kNotJson, kOutOfRange };

// Reads a line's fields. Its form is right when re-writing the record gives back the same bytes;
// that one comparison covers key order, escapes and number forms.
// `fast` is null to read with nlohmann alone.
LineRead read_fields(std::string_view line, JsonWriter& writer, LineFields& f, std::size_t& error_byte,
                     FastParser* fast) {
  std::optional<RecordReader> fast_reader;
  if (fast != nullptr) {
    fast_reader.emplace(f);
    if (!read_record_fast(line, *fast, *fast_reader)) {
      fast_reader.reset();
      reset(f);  // the fast reading may have stopped part way
    }
  }
  std::optional<RecordReader> slow_reader;
  if (!fast_reader) {
    slow_reader.emplace(f);
    Json::sax_parse(line.begin(), line.end(), &*slow_reader);
    if (slow_reader->syntax_error || slow_reader->range_error) {
      error_byte = slow_reader->error_byte;
      return slow_reader->syntax_error ? LineRead::kNotJson : LineRead::kOutOfRange;
    }
  }
  RecordReader& reader = fast_reader ? *fast_reader : *slow_reader;
  if (!reader.object) {
    note(f.problem, "the line is not a JSON object");
    return LineRead::kRecord;
  }
  reader.note_missing();
  const auto& have = reader.have;
  SealedRecordData& r = f.record;

  if (have[kId] && !valid_record_id(r.id)) note(f.problem, "id is not \"qor_\" and a lowercase UUID v4");
  if (have[kTimestamp] && !valid_record_timestamp(r.timestamp)) {
    note(f.problem, "timestamp is not an RFC 3339 UTC time in the engine's form");
  }
  const std::pair<Slot, std::optional<Digest>*> digests[] = {{kHash, &f.hash}, {kRoot, &f.root}};
  for (const auto& [slot, out] : digests) {
    if (!have[slot]) continue;
    Digest value;
    if (parse_hex_lower(slot == kHash ? r.hash : r.merkle_root, value.data(), value.size())) {
      *out = value;
    } else {
      note(f.problem, "\"" + std::string(kKeys[slot]) + "\" is not 64 lowercase hex digits");
    }
  }
  if (have[kSignature]) {
    Signature s;
    std::copy(r.signature.begin(), r.signature.end(), s.begin());
    f.signature = s;
  }
  if (have[kPpp]) f.ppp = read_ppp(r.ppp_json, f.problem, fast);
  if (have[kReview]) check_review(r.human_delta_chain_json, f.problem, fast);

  if (std::all_of(have.begin(), have.end(), [](bool b) { return b; })) {
    write_record_json(writer, r);
    const std::string_view canonical = writer.text();
    if (canonical != line) {
      const auto diff = std::mismatch(canonical.begin(), canonical.end(), line.begin(), line.end());
      note(f.problem, "the line is not in the form the engine writes (first difference at byte " +
                          std::to_string(diff.second - line.begin() + 1) + ")");
    }
  }

  f.prompt_read = have[kPrompt];
  f.scores_read = have[kCoherence] && have[kReputation];
  if (f.prompt_read && have[kOutput] && f.scores_read && have[kInsight]) {
    f.scores.usable = true;
    f.scores.prompt_bytes = r.prompt.size();
    f.scores.output_bytes = r.output.size();
    f.scores.coherence = r.coherence_score;
    f.scores.reputation = r.reputation_scalar;
    f.scores.insight = r.core_insight_json;
  }
  return LineRead::kRecord;
}

bool same_bits(double a, double b) noexcept {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

std::string float_text(double v) {
  JsonWriter w;
  w.float64(v);
  return w.take();
}

}  // namespace

std::string_view failure_kind_name(FailureKind kind) noexcept {
  switch (kind) {
    case FailureKind::kTornLine: return "torn line";
    case FailureKind::kBadForm: return "bad form";
    case FailureKind::kHashMismatch: return "hash mismatch";
    case FailureKind::kBadSignature: return "bad signature";
    case FailureKind::kChainBreak: return "chain break";
    case FailureKind::kScoreMismatch: return "score mismatch";
    case FailureKind::kMissingHead: return "missing head";
  }
  return "unknown";
}

std::uint64_t LogReport::failure_total() const noexcept {
  std::uint64_t total = 0;
  for (const std::uint64_t n : failure_counts) total += n;
  return total;
}

bool parse_hex_lower(std::string_view text, std::uint8_t* out, std::size_t n) noexcept {
  return parse_hex(text, out, n, false);
}

bool parse_hex_any_case(std::string_view text, std::uint8_t* out, std::size_t n) noexcept {
  return parse_hex(text, out, n, true);
}

bool valid_record_id(std::string_view id) {
  constexpr std::string_view kPrefix = "qor_";
  if (id.size() != kPrefix.size() + kUuidTextSize || id.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::string_view text = id.substr(kPrefix.size());
  Uuid bytes{};
  std::size_t b = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    // Every group has an even number of digits, so a pair never straddles a dash.
    if (!parse_hex_lower(text.substr(i, 2), &bytes[b], 1)) return false;
    ++b;
    i += 2;
  }
  return uuid_v4_from_bytes(bytes) == bytes && uuid_text(bytes) == text;
}

bool valid_record_timestamp(std::string_view ts) {
  auto digits = [&](std::size_t pos, std::size_t n, unsigned& out) {
    if (pos + n > ts.size()) return false;
    out = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
      if (ts[i] < '0' || ts[i] > '9') return false;
      out = out * 10 + static_cast<unsigned>(ts[i] - '0');
    }
    return true;
  };
  // Every fixed-position character below exists once the text is this long.
  if (ts.size() < 19) return false;
  unsigned year, month, day, hour, minute, second;
  if (!digits(0, 4, year) || ts[4] != '-' || !digits(5, 2, month) || ts[7] != '-' || !digits(8, 2, day) ||
      ts[10] != 'T' || !digits(11, 2, hour) || ts[13] != ':' || !digits(14, 2, minute) || ts[16] != ':' ||
      !digits(17, 2, second)) {
    return false;
  }
  std::size_t pos = 19;
  std::uint32_t nanos = 0;
  if (pos < ts.size() && ts[pos] == '.') {
    const std::size_t start = ++pos;
    while (pos < ts.size() && ts[pos] >= '0' && ts[pos] <= '9') {
      if (pos - start == 9) return false;
      nanos = nanos * 10 + static_cast<std::uint32_t>(ts[pos] - '0');
      ++pos;
    }
    if (pos == start) return false;
    for (std::size_t n = pos - start; n < 9; ++n) nanos *= 10;
  }
  if (ts.substr(pos) != "+00:00") return false;
  // The engine's clock never reads before 1970, and there are no leap seconds in its text.
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return false;
  }
  const std::int64_t seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  // Leaves the fraction's digit count (none, or the fewest of 3, 6, 9) to the engine's own writer.
  return rfc3339_text(seconds, nanos) == ts;
}

// ---------------------------------------------------------------------------------------------
// The verifier

namespace {

struct Chain {
  std::uint64_t first_line = 0;
  std::uint64_t last_line = 0;
  std::uint64_t records = 0;
  Digest head{};
  bool from_genesis = false;
  bool open = true;
  bool dissolved = false;  // its only record turned out to belong to another chain
  std::string last_id;     // the id of its last record
  std::optional<Scorer> scorer;  // present while its scores are being replayed
  std::uint64_t scores_checked = 0;
  std::string scores_note;
  // The head this chain would have if the pending line belongs to it with a damaged merkle_root.
  std::optional<Digest> alt_head;
};

// The most recent line that followed from no chain. If the next record of some chain follows
// from "that chain's head, then this line's hash", this line belonged there and only its own
// merkle_root was wrong: the chain goes on instead of breaking a second time.
struct Pending {
  bool active = false;
  std::uint64_t line = 0;
  std::string id;
  std::size_t chain = kNoIndex;  // the chain begun at it, if its merkle_root was readable
  Digest genesis_alt{};          // its root had it been the first record of a chain
  ScoreInput scores;
  std::size_t failure = kNoIndex;  // its chain-break failure, to explain once resolved
};

enum class LinkKind { kNone, kHead, kGenesis, kAlt, kAltGenesis };
struct Link {
  LinkKind kind = LinkKind::kNone;
  std::size_t chain = kNoIndex;
};

}  // namespace

struct LogVerifier::State {
  PublicKey key;
  VerifyOptions options;
  JsonWriter writer;
  LineFields fields;  // reused from line to line
  FastParser fast;
  std::uint64_t line_no = 0;

  std::vector<Chain> chains;
  std::vector<std::size_t> mru;  // open chains, most recently extended first
  // Two open chains share a head when their engines sealed the same contents in the same order.
  std::unordered_multimap<Digest, std::size_t, DigestHash> open_heads;
  struct FirstRecord {
    std::uint64_t line;
    std::string id;
  };
  // The first record of every chain begun at genesis, by its root.
  std::unordered_multimap<Digest, FirstRecord, DigestHash> genesis_firsts;
  Pending pending;

  std::vector<Failure> failures;
  std::uint64_t failures_omitted = 0;
  std::array<std::uint64_t, kFailureKindCount> counts{};
  std::unordered_map<Digest, std::size_t, DigestHash> watch_index;
  std::vector<std::uint64_t> watch_lines;

  State(const PublicKey& k, VerifyOptions o) : key(k), options(std::move(o)) {
    if (options.max_open_chains == 0) options.max_open_chains = 1;
    watch_lines.assign(options.watch_roots.size(), 0);
    for (std::size_t i = 0; i < options.watch_roots.size(); ++i) watch_index.emplace(options.watch_roots[i], i);
  }

  std::size_t fail(std::uint64_t line, FailureKind kind, std::string detail) {
    ++counts[static_cast<std::size_t>(kind)];
    if (failures.size() >= options.max_failures_kept) {
      ++failures_omitted;
      return kNoIndex;
    }
    failures.push_back({line, kind, std::move(detail)});
    return failures.size() - 1;
  }

  void check_line(std::string_view line);
  void place(const LineFields& f, const std::optional<Digest>& sealed);
  Link find_link(const Digest& hash, const Digest& root) const;
  std::size_t pick_among_equal_heads(std::size_t first, const ScoreInput& s) const;
  bool is_duplicate(const Digest& root, const std::string& id);
  std::size_t open_chain(std::uint64_t line, const Digest& root, bool from_genesis, const std::string& id);
  void close_chain(std::size_t i, bool dissolve);
  void erase_head(std::size_t i);
  void set_head(std::size_t i, const Digest& root);
  void extend(std::size_t i, std::uint64_t line, const Digest& root, const ScoreInput& scores, const std::string& id);
  void touch(std::size_t i);
  void replay(std::size_t i, std::uint64_t line, const ScoreInput& s);
  void start_pending(std::uint64_t line, std::size_t chain, const Digest& hash, const LineFields& f,
                     std::size_t failure);
  void clear_pending();
  void resolve_pending(std::string detail);
};

void LogVerifier::State::check_line(std::string_view line) {
  const std::uint64_t n = ++line_no;
  LineFields& f = fields;
  reset(f);
  std::size_t error_byte = 0;
  switch (read_fields(line, writer, f, error_byte, options.reference_parser ? nullptr : &fast)) {
    case LineRead::kNotJson:
      fail(n, FailureKind::kTornLine, "not valid JSON (syntax error at byte " + std::to_string(error_byte) + ")");
      return;
    case LineRead::kOutOfRange:
      fail(n, FailureKind::kBadForm, "a number in the line is out of range");
      return;
    case LineRead::kRecord:
      break;
  }
  if (!f.problem.empty()) fail(n, FailureKind::kBadForm, f.problem);
  if (f.root && !watch_index.empty()) {
    const auto it = watch_index.find(*f.root);
    if (it != watch_index.end() && watch_lines[it->second] == 0) watch_lines[it->second] = n;
  }

  std::optional<Digest> sealed;
  if (f.ppp && f.prompt_read && f.scores_read) {
    sealed = content_digest(*f.ppp, f.record.prompt, f.record.coherence_score, f.record.reputation_scalar);
    if (f.hash && *sealed != *f.hash) {
      fail(n, FailureKind::kHashMismatch, "the sealed fields hash to " + short_hex(*sealed) + ", not to the stored hash");
    }
  }
  if (f.hash && f.signature && !verify_signature(key, f.hash->data(), f.hash->size(), *f.signature)) {
    fail(n, FailureKind::kBadSignature, "the signature does not verify for the stored hash under the public key");
  }
  place(f, sealed);
}

Link LogVerifier::State::find_link(const Digest& hash, const Digest& root) const {
  auto follows = [&](const Digest& from) { return next_chain_root(from, hash) == root; };
  // The last chain extended is the likeliest, then a new chain; the rest only if both fail.
  if (!mru.empty() && follows(chains[mru[0]].head)) return {LinkKind::kHead, mru[0]};
  if (follows(genesis_root())) return {LinkKind::kGenesis, kNoIndex};
  for (std::size_t k = 1; k < mru.size(); ++k) {
    if (follows(chains[mru[k]].head)) return {LinkKind::kHead, mru[k]};
  }
  if (pending.active) {
    for (const std::size_t i : mru) {
      if (chains[i].alt_head && follows(*chains[i].alt_head)) return {LinkKind::kAlt, i};
    }
    if (follows(pending.genesis_alt)) return {LinkKind::kAltGenesis, kNoIndex};
  }
  return {};
}

std::size_t LogVerifier::State::pick_among_equal_heads(std::size_t first, const ScoreInput& s) const {
  const auto [begin, end] = open_heads.equal_range(chains[first].head);
  if (std::next(begin) == end || !s.usable) return first;
  // Equal heads, different histories behind the scores: take the chain whose replay matches.
  for (auto it = begin; it != end; ++it) {
    const Chain& c = chains[it->second];
    if (!c.scorer) continue;
    const Evaluation e = c.scorer->evaluate(s.prompt_bytes, s.output_bytes, false);
    if (same_bits(e.coherence, s.coherence) && same_bits(e.reputation, s.reputation)) return it->second;
  }
  return first;
}

// The record repeated: same root and same id as the head of an open chain or the first record of
// one. The id is not sealed, so a repeat with a new id passes for a new engine that sealed the
// same contents; it cannot be told apart.
bool LogVerifier::State::is_duplicate(const Digest& root, const std::string& id) {
  if (id.empty()) return false;
  std::uint64_t earlier = 0;
  for (auto [it, end] = open_heads.equal_range(root); it != end && earlier == 0; ++it) {
    if (chains[it->second].last_id == id) earlier = chains[it->second].last_line;
  }
  for (auto [it, end] = genesis_firsts.equal_range(root); it != end && earlier == 0; ++it) {
    if (it->second.id == id) earlier = it->second.line;
  }
  if (earlier == 0) return false;
  fail(line_no, FailureKind::kChainBreak, "it repeats the record at line " + std::to_string(earlier));
  return true;
}

void LogVerifier::State::place(const LineFields& f, const std::optional<Digest>& sealed) {
  const std::uint64_t n = line_no;
  if (!f.root) {
    // The root is unreadable (already reported): the next record of its chain can still show
    // where this one belongs.
    if (f.hash) start_pending(n, kNoIndex, *f.hash, f, kNoIndex);
    return;
  }
  const Digest& root = *f.root;
  if (!f.hash) {
    // Nothing to link with (already reported); later records may still extend its root.
    if (!is_duplicate(root, f.record.id)) open_chain(n, root, false, f.record.id);
    return;
  }

  Link link = find_link(*f.hash, root);
  // A damaged stored hash: the chain may still link through the digest of the sealed fields.
  if (link.kind == LinkKind::kNone && sealed && *sealed != *f.hash) link = find_link(*sealed, root);
  const std::string& id = f.record.id;
  if (is_duplicate(root, id)) return;

  switch (link.kind) {
    case LinkKind::kHead: {
      const std::size_t c = pick_among_equal_heads(link.chain, f.scores);
      extend(c, n, root, f.scores, id);
      if (pending.active && c == pending.chain) clear_pending();  // its root was right
      return;
    }
    case LinkKind::kGenesis: {
      const std::size_t c = open_chain(n, root, true, id);
      genesis_firsts.emplace(root, FirstRecord{n, id});
      replay(c, n, f.scores);
      return;
    }
    case LinkKind::kAlt: {
      const std::size_t c = link.chain;
      const Digest mid = *chains[c].alt_head;
      const Pending p = pending;
      if (p.chain != kNoIndex) close_chain(p.chain, true);
      set_head(c, mid);
      chains[c].last_line = p.line;
      chains[c].last_id = p.id;
      ++chains[c].records;
      replay(c, p.line, p.scores);
      resolve_pending("its merkle_root is damaged: line " + std::to_string(n) +
                      " follows from the root it should have had, in the chain of line " +
                      std::to_string(chains[c].first_line));
      extend(c, n, root, f.scores, id);
      return;
    }
    case LinkKind::kAltGenesis: {
      const Pending p = pending;
      if (p.chain != kNoIndex) close_chain(p.chain, true);
      resolve_pending("its merkle_root is damaged: line " + std::to_string(n) +
                      " follows from the root it should have had as the first record of a chain");
      const std::size_t c = open_chain(p.line, p.genesis_alt, true, p.id);
      genesis_firsts.emplace(p.genesis_alt, FirstRecord{p.line, p.id});
      replay(c, p.line, p.scores);
      extend(c, n, root, f.scores, id);
      return;
    }
    case LinkKind::kNone:
      break;
  }

  const std::size_t failure =
      fail(n, FailureKind::kChainBreak,
           "its merkle_root follows neither from genesis nor from the head of any open chain: a record "
           "before it is missing, or this one was moved, inserted or damaged");
  const std::size_t c = open_chain(n, root, false, id);
  start_pending(n, c, *f.hash, f, failure);
}

std::size_t LogVerifier::State::open_chain(std::uint64_t line, const Digest& root, bool from_genesis,
                                           const std::string& id) {
  if (mru.size() >= options.max_open_chains) close_chain(mru.back(), false);
  Chain c;
  c.first_line = line;
  c.last_line = line;
  c.records = 1;
  c.head = root;
  c.last_id = id;
  c.from_genesis = from_genesis;
  if (from_genesis) {
    c.scorer.emplace();
  } else {
    c.scores_note = "it begins after a break, so the history its scores depend on is unknown";
  }
  chains.push_back(std::move(c));
  const std::size_t i = chains.size() - 1;
  open_heads.emplace(root, i);
  mru.insert(mru.begin(), i);
  return i;
}

void LogVerifier::State::close_chain(std::size_t i, bool dissolve) {
  Chain& c = chains[i];
  if (c.open) {
    c.open = false;
    erase_head(i);
    mru.erase(std::find(mru.begin(), mru.end(), i));
  }
  c.alt_head.reset();
  if (dissolve) {
    c.dissolved = true;
  } else if (c.scorer) {
    c.scorer.reset();
    c.scores_note = "replay stopped after line " + std::to_string(c.last_line) + ": the chain was closed while " +
                    std::to_string(options.max_open_chains) + " later chains were open";
  }
}

void LogVerifier::State::erase_head(std::size_t i) {
  for (auto [it, end] = open_heads.equal_range(chains[i].head); it != end; ++it) {
    if (it->second == i) {
      open_heads.erase(it);
      return;
    }
  }
}

void LogVerifier::State::set_head(std::size_t i, const Digest& root) {
  erase_head(i);
  chains[i].head = root;
  open_heads.emplace(root, i);
}

void LogVerifier::State::touch(std::size_t i) {
  const auto it = std::find(mru.begin(), mru.end(), i);
  std::rotate(mru.begin(), it, it + 1);
}

void LogVerifier::State::extend(std::size_t i, std::uint64_t line, const Digest& root, const ScoreInput& scores,
                                const std::string& id) {
  set_head(i, root);
  Chain& c = chains[i];
  c.last_line = line;
  c.last_id = id;
  ++c.records;
  c.alt_head.reset();
  touch(i);
  replay(i, line, scores);
}

void LogVerifier::State::replay(std::size_t i, std::uint64_t line, const ScoreInput& s) {
  Chain& c = chains[i];
  if (!c.scorer) return;
  if (!s.usable) {
    c.scorer.reset();
    c.scores_note = "replay stopped at line " + std::to_string(line) + ", whose scores could not be read";
    return;
  }
  // auto_insight is not logged; it changes neither the history nor the reputation, so the replay
  // asks for an insight and accepts a logged null in its place.
  const Evaluation e = c.scorer->evaluate(s.prompt_bytes, s.output_bytes, true);
  std::string why;
  if (!same_bits(e.coherence, s.coherence)) {
    why = "coherence_score is " + float_text(s.coherence) + ", the replay gives " + float_text(e.coherence);
  } else if (!same_bits(e.reputation, s.reputation)) {
    why = "reputation_scalar is " + float_text(s.reputation) + ", the replay gives " + float_text(e.reputation);
  } else if (s.insight) {
    if (!e.insight) {
      why = "core_insight_json is set, but the replayed coherence is below the insight threshold";
    } else if (core_insight_json(*e.insight) != *s.insight) {
      why = "core_insight_json differs from the replayed insight";
    }
  }
  ++c.scores_checked;
  if (!why.empty()) fail(line, FailureKind::kScoreMismatch, why);
  if (same_bits(e.coherence, s.coherence)) {
    // The history is intact; a wrong reputation or insight was only logged wrong.
    c.scorer->commit(e);
  } else {
    // The lengths behind this record are not what was scored: the history from here is unknown.
    c.scorer.reset();
    c.scores_note = "replay stopped at the score mismatch on line " + std::to_string(line);
  }
}

void LogVerifier::State::start_pending(std::uint64_t line, std::size_t chain, const Digest& hash,
                                       const LineFields& f, std::size_t failure) {
  clear_pending();
  for (const std::size_t i : mru) {
    if (i != chain) chains[i].alt_head = next_chain_root(chains[i].head, hash);
  }
  pending.active = true;
  pending.line = line;
  pending.id = f.record.id;
  pending.chain = chain;
  pending.genesis_alt = next_chain_root(genesis_root(), hash);
  pending.scores = f.scores;
  pending.failure = failure;
}

void LogVerifier::State::clear_pending() {
  if (!pending.active) return;
  for (const std::size_t i : mru) chains[i].alt_head.reset();
  pending = Pending{};
}

void LogVerifier::State::resolve_pending(std::string detail) {
  if (pending.failure != kNoIndex) failures[pending.failure].detail = std::move(detail);
  clear_pending();
}

LogVerifier::LogVerifier(const PublicKey& key, VerifyOptions options)
    : state_(std::make_unique<State>(key, std::move(options))) {}

LogVerifier::~LogVerifier() = default;

void LogVerifier::add_line(std::string_view line) { state_->check_line(line); }

void LogVerifier::add_torn_line() {
  const std::uint64_t n = ++state_->line_no;
  state_->fail(n, FailureKind::kTornLine, "the last line has no line feed: its append was cut off");
}

void LogVerifier::add_oversized_line(std::uint64_t length) {
  const std::uint64_t n = ++state_->line_no;
  state_->fail(n, FailureKind::kBadForm,
               "the line is " + std::to_string(length) + " bytes long, more than the limit of " +
                   std::to_string(state_->options.max_line_bytes) + "; it was not read");
}

std::uint64_t LogVerifier::lines() const noexcept { return state_->line_no; }

LogReport LogVerifier::report(const std::string& path) const {
  const State& s = *state_;
  LogReport r;
  r.path = path;
  r.lines = s.line_no;
  for (const Chain& c : s.chains) {
    if (c.dissolved) continue;
    ChainSummary sum;
    sum.first_line = c.first_line;
    sum.last_line = c.last_line;
    sum.records = c.records;
    sum.head = c.head;
    sum.from_genesis = c.from_genesis;
    sum.scores_checked = c.scores_checked;
    sum.scores_note = c.scores_note;
    r.records += c.records;
    r.chains.push_back(std::move(sum));
  }
  // A chain recovered through a damaged first root is opened late but begins earlier.
  std::stable_sort(r.chains.begin(), r.chains.end(),
                   [](const ChainSummary& a, const ChainSummary& b) { return a.first_line < b.first_line; });
  r.failures = s.failures;
  std::stable_sort(r.failures.begin(), r.failures.end(), [](const Failure& a, const Failure& b) {
    return a.line != b.line ? a.line < b.line : a.kind < b.kind;
  });
  r.failures_omitted = s.failures_omitted;
  r.failure_counts = s.counts;
  r.watch_lines = s.watch_lines;
  // A root given twice is watched once, under its first index.
  for (std::size_t i = 0; i < r.watch_lines.size(); ++i) {
    r.watch_lines[i] = s.watch_lines[s.watch_index.at(s.options.watch_roots[i])];
  }
  return r;
}

// ---------------------------------------------------------------------------------------------
// Reading

LineReader::LineReader(const std::string& path, std::size_t max_line_bytes)
    : path_(path), max_line_bytes_(max_line_bytes), buffer_(kReadBufferBytes) {
  if (path.find('\0') != std::string::npos) throw IoError("cannot open '" + path + "': the name holds a NUL byte");
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    throw IoError("cannot open '" + path + "': " + os_error_text(err));
  }
  fd_ = fd;
}

LineReader::~LineReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool LineReader::fill() {
  if (eof_) return false;
  ssize_t got;
  do {
    got = ::read(fd_, buffer_.data(), buffer_.size());
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    const int err = errno;
    throw IoError("cannot read '" + path_ + "': " + os_error_text(err));
  }
  pos_ = 0;
  end_ = static_cast<std::size_t>(got);
  if (got == 0) eof_ = true;
  return got > 0;
}

LineReader::Status LineReader::next(std::string& line, std::uint64_t& length) {
  line.clear();
  length = 0;
  bool oversized = false;
  for (;;) {
    if (pos_ == end_ && !fill()) {
      if (length == 0 && !oversized) return Status::kEnd;
      return Status::kTorn;
    }
    const char* const start = buffer_.data() + pos_;
    const std::size_t avail = end_ - pos_;
    const auto* newline = static_cast<const char*>(std::memchr(start, '\n', avail));
    const std::size_t take = newline != nullptr ? static_cast<std::size_t>(newline - start) : avail;
    length += take;
    if (!oversized) {
      if (line.size() + take > max_line_bytes_) {
        oversized = true;
        line.clear();
        line.shrink_to_fit();
      } else {
        line.append(start, take);
      }
    }
    if (newline != nullptr) {
      pos_ += take + 1;
      return oversized ? Status::kOversized : Status::kLine;
    }
    pos_ = end_;
  }
}

LogReport verify_log_file(const std::string& path, const PublicKey& key, const VerifyOptions& options,
                          const ProgressFn& progress, std::uint64_t progress_every) {
  LineReader reader(path, options.max_line_bytes);
  LogVerifier verifier(key, options);
  std::string line;
  std::uint64_t length = 0;
  for (;;) {
    const LineReader::Status status = reader.next(line, length);
    if (status == LineReader::Status::kEnd) break;
    switch (status) {
      case LineReader::Status::kLine: verifier.add_line(line); break;
      case LineReader::Status::kTorn: verifier.add_torn_line(); break;
      case LineReader::Status::kOversized: verifier.add_oversized_line(length); break;
      case LineReader::Status::kEnd: break;
    }
    if (progress && progress_every != 0 && verifier.lines() % progress_every == 0) progress(verifier.lines());
  }
  return verifier.report(path);
}

}  // namespace velm::verify
