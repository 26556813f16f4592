// One function per command of velm-qor-verify: each fills an api::Request from the parsed
// command line, calls the API and prints the result. Each returns the exit status; errors are
// thrown (base/errors.h) for main to report.
#pragma once

#include "verifier/cli/flags.h"

namespace velm::verify::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitError = 2;

int run_command(const Arguments& args);

}  // namespace velm::verify::cli
