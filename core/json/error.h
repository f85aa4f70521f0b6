// Parser errors of the JSON reader: one code per failure, one message table,
// and positions rendered as "<message> at line L column C".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillscore::json {

enum class ErrorCode : uint8_t {
  kNone,
  kEofWhileParsingList,
  kEofWhileParsingObject,
  kEofWhileParsingString,
  kEofWhileParsingValue,
  kExpectedColon,
  kExpectedListCommaOrEnd,
  kExpectedObjectCommaOrEnd,
  kExpectedSomeIdent,
  kExpectedSomeValue,
  kInvalidEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kInvalidUnicodeCodePoint,
  kControlCharacterWhileParsingString,
  kKeyMustBeAString,
  kLoneLeadingSurrogateInHexEscape,
  kTrailingComma,
  kTrailingCharacters,
  kUnexpectedEndOfHexEscape,
  kRecursionLimitExceeded,
  // A message supplied by the caller (typed readers built on the reader).
  kCustom,
};

// The fixed message of a code; empty for kNone and kCustom.
std::string_view message(ErrorCode code);

// Line and column of a reference byte. `prefix` is the number of input bytes
// up to and including that byte (so 0 for an empty input): the line is 1 plus
// the line feeds in the prefix, the column the bytes after the last of them.
struct Position {
  size_t line = 0;  // 0: no position
  size_t column = 0;
};
Position position_of(std::string_view input, size_t prefix);

struct ParseError {
  ErrorCode code = ErrorCode::kNone;
  std::string custom;  // the message when code is kCustom
  Position at;

  std::string_view text() const { return code == ErrorCode::kCustom ? custom : message(code); }
  // "<message> at line L column C", or the message alone without a position.
  std::string render() const;
};

}  // namespace quillscore::json
