// Compact JSON writer: no whitespace, members in the order the caller writes them, strings escaped
// by a 256-entry table with unescaped runs copied in one piece, doubles in the JSON float form
// (null when not finite). Builds into one growable buffer that starts at 128 bytes and at least
// doubles when it grows; writing a value allocates nothing beyond that growth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velm {

class JsonWriter {
 public:
  JsonWriter();  // reserves 128 bytes

  // Forgets the text written so far but keeps the buffer's capacity.
  void clear() noexcept;
  // Forgets the text and frees the buffer; the next write allocates a new one.
  void release() noexcept;

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();

  // Writes a member name inside an object; the next value written is its value.
  void key(std::string_view name);

  void string(std::string_view text);
  void uint64(std::uint64_t value);
  void int64(std::int64_t value);
  void float64(double value);  // JSON float form, or null when not finite
  void boolean(bool value);
  void null();

  // A whole array of small integers, as uint64 or int64 would write each element.
  void uint8_array(const std::uint8_t* values, std::size_t count);
  void int8_array(const std::int8_t* values, std::size_t count);

  // Ends a line of JSON-lines output: a line feed after the complete value.
  void line_feed();

  std::string_view text() const noexcept { return {data_.get(), size_}; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::string take();  // the text as a string; the writer is left empty, its buffer kept
  // Forgets the text written so far but not where it is in the document, so that a long document
  // can be handed on piece by piece: text() before each call, joined, is the whole document.
  void drop_text() noexcept { size_ = 0; }

 private:
  void separate();  // writes "," before every element but the first of its container
  void begin_container(char open);
  // Makes room for `extra` more bytes.
  void reserve(std::size_t extra) {
    if (capacity_ - size_ < extra) grow(extra);
  }
  void grow(std::size_t extra);
  char* end() noexcept { return data_.get() + size_; }
  void put(const char* text, std::size_t len);
  void put(char c);

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  // One bit per nesting level (up to 64 deep): set once the container holds an element.
  std::uint64_t has_element_ = 0;
  std::uint32_t depth_ = 0;
  bool after_key_ = false;
};

// The text that `write(w, value)` makes, built in `w` (cleared first; its buffer is kept).
template <class Write, class Value>
std::string json_text(JsonWriter& w, Write&& write, const Value& value) {
  w.clear();
  write(w, value);
  return w.take();
}

// The same in a writer of its own.
template <class Write, class Value>
std::string json_text(Write&& write, const Value& value) {
  JsonWriter w;
  return json_text(w, write, value);
}

}  // namespace velm
