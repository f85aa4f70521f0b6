// Checks shared by the JSON fuzz targets: a literal UTF-8 decoder, a sink
// that builds nothing but checks every string it is handed, and the
// agreement between the reader and the grammar-only validator.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/json/parser.h"
#include "core/json/validator.h"

namespace fuzz_json {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n%s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

#define JSON_CHECK(cond, ...) \
  do {                        \
    if (!(cond)) ::fuzz_json::fail(__VA_ARGS__); \
  } while (0)

// Decodes code points one at a time by the letter of RFC 3629.
inline bool literal_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<uint8_t>(s[i]);
    uint32_t cp;
    size_t len;
    if (b0 < 0x80) {
      cp = b0;
      len = 1;
    } else if ((b0 & 0xE0) == 0xC0) {
      cp = b0 & 0x1F;
      len = 2;
    } else if ((b0 & 0xF0) == 0xE0) {
      cp = b0 & 0x0F;
      len = 3;
    } else if ((b0 & 0xF8) == 0xF0) {
      cp = b0 & 0x07;
      len = 4;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<uint8_t>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// Builds nothing; every string and key must be valid UTF-8 and say truly
// whether it is ASCII.
struct CheckingSink {
  struct Value {
    bool ok = false;
    explicit operator bool() const { return ok; }
  };
  static Value string(const quillscore::json::StringRef& s) {
    check(s);
    return {true};
  }
  static Value number(const quillscore::json::Number&) { return {true}; }
  static Value boolean(bool) { return {true}; }
  static Value null() { return {true}; }
  static Value array() { return {true}; }
  static bool append(Value&, Value) { return true; }
  static Value object() { return {true}; }
  static Value key(const quillscore::json::StringRef& s) {
    check(s);
    return {true};
  }
  static bool set(Value&, Value, Value) { return true; }

  static void check(const quillscore::json::StringRef& s) {
    JSON_CHECK(literal_utf8(s.view()), "a decoded string is not valid UTF-8",
               std::string(s.view()));
    bool ascii = true;
    for (const char c : s.view()) ascii &= static_cast<uint8_t>(c) < 0x80;
    JSON_CHECK(ascii == s.ascii, "a decoded string misreports whether it is ASCII");
  }
};

inline bool grammar_error(quillscore::json::ErrorCode c) {
  using quillscore::json::ErrorCode;
  return c != ErrorCode::kNumberOutOfRange && c != ErrorCode::kInvalidUnicodeCodePoint &&
         c != ErrorCode::kLoneLeadingSurrogateInHexEscape &&
         c != ErrorCode::kUnexpectedEndOfHexEscape && c != ErrorCode::kRecursionLimitExceeded;
}

inline void check_position(const quillscore::json::ParseError& e, size_t size) {
  JSON_CHECK(e.at.line >= 1 && e.at.column <= size, "error position outside the input", e.render());
}

// Runs both over `bytes`: the validator must accept whatever the reader
// accepts, and fail with the very same error wherever the reader fails on
// grammar.
inline void check_agreement(std::string_view bytes) {
  using namespace quillscore::json;
  Reader strict(bytes);
  CheckingSink sink;
  const bool reader_ok = static_cast<bool>(Parser<CheckingSink>(strict, sink).document());
  Reader grammar(bytes);
  const bool validator_ok = validate_document(grammar);
  const std::string doc(bytes.substr(0, 200));
  if (reader_ok) {
    JSON_CHECK(!strict.failed(), "the reader accepted and holds an error");
    JSON_CHECK(validator_ok, "the validator rejects what the reader accepts",
               grammar.parse_error().render() + "\n" + doc);
    JSON_CHECK(grammar.at_end(), "the validator stopped before the end");
    return;
  }
  JSON_CHECK(strict.failed(), "the reader failed without an error");
  check_position(strict.parse_error(), bytes.size());
  if (grammar_error(strict.error_code())) {
    JSON_CHECK(!validator_ok, "the validator accepts a grammar error of the reader",
               strict.parse_error().render() + "\n" + doc);
    JSON_CHECK(grammar.parse_error().render() == strict.parse_error().render(),
               "the validator and the reader disagree on a grammar error",
               grammar.parse_error().render() + " vs " + strict.parse_error().render() + "\n" + doc);
  }
  if (!validator_ok) {
    check_position(grammar.parse_error(), bytes.size());
    JSON_CHECK(grammar_error(grammar.error_code()), "the validator reported a non-grammar error");
  }
}

}  // namespace fuzz_json
