#include "encoding/fatal_error.h"

#include <cstring>

namespace velm {

std::string os_error_text(int error_number) {
  // strerror_r in its GNU form may return a static string rather than fill the buffer.
  char buf[256];
  const char* text = strerror_r(error_number, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace velm
