// Text forms of doubles. Both come from one source of shortest round-trip digits and differ only
// in layout:
//  - the JSON float form: positional for decimal exponents -5..15, otherwise "d.ddde+X"/"e-X";
//  - the seal float text: positional for 1e-4 <= |v| < 1e16 (and zero), otherwise "d.ddde-X"/"eX".
#pragma once

#include <cstddef>
#include <string>

namespace velm {

// Room for the longest text either form produces ("-1.7976931348623157e+308" is 24 bytes).
inline constexpr std::size_t kFloatTextCapacity = 32;

// Writes the JSON float form of a finite `value` into `out` (at least kFloatTextCapacity bytes)
// and returns its length. Non-finite values are the caller's business (JSON writes null).
std::size_t write_json_float(double value, char* out) noexcept;

// Writes the seal float text of `value` ("NaN", "inf", "-inf" for non-finite values).
std::size_t write_seal_float(double value, char* out) noexcept;

// Appends the seal float text of `value` to `out`.
void append_seal_float(std::string& out, double value);

}  // namespace velm
