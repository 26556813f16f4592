// Every double: the JSON float form parses back (as JSON and with strtod) to the same value, and
// so does the seal float text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "encoding/float_text.h"
#include "encoding/json_writer.h"

namespace {
bool same_bits(double a, double b) {
  std::uint64_t x, y;
  std::memcpy(&x, &a, 8);
  std::memcpy(&y, &b, 8);
  return x == y;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  double value;
  std::memcpy(&value, data, 8);

  char seal[velm::kFloatTextCapacity + 1] = {};
  const std::size_t seal_len = velm::write_seal_float(value, seal);
  if (seal_len > velm::kFloatTextCapacity) std::abort();
  velm::JsonWriter writer;
  writer.float64(value);
  const std::string json(writer.text());

  if (!std::isfinite(value)) {
    if (json != "null") std::abort();
    return 0;
  }
  if (json.size() > 24 || same_bits(std::strtod(seal, nullptr), value) == false) std::abort();
  if (!same_bits(std::strtod(json.c_str(), nullptr), value)) std::abort();
  const double parsed = nlohmann::json::parse(json).get<double>();
  if (!same_bits(parsed, value) && !(value == 0.0 && parsed == 0.0)) std::abort();
  if (json.find('.') == std::string::npos && json.find('e') == std::string::npos) std::abort();
  return 0;
}
