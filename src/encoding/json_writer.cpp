#include "encoding/json_writer.h"

#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "encoding/float_text.h"

namespace velm {
namespace {

constexpr std::size_t kInitialCapacity = 128;

// Per byte: 0 = copied as is, 'u' = \u00XX, otherwise the letter written after the backslash.
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
  t['"'] = '"';
  t['\\'] = '\\';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  return t;
}();

// "00".."99": integers are written two digits per step.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    t[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

constexpr char kHex[] = "0123456789abcdef";

// Writes `v` ending just before `end`; returns where the digits start.
char* format_u64(std::uint64_t v, char* end) noexcept {
  char* p = end;
  while (v >= 100) {
    const std::size_t i = static_cast<std::size_t>(v % 100) * 2;
    v /= 100;
    *--p = kDigitPairs[i + 1];
    *--p = kDigitPairs[i];
  }
  if (v >= 10) {
    const std::size_t i = static_cast<std::size_t>(v) * 2;
    *--p = kDigitPairs[i + 1];
    *--p = kDigitPairs[i];
  } else {
    *--p = static_cast<char>('0' + v);
  }
  return p;
}

// Grows by at least doubling so a long run of small appends stays amortised O(1).
void reserve_more(std::string& buf, std::size_t extra) {
  const std::size_t need = buf.size() + extra;
  if (need > buf.capacity()) {
    const std::size_t doubled = buf.capacity() * 2;
    buf.reserve(need > doubled ? need : doubled);
  }
}

void put(std::string& buf, const char* text, std::size_t len) {
  reserve_more(buf, len);
  buf.append(text, len);
}

void put(std::string& buf, char c) {
  reserve_more(buf, 1);
  buf.push_back(c);
}

}  // namespace

JsonWriter::JsonWriter() { buf_.reserve(kInitialCapacity); }

void JsonWriter::clear() noexcept {
  buf_.clear();
  has_element_ = 0;
  depth_ = 0;
  after_key_ = false;
}

std::string JsonWriter::take() {
  std::string out = std::move(buf_);
  buf_ = std::string();
  buf_.reserve(kInitialCapacity);
  has_element_ = 0;
  depth_ = 0;
  after_key_ = false;
  return out;
}

void JsonWriter::separate() {
  if (after_key_) {  // the value of a member: the key already placed the comma
    after_key_ = false;
    return;
  }
  if (depth_ == 0) return;
  const std::uint64_t bit = std::uint64_t{1} << (depth_ - 1);
  if (has_element_ & bit) {
    put(buf_, ',');
  }
  has_element_ |= bit;
}

void JsonWriter::begin_object() {
  // The comma bitmask has one bit per level; refusing is better than a wrong separator.
  if (depth_ >= 64) throw std::length_error("JSON nesting deeper than 64 levels");
  separate();
  ++depth_;
  has_element_ &= ~(std::uint64_t{1} << (depth_ - 1));
  put(buf_, '{');
}

void JsonWriter::end_object() {
  if (depth_ > 0) --depth_;
  put(buf_, '}');
}

void JsonWriter::begin_array() {
  if (depth_ >= 64) throw std::length_error("JSON nesting deeper than 64 levels");
  separate();
  ++depth_;
  has_element_ &= ~(std::uint64_t{1} << (depth_ - 1));
  put(buf_, '[');
}

void JsonWriter::end_array() {
  if (depth_ > 0) --depth_;
  put(buf_, ']');
}

void JsonWriter::key(std::string_view name) {
  string(name);  // counts as the member's element for comma purposes
  put(buf_, ':');
  after_key_ = true;
}

namespace {

std::uint64_t load8(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// True when any of the eight bytes is below 0x20, a double quote or a backslash: exactly the
// bytes the escape table does not pass through. Each test is the exact "some byte is zero" /
// "some byte is less than n" bit trick, so there are no false negatives.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
bool needs_escape(std::uint64_t w) noexcept {
  const auto has_zero = [](std::uint64_t v) { return ((v - kOnes) & ~v & kHighs) != 0; };
  const bool below_space = ((w - kOnes * 0x20) & ~w & kHighs) != 0;
  return below_space || has_zero(w ^ (kOnes * '"')) || has_zero(w ^ (kOnes * '\\'));
}

}  // namespace

void JsonWriter::string(std::string_view text) {
  separate();
  // Room for the quotes and the text unescaped; escapes grow it further as needed.
  reserve_more(buf_, text.size() + 2);
  buf_.push_back('"');
  const char* const data = text.data();
  const std::size_t n = text.size();
  std::size_t run = 0;
  for (std::size_t i = 0; i < n; ++i) {
    // Skip eight bytes at a time while none of them needs escaping (the usual case for text).
    while (i + 8 <= n && !needs_escape(load8(data + i))) i += 8;
    if (i >= n) break;
    const unsigned char c = static_cast<unsigned char>(data[i]);
    const char esc = kEscape[c];
    if (esc == 0) continue;
    if (i > run) put(buf_, data + run, i - run);
    if (esc == 'u') {
      const char seq[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      put(buf_, seq, sizeof seq);
    } else {
      const char seq[2] = {'\\', esc};
      put(buf_, seq, sizeof seq);
    }
    run = i + 1;
  }
  if (n > run) put(buf_, data + run, n - run);
  put(buf_, '"');
}

void JsonWriter::uint64(std::uint64_t value) {
  separate();
  char text[20];
  char* const end = text + sizeof text;
  const char* start = format_u64(value, end);
  const std::size_t len = static_cast<std::size_t>(end - start);
  put(buf_, start, len);
}

void JsonWriter::int64(std::int64_t value) {
  separate();
  char text[21];
  char* const end = text + sizeof text;
  // Magnitude computed in unsigned arithmetic so INT64_MIN needs no special case.
  const std::uint64_t mag =
      value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  char* start = format_u64(mag, end);
  if (value < 0) *--start = '-';
  const std::size_t len = static_cast<std::size_t>(end - start);
  put(buf_, start, len);
}

void JsonWriter::float64(double value) {
  if (!std::isfinite(value)) {
    null();
    return;
  }
  separate();
  char text[kFloatTextCapacity];
  const std::size_t len = write_json_float(value, text);
  put(buf_, text, len);
}

void JsonWriter::boolean(bool value) {
  separate();
  if (value) {
    put(buf_, "true", 4);
  } else {
    put(buf_, "false", 5);
  }
}

void JsonWriter::null() {
  separate();
  put(buf_, "null", 4);
}

}  // namespace velm
