// The command line of velm-qor-verify as its users type it: what the parser makes of each line,
// and the usage text the flag table gives.
#include "verifier/cli/flags.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "verifier/base/errors.h"

namespace velm::verify::cli {
namespace {

// The parse of `args` (without the program's name) as "error: <message>", or its command, its
// operands and its options as "command|operand,...|--name=value,...".
std::string parsed(std::vector<std::string> args) {
  args.insert(args.begin(), "velm-qor-verify");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  try {
    const Arguments a = parse_arguments(static_cast<int>(argv.size()), argv.data());
    std::string out = std::to_string(a.command) + (a.help ? " help" : "") + (a.version ? " version" : "") + "|";
    for (const std::string& o : a.operands) out += o + ",";
    out += "|";
    for (const auto& [name, values] : a.values) {
      for (const std::string& v : values) out += std::string(name) + "=" + v + ",";
    }
    return out;
  } catch (const UsageError& e) {
    return std::string("error: ") + e.what();
  }
}

TEST(CommandLine, ParsesOrRefusesEachLine) {
  const struct {
    std::vector<std::string> args;
    std::string expected;
  } cases[] = {
      {{"a.wal", "--public-key", "K"}, "1|a.wal,|--public-key=K,"},
      {{"a.wal", "b.wal", "--public-key=K", "--json", "--series"}, "1|a.wal,b.wal,|--json=,--public-key=K,--series=,"},
      {{"-", "--public-key", "K", "--", "--json"}, "1|-,--json,|--public-key=K,"},
      {{"a.wal", "--public-key", "K", "--expect-head", "x", "--expect-head=y"},
       "1|a.wal,|--expect-head=x,--expect-head=y,--public-key=K,"},
      {{"a.wal", "--public-key", "K", "--jobs", "2", "--jobs", "3"}, "1|a.wal,|--jobs=2,--jobs=3,--public-key=K,"},
      {{"./prove", "--public-key", "K"}, "1|./prove,|--public-key=K,"},
      {{"--help"}, "1 help||"},
      {{"prove", "-h"}, "8 help||"},
      {{"--version"}, "1 version||"},
      {{}, "error: no LOG given"},
      {{"a.wal"}, "error: --public-key is required"},
      {{"a.wal", "--public-key", "K", "--public-key", "K"}, "error: --public-key is given more than once"},
      {{"a.wal", "--public-key"}, "error: --public-key needs a value"},
      {{"a.wal", "--public-key", "K", "--bogus"}, "error: unknown option '--bogus'"},
      {{"a.wal", "--public-key", "K", "--json=1"}, "error: unknown option '--json=1'"},
      {{"a.wal", "--public-key", "K", "--line", "1"}, "error: unknown option '--line'"},
      {{"a.wal", "--public-key", "K", "--x\x1b[2J"}, "error: unknown option '--x\\x1b[2J'"},
      {{"witness-key", "w.key", "--name", "n"}, "2|w.key,|--name=n,"},
      {{"witness-key", "--name", "n"}, "error: give exactly one WKFILE"},
      {{"witness-verifier-key", "w.key", "--name", "n"}, "32|w.key,|--name=n,"},
      {{"witness-verifier-key", "w.key"}, "error: --name is required"},
      {{"checkpoint", "a.wal", "--public-key", "K", "--witness-key", "w", "--origin", "o", "--previous", "p"},
       "4|a.wal,|--origin=o,--previous=p,--public-key=K,--witness-key=w,"},
      {{"checkpoint", "a.wal", "--public-key", "K", "--witness-key", "w"}, "error: --origin is required"},
      {{"checkpoint", "a.wal", "--public-key", "K", "--witness-key", "w", "--origin", "o", "--previous", "p",
        "--previous", "q"},
       "error: --previous is given more than once"},
      {{"prove", "a.wal", "--line", "3", "--checkpoint", "c"}, "8|a.wal,|--checkpoint=c,--line=3,"},
      {{"prove", "a.wal", "--line", "3"}, "error: --checkpoint is required"},
      {{"prove", "a.wal", "--line", "3", "--checkpoint", "c", "--checkpoint", "d"},
       "error: --checkpoint is given more than once"},
      {{"prove", "a.wal", "b.wal", "--line", "3", "--checkpoint", "c"}, "error: give exactly one LOG"},
      {{"prove", "a.wal", "b.wal", "--series", "--id", "qor_x", "--checkpoint", "c"},
       "8|a.wal,b.wal,|--checkpoint=c,--id=qor_x,--series=,"},
      {{"prove", "--series", "--line", "3", "--checkpoint", "c"}, "error: no LOG given"},
      {{"checkpoint", "a.wal", "b.wal", "--public-key", "K", "--witness-key", "w", "--origin", "o", "--series"},
       "4|a.wal,b.wal,|--origin=o,--public-key=K,--series=,--witness-key=w,"},
      {{"checkpoint", "a.wal", "b.wal", "--public-key", "K", "--witness-key", "w", "--origin", "o"},
       "error: give exactly one LOG"},
      {{"public-key", "a.wal.key"}, "64|a.wal.key,|"},
      {{"public-key", "a.wal.key", "--public-key", "K"}, "error: unknown option '--public-key'"},
      {{"check-proof", "b.json", "--public-key", "K", "--witness", "v", "--witness", "w", "--json"},
       "16|b.json,|--json=,--public-key=K,--witness=v,--witness=w,"},
      {{"check-proof", "b.json", "--public-key", "K"}, "error: --witness is required"},
      {{"check-proof", "b.json", "--public-key", "K", "--witness", "v", "--series"},
       "error: unknown option '--series'"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    EXPECT_EQ(parsed(c.args), c.expected) << line;
  }
}

TEST(CommandLine, UsageTextListsEachCommandWithItsOptions) {
  EXPECT_EQ(usage_text(),
            "usage: velm-qor-verify LOG... --public-key HEX [--json] [--expect-head ROOT]... [--series] [--jobs N] "
            "[--html REPORT] [--checkpoint CPFILE]... [--witness VKEY]...\n"
            "       velm-qor-verify witness-key WKFILE --name NAME\n"
            "       velm-qor-verify witness-verifier-key WKFILE --name NAME\n"
            "       velm-qor-verify checkpoint LOG... --public-key HEX [--series] --witness-key WKFILE --origin NAME "
            "[--previous CPFILE]\n"
            "       velm-qor-verify prove LOG... [--series] --checkpoint CPFILE [--line N] [--id RECORD_ID]\n"
            "       velm-qor-verify check-proof BUNDLE --public-key HEX [--json] --witness VKEY...\n"
            "       velm-qor-verify public-key KEYFILE\n"
            "       velm-qor-verify --help | --version\n");
  const std::string help = help_text();
  EXPECT_EQ(help.rfind(usage_text(), 0), 0u);
  for (const Flag& f : kFlags) EXPECT_NE(help.find("\n  " + std::string(f.name)), std::string::npos) << f.name;
  for (const std::string command :
       {"witness-key", "witness-verifier-key", "checkpoint", "prove", "check-proof", "public-key"}) {
    const std::size_t at = help.find("\n  " + command);
    ASSERT_NE(at, std::string::npos) << command;
    EXPECT_TRUE(help[at + 3 + command.size()] == ' ' || help[at + 3 + command.size()] == '\n') << command;
  }
}

}  // namespace
}  // namespace velm::verify::cli
