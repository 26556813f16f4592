// Compact JSON writer: no whitespace, members in the order the caller writes them, strings escaped
// by a 256-entry table with unescaped runs copied in one piece, doubles in the JSON float form
// (null when not finite). Builds into one growable buffer; writing a value allocates nothing
// beyond the buffer's own growth.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velm {

class JsonWriter {
 public:
  JsonWriter();  // reserves 128 bytes

  // Forgets the text written so far but keeps the buffer's capacity.
  void clear() noexcept;

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

  const std::string& text() const noexcept { return buf_; }
  std::string take();  // moves the text out and leaves the writer empty

 private:
  void separate();  // writes "," before every element but the first of its container

  std::string buf_;
  // One bit per nesting level (up to 64 deep): set once the container holds an element.
  std::uint64_t has_element_ = 0;
  std::uint32_t depth_ = 0;
  bool after_key_ = false;
};

}  // namespace velm
