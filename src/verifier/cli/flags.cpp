#include "verifier/cli/flags.h"

#include <algorithm>

#include "verifier/base/errors.h"
#include "verifier/base/escape.h"

namespace velm::verify::cli {

namespace {

constexpr unsigned kNone = 0;
constexpr std::string_view kProgram = "velm-qor-verify";
constexpr std::size_t kHelpColumn = 22;
constexpr std::size_t kWidth = 100;

const CommandForm& form_of(Command command) {
  return *std::find_if(kCommands.begin(), kCommands.end(), [&](const CommandForm& c) { return c.id == command; });
}

const Flag* find_flag(Command command, std::string_view name) {
  for (const Flag& f : kFlags) {
    if (f.name == name && (f.commands & command) != 0) return &f;
  }
  return nullptr;
}

// `text` wrapped to the width, every line but the first indented to the help column.
std::string wrapped(std::string_view text) {
  std::string out;
  std::size_t column = kHelpColumn;
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
    if (column > kHelpColumn && column + 1 + word.size() > kWidth) {
      out += '\n';
      out.append(kHelpColumn, ' ');
      column = kHelpColumn;
    } else if (column > kHelpColumn) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
  }
  out += '\n';
  return out;
}

std::string entry(std::string_view label, std::string_view help) {
  std::string line(2, ' ');
  line.append(label);
  if (line.size() + 1 > kHelpColumn) {
    line += '\n';
    line.append(kHelpColumn, ' ');
  } else {
    line.resize(kHelpColumn, ' ');
  }
  line += wrapped(help);
  return line;
}

// "--name VALUE", or "--name" for a switch.
std::string flag_text(const Flag& f) {
  std::string out(f.name);
  if (!f.value.empty()) {
    out += ' ';
    out.append(f.value);
  }
  return out;
}

void take_option(Arguments& a, const std::string& arg, int argc, const char* const* argv, int& i) {
  const std::size_t eq = arg.find('=');
  const std::string name = arg.substr(0, eq);
  const Flag* flag = find_flag(a.command, name);
  if (flag == nullptr || (flag->value.empty() && eq != std::string::npos)) {
    throw UsageError("unknown option '" + escape_text(arg) + "'");
  }
  std::vector<std::string>& values = a.values[flag->name];
  if (!values.empty() && flag->times(a.command) == Times::kOnce) {
    throw UsageError(std::string(flag->name) + " is given more than once");
  }
  if (flag->value.empty()) {
    values.emplace_back();
  } else if (eq != std::string::npos) {
    values.push_back(arg.substr(eq + 1));
  } else {
    if (i + 1 >= argc) throw UsageError(std::string(flag->name) + " needs a value");
    values.emplace_back(argv[++i]);
  }
}

void check_complete(const Arguments& a) {
  const CommandForm& form = form_of(a.command);
  const bool many = form.operands_many || (a.has("--series") && find_flag(a.command, "--series") != nullptr);
  if (many && a.operands.empty()) throw UsageError("no " + std::string(form.operand) + " given");
  if (!many && a.operands.size() != 1) {
    throw UsageError("give exactly one " + std::string(form.operand));
  }
  for (const Flag& f : kFlags) {
    if ((f.required & a.command) != 0 && !a.has(f.name)) throw UsageError(std::string(f.name) + " is required");
  }
}

}  // namespace

const std::vector<Flag> kFlags = {
    {"--public-key", "HEX", kVerify | kCheckpoint | kCheckProof, kVerify | kCheckpoint | kCheckProof, kNone,
     "the engine's public key: 64 hex digits, from QOREngine.public_key_hex()"},
    {"--json", "", kVerify | kCheckProof, kNone, kNone,
     "print one JSON report (or the proof check as JSON) instead of the summary"},
    {"--expect-head", "ROOT", kVerify, kNone, kVerify,
     "fail unless some line of the LOGs has this merkle_root (repeatable); give the heads printed by an earlier "
     "run to notice cut-off records"},
    {"--series", "", kVerify | kCheckpoint | kProve, kNone, kNone,
     "read the LOGs, oldest first, as one log cut by rotation (audit.wal.2 audit.wal.1 audit.wal), so chains "
     "continue from one file to the next; a checkpoint's tree, and --line, count the series' lines in order"},
    {"--jobs", "N", kVerify, kNone, kNone, "check lines on N threads (default: every core this process may use)", true},
    {"--html", "REPORT", kVerify, kNone, kNone,
     "also write the report as one HTML page to the file REPORT (no script, nothing else to load): the verdict, "
     "chains, failures, checkpoint coverage and charts of the scores over time"},
    {"--checkpoint", "CPFILE", kVerify | kProve, kProve, kVerify,
     "a signed checkpoint of the LOG, or of the series (repeatable): the first N lines must give its root, N "
     "being its tree size; for prove, the checkpoint the bundle is made under"},
    {"--witness", "VKEY", kVerify | kCheckProof, kCheckProof, kVerify | kCheckProof,
     "a witness's verifier key \"name+keyid+base64\", or a file holding one (repeatable); each checkpoint must be "
     "signed by one of them"},
    {"--name", "NAME", kWitnessKey | kWitnessVerifierKey, kWitnessKey | kWitnessVerifierKey, kNone,
     "the witness key's name: the origin of its checkpoints"},
    {"--witness-key", "WKFILE", kCheckpoint, kCheckpoint, kNone, "the witness key file that signs the checkpoint"},
    {"--origin", "NAME", kCheckpoint, kCheckpoint, kNone, "the name the checkpoint is signed as (the key's name)"},
    {"--previous", "CPFILE", kCheckpoint, kNone, kNone,
     "the witness's previous checkpoint of the LOG, which the LOG must still extend"},
    {"--line", "N", kProve, kNone, kNone, "the line to prove, 1-based (give --line or --id)"},
    {"--id", "RECORD_ID", kProve, kNone, kNone,
     "prove the first line whose record id is RECORD_ID (as capture returns it) instead of a line number"},
    {"--help", "", kAllCommands, kNone, kAllCommands, "print this text and exit"},
    {"--version", "", kAllCommands, kNone, kAllCommands, "print the version and exit"},
};

const std::vector<CommandForm> kCommands = {
    {kVerify, "", "LOG", true,
     "checks every line of each LOG: its form, its hash, its Ed25519 signature under the public key, its place "
     "in a hash chain, and its scores replayed against the history of that chain. Several LOGs are checked one "
     "by one; \"-\" reads standard input. A file is read up to the size it had when the run began."},
    {kWitnessKey, "witness-key", "WKFILE", false,
     "creates WKFILE with a new witness key (never replacing a file) and prints its verifier key; when that "
     "cannot be printed, no key file is kept"},
    {kWitnessVerifierKey, "witness-verifier-key", "WKFILE", false,
     "prints the verifier key of the existing witness key WKFILE under NAME (the key file holds no name)"},
    {kCheckpoint, "checkpoint", "LOG", false,
     "verifies LOG (or with --series the pieces of one log) and, only if it verifies (and still matches the "
     "checkpoint --previous), prints a checkpoint of all its lines signed with WKFILE"},
    {kProve, "prove", "LOG", false,
     "prints the proof bundle of line N (or of the record RECORD_ID) under the checkpoint, made only when the "
     "LOG's first lines give its root"},
    {kCheckProof, "check-proof", "BUNDLE", false,
     "checks a bundle without the log: the checkpoint's witness signature, the line's inclusion proof, and the "
     "record's form, seal and signature"},
    {kPublicKey, "public-key", "KEYFILE", false,
     "prints the engine's public key (64 hex digits, for --public-key) from its key file KEYFILE (the log's path "
     "followed by .key), refusing a key file the engine refuses"},
};

Times Flag::times(Command command) const noexcept {
  if (last_wins) return Times::kLastWins;
  return (many & command) != 0 ? Times::kMany : Times::kOnce;
}

std::string Arguments::one(std::string_view name) const {
  const auto it = values.find(name);
  return it == values.end() ? std::string() : it->second.back();
}

std::vector<std::string> Arguments::all(std::string_view name) const {
  const auto it = values.find(name);
  return it == values.end() ? std::vector<std::string>{} : it->second;
}

Arguments parse_arguments(int argc, const char* const* argv) {
  Arguments a;
  int first = 1;
  for (const CommandForm& c : kCommands) {
    if (!c.name.empty() && argc > 1 && c.name == argv[1]) {
      a.command = c.id;
      first = 2;
    }
  }
  bool options_done = false;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      a.operands.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "-h" || arg == "--help") {
      a.help = true;
    } else if (arg == "--version") {
      a.version = true;
    } else {
      take_option(a, arg, argc, argv, i);
    }
  }
  if (!a.help && !a.version) check_complete(a);
  return a;
}

std::string usage_text() {
  std::string out;
  for (const CommandForm& c : kCommands) {
    out.append(out.empty() ? "usage: " : "       ").append(kProgram);
    if (!c.name.empty()) out.append(" ").append(c.name);
    // A command that takes --series takes the series' pieces.
    const bool many = c.operands_many || find_flag(c.id, "--series") != nullptr;
    out.append(" ").append(c.operand).append(many ? "..." : "");
    for (const Flag& f : kFlags) {
      if ((f.commands & c.id) == 0 || f.name == "--help" || f.name == "--version") continue;
      const bool required = (f.required & c.id) != 0;
      out.append(required ? " " : " [").append(flag_text(f)).append(required ? "" : "]");
      if (f.times(c.id) == Times::kMany) out.append("...");
    }
    out += '\n';
  }
  out.append("       ").append(kProgram).append(" --help | --version\n");
  return out;
}

std::string help_text() {
  std::string out = usage_text();
  out.append("\nCommands (a LOG named like a command is given as ./NAME):\n");
  for (const CommandForm& c : kCommands) {
    std::string label(c.name.empty() ? c.operand : c.name);
    if (c.name.empty()) label.append("...");
    out.append(entry(label, c.help));
  }
  out.append("\nOptions:\n");
  for (const Flag& f : kFlags) out.append(entry(flag_text(f), f.help));
  out.append(
      "\nExit status: 2 on a usage error or when an input cannot be read, else 1 when any check fails or\n"
      "nothing is made, else 0.\n");
  return out;
}

}  // namespace velm::verify::cli
