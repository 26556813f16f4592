// Temporary names beside a file: same folder, within NAME_MAX, apart for different counters.
#include "engine/key_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

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
