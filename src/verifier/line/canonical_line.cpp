#include "verifier/line/canonical_line.h"

#include <simdjson.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "encoding/float_text.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"

namespace velm::verify {

namespace {

// The byte each two-character escape stands for, by the letter after the backslash; 0 where the
// writer never writes that letter.
constexpr std::array<char, 256> kShortEscape = [] {
  std::array<char, 256> t{};
  for (std::size_t c = 0; c < kJsonEscape.size(); ++c) {
    const char letter = kJsonEscape[c];
    if (letter != 0 && letter != 'u') t[static_cast<unsigned char>(letter)] = static_cast<char>(c);
  }
  return t;
}();

bool ends_plain_run(unsigned char c) noexcept { return kJsonEscape[c] != 0; }

class Cursor {
 public:
  explicit Cursor(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool at_end() const noexcept { return p_ == end_; }

  bool literal(std::string_view s) noexcept {
    if (static_cast<std::size_t>(end_ - p_) < s.size() || std::memcmp(p_, s.data(), s.size()) != 0) return false;
    p_ += s.size();
    return true;
  }

  // A string in the writer's escapes, decoded into `out`.
  bool string(std::string& out) {
    out.clear();
    if (!literal("\"")) return false;
    const char* run = p_;  // start of the plain text not yet copied
    const char* q = p_;
    for (;;) {
      // On to the next quote, backslash or control character: 16 bytes at a time while they
      // last, then byte by byte.
      while (end_ - q >= static_cast<std::ptrdiff_t>(kJsonScanBlock)) {
        const std::size_t stop = first_escape_in_block(q);
        q += stop;
        if (stop != kJsonScanBlock) break;
      }
      if (end_ - q < static_cast<std::ptrdiff_t>(kJsonScanBlock)) {
        while (q != end_ && !ends_plain_run(static_cast<unsigned char>(*q))) ++q;
        if (q == end_) return false;
      }
      const unsigned char c = static_cast<unsigned char>(*q);
      out.append(run, static_cast<std::size_t>(q - run));
      if (c == '"') {
        p_ = q + 1;
        return true;
      }
      if (c != '\\' || end_ - q < 2) return false;  // a raw control character, or a cut escape
      const char letter = q[1];
      if (letter == 'u') {
        std::uint8_t value = 0;
        if (end_ - q < 6 || q[2] != '0' || q[3] != '0' || !parse_hex_lower({q + 4, 2}, &value, 1)) return false;
        if (kJsonEscape[value] != 'u') return false;  // a byte the writer escapes otherwise, or not at all
        out.push_back(static_cast<char>(value));
        q += 6;
      } else {
        const char decoded = kShortEscape[static_cast<unsigned char>(letter)];
        if (decoded == 0) return false;
        out.push_back(decoded);
        q += 2;
      }
      run = q;
    }
  }

  // An unsigned integer in plain decimal: no sign, no leading zero, at most 2^64 - 1.
  bool uint64(std::uint64_t& out) noexcept {
    const char* q = p_;
    if (q == end_ || *q < '0' || *q > '9') return false;
    if (*q == '0') {
      out = 0;
      p_ = q + 1;
      return p_ == end_ || *p_ < '0' || *p_ > '9';
    }
    std::uint64_t v = 0;
    for (; q != end_ && *q >= '0' && *q <= '9'; ++q) {
      const auto d = static_cast<std::uint64_t>(*q - '0');
      if (v > (UINT64_MAX - d) / 10) return false;
      v = v * 10 + d;
    }
    out = v;
    p_ = q;
    return true;
  }

  // An array of small integers 0..255, each in plain decimal, exactly `count` of them.
  template <std::size_t N>
  bool byte_array(std::array<std::uint8_t, N>& out) noexcept {
    if (!literal("[")) return false;
    for (std::size_t i = 0; i < N; ++i) {
      if (i != 0 && !literal(",")) return false;
      std::uint64_t v = 0;
      if (!uint64(v) || v > 255) return false;
      out[i] = static_cast<std::uint8_t>(v);
    }
    return literal("]");
  }

  // A finite double in the writer's JSON float form, which always holds a point or an exponent.
  bool float64(double& out) noexcept {
    const char* q = p_;
    bool fractional = false;
    for (; q != end_; ++q) {
      const char c = *q;
      if (c == '.' || c == 'e' || c == 'E') {
        fractional = true;
      } else if (!((c >= '0' && c <= '9') || c == '-' || c == '+')) {
        break;
      }
    }
    if (!fractional) return false;
    double v = 0;
    const auto [ptr, ec] = std::from_chars(p_, q, v);
    if (ec != std::errc{} || ptr != q) return false;
    char text[kFloatTextCapacity];
    const std::size_t len = write_json_float(v, text);
    if (len != static_cast<std::size_t>(q - p_) || std::memcmp(text, p_, len) != 0) return false;
    out = v;
    p_ = q;
    return true;
  }

  bool boolean(bool& out) noexcept {
    if (literal("true")) {
      out = true;
      return true;
    }
    out = false;
    return literal("false");
  }

 private:
  const char* p_;
  const char* end_;
};

bool read_ppp(std::string_view text, PPPTripletData& ppp) {
  Cursor c(text);
  return c.literal("{\"provenance\":") && c.string(ppp.provenance) && c.literal(",\"place\":") && c.string(ppp.place) &&
         c.literal(",\"purpose\":") && c.string(ppp.purpose) && c.literal("}") && c.at_end();
}

bool read_review(std::string_view text, HumanDeltaChainData& node) {
  Cursor c(text);
  return c.literal("{\"chain_id\":") && c.string(node.chain_id) && c.literal(",\"agent_decision_ref\":") &&
         c.string(node.agent_decision_ref) && c.literal(",\"resolved\":") && c.boolean(node.resolved) &&
         c.literal(",\"terminal_node\":") && c.string(node.terminal_node) && c.literal("}") && c.at_end();
}

}  // namespace

bool read_canonical_record(std::string_view line, SealedRecordData& r, PPPTripletData& ppp,
                           HumanDeltaChainData& review) {
  // The general path's parser refuses text that is not UTF-8 and documents past its capacity;
  // a line it would refuse must not pass here.
  if (line.size() >= simdjson::SIMDJSON_MAXSIZE_BYTES || !simdjson::validate_utf8(line.data(), line.size())) {
    return false;
  }
  Cursor c(line);
  if (!(c.literal("{\"id\":") && c.string(r.id) && c.literal(",\"timestamp\":") && c.string(r.timestamp) &&
        c.literal(",\"monotonic_nanos\":") && c.uint64(r.monotonic_nanos) && c.literal(",\"hash\":") &&
        c.string(r.hash) && c.literal(",\"signature\":") && c.byte_array(r.signature) &&
        c.literal(",\"merkle_root\":") && c.string(r.merkle_root) && c.literal(",\"coherence_score\":") &&
        c.float64(r.coherence_score) && c.literal(",\"reputation_scalar\":") && c.float64(r.reputation_scalar) &&
        c.literal(",\"ppp_json\":") && c.string(r.ppp_json) && c.literal(",\"ctx_json\":") && c.string(r.ctx_json) &&
        c.literal(",\"prompt\":") && c.string(r.prompt) && c.literal(",\"reasoning_trace_json\":") &&
        c.string(r.reasoning_trace_json) && c.literal(",\"output\":") && c.string(r.output) &&
        c.literal(",\"human_delta_chain_json\":") && c.string(r.human_delta_chain_json) &&
        c.literal(",\"core_insight_json\":"))) {
    return false;
  }
  if (c.literal("null")) {
    r.core_insight_json.reset();
  } else {
    if (!r.core_insight_json) r.core_insight_json.emplace();
    if (!c.string(*r.core_insight_json)) return false;
  }
  return c.literal("}") && c.at_end() && read_ppp(r.ppp_json, ppp) && read_review(r.human_delta_chain_json, review);
}

}  // namespace velm::verify
