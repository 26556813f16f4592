// velm-qor-verify: checks record logs against the public key of the engine that wrote them.
// Exit status: 2 on a usage error or when any LOG could not be read, else 1 when any check
// failed, else 0.
#include <sodium.h>
#include <unistd.h>

#include <chrono>

#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/hex.h"
#include "verifier/checkpoint_cmd.h"
#include "verifier/escape.h"
#include "verifier/log_verifier.h"
#include "verifier/parallel_verify.h"
#include "verifier/report.h"
#include "verifier/score_replay.h"

#ifndef VELM_VERSION
#define VELM_VERSION "unknown"
#endif

namespace {

using namespace velm::verify;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitError = 2;

constexpr std::string_view kUsage =
    "usage: velm-qor-verify LOG... --public-key HEX [--json] [--expect-head ROOT]... [--series] [--jobs N]\n"
    "       velm-qor-verify --help | --version\n"
    "       velm-qor-verify [witness-key | witness-verifier-key | checkpoint | prove | check-proof] ... (see --help)\n";

constexpr std::string_view kHelp =
    "\n"
    "Checks every line of each LOG: its form, its hash, its Ed25519 signature under the public key\n"
    "(64 hex digits, from QOREngine.public_key_hex()), its place in a hash chain, and its scores\n"
    "replayed against the history of that chain. Several LOGs are checked one by one; \"-\" reads\n"
    "standard input. A file is read up to the size it had when the run began.\n"
    "\n"
    "  --public-key HEX    the engine's public key (required)\n"
    "  --json              print one JSON report instead of the summary\n"
    "  --expect-head ROOT  fail unless some line of the LOGs has this merkle_root (repeatable);\n"
    "                      give the heads printed by an earlier run to notice cut-off records\n"
    "  --series            read the LOGs, oldest first, as one log cut by rotation (audit.wal.2\n"
    "                      audit.wal.1 audit.wal), so chains continue from one file to the next\n"
    "  --jobs N            check lines on N threads (default: every core this process may use)\n"
    "\n"
    "  --version           print the version and exit\n"
    "\n"
    "Exit status: 2 on a usage error or when any LOG cannot be read, else 1 when any check fails,\n"
    "else 0.\n";

class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

struct Arguments {
  std::vector<std::string> logs;
  std::vector<std::string> checkpoints;
  std::vector<std::string> witnesses;
  std::optional<std::string> public_key;
  std::vector<std::string> expect_heads;
  bool json = false;
  bool series = false;
  unsigned jobs = 0;  // 0: every core
  bool help = false;
  bool version = false;
};

unsigned parse_jobs(const std::string& text) {
  constexpr unsigned kMaxJobs = 1024;
  unsigned n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || n > kMaxJobs) throw UsageError("--jobs must be a number from 1 to 1024");
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (n == 0 || n > kMaxJobs) throw UsageError("--jobs must be a number from 1 to 1024");
  return n;
}

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
    if (arg == "--version") {
      a.version = true;
      continue;
    }
    if (arg == "--json") {
      a.json = true;
      continue;
    }
    if (arg == "--series") {
      a.series = true;
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
    if (auto v = value("--checkpoint")) {
      a.checkpoints.push_back(std::move(*v));
      continue;
    }
    if (auto v = value("--witness")) {
      a.witnesses.push_back(std::move(*v));
      continue;
    }
    if (auto v = value("--jobs")) {
      a.jobs = parse_jobs(*v);
      continue;
    }
    throw UsageError("unknown option '" + escape_text(arg) + "'");
  }
  return a;
}

bool write_all(std::FILE* stream, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}

// "\rverifying PATH: 12.5 of 40.0 MB (31%), 120000 lines, 41000 lines/s" on standard error.
class Progress {
 public:
  explicit Progress(std::string path) : path_(escape_text(path)), start_(std::chrono::steady_clock::now()) {}
  ~Progress() {
    if (shown_) std::fputs("\r\x1b[K", stderr);
  }
  void operator()(std::uint64_t lines, std::uint64_t bytes, std::optional<std::uint64_t> total) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(lines) / seconds : 0.0;
    constexpr double kMb = 1e6;
    if (total && *total > 0) {
      std::fprintf(stderr, "\rverifying %s: %.1f of %.1f MB (%.0f%%), %llu lines, %.0f lines/s\x1b[K", path_.c_str(),
                   static_cast<double>(bytes) / kMb, static_cast<double>(*total) / kMb,
                   100.0 * static_cast<double>(bytes) / static_cast<double>(*total),
                   static_cast<unsigned long long>(lines), rate);
    } else {
      std::fprintf(stderr, "\rverifying %s: %.1f MB, %llu lines, %.0f lines/s\x1b[K", path_.c_str(),
                   static_cast<double>(bytes) / kMb, static_cast<unsigned long long>(lines), rate);
    }
    std::fflush(stderr);
    shown_ = true;
  }

 private:
  std::string path_;
  std::chrono::steady_clock::time_point start_;
  bool shown_ = false;
};

int run(int argc, char** argv) {
  if (int status = 0; run_subcommand(argc, argv, &status)) return status;
  const Arguments args = parse_arguments(argc, argv);
  if (args.help || args.version) {
    const std::string text = args.help ? std::string(kUsage) + std::string(kCheckpointUsage) + std::string(kHelp) +
                                             "\n" + std::string(kCheckpointHelp)
                                       : std::string("velm-qor-verify ") + VELM_VERSION + "\n";
    return write_all(stdout, text) && std::fflush(stdout) == 0 ? kExitOk : kExitError;
  }
  if (args.logs.empty()) throw UsageError("no LOG given");
  if (!args.public_key) throw UsageError("--public-key is required");
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");

  velm::PublicKey key{};
  if (!velm::parse_hex_any_case(*args.public_key, key.data(), key.size())) {
    throw UsageError("--public-key must be 64 hex digits");
  }
  if (crypto_core_ed25519_is_valid_point(key.data()) != 1) {
    throw UsageError("--public-key is not a valid Ed25519 public key");
  }
  VerifyOptions options;
  for (const std::string& text : args.expect_heads) {
    velm::Digest root{};
    if (!velm::parse_hex_any_case(text, root.data(), root.size())) {
      throw UsageError("--expect-head must be 64 hex digits, not '" + escape_text(text) + "'");
    }
    options.watch_roots.push_back(root);
  }

  // Checkpoints: the tree over the log's lines is built only when some are given.
  std::optional<CheckpointSet> checkpoints;
  if (!args.checkpoints.empty() || !args.witnesses.empty()) {
    if (args.checkpoints.empty()) throw UsageError("--witness is given without --checkpoint");
    if (args.logs.size() != 1) throw UsageError("--checkpoint needs exactly one LOG");
    checkpoints.emplace(read_checkpoints(args.checkpoints, args.witnesses));
    checkpoints->prepare(options);
  }

  RunReport run_report;
  run_report.public_key_hex = velm::hex_lower(key.data(), key.size());
  // Scores replayed with another C library's sinf would differ from the engine's in their last
  // bits: then they are not checked at all, and the report says why.
  run_report.replay_note = sine_difference(recorded_sines());
  options.replay_scores = run_report.replay_note.empty();

  const bool show_progress = ::isatty(STDERR_FILENO) == 1;
  ParallelVerifier verifier(key, args.jobs == 0 ? available_cores() : args.jobs);
  auto verify_log = [&](const std::vector<LogPiece>& pieces) {
    const std::string& name = pieces.back().name;
    try {
      if (show_progress) {
        Progress progress(name);
        run_report.logs.push_back(verifier.verify(pieces, options, std::ref(progress)));
      } else {
        run_report.logs.push_back(verifier.verify(pieces, options));
      }
    } catch (const IoError& e) {
      std::fprintf(stderr, "velm-qor-verify: %s\n", escape_text(e.what()).c_str());
      run_report.logs.push_back(unreadable_log(name, e.what()));
    } catch (const std::bad_alloc&) {
      run_report.logs.push_back(unreadable_log(name, "out of memory while verifying it"));
    }
  };
  if (args.series) {
    std::vector<LogPiece> pieces;
    for (const std::string& path : args.logs) pieces.push_back(file_piece(path));
    verify_log(pieces);
  } else {
    for (const std::string& path : args.logs) verify_log({file_piece(path)});
  }
  if (checkpoints) checkpoints->judge(run_report.logs.front());
  resolve_expected_heads(run_report, options.watch_roots);

  bool written = true;
  const Sink out = [&](std::string_view piece) { written = written && write_all(stdout, piece); };
  if (args.json) {
    render_json(run_report, out);
  } else {
    render_text(run_report, out);
  }
  if (!written || std::fflush(stdout) != 0) {
    std::fputs("velm-qor-verify: cannot write the report to standard output\n", stderr);
    return kExitError;
  }
  if (!run_report.all_readable()) return kExitError;
  return run_report.ok() ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "velm-qor-verify: %s\n%.*s", e.what(), static_cast<int>(kUsage.size()), kUsage.data());
  } catch (const CommandUsageError& e) {
    std::fprintf(stderr, "velm-qor-verify: %s\n%.*s%.*s", e.what(), static_cast<int>(kUsage.size()), kUsage.data(),
                 static_cast<int>(kCheckpointUsage.size()), kCheckpointUsage.data());
  } catch (const std::bad_alloc&) {
    std::fputs("velm-qor-verify: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velm-qor-verify: %s\n", e.what());
  } catch (...) {
    std::fputs("velm-qor-verify: unexpected error\n", stderr);
  }
  return kExitError;
}
