// The progress line on standard error while a log is read, when standard error is a terminal:
// "\rverifying PATH: 12.5 of 40.0 MB (31%), 120000 lines, 41000 lines/s".
#pragma once

#include "verifier/api.h"

namespace velm::verify::cli {

// Empty when standard error is not a terminal.
api::ProgressFor progress_on_terminal();

}  // namespace velm::verify::cli
