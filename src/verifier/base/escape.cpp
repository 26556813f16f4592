#include "verifier/base/escape.h"

#include <cstdint>

#include "encoding/hex.h"
#include "verifier/base/text.h"

namespace velm::verify {

namespace {

// Unicode's format characters (General_Category Cf, as of Unicode 15.1): invisible, and among them
// every control of the direction of text (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069).
struct CodeRange {
  char32_t first, last;
};
constexpr CodeRange kFormatCharacters[] = {
    {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},     {0x6DD, 0x6DD},     {0x70F, 0x70F},
    {0x890, 0x891},     {0x8E2, 0x8E2},     {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

bool controls_terminal(char32_t cp) noexcept {
  if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) return true;
  for (const CodeRange& r : kFormatCharacters) {
    if (cp < r.first) return false;  // the ranges are in order
    if (cp <= r.last) return true;
  }
  return false;
}

}  // namespace

std::string escape_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t len = utf8_sequence(text, i, cp);
    if (len == 0 || (len == 1 && (cp < 0x20 || cp == 0x7F))) {
      const auto b = static_cast<unsigned char>(text[i]);
      switch (b) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          out += "\\x";
          out += kHexDigits[b >> 4];
          out += kHexDigits[b & 15];
      }
      ++i;
      continue;
    }
    if (len == 1 && (cp == '"' || cp == '\\')) {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (controls_terminal(cp)) {
      out += cp > 0xFFFF ? "\\U" : "\\u";
      for (int shift = cp > 0xFFFF ? 28 : 12; shift >= 0; shift -= 4) out += kHexDigits[(cp >> shift) & 15];
    } else {
      out.append(text.substr(i, len));
    }
    i += len;
  }
  return out;
}

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t len = utf8_sequence(text, i, cp);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, len));
      i += len;
    }
  }
  return out;
}

}  // namespace velm::verify
