// The command's checkpoint subcommands (witness-key, checkpoint, prove, check-proof) and the
// --checkpoint/--witness options of a plain verification.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "verifier/run/checkpoint.h"

namespace velm::verify {

// A command line that asks for something impossible; the command prints it with its usage.
class CommandUsageError : public std::runtime_error {
 public:
  explicit CommandUsageError(const std::string& message) : std::runtime_error(message) {}
};

inline constexpr std::string_view kCheckpointUsage =
    "       velm-qor-verify LOG --public-key HEX --checkpoint CPFILE... --witness VKEY... [--json]\n"
    "       velm-qor-verify witness-key WKFILE --name NAME\n"
    "       velm-qor-verify checkpoint LOG --public-key HEX --witness-key WKFILE --origin NAME [--previous CPFILE]\n"
    "       velm-qor-verify prove LOG --line N --checkpoint CPFILE\n"
    "       velm-qor-verify check-proof BUNDLE --witness VKEY... --public-key HEX [--json]\n";

inline constexpr std::string_view kCheckpointHelp =
    "Witnessed checkpoints (a LOG named like a subcommand is given as ./NAME):\n"
    "  --checkpoint CPFILE a signed checkpoint of the LOG (repeatable): the LOG's first N lines must\n"
    "                      give its root, N being its tree size\n"
    "  --witness VKEY      a witness's verifier key \"name+keyid+base64\", or a file holding one\n"
    "                      (repeatable); each checkpoint must be signed by one of them\n"
    "\n"
    "  witness-key         creates WKFILE with a new witness key (never replacing a file) and\n"
    "                      prints its verifier key; NAME should be the origin of the checkpoints\n"
    "  checkpoint          verifies LOG and, only if it verifies (and still matches the checkpoint\n"
    "                      --previous), prints a checkpoint of all its lines signed with WKFILE\n"
    "  prove               prints the proof bundle of line N (1-based) under the checkpoint, made\n"
    "                      only when the LOG's first lines give its root\n"
    "  check-proof         checks a bundle without the log: the checkpoint's witness signature,\n"
    "                      the line's inclusion proof, and the record's form, seal and signature\n";

// True when argv[1] names a subcommand; then *status is its exit status.
bool run_subcommand(int argc, char** argv, int* status);

// A verifier key from VKEY: the key text itself or, when it is not one, a file holding it.
// Throws CommandUsageError.
NoteVerifierKey read_verifier_key(const std::string& vkey);

// The checkpoints given with --checkpoint, opened with the --witness keys. Throws
// CommandUsageError (a file that cannot be read, a bad key, checkpoints without witnesses).
CheckpointSet read_checkpoints(const std::vector<std::string>& files, const std::vector<std::string>& witnesses);

}  // namespace velm::verify
