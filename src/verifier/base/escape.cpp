#include "verifier/base/escape.h"

#include <cstdint>

#include "encoding/hex.h"
#include "verifier/base/text.h"

namespace velm::verify {

namespace {

bool controls_terminal(char32_t cp) noexcept {
  return (cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
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
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(cp >> shift) & 15];
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
