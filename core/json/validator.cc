#include "core/json/validator.h"

#include <cstdint>
#include <vector>


namespace quillscore::json {
namespace {

// One bit per open bracket (set for objects). The first 256 levels live
// inline, so skipping ordinary values never allocates.
class BracketStack {
 public:
  bool empty() const { return depth_ == 0; }
  // The innermost bracket is kept out of the bit array: it is read after
  // every value.
  bool top_is_object() const { return top_object_; }
  void push(bool object) {
    if (depth_ > 0) {
      const size_t i = depth_ - 1;
      if (i / 64 >= kInlineWords && spill_.size() <= i / 64 - kInlineWords) spill_.push_back(0);
      uint64_t& w = word(i / 64);
      const uint64_t bit = uint64_t{1} << (i % 64);
      w = top_object_ ? (w | bit) : (w & ~bit);
    }
    ++depth_;
    top_object_ = object;
  }
  void pop() {
    if (--depth_ > 0) {
      const size_t i = depth_ - 1;
      top_object_ = (word(i / 64) >> (i % 64)) & 1;
    }
  }

 private:
  static constexpr size_t kInlineWords = 4;
  uint64_t& word(size_t k) { return k < kInlineWords ? inline_[k] : spill_[k - kInlineWords]; }

  size_t depth_ = 0;
  bool top_object_ = false;
  uint64_t inline_[kInlineWords] = {};
  std::vector<uint64_t> spill_;
};

}  // namespace

// The same states as the object builder's recursive descent, as a loop: a
// value is due (`value`), a member key is due (`key`, cursor on its quote),
// or a value has just ended (`after`).
bool skip_value(Reader& r) {
  BracketStack stack;
  int c;
value:
  c = r.skip_whitespace();
  switch (c) {
    case '"':
      r.advance();
      if (!r.skip_string()) return false;
      goto after;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      NumberText t;
      if (!r.scan_number(t)) return false;
      goto after;
    }
    case '[':
      r.advance();
      switch (r.array_step(true)) {
        case Step::kFail:
          return false;
        case Step::kEnd:
          goto after;
        case Step::kItem:
          stack.push(false);
          goto value;
      }
      return false;
    case '{':
      r.advance();
      switch (r.object_step(true)) {
        case Step::kFail:
          return false;
        case Step::kEnd:
          goto after;
        case Step::kItem:
          stack.push(true);
          goto key;
      }
      return false;
    case 't':
      if (!r.parse_literal("rue")) return false;
      goto after;
    case 'f':
      if (!r.parse_literal("alse")) return false;
      goto after;
    case 'n':
      if (!r.parse_literal("ull")) return false;
      goto after;
    case -1:
      return r.peek_error(ErrorCode::kEofWhileParsingValue);
    default:
      return r.peek_error(ErrorCode::kExpectedSomeValue);
  }
key:
  r.advance();
  if (!r.skip_string() || !r.object_colon()) return false;
  goto value;
after:
  if (stack.empty()) return true;
  if (stack.top_is_object()) {
    switch (r.object_step(false)) {
      case Step::kFail:
        return false;
      case Step::kEnd:
        stack.pop();
        goto after;
      case Step::kItem:
        goto key;
    }
  } else {
    switch (r.array_step(false)) {
      case Step::kFail:
        return false;
      case Step::kEnd:
        stack.pop();
        goto after;
      case Step::kItem:
        goto value;
    }
  }
  return false;
}

bool validate_document(Reader& r) { return skip_value(r) && r.end_of_document(); }

}  // namespace quillscore::json
