// Any byte string written as a JSON string gives valid JSON; for valid UTF-8 it parses back to
// exactly the input.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "encoding/json_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  velm::JsonWriter writer;
  writer.begin_object();
  writer.key(input);
  writer.begin_array();
  writer.string(input);
  writer.end_array();
  writer.end_object();
  const std::string_view text = writer.text();
  for (unsigned char c : text) {
    if (c < 0x20) std::abort();  // control bytes only ever appear escaped
  }
  // The writer's inputs are always valid UTF-8; other bytes need only give bytes out, no crash.
  try {
    (void)nlohmann::json(input).dump();
  } catch (const nlohmann::json::type_error&) {
    return 0;
  }
  const nlohmann::json parsed = nlohmann::json::parse(text);  // throws, and so fails, if invalid
  if (parsed.size() != 1 || !parsed.contains(input) || parsed[input][0].get<std::string>() != input) std::abort();
  return 0;
}
