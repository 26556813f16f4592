// The command line of velm-qor-verify, from one table: the commands, and the options each takes.
// The same table drives parsing, the usage text and --help.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velm::verify::cli {

enum Command : unsigned {
  kVerify = 1,
  kWitnessKey = 2,
  kCheckpoint = 4,
  kProve = 8,
  kCheckProof = 16,
  kWitnessVerifierKey = 32,
  kPublicKey = 64,
};
inline constexpr unsigned kAllCommands =
    kVerify | kWitnessKey | kCheckpoint | kProve | kCheckProof | kWitnessVerifierKey | kPublicKey;

// How often an option may be given.
enum class Times { kOnce, kMany, kLastWins };

struct Flag {
  std::string_view name;   // "--public-key"
  std::string_view value;  // what follows it in the usage text ("HEX"); empty for a switch
  unsigned commands;       // the commands that take it
  unsigned required;       // the commands that need it
  unsigned many;           // the commands where it may be given more than once (else Times::kOnce)
  std::string_view help;
  bool last_wins = false;  // given more than once, the last counts (rather than an error)
  Times times(Command command) const noexcept;
};

struct CommandForm {
  Command id;
  std::string_view name;     // the word that selects it; empty for verifying logs
  std::string_view operand;  // "LOG", "WKFILE", ...
  bool operands_many;        // takes one or more operands (else exactly one)
  std::string_view help;
};

extern const std::vector<Flag> kFlags;
extern const std::vector<CommandForm> kCommands;

// A command line, parsed against the table. Throws UsageError.
struct Arguments {
  Command command = kVerify;
  std::vector<std::string> operands;
  std::map<std::string_view, std::vector<std::string>> values;  // by option name, in the order given
  bool help = false;
  bool version = false;

  bool has(std::string_view name) const { return values.count(name) != 0; }
  // The option's value (the last one given); "" when it is absent.
  std::string one(std::string_view name) const;
  std::vector<std::string> all(std::string_view name) const;
};

// Checks the operands and the required options too, unless --help or --version is asked for.
Arguments parse_arguments(int argc, const char* const* argv);

std::string usage_text();
std::string help_text();

}  // namespace velm::verify::cli
