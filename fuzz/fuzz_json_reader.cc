// The JSON reader on arbitrary bytes: whole documents through the strict
// parser (every string checked as valid UTF-8), numbers against the C
// library's correctly rounded strtod, and the verdict and errors of the
// grammar-only validator held to the reader's.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/json_checks.h"

using namespace quillscore::json;

namespace {

// A number at the start of the input, converted, against strtod on exactly
// the text the reader consumed.
void check_number(std::string_view bytes) {
  if (bytes.empty() || !(bytes[0] == '-' || is_digit(static_cast<uint8_t>(bytes[0])))) return;
  Reader r(bytes);
  Number n;
  const bool ok = r.parse_number(n);
  if (!ok && r.error_code() != ErrorCode::kNumberOutOfRange) return;
  NumberText t;
  Reader again(bytes);
  JSON_CHECK(again.scan_number(t), "scan_number rejects what parse_number converted");
  const std::string text(reinterpret_cast<const char*>(t.start), t.end - t.start);
  const double expected = std::strtod(text.c_str(), nullptr);
  if (!ok) {
    JSON_CHECK(std::isinf(expected), "number out of range for a finite value", text);
    return;
  }
  JSON_CHECK(!std::isinf(expected), "an overflowing number was accepted", text);
  const bool integer_literal = t.is_integer_literal();
  switch (n.kind) {
    case Number::Kind::kFloat: {
      JSON_CHECK(std::memcmp(&n.f, &expected, sizeof expected) == 0, "double not correctly rounded",
                 text);
      if (integer_literal && !t.negative) {
        JSON_CHECK(expected >= 18446744073709551615.0, "a small integer became a float", text);
      }
      break;
    }
    case Number::Kind::kUnsigned:
      JSON_CHECK(integer_literal && !t.negative, "unsigned class for a non-integer", text);
      JSON_CHECK(std::to_string(n.u) == text, "unsigned value differs from its text", text);
      break;
    case Number::Kind::kSigned:
      JSON_CHECK(integer_literal && t.negative && n.i < 0, "signed class misassigned", text);
      JSON_CHECK(std::to_string(n.i) == text, "signed value differs from its text", text);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  fuzz_json::check_agreement(bytes);
  check_number(bytes);
  return 0;
}
