// velm-qor-verify: checks record logs against the public key of the engine that wrote them, and
// makes and checks witnessed checkpoints and proof bundles (see --help). Exit status: 2 on a usage
// error or when an input cannot be read, else 1 when any check fails or nothing could be made,
// else 0.
#include <cstdio>
#include <exception>
#include <new>

#include "verifier/base/errors.h"
#include "verifier/cli/commands.h"
#include "verifier/cli/flags.h"

namespace {

using namespace velm::verify;

// The one place where an error becomes what the command prints and its exit status.
int report_error(const Error& e) {
  std::fprintf(stderr, "velm-qor-verify: %s\n", e.what());
  switch (e.error_kind()) {
    case ErrorKind::kUsage:
      std::fputs(cli::usage_text().c_str(), stderr);
      return cli::kExitError;
    case ErrorKind::kUnreadable:
      return cli::kExitError;
    case ErrorKind::kRefused:
      return cli::kExitFailed;
  }
  return cli::kExitError;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return cli::run_command(cli::parse_arguments(argc, argv));
  } catch (const Error& e) {
    return report_error(e);
  } catch (const std::bad_alloc&) {
    std::fputs("velm-qor-verify: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velm-qor-verify: %s\n", e.what());
  } catch (...) {
    std::fputs("velm-qor-verify: unexpected error\n", stderr);
  }
  return cli::kExitError;
}
