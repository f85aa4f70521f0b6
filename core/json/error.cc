#include "core/json/error.h"

#include <algorithm>

namespace quillscore::json {

std::string_view message(ErrorCode code) {
  switch (code) {
    case ErrorCode::kNone:
    case ErrorCode::kCustom:
      return {};
    case ErrorCode::kEofWhileParsingList:
      return "EOF while parsing a list";
    case ErrorCode::kEofWhileParsingObject:
      return "EOF while parsing an object";
    case ErrorCode::kEofWhileParsingString:
      return "EOF while parsing a string";
    case ErrorCode::kEofWhileParsingValue:
      return "EOF while parsing a value";
    case ErrorCode::kExpectedColon:
      return "expected `:`";
    case ErrorCode::kExpectedListCommaOrEnd:
      return "expected `,` or `]`";
    case ErrorCode::kExpectedObjectCommaOrEnd:
      return "expected `,` or `}`";
    case ErrorCode::kExpectedSomeIdent:
      return "expected ident";
    case ErrorCode::kExpectedSomeValue:
      return "expected value";
    case ErrorCode::kInvalidEscape:
      return "invalid escape";
    case ErrorCode::kInvalidNumber:
      return "invalid number";
    case ErrorCode::kNumberOutOfRange:
      return "number out of range";
    case ErrorCode::kInvalidUnicodeCodePoint:
      return "invalid unicode code point";
    case ErrorCode::kControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case ErrorCode::kKeyMustBeAString:
      return "key must be a string";
    case ErrorCode::kLoneLeadingSurrogateInHexEscape:
      return "lone leading surrogate in hex escape";
    case ErrorCode::kTrailingComma:
      return "trailing comma";
    case ErrorCode::kTrailingCharacters:
      return "trailing characters";
    case ErrorCode::kUnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case ErrorCode::kRecursionLimitExceeded:
      return "recursion limit exceeded";
  }
  return {};
}

Position position_of(std::string_view input, size_t prefix) {
  const std::string_view head = input.substr(0, prefix);
  const size_t last_lf = head.rfind('\n');
  const size_t line_start = last_lf == std::string_view::npos ? 0 : last_lf + 1;
  return {1 + static_cast<size_t>(std::count(head.begin(), head.end(), '\n')),
          head.size() - line_start};
}

std::string ParseError::render() const {
  std::string s(text());
  if (at.line == 0) return s;
  s += " at line ";
  s += std::to_string(at.line);
  s += " column ";
  s += std::to_string(at.column);
  return s;
}

}  // namespace quillscore::json
