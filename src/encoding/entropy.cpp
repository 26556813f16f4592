#include "encoding/entropy.h"

#include <unistd.h>

#include <cerrno>

#include "encoding/digest.h"
#include "encoding/fatal_error.h"

namespace velm {

SecretSeed generate_seed() {
  SecretSeed seed;
  if (getentropy(seed.data(), seed.size()) != 0) {
    const int err = errno;
    throw FatalError("Error: " + os_error_text(err));
  }
  return seed;
}

Uuid uuid_v4_from_bytes(Uuid bytes) noexcept {
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  return bytes;
}

Uuid new_uuid_v4() {
  Uuid bytes{};
  if (getentropy(bytes.data(), bytes.size()) != 0) {
    const int err = errno;
    throw FatalError("could not retrieve random bytes for uuid: " + os_error_text(err));
  }
  return uuid_v4_from_bytes(bytes);
}

void uuid_text_into(const Uuid& uuid, char* out) noexcept {
  // Groups of 4, 2, 2, 2 and 6 bytes.
  static constexpr std::size_t kGroupEnds[] = {4, 6, 8, 10, 16};
  std::size_t byte = 0;
  for (std::size_t g = 0; g < 5; ++g) {
    if (g != 0) *out++ = '-';
    hex_lower_into(uuid.data() + byte, kGroupEnds[g] - byte, out);
    out += 2 * (kGroupEnds[g] - byte);
    byte = kGroupEnds[g];
  }
}

std::string uuid_text(const Uuid& uuid) {
  std::string out(kUuidTextSize, '\0');
  uuid_text_into(uuid, out.data());
  return out;
}

}  // namespace velm
