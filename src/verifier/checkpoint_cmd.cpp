#include "verifier/checkpoint_cmd.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <utility>

#include "encoding/hex.h"
#include "encoding/unique_fd.h"
#include "verifier/escape.h"
#include "verifier/proof_bundle.h"
#include "verifier/report.h"
#include "verifier/score_replay.h"

namespace velm::verify {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitError = 2;
constexpr std::size_t kMaxVerifierKeyFileBytes = 4096;

// A subcommand's arguments: positional ones, and "--name VALUE" / "--name=VALUE" options.
struct Options {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> values;
  bool json = false;

  const std::string* once(const std::string& name) const {
    const auto it = values.find(name);
    if (it == values.end()) return nullptr;
    if (it->second.size() > 1) throw CommandUsageError(name + " is given more than once");
    return &it->second.front();
  }
  const std::string& required(const std::string& name) const {
    const std::string* v = once(name);
    if (v == nullptr) throw CommandUsageError(name + " is required");
    return *v;
  }
  std::vector<std::string> all(const std::string& name) const {
    const auto it = values.find(name);
    return it == values.end() ? std::vector<std::string>{} : it->second;
  }
};

Options parse_options(int argc, char** argv, const std::set<std::string>& names, bool json_allowed) {
  Options o;
  bool options_done = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      o.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (json_allowed && arg == "--json") {
      o.json = true;
      continue;
    }
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    if (names.count(name) == 0) throw CommandUsageError("unknown option '" + escape_text(arg) + "'");
    if (eq != std::string::npos) {
      o.values[name].push_back(arg.substr(eq + 1));
    } else {
      if (i + 1 >= argc) throw CommandUsageError(name + " needs a value");
      o.values[name].push_back(argv[++i]);
    }
  }
  return o;
}

const std::string& one_positional(const Options& o, const char* what) {
  if (o.positional.size() != 1) throw CommandUsageError(std::string("give exactly one ") + what);
  return o.positional.front();
}

PublicKey parse_public_key(const std::string& text) {
  PublicKey key{};
  if (!parse_hex_any_case(text, key.data(), key.size())) throw CommandUsageError("--public-key must be 64 hex digits");
  if (crypto_core_ed25519_is_valid_point(key.data()) != 1) {
    throw CommandUsageError("--public-key is not a valid Ed25519 public key");
  }
  return key;
}

// The file's bytes, at most limit + 1 of them (so that a parser can tell it is too large).
std::string read_small_file(const std::string& path, std::size_t limit, const char* what) {
  const UniqueFd fd(path == "-" ? ::dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd)
    throw CommandUsageError(std::string("cannot read the ") + what + " " + escape_text(path) + ": " +
                            std::strerror(errno));
  std::string out;
  char buf[1 << 16];
  while (out.size() <= limit) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw CommandUsageError(std::string("cannot read the ") + what + " " + escape_text(path) + ": " +
                              std::strerror(errno));
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  if (out.size() > limit + 1) out.resize(limit + 1);
  return out;
}

bool write_out(std::FILE* stream, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
}

// WKFILE --name NAME, with libsodium made ready.
std::pair<std::string, std::string> witness_key_arguments(int argc, char** argv) {
  const Options o = parse_options(argc, argv, {"--name"}, false);
  std::pair<std::string, std::string> out{one_positional(o, "WKFILE"), o.required("--name")};
  if (!valid_key_name(out.second)) {
    throw CommandUsageError("--name must be a key name: no spaces, '+' or control characters");
  }
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
  return out;
}

int witness_key_command(int argc, char** argv) {
  const auto [path, name] = witness_key_arguments(argc, argv);
  bool printed = false;
  try {
    create_witness_key(path, name, [&](const std::string& vkey) { return printed = write_out(stdout, vkey + "\n"); });
  } catch (const WitnessKeyError& e) {
    std::fprintf(stderr, "velm-qor-verify: %s: %s\n", escape_text(path).c_str(), e.what());
    return kExitError;
  }
  if (!printed) {
    std::fprintf(stderr, "velm-qor-verify: cannot print the verifier key (%s); no witness key was kept\n",
                 std::strerror(errno));
    return kExitError;
  }
  return kExitOk;
}

// The verifier key of an existing witness key under `--name`: the seed file holds no name.
int witness_verifier_key_command(int argc, char** argv) {
  const auto [path, name] = witness_key_arguments(argc, argv);
  std::string vkey;
  try {
    const SigningKey key = load_witness_key(path);
    vkey = format_verifier_key(make_verifier_key(name, key.public_key()));
  } catch (const WitnessKeyError& e) {
    std::fprintf(stderr, "velm-qor-verify: %s: %s\n", escape_text(path).c_str(), e.what());
    return kExitError;
  }
  return write_out(stdout, vkey + "\n") ? kExitOk : kExitError;
}

int checkpoint_command(int argc, char** argv) {
  const Options o = parse_options(argc, argv, {"--public-key", "--witness-key", "--origin", "--previous"}, false);
  const std::string& log = one_positional(o, "LOG");
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
  const PublicKey key = parse_public_key(o.required("--public-key"));
  const std::string& origin = o.required("--origin");
  if (!valid_key_name(origin))
    throw CommandUsageError("--origin must be a key name: no spaces, '+' or control characters");
  std::optional<CheckpointInput> previous;
  if (const std::string* path = o.once("--previous")) {
    previous = CheckpointInput{*path, read_small_file(*path, kMaxNoteBytes, "checkpoint")};
  }
  const std::string& key_path = o.required("--witness-key");
  std::optional<SigningKey> witness;
  try {
    witness.emplace(load_witness_key(key_path));
  } catch (const WitnessKeyError& e) {
    std::fprintf(stderr, "velm-qor-verify: %s: %s\n", escape_text(key_path).c_str(), e.what());
    return kExitError;
  }
  RunReport run;
  run.public_key_hex = hex_lower(key.data(), key.size());
  run.replay_note = sine_difference(recorded_sines());
  VerifyOptions options;
  options.replay_scores = run.replay_note.empty();
  CheckpointOutcome outcome;
  try {
    outcome = make_checkpoint(log, key, *witness, origin, previous, options);
  } catch (const IoError& e) {
    std::fprintf(stderr, "velm-qor-verify: %s\n", escape_text(e.what()).c_str());
    return kExitError;
  }
  if (!outcome.note.empty()) return write_out(stdout, outcome.note) ? kExitOk : kExitError;
  // No checkpoint: the report says why, on standard error, so that standard output only ever
  // holds a checkpoint.
  const bool previous_failed =
      outcome.report.failure_counts[static_cast<std::size_t>(FailureKind::kCheckpointSignature)] +
          outcome.report.failure_counts[static_cast<std::size_t>(FailureKind::kCheckpointMismatch)] +
          outcome.report.failure_counts[static_cast<std::size_t>(FailureKind::kLogTruncated)] !=
      0;
  run.logs.push_back(std::move(outcome.report));
  std::string text = render_text(run);
  text.insert(0, previous_failed ? "no checkpoint: the log does not extend the previous checkpoint\n"
                                 : "no checkpoint: the log does not verify\n");
  write_out(stderr, text);
  return kExitFailed;
}

int prove_command(int argc, char** argv) {
  const Options o = parse_options(argc, argv, {"--line", "--checkpoint"}, false);
  const std::string& log = one_positional(o, "LOG");
  const std::string& line_text = o.required("--line");
  std::uint64_t line = 0;
  const auto [end, error] = std::from_chars(line_text.data(), line_text.data() + line_text.size(), line);
  if (error != std::errc{} || end != line_text.data() + line_text.size() || line == 0) {
    throw CommandUsageError("--line must be a line number from 1 to 2^64 - 1");
  }
  const std::string& cp_path = o.required("--checkpoint");
  const std::string note = read_small_file(cp_path, kMaxNoteBytes, "checkpoint");
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
  try {
    return write_out(stdout, bundle_json(prove(log, line, note))) ? kExitOk : kExitError;
  } catch (const IoError& e) {
    std::fprintf(stderr, "velm-qor-verify: %s\n", escape_text(e.what()).c_str());
    return kExitError;
  } catch (const NoteError& e) {
    std::fprintf(stderr, "velm-qor-verify: no proof: %s: %s\n", escape_text(cp_path).c_str(), e.what());
  } catch (const BundleError& e) {
    std::fprintf(stderr, "velm-qor-verify: no proof: %s\n", e.what());
  }
  return kExitFailed;
}

int check_proof_command(int argc, char** argv) {
  const Options o = parse_options(argc, argv, {"--witness", "--public-key"}, true);
  const std::string& path = one_positional(o, "BUNDLE");
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
  const PublicKey key = parse_public_key(o.required("--public-key"));
  std::vector<NoteVerifierKey> witnesses;
  for (const std::string& w : o.all("--witness")) witnesses.push_back(read_verifier_key(w));
  if (witnesses.empty()) throw CommandUsageError("--witness is required");
  const ProofCheck check = check_proof(read_small_file(path, kMaxBundleBytes, "bundle"), witnesses, key);
  std::string out;
  if (o.json) {
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
  if (!write_out(stdout, out)) return kExitError;
  return check.ok() ? kExitOk : kExitFailed;
}

}  // namespace

NoteVerifierKey read_verifier_key(const std::string& vkey) {
  try {
    return parse_verifier_key(vkey);
  } catch (const NoteError&) {
    // Not a key text: the name of a file holding one.
  }
  std::string text;
  try {
    text = read_small_file(vkey, kMaxVerifierKeyFileBytes, "verifier key file");
  } catch (const CommandUsageError& e) {
    throw CommandUsageError("--witness is neither a verifier key nor a file holding one: " + std::string(e.what()));
  }
  if (!text.empty() && text.back() == '\n') text.pop_back();
  try {
    return parse_verifier_key(text);
  } catch (const NoteError& e) {
    throw CommandUsageError("--witness " + escape_text(vkey) + ": " + e.what());
  }
}

CheckpointSet read_checkpoints(const std::vector<std::string>& files, const std::vector<std::string>& witnesses) {
  if (witnesses.empty()) throw CommandUsageError("--checkpoint needs at least one --witness");
  std::vector<NoteVerifierKey> keys;
  for (const std::string& w : witnesses) keys.push_back(read_verifier_key(w));
  std::vector<CheckpointInput> inputs;
  for (const std::string& path : files) inputs.push_back({path, read_small_file(path, kMaxNoteBytes, "checkpoint")});
  return CheckpointSet(std::move(inputs), keys);
}

bool run_subcommand(int argc, char** argv, int* status) {
  if (argc < 2) return false;
  const std::string_view name = argv[1];
  if (name == "witness-key") {
    *status = witness_key_command(argc, argv);
  } else if (name == "witness-verifier-key") {
    *status = witness_verifier_key_command(argc, argv);
  } else if (name == "checkpoint") {
    *status = checkpoint_command(argc, argv);
  } else if (name == "prove") {
    *status = prove_command(argc, argv);
  } else if (name == "check-proof") {
    *status = check_proof_command(argc, argv);
  } else {
    return false;
  }
  return true;
}

}  // namespace velm::verify
