// A plain C++ sink for the JSON parser, so that the reader's full grammar can
// be driven without the interpreter: values become a small tree.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/json/parser.h"

namespace quillscore::json::testing {

struct Node {
  enum class Kind { kNull, kBool, kUnsigned, kSigned, kFloat, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool b = false;
  uint64_t u = 0;
  int64_t i = 0;
  double f = 0;
  std::string s;
  std::vector<std::unique_ptr<Node>> items;
  std::vector<std::pair<std::string, std::unique_ptr<Node>>> members;
};

struct TreeSink {
  using Value = std::unique_ptr<Node>;
  struct Key {
    std::string text;
    bool ok = true;
    explicit operator bool() const { return ok; }
  };

  static Value make(Node::Kind k) {
    auto n = std::make_unique<Node>();
    n->kind = k;
    return n;
  }
  Value string(const StringRef& s) {
    Value n = make(Node::Kind::kString);
    n->s.assign(s.view());
    return n;
  }
  Value number(const Number& x) {
    switch (x.kind) {
      case Number::Kind::kUnsigned: {
        Value n = make(Node::Kind::kUnsigned);
        n->u = x.u;
        return n;
      }
      case Number::Kind::kSigned: {
        Value n = make(Node::Kind::kSigned);
        n->i = x.i;
        return n;
      }
      case Number::Kind::kFloat:
        break;
    }
    Value n = make(Node::Kind::kFloat);
    n->f = x.f;
    return n;
  }
  Value boolean(bool b) {
    Value n = make(Node::Kind::kBool);
    n->b = b;
    return n;
  }
  Value null() { return make(Node::Kind::kNull); }
  Value array() { return make(Node::Kind::kArray); }
  bool append(Value& a, Value item) {
    a->items.push_back(std::move(item));
    return true;
  }
  Value object() { return make(Node::Kind::kObject); }
  Key key(const StringRef& s) { return Key{std::string(s.view())}; }
  bool set(Value& o, Key k, Value item) {
    o->members.emplace_back(std::move(k.text), std::move(item));
    return true;
  }
};

// Parses a whole document into a tree; null with the reader's error set on
// failure.
inline std::unique_ptr<Node> parse_tree(Reader& r) {
  TreeSink sink;
  return Parser<TreeSink>(r, sink).document();
}

}  // namespace quillscore::json::testing
