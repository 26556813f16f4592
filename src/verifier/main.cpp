// velm-qor-verify: checks record logs against the public key of the engine that wrote them.
// Exit status: 0 every line verifies, 1 some check failed, 2 usage or I/O error.
#include <sodium.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "verifier/log_verifier.h"
#include "verifier/report.h"

namespace {

using namespace velm::verify;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitError = 2;

constexpr std::string_view kUsage =
    "usage: velm-qor-verify LOG... --public-key HEX [--json] [--expect-head ROOT]...\n";

constexpr std::string_view kHelp =
    "\n"
    "Checks every line of each LOG: its form, its hash, its Ed25519 signature under the public key\n"
    "(64 hex digits, from QOREngine.public_key_hex()), its place in a hash chain, and its scores\n"
    "replayed against the history of that chain. Several LOGs are checked one by one.\n"
    "\n"
    "  --public-key HEX    the engine's public key (required)\n"
    "  --json              print one JSON report instead of the summary\n"
    "  --expect-head ROOT  fail unless some line of the LOGs has this merkle_root (repeatable);\n"
    "                      give the heads printed by an earlier run to notice cut-off records\n"
    "\n"
    "Exit status: 0 when every line verifies, 1 when any check fails, 2 on a usage or I/O error.\n";

class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

struct Arguments {
  std::vector<std::string> logs;
  std::optional<std::string> public_key;
  std::vector<std::string> expect_heads;
  bool json = false;
  bool help = false;
};

Arguments parse_arguments(int argc, char** argv) {
  Arguments a;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      a.logs.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      a.help = true;
      continue;
    }
    if (arg == "--json") {
      a.json = true;
      continue;
    }
    // "--name VALUE" or "--name=VALUE"
    auto value = [&](std::string_view name) -> std::optional<std::string> {
      if (arg == name) {
        if (i + 1 >= argc) throw UsageError(std::string(name) + " needs a value");
        return std::string(argv[++i]);
      }
      if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=') {
        return arg.substr(name.size() + 1);
      }
      return std::nullopt;
    };
    if (auto v = value("--public-key")) {
      if (a.public_key) throw UsageError("--public-key is given more than once");
      a.public_key = std::move(*v);
      continue;
    }
    if (auto v = value("--expect-head")) {
      a.expect_heads.push_back(std::move(*v));
      continue;
    }
    throw UsageError("unknown option '" + arg + "'");
  }
  return a;
}

bool write_all(std::FILE* stream, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
}

int run(int argc, char** argv) {
  const Arguments args = parse_arguments(argc, argv);
  if (args.help) {
    const std::string text = std::string(kUsage) + std::string(kHelp);
    return write_all(stdout, text) ? kExitOk : kExitError;
  }
  if (args.logs.empty()) throw UsageError("no LOG given");
  if (!args.public_key) throw UsageError("--public-key is required");
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");

  velm::PublicKey key{};
  if (!parse_hex_any_case(*args.public_key, key.data(), key.size())) {
    throw UsageError("--public-key must be 64 hex digits");
  }
  if (crypto_core_ed25519_is_valid_point(key.data()) != 1) {
    throw UsageError("--public-key is not a valid Ed25519 public key");
  }
  VerifyOptions options;
  for (const std::string& text : args.expect_heads) {
    velm::Digest root{};
    if (!parse_hex_any_case(text, root.data(), root.size())) {
      throw UsageError("--expect-head must be 64 hex digits, not '" + text + "'");
    }
    options.watch_roots.push_back(root);
  }

  const bool show_progress = ::isatty(STDERR_FILENO) == 1;
  RunReport run_report;
  run_report.public_key_hex = velm::hex_lower(key.data(), key.size());
  for (const std::string& path : args.logs) {
    bool progress_shown = false;
    ProgressFn progress;
    if (show_progress) {
      progress = [&](std::uint64_t lines) {
        std::fprintf(stderr, "\rverifying %s: %llu lines", path.c_str(), static_cast<unsigned long long>(lines));
        std::fflush(stderr);
        progress_shown = true;
      };
    }
    run_report.logs.push_back(verify_log_file(path, key, options, progress));
    if (progress_shown) std::fputs("\r\x1b[K", stderr);
  }
  resolve_expected_heads(run_report, options.watch_roots);

  const std::string text = args.json ? render_json(run_report) : render_text(run_report);
  if (!write_all(stdout, text)) {
    std::fputs("velm-qor-verify: cannot write the report to standard output\n", stderr);
    return kExitError;
  }
  return run_report.ok() ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "velm-qor-verify: %s\n%.*s", e.what(), static_cast<int>(kUsage.size()), kUsage.data());
  } catch (const IoError& e) {
    std::fprintf(stderr, "velm-qor-verify: %s\n", e.what());
  } catch (const std::bad_alloc&) {
    std::fputs("velm-qor-verify: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velm-qor-verify: %s\n", e.what());
  } catch (...) {
    std::fputs("velm-qor-verify: unexpected error\n", stderr);
  }
  return kExitError;
}
