// The grammar-only JSON validator: checks that bytes form JSON without
// converting or building anything. Numbers are checked for syntax only (an
// out-of-range float passes), strings for escape letters, four hex digits
// after \u and control characters (not for UTF-8 or surrogate pairing), and
// nesting is unlimited: the validator keeps its own stack of open brackets.
// Its errors are the reader's, at the same positions.
#pragma once

#include "core/json/reader.h"

namespace quillscore::json {

// One value at the cursor (whitespace before it is skipped); the cursor ends
// just after it. On failure the reader holds the error.
bool skip_value(Reader& r);

// A whole document: one value and then only whitespace.
bool validate_document(Reader& r);

}  // namespace quillscore::json
