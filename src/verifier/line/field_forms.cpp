#include "verifier/line/field_forms.h"

#include <cstdint>

#include "encoding/civil_time.h"
#include "encoding/clock.h"
#include "encoding/entropy.h"
#include "encoding/hex.h"

namespace velm::verify {

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
  if (year < 1970) return false;
  const auto seconds = unix_seconds({static_cast<int>(year), month, day, hour, minute, second});
  // Leaves the fraction's digit count (none, or the fewest of 3, 6, 9) to the engine's own writer.
  return seconds.has_value() && rfc3339_text(*seconds, nanos) == ts;
}

}  // namespace velm::verify
