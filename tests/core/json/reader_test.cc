// The JSON reader without the interpreter: number classes and correctly
// rounded doubles, string decoding, error messages and their positions.
#include "core/json/reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "core/json/error.h"
#include "tests/core/json/json_test_support.h"

namespace quillscore::json {
namespace {

using testing::Node;
using testing::parse_tree;

TEST(JsonReaderIsInterpreterFree, NoPythonHeaderReachable) {
#ifdef Py_PYTHON_H
  FAIL() << "the JSON reader includes Python.h; it must build without the interpreter";
#endif
}

uint64_t bits_of(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

struct NumberCase {
  const char* text;
  Number::Kind kind;
  uint64_t u;
  int64_t i;
  double f;
};

class NumberClasses : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberClasses, ClassAndValue) {
  const NumberCase& c = GetParam();
  // Alone and inside a long array, so that both the vector scan (16 bytes
  // available) and the byte-by-byte one run.
  const std::string padded = std::string(c.text) + std::string(20, ' ');
  for (const std::string& doc : {std::string(c.text), padded}) {
    Reader r(doc);
    Number n;
    ASSERT_TRUE(r.parse_number(n)) << r.parse_error().render();
    ASSERT_EQ(n.kind, c.kind) << c.text;
    switch (c.kind) {
      case Number::Kind::kUnsigned:
        EXPECT_EQ(n.u, c.u) << c.text;
        break;
      case Number::Kind::kSigned:
        EXPECT_EQ(n.i, c.i) << c.text;
        break;
      case Number::Kind::kFloat:
        EXPECT_EQ(bits_of(n.f), bits_of(c.f)) << c.text << " gave " << n.f;
        break;
    }
    EXPECT_EQ(r.offset(), std::strlen(c.text));
  }
}

constexpr auto U = Number::Kind::kUnsigned;
constexpr auto S = Number::Kind::kSigned;
constexpr auto F = Number::Kind::kFloat;

INSTANTIATE_TEST_SUITE_P(
    Table, NumberClasses,
    ::testing::Values(NumberCase{"0", U, 0, 0, 0}, NumberCase{"7", U, 7, 0, 0},
                      NumberCase{"-0", F, 0, 0, -0.0}, NumberCase{"-0.0", F, 0, 0, -0.0},
                      NumberCase{"-1", S, 0, -1, 0},
                      NumberCase{"18446744073709551615", U, 18446744073709551615ull, 0, 0},
                      NumberCase{"18446744073709551616", F, 0, 0, 18446744073709551616.0},
                      NumberCase{"12345678901234567890", U, 12345678901234567890ull, 0, 0},
                      NumberCase{"99999999999999999999", F, 0, 0, 1e20},
                      NumberCase{"9223372036854775808", U, 9223372036854775808ull, 0, 0},
                      NumberCase{"-9223372036854775808", S, 0, INT64_MIN, 0},
                      NumberCase{"-9223372036854775809", F, 0, 0, -9223372036854775808.0},
                      NumberCase{"-18446744073709551615", F, 0, 0, -18446744073709551616.0},
                      NumberCase{"1.5", F, 0, 0, 1.5}, NumberCase{"1e2", F, 0, 0, 100.0},
                      NumberCase{"1E-2", F, 0, 0, 0.01}, NumberCase{"1e+2", F, 0, 0, 100.0},
                      NumberCase{"115.52", F, 0, 0, 115.52}, NumberCase{"0.1", F, 0, 0, 0.1},
                      NumberCase{"5e-324", F, 0, 0, 5e-324}, NumberCase{"2e-324", F, 0, 0, 0.0},
                      NumberCase{"-1e-400", F, 0, 0, -0.0},
                      NumberCase{"0e99999999999999999999", F, 0, 0, 0.0},
                      NumberCase{"1.7976931348623157e308", F, 0, 0, 1.7976931348623157e308},
                      NumberCase{"9007199254740993.0", F, 0, 0, 9007199254740992.0},
                      NumberCase{"9007199254740995.0", F, 0, 0, 9007199254740996.0},
                      NumberCase{"1234567890123456789012.5e-3", F, 0, 0, 1234567890123456789.0125},
                      NumberCase{"0.000000000000000000000000000001", F, 0, 0, 1e-30}));

// Doubles are the nearest to the decimal text: glibc's strtod is correctly
// rounded, so it serves as the reference on random decimal strings.
TEST(NumberRounding, MatchesCorrectlyRoundedReference) {
  std::mt19937_64 rng(12345);
  for (int k = 0; k < 200000; ++k) {
    std::string text;
    if (rng() % 4 == 0) text += '-';
    const int int_digits = 1 + static_cast<int>(rng() % 22);
    for (int d = 0; d < int_digits; ++d) {
      text += static_cast<char>('0' + (d == 0 && int_digits > 1 ? 1 + rng() % 9 : rng() % 10));
    }
    if (rng() % 3 != 0) {
      text += '.';
      const int frac = 1 + static_cast<int>(rng() % 25);
      for (int d = 0; d < frac; ++d) text += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 2 == 0) {
      text += rng() % 2 ? 'e' : 'E';
      text += std::to_string(static_cast<int>(rng() % 700) - 350);
    }
    errno = 0;
    const double expected = std::strtod(text.c_str(), nullptr);
    const bool overflow = std::isinf(expected);
    // Alone, and followed by more of a document, where the digits are read
    // eight bytes at a time.
    for (const std::string& doc : {text, text + ",        ]"}) {
      Reader r(doc);
      Number n;
      const bool ok = r.parse_number(n);
      if (overflow) {
        ASSERT_FALSE(ok) << text;
        ASSERT_EQ(r.error_code(), ErrorCode::kNumberOutOfRange) << text;
        continue;
      }
      ASSERT_TRUE(ok) << text << ": " << r.parse_error().render();
      ASSERT_EQ(r.offset(), text.size()) << text;
      if (n.kind == Number::Kind::kUnsigned) {
        ASSERT_EQ(n.u, std::strtoull(text.c_str(), nullptr, 10)) << text;
      } else if (n.kind == Number::Kind::kSigned) {
        ASSERT_EQ(n.i, std::strtoll(text.c_str(), nullptr, 10)) << text;
      } else {
        ASSERT_EQ(bits_of(n.f), bits_of(expected)) << text;
      }
    }
  }
}

struct StringCase {
  std::string json;     // including the quotes
  std::string decoded;  // UTF-8
  bool ascii;
  bool in_place;  // no escapes: a view into the input
};

class Strings : public ::testing::TestWithParam<StringCase> {};

TEST_P(Strings, Decoded) {
  const StringCase& c = GetParam();
  Reader r(c.json);
  r.advance();
  StringRef s;
  ASSERT_TRUE(r.parse_string(s)) << r.parse_error().render();
  EXPECT_EQ(std::string(s.view()), c.decoded);
  EXPECT_EQ(s.ascii, c.ascii);
  const bool in_input = s.data >= r.begin() && s.data < r.end();
  if (!c.decoded.empty()) {
    EXPECT_EQ(in_input, c.in_place);
  }
  EXPECT_TRUE(r.at_end());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Strings,
    ::testing::Values(
        StringCase{"\"\"", "", true, true}, StringCase{"\"abc\"", "abc", true, true},
        StringCase{"\"a long string that spans more than one vector block\"",
                   "a long string that spans more than one vector block", true, true},
        StringCase{"\"caf\xc3\xa9\"", "caf\xc3\xa9", false, true},
        StringCase{"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t", true, false},
        StringCase{"\"\\u0041\\u00e9\\u00E9\"", "A\xc3\xa9\xc3\xa9", false, false},
        StringCase{"\"\\u0000\"", std::string("\0", 1), true, false},
        StringCase{"\"\\u20AC\"", "\xe2\x82\xac", false, false},
        StringCase{"\"\\ud83d\\ude00 x\"", "\xf0\x9f\x98\x80 x", false, false},
        StringCase{"\"\\uDBFF\\uDFFF\"", "\xf4\x8f\xbf\xbf", false, false},
        StringCase{"\"0123456789abcdef\\n0123456789abcdef\"", "0123456789abcdef\n0123456789abcdef",
                   true, false},
        StringCase{"\"\x7f\xf4\x8f\xbf\xbf\xef\xbf\xbf\"", "\x7f\xf4\x8f\xbf\xbf\xef\xbf\xbf", false,
                   true}));

struct ErrorCase {
  std::string doc;
  std::string rendered;
};

class Errors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(Errors, MessageAndPosition) {
  const ErrorCase& c = GetParam();
  Reader r(c.doc);
  EXPECT_EQ(parse_tree(r), nullptr);
  ASSERT_TRUE(r.failed());
  EXPECT_EQ(r.parse_error().render(), c.rendered);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Errors,
    ::testing::Values(
        ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{"[1,\n", "EOF while parsing a value at line 2 column 0"},
        ErrorCase{"[1\n,2", "EOF while parsing a list at line 2 column 2"},
        ErrorCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        ErrorCase{"\"a", "EOF while parsing a string at line 1 column 2"},
        ErrorCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        ErrorCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        ErrorCase{"{\"a\":1 2}", "expected `,` or `}` at line 1 column 8"},
        ErrorCase{"nulL", "expected ident at line 1 column 4"},
        ErrorCase{"\n x", "expected value at line 2 column 2"},
        ErrorCase{"\"\\q\"", "invalid escape at line 1 column 3"},
        ErrorCase{"\"\\u12x4\"", "invalid escape at line 1 column 7"},
        ErrorCase{"[00]", "invalid number at line 1 column 3"},
        ErrorCase{"[1e999]", "number out of range at line 1 column 6"},
        ErrorCase{"\"\xe2\x82\"", "invalid unicode code point at line 1 column 4"},
        ErrorCase{"\"\\n\xed\xbf\xbf\"", "invalid unicode code point at line 1 column 7"},
        ErrorCase{"\"\t\"", "control character (\\u0000-\\u001F) found while parsing a string "
                            "at line 1 column 2"},
        ErrorCase{"{[]:1}", "key must be a string at line 1 column 2"},
        ErrorCase{"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        ErrorCase{"[1,]", "trailing comma at line 1 column 4"},
        ErrorCase{"[] 1", "trailing characters at line 1 column 4"},
        ErrorCase{"\"\\uD800a\"", "unexpected end of hex escape at line 1 column 8"},
        ErrorCase{std::string(128, '[') + std::string(128, ']'),
                  "recursion limit exceeded at line 1 column 128"}));

TEST(Reader, NestingLimitIsRestoredOnLeavingContainers) {
  // 127 levels deep, twice in a row: leaving restores the counter.
  const std::string deep = std::string(126, '[') + std::string(126, ']');
  const std::string doc = "[" + deep + "," + deep + "]";
  Reader r(doc);
  EXPECT_NE(parse_tree(r), nullptr) << r.parse_error().render();
  EXPECT_EQ(r.remaining_depth(), Reader::kDepthLimit);
}

TEST(Reader, DuplicateKeysAreReportedInOrder) {
  Reader r(R"({"a": 1, "b": [true, false, null], "a": "x"})");
  auto tree = parse_tree(r);
  ASSERT_NE(tree, nullptr);
  ASSERT_EQ(tree->members.size(), 3u);
  EXPECT_EQ(tree->members[0].first, "a");
  EXPECT_EQ(tree->members[1].second->items.size(), 3u);
  EXPECT_EQ(tree->members[2].second->s, "x");
}

TEST(Reader, CustomErrorsArePositioned) {
  Reader r("{\"bbox\": [1, 2]}");
  r.advance(9);
  EXPECT_FALSE(r.custom_error("invalid type: sequence, expected f64"));
  EXPECT_EQ(r.parse_error().render(), "invalid type: sequence, expected f64 at line 1 column 9");
  Reader p("[1]");
  EXPECT_FALSE(p.custom_peek_error("boom"));
  EXPECT_EQ(p.parse_error().render(), "boom at line 1 column 1");
  // The first error stays.
  EXPECT_FALSE(p.error(ErrorCode::kTrailingComma));
  EXPECT_FALSE(p.custom_error("second"));
  EXPECT_EQ(p.parse_error().render(), "boom at line 1 column 1");
}

TEST(Positions, LineAndColumnOfThePrefix) {
  EXPECT_EQ(position_of("", 0).line, 1u);
  EXPECT_EQ(position_of("", 0).column, 0u);
  EXPECT_EQ(position_of("ab\ncd", 5).line, 2u);
  EXPECT_EQ(position_of("ab\ncd", 5).column, 2u);
  EXPECT_EQ(position_of("ab\n", 3).line, 2u);
  EXPECT_EQ(position_of("ab\n", 3).column, 0u);
  EXPECT_EQ(position_of("\n\n\nxyz", 5).line, 4u);
  ParseError e;
  e.code = ErrorCode::kTrailingComma;
  EXPECT_EQ(e.render(), "trailing comma");  // no position
}

TEST(Messages, EveryCodeHasItsText) {
  EXPECT_EQ(message(ErrorCode::kControlCharacterWhileParsingString),
            "control character (\\u0000-\\u001F) found while parsing a string");
  for (int c = static_cast<int>(ErrorCode::kEofWhileParsingList);
       c <= static_cast<int>(ErrorCode::kRecursionLimitExceeded); ++c) {
    EXPECT_FALSE(message(static_cast<ErrorCode>(c)).empty()) << c;
  }
}

}  // namespace
}  // namespace quillscore::json
