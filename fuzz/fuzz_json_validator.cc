// The grammar-only validator on arbitrary bytes, also wrapped in deep
// nesting (past its inline bracket stack, and past the reader's limit) and
// skipped value by value; every verdict the reader can give held to the
// reader's.
#include <string>

#include "fuzz/json_checks.h"

using namespace quillscore::json;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  fuzz_json::check_agreement(bytes);

  // The same bytes as the innermost member of a deep mixed nesting.
  if (size > 0) {
    const size_t depth = 1 + data[0] * 3;
    std::string doc, close;
    for (size_t i = 0; i < depth; ++i) {
      if (i % 2) {
        doc += "{\"k\":";
        close.insert(0, "}");
      } else {
        doc += "[0,";
        close.insert(0, "]");
      }
    }
    doc.append(bytes.substr(1));
    doc += close;
    if (depth < Reader::kDepthLimit - 1) {
      fuzz_json::check_agreement(doc);
    } else {
      Reader r(doc);
      if (!validate_document(r)) fuzz_json::check_position(r.parse_error(), doc.size());
    }
  }

  // Values one after another, as a record reader skips unknown members.
  Reader r(bytes);
  for (int n = 0; n < 64 && r.skip_whitespace() >= 0; ++n) {
    const size_t before = r.offset();
    if (!skip_value(r)) break;
    JSON_CHECK(r.offset() > before, "skip_value accepted without consuming anything");
  }
  return 0;
}
