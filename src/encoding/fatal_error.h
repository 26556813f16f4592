// A failure that ends the current operation: the binding layer turns it into PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace velm {

class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& message, int os_error = 0)
      : std::runtime_error(message), os_error_(os_error) {}

  // The errno value behind the failure, or 0 where none is.
  int os_error() const noexcept { return os_error_; }

 private:
  int os_error_;
};

// Describes an errno value as "<description> (os error N)".
std::string os_error_text(int error_number);

}  // namespace velm
