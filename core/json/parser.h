// The strict recursive descent over the reader, generic in what it builds:
// the object builder instantiates it with Python objects, the fuzz targets
// and tests with plain C++ values.
#pragma once

#include <utility>

#include "core/json/reader.h"

namespace quillscore::json {

// What a sink provides (Value and Key are owning handles that test false
// when creating them failed):
//   Value string(const StringRef&);  Value number(const Number&);
//   Value boolean(bool);  Value null();
//   Value array();  bool append(Value& array, Value item);
//   Value object();  Key key(const StringRef&);
//   bool set(Value& object, Key key, Value item);
// A sink may instead build arrays in one go: size_t stack_mark();
// void stack_push(Value); Value array_of(size_t mark), which takes the
// items pushed since `mark`.
// A sink failure stops the parse with the reader holding no error; a parse
// error stops it with the reader holding the error.
template <class Sink>
class Parser {
 public:
  using Value = typename Sink::Value;

  Parser(Reader& r, Sink& sink) : r_(r), sink_(sink) {}

  // The value at the cursor (whitespace before it skipped).
  Value value() {
    switch (r_.skip_whitespace()) {
      case '"': {
        r_.advance();
        StringRef s;
        if (!r_.parse_string(s)) return Value();
        return sink_.string(s);
      }
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
        Number n;
        if (!r_.parse_number(n)) return Value();
        return sink_.number(n);
      }
      case '[':
        return array();
      case '{':
        return object();
      case 't':
        if (!r_.parse_literal("rue")) return Value();
        return sink_.boolean(true);
      case 'f':
        if (!r_.parse_literal("alse")) return Value();
        return sink_.boolean(false);
      case 'n':
        if (!r_.parse_literal("ull")) return Value();
        return sink_.null();
      case -1:
        r_.peek_error(ErrorCode::kEofWhileParsingValue);
        return Value();
      default:
        r_.peek_error(ErrorCode::kExpectedSomeValue);
        return Value();
    }
  }

  // A whole document: the value, then only whitespace.
  Value document() {
    Value v = value();
    if (!v || !r_.end_of_document()) return Value();
    return v;
  }

 private:
  // Sinks that build an array in one go once its length is known keep the
  // items on a stack of their own meanwhile (and unwind it on failure).
  static constexpr bool kStackedArrays = requires(Sink& s, Value v) {
    s.array_of(s.stack_mark());
    s.stack_push(std::move(v));
  };

  Value array() {
    if (!r_.enter_container()) return Value();
    [[maybe_unused]] size_t mark = 0;
    Value list;
    if constexpr (kStackedArrays) {
      mark = sink_.stack_mark();
    } else {
      list = sink_.array();
      if (!list) return Value();
    }
    for (bool first = true;; first = false) {
      switch (r_.array_step(first)) {
        case Step::kFail:
          return Value();
        case Step::kEnd:
          r_.leave_container();
          if constexpr (kStackedArrays) {
            return sink_.array_of(mark);
          } else {
            return list;
          }
        case Step::kItem:
          break;
      }
      Value item = value();
      if (!item) return Value();
      if constexpr (kStackedArrays) {
        sink_.stack_push(std::move(item));
      } else if (!sink_.append(list, std::move(item))) {
        return Value();
      }
    }
  }

  Value object() {
    if (!r_.enter_container()) return Value();
    Value dict = sink_.object();
    if (!dict) return Value();
    for (bool first = true;; first = false) {
      switch (r_.object_step(first)) {
        case Step::kFail:
          return Value();
        case Step::kEnd:
          r_.leave_container();
          return dict;
        case Step::kItem:
          break;
      }
      r_.advance();  // the key's opening quote
      StringRef k;
      if (!r_.parse_string(k)) return Value();
      auto key = sink_.key(k);
      if (!key || !r_.object_colon()) return Value();
      Value item = value();
      if (!item || !sink_.set(dict, std::move(key), std::move(item))) return Value();
    }
  }

  Reader& r_;
  Sink& sink_;
};

}  // namespace quillscore::json
