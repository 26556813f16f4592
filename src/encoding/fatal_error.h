// A failure that ends the current operation: the binding layer turns it into PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace velm {

class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

// Describes an errno value as "<description> (os error N)".
std::string os_error_text(int error_number);

}  // namespace velm
