#include "encoding/json_writer.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "encoding/float_text.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"

namespace velm {
namespace {

constexpr std::size_t kInitialCapacity = 128;

// "00".."99": integers are written two digits per step.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    t[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

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

// One element of a small-integer array: its digits and the comma after it, padded to eight bytes
// so that every element is copied with one fixed-size move.
struct SmallIntText {
  char text[8];
  std::uint8_t len;  // digits plus the comma
};

// Entry k holds the text of first + k, for k = 0..255.
constexpr std::array<SmallIntText, 256> small_int_table(int first) {
  std::array<SmallIntText, 256> table{};
  for (int k = 0; k < 256; ++k) {
    SmallIntText& e = table[static_cast<std::size_t>(k)];
    const int v = first + k;
    int mag = v < 0 ? -v : v;
    char digits[3];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + mag % 10);
      mag /= 10;
    } while (mag != 0);
    std::size_t len = 0;
    if (v < 0) e.text[len++] = '-';
    while (n > 0) e.text[len++] = digits[--n];
    e.text[len++] = ',';
    e.len = static_cast<std::uint8_t>(len);
  }
  return table;
}

constexpr std::array<SmallIntText, 256> kUnsignedBytes = small_int_table(0);
constexpr std::array<SmallIntText, 256> kSignedBytes = small_int_table(-128);  // index: value + 128

// Writes a whole array of byte-sized integers through `table` (index: byte ^ flip); the element
// texts carry their commas, and the last comma becomes the closing bracket.
char* write_small_int_array(char* out, const SmallIntText* table, const std::uint8_t* bytes, std::size_t count,
                            std::uint8_t flip) noexcept {
  *out++ = '[';
  for (std::size_t k = 0; k < count; ++k) {
    const SmallIntText& e = table[bytes[k] ^ flip];
    std::memcpy(out, e.text, sizeof e.text);
    out += e.len;
  }
  if (count != 0) --out;
  *out++ = ']';
  return out;
}

}  // namespace

JsonWriter::JsonWriter() : data_(new char[kInitialCapacity]), capacity_(kInitialCapacity) {}

void JsonWriter::grow(std::size_t extra) {
  const std::size_t need = size_ + extra;
  if (need < size_) throw std::length_error("JSON text too long");
  const std::size_t doubled = capacity_ * 2;
  const std::size_t capacity = need > doubled ? need : doubled;
  std::unique_ptr<char[]> bigger(new char[capacity]);
  if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
  data_ = std::move(bigger);
  capacity_ = capacity;
}

void JsonWriter::put(const char* text, std::size_t len) {
  reserve(len);
  std::memcpy(end(), text, len);
  size_ += len;
}

void JsonWriter::put(char c) {
  reserve(1);
  *end() = c;
  ++size_;
}

void JsonWriter::clear() noexcept {
  size_ = 0;
  has_element_ = 0;
  depth_ = 0;
  after_key_ = false;
}

void JsonWriter::release() noexcept {
  clear();
  data_.reset();
  capacity_ = 0;
}

std::string JsonWriter::take() {
  std::string out(text());
  clear();
  return out;
}

void JsonWriter::separate() {
  if (after_key_) {  // the value of a member: the key already placed the comma
    after_key_ = false;
    return;
  }
  if (depth_ == 0) return;
  const std::uint64_t bit = std::uint64_t{1} << (depth_ - 1);
  if (has_element_ & bit) put(',');
  has_element_ |= bit;
}

void JsonWriter::begin_container(char open) {
  // The comma bitmask has one bit per level; refusing is better than a wrong separator.
  if (depth_ >= 64) throw std::length_error("JSON nesting deeper than 64 levels");
  separate();
  ++depth_;
  has_element_ &= ~(std::uint64_t{1} << (depth_ - 1));
  put(open);
}

void JsonWriter::begin_object() { begin_container('{'); }

void JsonWriter::end_object() {
  if (depth_ > 0) --depth_;
  put('}');
}

void JsonWriter::begin_array() { begin_container('['); }

void JsonWriter::end_array() {
  if (depth_ > 0) --depth_;
  put(']');
}

void JsonWriter::key(std::string_view name) {
  string(name);  // counts as the member's element for comma purposes
  put(':');
  after_key_ = true;
}

void JsonWriter::string(std::string_view text) {
  separate();
  const char* const src = text.data();
  const std::size_t n = text.size();
  // Room for the quotes and the text unescaped. Each escape tops the room up to the escape plus
  // the rest of the text, so every other write below fits without a check.
  reserve(n + 2);
  char* out = end();
  *out++ = '"';
  const auto escape = [&](std::size_t i) {
    size_ = static_cast<std::size_t>(out - data_.get());
    reserve(6 + (n - i - 1) + 1);
    out = end();
    const unsigned char c = static_cast<unsigned char>(src[i]);
    const char esc = kJsonEscape[c];
    *out++ = '\\';
    if (esc == 'u') {
      const char seq[5] = {'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
      std::memcpy(out, seq, sizeof seq);
      out += sizeof seq;
    } else {
      *out++ = esc;
    }
  };
  const auto one_byte = [&](std::size_t i) {
    if (kJsonEscape[static_cast<unsigned char>(src[i])] == 0) {
      *out++ = src[i];
    } else {
      escape(i);
    }
  };
  std::size_t i = 0;
  // Sixteen bytes at a time: each block is stored whole, then the output moves on past the bytes
  // before the first one to escape (all sixteen when there is none). A block never reaches past
  // the end of the text, so the store stays inside the room reserved for it.
  while (i + kJsonScanBlock <= n) {
    std::memcpy(out, src + i, kJsonScanBlock);
    const std::size_t clean = first_escape_in_block(src + i);
    if (clean == kJsonScanBlock) {
      out += kJsonScanBlock;
      i += kJsonScanBlock;
      continue;
    }
    // Escapes tend to come in clusters (the quotes of an embedded JSON text), so the rest of
    // this block goes byte by byte rather than block by block from each escape.
    const std::size_t block_end = i + kJsonScanBlock;
    out += clean;
    for (i += clean; i < block_end; ++i) one_byte(i);
  }
  for (; i < n; ++i) one_byte(i);
  *out++ = '"';
  size_ = static_cast<std::size_t>(out - data_.get());
}

void JsonWriter::uint64(std::uint64_t value) {
  separate();
  char text[20];
  char* const stop = text + sizeof text;
  const char* start = format_u64(value, stop);
  put(start, static_cast<std::size_t>(stop - start));
}

void JsonWriter::int64(std::int64_t value) {
  separate();
  char text[21];
  char* const stop = text + sizeof text;
  // Magnitude computed in unsigned arithmetic so INT64_MIN needs no special case.
  const std::uint64_t mag =
      value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  char* start = format_u64(mag, stop);
  if (value < 0) *--start = '-';
  put(start, static_cast<std::size_t>(stop - start));
}

void JsonWriter::uint8_array(const std::uint8_t* values, std::size_t count) {
  separate();
  // Each element takes at most 4 bytes with its comma, and the last copy spills up to 8.
  reserve(4 * count + 8 + 2);
  char* const out = write_small_int_array(end(), kUnsignedBytes.data(), values, count, 0);
  size_ = static_cast<std::size_t>(out - data_.get());
}

void JsonWriter::int8_array(const std::int8_t* values, std::size_t count) {
  separate();
  reserve(5 * count + 8 + 2);
  // Flipping the top bit of the two's-complement byte gives value + 128, the table index.
  char* const out =
      write_small_int_array(end(), kSignedBytes.data(), reinterpret_cast<const std::uint8_t*>(values), count, 0x80);
  size_ = static_cast<std::size_t>(out - data_.get());
}

void JsonWriter::float64(double value) {
  if (!std::isfinite(value)) {
    null();
    return;
  }
  separate();
  char text[kFloatTextCapacity];
  const std::size_t len = write_json_float(value, text);
  put(text, len);
}

void JsonWriter::boolean(bool value) {
  separate();
  if (value) {
    put("true", 4);
  } else {
    put("false", 5);
  }
}

void JsonWriter::null() {
  separate();
  put("null", 4);
}

void JsonWriter::line_feed() { put('\n'); }

}  // namespace velm
