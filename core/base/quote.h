// Strings quoted the way error messages show a rejected value.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace quillscore {

// In double quotes, with quotes, backslashes and control characters escaped
// (\n, \r, \t and \0 by name, the others as \u{hex}).
inline std::string debug_quote(std::string_view s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

}  // namespace quillscore
