#include "verifier/cli/commands.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "verifier/api.h"
#include "verifier/base/escape.h"
#include "verifier/cli/progress.h"

#ifndef VELM_VERSION
#define VELM_VERSION "unknown"
#endif

namespace velm::verify::cli {

namespace {

bool write_all(std::FILE* stream, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
}

int print(std::string_view text, int status) { return write_all(stdout, text) ? status : kExitError; }

unsigned parse_jobs(const std::string& text) {
  unsigned n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || n > api::kMaxJobs) throw UsageError("--jobs must be a number from 1 to 1024");
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (n == 0 || n > api::kMaxJobs) throw UsageError("--jobs must be a number from 1 to 1024");
  return n;
}

std::uint64_t parse_line(const std::string& text) {
  std::uint64_t line = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), line);
  if (error != std::errc{} || end != text.data() + text.size() || line == 0) {
    throw UsageError("--line must be a line number from 1 to 2^64 - 1");
  }
  return line;
}

api::Request request_of(const Arguments& args) {
  api::Request r;
  r.spelling = api::kCommandSpelling;
  r.public_key = args.one("--public-key");
  r.witnesses = args.all("--witness");
  r.witness_files = true;
  if (!args.operands.empty()) r.log = args.operands.front();
  r.series = args.has("--series");
  for (const std::string& path : args.operands) r.logs.push_back(file_piece(path));
  return r;
}

// Writes the HTML report to `path`; false (and says why) when that failed.
bool write_html(const std::string& path, const RunReport& run) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  bool written = file != nullptr;
  const int opened_errno = errno;
  if (written) render_html(run, [&](std::string_view piece) { written = written && write_all(file.get(), piece); });
  if (!written) {
    std::fprintf(stderr, "velm-qor-verify: cannot write the HTML report to %s: %s\n", escape_text(path).c_str(),
                 std::strerror(file ? errno : opened_errno));
  }
  return written;
}

int verify_logs(const Arguments& args) {
  api::Request r = request_of(args);
  r.expected_heads = args.all("--expect-head");
  if (args.has("--jobs")) r.jobs = parse_jobs(args.one("--jobs"));
  for (const std::string& path : args.all("--checkpoint")) r.checkpoints.push_back({path, std::nullopt});
  if (!r.checkpoints.empty() || !r.witnesses.empty()) {
    if (r.checkpoints.empty()) throw UsageError("--witness is given without --checkpoint");
    if (args.operands.size() != 1 && !r.series) throw UsageError("--checkpoint needs exactly one LOG, or --series");
    if (r.witnesses.empty()) throw UsageError("--checkpoint needs at least one --witness");
  }
  r.progress = progress_on_terminal();
  r.chart = args.has("--html");
  const api::VerifyResult result = api::verify(r);
  for (const IoError& e : result.unreadable) std::fprintf(stderr, "velm-qor-verify: %s\n", e.what());
  const std::string report = args.has("--json") ? render_json(result.run) : render_text(result.run);
  if (!write_all(stdout, report)) {
    std::fputs("velm-qor-verify: cannot write the report to standard output\n", stderr);
    return kExitError;
  }
  if (r.chart && !write_html(args.one("--html"), result.run)) return kExitError;
  if (!result.run.all_readable()) return kExitError;
  return result.run.ok() ? kExitOk : kExitFailed;
}

int witness_key(const Arguments& args) {
  const api::Announce print_it = [](const std::string& vkey) { return write_all(stdout, vkey + "\n"); };
  if (api::make_witness_key(args.operands.front(), args.one("--name"), "--name", print_it)) return kExitOk;
  std::fprintf(stderr, "velm-qor-verify: cannot print the verifier key (%s); no witness key was kept\n",
               std::strerror(errno));
  return kExitError;
}

int witness_verifier_key(const Arguments& args) {
  return print(api::witness_verifier_key(args.operands.front(), args.one("--name"), "--name") + "\n", kExitOk);
}

int checkpoint(const Arguments& args) {
  api::Request r = request_of(args);
  r.witness_key = args.one("--witness-key");
  r.origin = args.one("--origin");
  if (args.has("--previous")) r.previous = api::TextInput{args.one("--previous"), std::nullopt};
  const api::CheckpointResult result = api::checkpoint(r);
  if (result.note) return print(*result.note, kExitOk);
  // The report says why on standard error, so that standard output only ever holds a checkpoint.
  write_all(stderr, result.refusal + "\n" + render_text(result.run));
  return kExitFailed;
}

int prove(const Arguments& args) {
  api::Request r = request_of(args);
  if (args.has("--line") == args.has("--id")) throw UsageError("give either --line or --id");
  if (args.has("--line")) r.line = parse_line(args.one("--line"));
  if (args.has("--id")) r.record_id = args.one("--id");
  r.checkpoint = {args.one("--checkpoint"), std::nullopt};
  return print(api::prove(r), kExitOk);
}

int check_proof(const Arguments& args) {
  api::Request r = request_of(args);
  r.bundle = {args.operands.front(), std::nullopt};
  const ProofCheck check = api::check_proof(r);
  std::string out;
  if (args.has("--json")) {
    out = proof_check_json(check);
  } else if (check.ok()) {
    std::string names;
    for (const std::string& name : check.verified_by) names += (names.empty() ? "" : ", ") + escape_text(name);
    out = "line " + std::to_string(check.line) + " of " + escape_text(check.origin) + " (tree size " +
          std::to_string(check.tree_size) + "), checkpoint signed by " + names +
          "; the record's form, seal and signature verify\nOK\n";
  } else {
    out = std::string(proof_problem_name(check.problem)) + ": " + escape_text(check.detail) + "\nFAILED\n";
  }
  return print(out, check.ok() ? kExitOk : kExitFailed);
}

int public_key(const Arguments& args) {
  std::string warning;
  const std::string key = api::engine_public_key(args.operands.front(), warning);
  if (!warning.empty()) std::fprintf(stderr, "%s\n", escape_text(warning).c_str());
  return print(key + "\n", kExitOk);
}

}  // namespace

int run_command(const Arguments& args) {
  if (args.help) return print(help_text(), kExitOk);
  if (args.version) return print(std::string("velm-qor-verify ") + VELM_VERSION + "\n", kExitOk);
  switch (args.command) {
    case kVerify:
      return verify_logs(args);
    case kWitnessKey:
      return witness_key(args);
    case kWitnessVerifierKey:
      return witness_verifier_key(args);
    case kCheckpoint:
      return checkpoint(args);
    case kProve:
      return prove(args);
    case kCheckProof:
      return check_proof(args);
    case kPublicKey:
      return public_key(args);
  }
  return kExitError;
}

}  // namespace velm::verify::cli
