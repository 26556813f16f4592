#include "encoding/json_writer.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

namespace velm {
namespace {

using namespace std::string_literals;

// What each control byte must become inside a JSON string.
const char* const kControlEscapes[32] = {
    "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
    "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
    "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
    "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
};

std::string expected_escape(int byte) {
  if (byte < 0x20) return kControlEscapes[byte];
  if (byte == '"') return "\\\"";
  if (byte == '\\') return "\\\\";
  return std::string(1, static_cast<char>(byte));
}

std::string as_json_string(std::string_view text) {
  JsonWriter w;
  w.string(text);
  return std::string(w.text());
}

TEST(JsonWriterString, EveryByteAloneAndInsideRuns) {
  std::string all_bytes;
  std::string all_expected;
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(as_json_string(one), "\"" + expected_escape(b) + "\"") << "byte " << b;
    EXPECT_EQ(as_json_string("ab" + one + "cd"), "\"ab" + expected_escape(b) + "cd\"") << "byte " << b;
    all_bytes += one;
    all_expected += expected_escape(b);
  }
  EXPECT_EQ(as_json_string(all_bytes), "\"" + all_expected + "\"");
  // Twice over, so escapes and long raw runs alternate within one call.
  EXPECT_EQ(as_json_string(all_bytes + all_bytes), "\"" + all_expected + all_expected + "\"");
}

TEST(JsonWriterString, NamedCases) {
  EXPECT_EQ(as_json_string(""), R"("")");
  EXPECT_EQ(as_json_string("a\0b"s), R"("a\u0000b")");
  EXPECT_EQ(as_json_string("\x1b[0m"), R"("\u001b[0m")");
  EXPECT_EQ(as_json_string("\x7f"), "\"\x7f\"");
  EXPECT_EQ(as_json_string(R"(say "hi" \ a/b)"), R"("say \"hi\" \\ a/b")");
  EXPECT_EQ(as_json_string("a\tb\nc\rd\ve"), R"("a\tb\nc\rd\u000be")");
  EXPECT_EQ(as_json_string("\b\f"), R"("\b\f")");
  EXPECT_EQ(as_json_string("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  EXPECT_EQ(as_json_string("\xe2\x80\xa8\xe2\x80\xa9"), "\"\xe2\x80\xa8\xe2\x80\xa9\"");
  const std::string long_raw(10000, 'x');
  EXPECT_EQ(as_json_string(long_raw), "\"" + long_raw + "\"");
}

// A plain byte-by-byte reference, for texts where escapes fall at every position relative to the
// writer's eight-byte steps.
std::string reference_json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) out += expected_escape(static_cast<unsigned char>(c));
  return out + "\"";
}

TEST(JsonWriterString, EscapesAtEveryOffsetAndRandomTexts) {
  for (const char special : {'"', '\\', '\n', '\x00', '\x1f', '\x7f', '\x80', '\xff', ' '}) {
    for (std::size_t before = 0; before < 20; ++before) {
      for (std::size_t after = 0; after < 20; ++after) {
        const std::string text = std::string(before, 'a') + special + std::string(after, 'b');
        ASSERT_EQ(as_json_string(text), reference_json_string(text)) << before << " " << after;
        // Two specials in one block, and a special right after a long clean run.
        const std::string twice = text + special + std::string(before, 'c');
        ASSERT_EQ(as_json_string(twice), reference_json_string(twice)) << before << " " << after;
      }
    }
  }
  // Random texts drawn mostly from the bytes that matter, growing the buffer many times over.
  std::uint64_t state = 0x9e3779b97f4a7c15ULL;
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  const char palette[] = {'"', '\\', '\n', '\t', '\x01', '\x1b', 'x', 'y', '\xc3', '\xa9', '/', ' '};
  for (int round = 0; round < 3000; ++round) {
    std::string text(next() % 300, '\0');
    for (char& c : text) {
      const std::uint64_t r = next();
      c = (r & 1) != 0 ? palette[(r >> 1) % sizeof palette] : static_cast<char>(r >> 8);
    }
    ASSERT_EQ(as_json_string(text), reference_json_string(text)) << "round " << round;
  }
}

TEST(JsonWriterString, KeysAreEscapedLikeStrings) {
  JsonWriter w;
  w.begin_object();
  w.key("a\"b\\c\n\x01/");
  w.uint64(1);
  w.end_object();
  EXPECT_EQ(w.text(), R"({"a\"b\\c\n\u0001/":1})");
}

std::string printf_int(long long v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld", v);
  return buf;
}

std::string printf_uint(unsigned long long v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%llu", v);
  return buf;
}

TEST(JsonWriterNumber, IntegersMatchPrintf) {
  auto check_signed = [](std::int64_t v) {
    JsonWriter w;
    w.int64(v);
    EXPECT_EQ(w.text(), printf_int(v));
  };
  auto check_unsigned = [](std::uint64_t v) {
    JsonWriter w;
    w.uint64(v);
    EXPECT_EQ(w.text(), printf_uint(v));
  };
  for (std::int64_t v = -100000; v <= 100000; ++v) check_signed(v);
  for (std::uint64_t v = 0; v <= 100000; ++v) check_unsigned(v);
  // Every length, at and around each power of ten.
  std::uint64_t p = 1;
  for (int i = 0; i < 20; ++i, p *= 10) {
    for (std::uint64_t d : {p - 1, p, p + 1, 2 * p - 1}) check_unsigned(d);
    if (p <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      const auto s = static_cast<std::int64_t>(p);
      for (std::int64_t d : {s - 1, s, s + 1, -s + 1, -s, -s - 1}) check_signed(d);
    }
  }

  JsonWriter w;
  w.begin_array();
  w.uint64(std::numeric_limits<std::uint64_t>::max());
  w.int64(std::numeric_limits<std::int64_t>::min());
  w.int64(std::numeric_limits<std::int64_t>::max());
  w.int64(-128);
  w.int64(127);
  w.uint64(0);
  w.end_array();
  EXPECT_EQ(w.text(), "[18446744073709551615,-9223372036854775808,9223372036854775807,-128,127,0]");
}

TEST(JsonWriterNumber, ByteArraysMatchElementByElementWriting) {
  std::uint8_t unsigned_bytes[256];
  std::int8_t signed_bytes[256];
  std::string want_unsigned = "[";
  std::string want_signed = "[";
  for (int k = 0; k < 256; ++k) {
    unsigned_bytes[k] = static_cast<std::uint8_t>(255 - k);
    signed_bytes[k] = static_cast<std::int8_t>(k - 128);
    want_unsigned += printf_uint(static_cast<unsigned long long>(255 - k)) + (k < 255 ? "," : "]");
    want_signed += printf_int(k - 128) + (k < 255 ? "," : "]");
  }
  JsonWriter w;
  w.begin_object();
  w.key("u");
  w.uint8_array(unsigned_bytes, 256);
  w.key("s");
  w.int8_array(signed_bytes, 256);
  w.key("e");
  w.uint8_array(unsigned_bytes, 0);
  w.key("one");
  w.int8_array(signed_bytes, 1);
  w.end_object();
  w.line_feed();
  EXPECT_EQ(w.text(), "{\"u\":" + want_unsigned + ",\"s\":" + want_signed + ",\"e\":[],\"one\":[-128]}\n");

  // Inside an array the arrays are elements like any other, and a tight buffer grows to fit.
  JsonWriter tight;
  tight.begin_array();
  tight.int8_array(signed_bytes, 3);
  tight.uint8_array(unsigned_bytes + 250, 6);
  tight.end_array();
  EXPECT_EQ(tight.text(), "[[-128,-127,-126],[5,4,3,2,1,0]]");
}

TEST(JsonWriterNumber, FloatsAndNonFinite) {
  JsonWriter w;
  w.begin_array();
  w.float64(0.92);
  w.float64(-0.0);
  w.float64(1e16);
  w.float64(1e-6);
  w.float64(std::numeric_limits<double>::quiet_NaN());
  w.float64(std::numeric_limits<double>::infinity());
  w.float64(-std::numeric_limits<double>::infinity());
  w.float64(100.0);
  w.end_array();
  EXPECT_EQ(w.text(), "[0.92,-0.0,1e+16,1e-6,null,null,null,100.0]");
}

TEST(JsonWriterStructure, CommasAcrossNesting) {
  JsonWriter w;
  w.begin_object();
  w.key("a");
  w.begin_object();
  w.key("b");
  w.boolean(true);
  w.key("c");
  w.boolean(false);
  w.end_object();
  w.key("e");
  w.begin_array();
  w.end_array();
  w.key("f");
  w.begin_object();
  w.end_object();
  w.key("g");
  w.begin_array();
  w.begin_array();
  w.end_array();
  w.begin_array();
  w.int64(1);
  w.end_array();
  w.begin_object();
  w.key("h");
  w.null();
  w.end_object();
  w.string("s");
  w.end_array();
  w.key("i");
  w.null();
  w.end_object();
  EXPECT_EQ(w.text(), R"({"a":{"b":true,"c":false},"e":[],"f":{},"g":[[],[1],{"h":null},"s"],"i":null})");
}

// Text dropped between values, at any depth, leaves the commas of what follows as they were.
TEST(JsonWriterStructure, DroppedTextKeepsThePlaceInTheDocument) {
  const std::string whole = R"({"a":[1,{"b":2},[]],"c":3})";
  for (int drop_after = 0; drop_after < 8; ++drop_after) {
    JsonWriter w;
    std::string joined;
    int step = 0;
    const auto then = [&] {
      if (step++ == drop_after) {
        joined += w.text();
        w.drop_text();
      }
    };
    w.begin_object();
    w.key("a");
    w.begin_array();
    then();
    w.uint64(1);
    then();
    w.begin_object();
    w.key("b");
    w.uint64(2);
    w.end_object();
    then();
    w.begin_array();
    then();
    w.end_array();
    then();
    w.end_array();
    then();
    w.key("c");
    w.uint64(3);
    then();
    w.end_object();
    then();
    joined += w.text();
    EXPECT_EQ(joined, whole) << "dropped after step " << drop_after;
  }
}

TEST(JsonWriterStructure, SixtyFourLevelsThenRefuses) {
  JsonWriter w;
  std::string want;
  for (int i = 0; i < 64; ++i) {
    w.begin_array();
    w.uint64(static_cast<std::uint64_t>(i));
    want += "[" + std::to_string(i) + ",";
  }
  EXPECT_THROW(w.begin_array(), std::length_error);
  EXPECT_THROW(w.begin_object(), std::length_error);
  w.clear();
  want.clear();
  for (int i = 0; i < 64; ++i) {
    w.begin_array();
    w.uint64(static_cast<std::uint64_t>(i));
    want += "[" + std::to_string(i);
    if (i < 63) want += ",";
  }
  for (int i = 63; i >= 1; --i) {
    w.end_array();
    w.uint64(static_cast<std::uint64_t>(i));
    want += "]," + std::to_string(i);
  }
  w.end_array();
  want += "]";
  EXPECT_EQ(w.text(), want);
}

TEST(JsonWriterBuffer, ReserveGrowthClearAndTake) {
  JsonWriter w;
  EXPECT_GE(w.capacity(), 128u);

  // Capacity changes only by at least doubling.
  w.begin_array();
  std::size_t cap = w.capacity();
  int growths = 0;
  for (int i = 0; i < 20000; ++i) {
    w.string("element");
    if (w.capacity() != cap) {
      EXPECT_GE(w.capacity(), 2 * cap);
      cap = w.capacity();
      ++growths;
    }
  }
  w.end_array();
  EXPECT_GT(growths, 5);

  // clear() forgets text and nesting but keeps the buffer.
  w.clear();
  EXPECT_EQ(w.text(), "");
  EXPECT_EQ(w.capacity(), cap);
  w.begin_object();
  w.key("k");
  w.uint64(7);
  w.end_object();
  EXPECT_EQ(w.text(), R"({"k":7})");

  // take() hands the text over and leaves a fresh writer.
  const std::string taken = w.take();
  EXPECT_EQ(taken, R"({"k":7})");
  EXPECT_EQ(w.text(), "");
  w.begin_array();
  w.boolean(true);
  w.end_array();
  EXPECT_EQ(w.text(), "[true]");
}

}  // namespace
}  // namespace velm
