// Small files read whole: checkpoints, bundles, verifier key files.
#pragma once

#include <cstddef>
#include <string>

namespace velm::verify {

// The file's bytes ("-": standard input), at most limit + 1 of them (so that a parser can tell it
// is too large). Throws IoError "cannot read the <what> <path>: <reason>" with its errno.
std::string read_small_file(const std::string& path, std::size_t limit, const char* what);

}  // namespace velm::verify
