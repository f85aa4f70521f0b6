// The grammar-only validator against the reader: the same verdict and the
// same error wherever the reader fails on grammar, acceptance wherever the
// reader fails only on what the validator does not check (number range,
// UTF-8, surrogate pairing, nesting depth).
#include "core/json/validator.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/core/json/json_test_support.h"

namespace quillscore::json {
namespace {

bool grammar_error(ErrorCode c) {
  return c != ErrorCode::kNumberOutOfRange && c != ErrorCode::kInvalidUnicodeCodePoint &&
         c != ErrorCode::kLoneLeadingSurrogateInHexEscape &&
         c != ErrorCode::kUnexpectedEndOfHexEscape && c != ErrorCode::kRecursionLimitExceeded;
}

// Checks the validator's verdict on `doc` against the reader's.
void expect_agreement(const std::string& doc) {
  Reader strict(doc);
  const bool reader_ok = testing::parse_tree(strict) != nullptr;
  Reader grammar(doc);
  const bool validator_ok = validate_document(grammar);
  if (reader_ok) {
    ASSERT_TRUE(validator_ok) << doc << ": " << grammar.parse_error().render();
    EXPECT_TRUE(grammar.at_end());
  } else if (grammar_error(strict.error_code())) {
    ASSERT_FALSE(validator_ok) << doc;
    EXPECT_EQ(grammar.parse_error().render(), strict.parse_error().render()) << doc;
  } else if (!validator_ok) {
    // The reader stopped early on a non-grammar fault; the validator went
    // on and found a grammar fault further on.
    EXPECT_TRUE(grammar_error(grammar.error_code())) << doc;
  }
}

TEST(Validator, AgreesWithTheReaderOnCases) {
  const std::vector<std::string> docs = {
      "", " ", "1", "-", "-0", "01", "1.", "1.5e", "1e400", "[1e400, x]", "true", "tru", "nul",
      "[", "[]", "[1,]", "[,]", "[1 2]", "{", "{}", "{\"a\":1}", "{\"a\" 1}", "{\"a\":}",
      "{\"a\":1,}", "{1:1}", "\"\\u12\"", "\"\\uzzzz\"", "\"\\ud800\"", "\"\\udc00\" x",
      "\"\xff\"", "\"\xff\" x", "\"\x01\"", "[] ]", "{} x", "\"\\ud800\\u0041\"",
      "[\"\\ud800\\n\", x]", std::string(128, '[') + std::string(128, ']'),
      std::string(200, '[') + "1" + std::string(199, ']'),
      "{\"a\": [1, 2.5e-3, {\"b\": null}], \"c\": \"\\u00e9\"}",
  };
  for (const std::string& d : docs) expect_agreement(d);
}

TEST(Validator, AcceptsWhatOnlyTheReaderRefuses) {
  for (const std::string doc : {"1e400", "\"\xc0\xaf\"", "\"\\udc00\"", "\"\\ud800\"",
                                "\"\\ud800\\ud800\""}) {
    Reader r(doc);
    EXPECT_TRUE(validate_document(r)) << doc;
  }
}

TEST(Validator, UnlimitedNestingOfBothKinds) {
  std::string open, close;
  for (int i = 0; i < 5000; ++i) {
    if (i % 3 == 0) {
      open += "{\"k\":";
      close = "}" + close;
    } else {
      open += "[0,";
      close = "]" + close;
    }
  }
  const std::string doc = open + "null" + close;
  Reader r(doc);
  EXPECT_TRUE(validate_document(r)) << r.parse_error().render();
  // One closing bracket of the wrong kind deep inside.
  std::string bad = open + "null" + close;
  bad[open.size() + 4 + 2000] = bad[open.size() + 4 + 2000] == ']' ? '}' : ']';
  expect_agreement(bad);
}

TEST(Validator, SkipValueStopsRightAfterTheValue) {
  Reader r("  [1, {\"a\": \"]\"}] , 7");
  ASSERT_TRUE(skip_value(r));
  EXPECT_EQ(r.offset(), 17u);
  EXPECT_EQ(r.peek(), ' ');
  Reader s("\"x\\\"y\"z");
  ASSERT_TRUE(skip_value(s));
  EXPECT_EQ(s.peek(), 'z');
}

// Random edits of valid documents reach most of the error paths; each
// edited document must get the same verdict from both.
TEST(Validator, AgreesWithTheReaderOnMutatedDocuments) {
  const std::vector<std::string> seeds = {
      R"({"images": [{"id": 1, "file_name": "a.jpg"}], "annotations": [{"id": 7, "bbox": [1.5, 2, 3e2, -4.25E-1], "segmentation": [[1, 2, 3, 4]], "iscrowd": false, "name": "caf\u00e9 \ud83d\ude00", "x": null}]})",
      R"([1, -0, 18446744073709551616, "tab\tnew\nline", [[], {}], true])",
      "{\"k\": \"\xc3\xa9\", \"d\": [[[[[[[[1]]]]]]]]}",
  };
  const std::string alphabet = " \t\n\"\\,:[]{}0123456789-+.eEtrufalsnu/x\x01\x7f\xc3\xa9\xed\xff";
  std::mt19937 rng(99);
  for (int k = 0; k < 20000; ++k) {
    std::string d = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      const size_t i = rng() % (d.size() + 1);
      const char c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0:
          if (i < d.size()) d[i] = c;
          break;
        case 1:
          d.insert(d.begin() + static_cast<std::ptrdiff_t>(i), c);
          break;
        default:
          if (i < d.size()) d.erase(i, 1);
      }
    }
    expect_agreement(d);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace quillscore::json
