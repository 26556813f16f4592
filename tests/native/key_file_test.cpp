// Temporary names beside a file: same folder, within NAME_MAX, apart for different counters.
#include "engine/key_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "encoding/fatal_error.h"

namespace velm {
namespace {

TEST(TemporaryName, StaysInTheFolderAndWithinNameMax) {
  char made[] = "/tmp/velm_key_name_test_XXXXXX";
  ASSERT_NE(::mkdtemp(made), nullptr);
  const std::string dir = std::string(made) + "/", suffix = ".tmp-" + std::to_string(::getpid()) + "-7";
  std::string accents;  // two bytes each: with or without the leading 'k', some cut falls inside one
  while (accents.size() < NAME_MAX - 1) accents += "\xC3\xA9";
  for (const std::string& name : {std::string(1, 'k'), std::string(230, 'k'), std::string(240, 'k'),
                                  std::string(251, 'k'), std::string(255, 'k'), accents, "k" + accents}) {
    for (const std::string& folder : {dir, std::string()}) {
      const std::string temp = temporary_name_beside(folder + name, 7);
      SCOPED_TRACE(temp);
      EXPECT_NE(temp, temporary_name_beside(folder + name, 8));
      ASSERT_EQ(temp.rfind(folder, 0), 0u);
      ASSERT_GE(temp.size(), folder.size() + suffix.size());
      EXPECT_EQ(temp.substr(temp.size() - suffix.size()), suffix);
      const std::string stem = temp.substr(folder.size(), temp.size() - folder.size() - suffix.size());
      ASSERT_EQ(name.rfind(stem, 0), 0u) << "the stem is the start of the file name";
      if (name.size() + suffix.size() <= NAME_MAX) {
        EXPECT_EQ(stem, name);
      } else {
        // As long as fits, ending on a character boundary: at most one byte of an 'é' less.
        EXPECT_LE(stem.size() + suffix.size(), std::size_t{NAME_MAX});
        EXPECT_GE(stem.size() + suffix.size(), std::size_t{NAME_MAX} - 1);
        EXPECT_NE(static_cast<unsigned char>(name[stem.size()]) & 0xC0, 0x80);
      }
    }
    const int fd = ::open(temporary_name_beside(dir + name, 7).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << "the file system takes the name";
    if (fd >= 0) ::close(fd);
    ::unlink(temporary_name_beside(dir + name, 7).c_str());
  }
  EXPECT_EQ(::rmdir(dir.c_str()), 0);
}

}  // namespace
}  // namespace velm

namespace velm {
namespace {

// Reading an existing key file: the engine's refusals, and never a file made where none was.
TEST(ExistingSeed, ReadsWhatTheEngineReadsAndCreatesNothing) {
  char made[] = "/tmp/velm_key_existing_test_XXXXXX";
  ASSERT_NE(::mkdtemp(made), nullptr);
  const std::string dir = made;
  const std::string seed(kSeedBytes, '\x5a');
  const struct {
    std::string name;
    std::string bytes;  // empty: no file
    mode_t mode;
    std::string error;  // the start of the message; empty: read
  } cases[] = {
      {"good.key", seed, 0600, ""},
      {"readable.key", seed, 0644, ""},
      {"missing.key", "", 0, "Failed to read signing key: No such file or directory"},
      {"short.key", seed.substr(1), 0600, "Invalid key length: found 31 bytes, expected 32"},
      {"long.key", seed + "x", 0600, "Invalid key length: found 33 bytes, expected 32"},
      {"shared.key", seed, 0620, "Failed to read signing key: '" + dir + "/shared.key' may be written by other users"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/" + c.name;
    if (!c.bytes.empty()) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::write(fd, c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
      ::fchmod(fd, c.mode);
      ::close(fd);
    }
    std::string warning;
    try {
      const SecretSeed got = load_existing_seed(path, warning);
      EXPECT_TRUE(c.error.empty());
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.data()), got.size()), seed);
      EXPECT_EQ(warning.empty(), (c.mode & 0044) == 0) << warning;
    } catch (const FatalError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
      EXPECT_FALSE(c.error.empty()) << e.what();
    }
    EXPECT_EQ(::access(path.c_str(), F_OK) == 0, !c.bytes.empty()) << "no key file is created";
    ::unlink(path.c_str());
  }
  ::rmdir(made);
}

}  // namespace
}  // namespace velm
