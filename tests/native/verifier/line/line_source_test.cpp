// Which bytes are no log at all: a file caught by a pattern (a key file) is one failure, while a
// log damaged at its start is still read line by line.
#include "verifier/line/line_source.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_file.h"

namespace velm::verify {
namespace {

using namespace std::string_literals;

TEST(LineSource, BytesThatAreNoLogAreSkippedAsOne) {
  const std::string record = R"({"id":"qor_1"})";
  const struct {
    std::string bytes;
    bool no_log;
  } cases[] = {
      {"\x8f\x01\xfe\x00\x17 key seed, 32 bytes long ......."s, true},  // no line feed at all
      {"\x01\x02\n\x03\x04\n"s, true},
      {"\xff\xfe not UTF-8\nplain\n"s, true},
      {"\x00\x00\x00\x00\n"s + record + "\n", false},  // zeroed at the start, records after it
      {"\x00\x00\x00\x00"s + record + "\n", false},    // the first line begins with zeros, not '{'
      {"{\x00\x01\n"s, false},                         // begins like a record: bad form, line by line
      {"not json, but text\n\x01\n"s, false},          // text: reported line by line
      {"\xc3\xa9t\xc3\xa9 \t\r\n"s, false},            // valid UTF-8 with tab and carriage return
      {"\n\x01\x02\n"s, false},                        // an empty first line is text
      {""s, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    const velm::testing::TempFile file(c.bytes);
    LineSource source(file.path(), 1 << 20);
    std::string line;
    std::uint64_t length = 0;
    const LineSource::Status first = source.next(line, length);
    if (c.no_log) {
      EXPECT_EQ(first, LineSource::Status::kNotLog);
      EXPECT_EQ(length, c.bytes.size());
      EXPECT_EQ(source.next(line, length), LineSource::Status::kEnd);
      EXPECT_EQ(source.bytes_read(), c.bytes.size());
    } else {
      EXPECT_NE(first, LineSource::Status::kNotLog);
    }
  }
}

}  // namespace
}  // namespace velm::verify
