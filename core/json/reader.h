// The strict JSON reader: a byte cursor over one buffer with a nesting limit
// and positioned errors, and the lexical pieces (whitespace, literals, numbers,
// strings, separators) that the object builder, the grammar-only validator
// and the typed record readers are written on.
//
// Every operation that can fail returns false (or Step::kFail) with the error
// recorded in the reader; the first error stops the parse. An error sits
// either on the last consumed byte (`error`) or on the next one (`peek_error`,
// which at the end of input falls back to the last byte), matching the
// positions the messages promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/json/error.h"

namespace quillscore::json {

inline bool is_digit(uint8_t c) { return static_cast<uint8_t>(c - '0') < 10; }

// A number as the loader classifies it.
struct Number {
  enum class Kind : uint8_t { kUnsigned, kSigned, kFloat };
  Kind kind;
  union {
    uint64_t u;
    int64_t i;
    double f;
  };
  static Number unsigned_int(uint64_t v) {
    Number n;
    n.kind = Kind::kUnsigned;
    n.u = v;
    return n;
  }
  static Number signed_int(int64_t v) {
    Number n;
    n.kind = Kind::kSigned;
    n.i = v;
    return n;
  }
  static Number floating(double v) {
    Number n;
    n.kind = Kind::kFloat;
    n.f = v;
    return n;
  }
};

// A number's text split along the grammar: [-] int [. frac] [e|E [+|-] exp].
struct NumberText {
  const uint8_t* start;  // the sign or first digit
  const uint8_t* end;    // one past the last byte
  const uint8_t* int_begin;
  const uint8_t* int_end;
  const uint8_t* frac_begin;  // frac_begin == frac_end without a fraction
  const uint8_t* frac_end;
  int64_t exponent;  // signed, saturated far beyond any double's range
  bool negative;
  bool has_exponent;

  bool is_integer_literal() const { return frac_begin == frac_end && !has_exponent; }
};

// A decoded string: a view into the input when it had no escapes, otherwise
// into the reader's scratch buffer (valid until the next string is read).
struct StringRef {
  const uint8_t* data;
  size_t size;
  bool ascii;  // every byte below 0x80
  std::string_view view() const { return {reinterpret_cast<const char*>(data), size}; }
};

// The outcome of one step through an array's or object's members.
enum class Step : uint8_t { kFail, kEnd, kItem };

class Reader {
 public:
  // Containers deeper than kDepthLimit - 1 fail with "recursion limit exceeded".
  static constexpr uint8_t kDepthLimit = 128;

  Reader(const uint8_t* data, size_t size) : begin_(data), pos_(data), end_(data + size) {}
  explicit Reader(std::string_view input)
      : Reader(reinterpret_cast<const uint8_t*>(input.data()), input.size()) {}
  // The reader borrows its input: a temporary string would be gone before
  // the parse. (Literals live on.)
  explicit Reader(std::string&&) = delete;
  template <size_t N>
  explicit Reader(const char (&literal)[N]) : Reader(std::string_view(literal, N - 1)) {}

  // ---- Cursor.
  const uint8_t* begin() const { return begin_; }
  const uint8_t* pos() const { return pos_; }
  const uint8_t* end() const { return end_; }
  size_t offset() const { return static_cast<size_t>(pos_ - begin_); }
  bool at_end() const { return pos_ == end_; }
  void advance(size_t n = 1) { pos_ += n; }
  // Moves the cursor to `p`, which must lie within the input.
  void seek(const uint8_t* p) { pos_ = p; }
  // A second cursor over the same input at `p`, inside as many containers as
  // this one, with no error recorded.
  Reader fork_at(const uint8_t* p) const {
    Reader r(begin_, static_cast<size_t>(end_ - begin_));
    r.pos_ = p;
    r.depth_ = depth_;
    return r;
  }
  // The next byte, or -1 at the end of input.
  int peek() const { return pos_ < end_ ? *pos_ : -1; }

  // Skips space, tab, line feed and carriage return; returns the next byte
  // (not consumed) or -1 at the end of input.
  int skip_whitespace() {
    while (pos_ < end_) {
      const uint8_t c = *pos_;
      if (c > ' ' || !(c == ' ' || c == '\n' || c == '\r' || c == '\t')) return c;
      ++pos_;
    }
    return -1;
  }

  // ---- Errors. Each returns false.
  bool error(ErrorCode code) { return record(code, offset()); }
  bool peek_error(ErrorCode code) {
    const size_t size = static_cast<size_t>(end_ - begin_);
    return record(code, offset() < size ? offset() + 1 : size);
  }
  // An error with the caller's message (typed readers' own failures).
  bool custom_error(std::string message) {
    if (!failed()) custom_ = std::move(message);
    return record(ErrorCode::kCustom, offset());
  }
  bool custom_peek_error(std::string message) {
    if (!failed()) custom_ = std::move(message);
    return peek_error(ErrorCode::kCustom);
  }
  bool failed() const { return code_ != ErrorCode::kNone; }
  ErrorCode error_code() const { return code_; }
  // The recorded error with its line and column.
  ParseError parse_error() const;

  // ---- Nesting. The cursor is on `[` or `{`; consumes it.
  bool enter_container() {
    if (--depth_ == 0) return peek_error(ErrorCode::kRecursionLimitExceeded);
    ++pos_;
    return true;
  }
  void leave_container() { ++depth_; }
  uint8_t remaining_depth() const { return depth_; }

  // ---- Containers, after `[` or `{` was consumed. `first` is true before
  // the first member. kItem: a member follows (for arrays the cursor is on
  // the element's first byte; for objects on the key's opening quote).
  // kEnd: the closing bracket was consumed.
  Step array_step(bool first) {
    int c = skip_whitespace();
    if (c == ']') {
      ++pos_;
      return Step::kEnd;
    }
    if (c == ',' && !first) {
      ++pos_;
      c = skip_whitespace();
    } else if (c < 0) {
      return fail_step(ErrorCode::kEofWhileParsingList);
    } else if (!first) {
      return fail_step(ErrorCode::kExpectedListCommaOrEnd);
    }
    if (c == ']') return fail_step(ErrorCode::kTrailingComma);
    if (c < 0) return fail_step(ErrorCode::kEofWhileParsingValue);
    return Step::kItem;
  }
  Step object_step(bool first) {
    int c = skip_whitespace();
    if (c == '}') {
      ++pos_;
      return Step::kEnd;
    }
    if (c == ',' && !first) {
      ++pos_;
      c = skip_whitespace();
    } else if (c < 0) {
      return fail_step(ErrorCode::kEofWhileParsingObject);
    } else if (!first) {
      return fail_step(ErrorCode::kExpectedObjectCommaOrEnd);
    }
    if (c == '"') return Step::kItem;
    if (c == '}') return fail_step(ErrorCode::kTrailingComma);
    if (c < 0) return fail_step(ErrorCode::kEofWhileParsingValue);
    return fail_step(ErrorCode::kKeyMustBeAString);
  }
  // The `:` after an object key.
  bool object_colon() {
    const int c = skip_whitespace();
    if (c == ':') {
      ++pos_;
      return true;
    }
    return peek_error(c < 0 ? ErrorCode::kEofWhileParsingObject : ErrorCode::kExpectedColon);
  }

  // After the top-level value: only whitespace may follow.
  bool end_of_document() {
    if (skip_whitespace() >= 0) return peek_error(ErrorCode::kTrailingCharacters);
    return true;
  }

  // ---- Values. The cursor is on the value's first byte.

  // `true`, `false` or `null`: `rest` is the literal after its first byte,
  // which the cursor is on.
  bool parse_literal(std::string_view rest) {
    if (static_cast<size_t>(end_ - pos_) > rest.size() &&
        std::memcmp(pos_ + 1, rest.data(), rest.size()) == 0) {
      pos_ += rest.size() + 1;
      return true;
    }
    return literal_mismatch(rest);
  }

  // The number at the cursor (on `-` or a digit), checked but not converted.
  bool scan_number(NumberText& t) {
#if defined(__SSE2__)
    // Nearly every number in real files is `int` or `int.frac` in well under
    // 16 bytes. One vector load classifies all of its bytes at once and the
    // ends of both digit runs come out of the masks without a branch per
    // byte; anything else (exponents, long or malformed numbers, the last
    // bytes of the input) takes the byte-by-byte path below.
    const uint8_t* p = pos_ + (*pos_ == '-');
    if (end_ - p >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i v = _mm_sub_epi8(x, _mm_set1_epi8('0'));
      const unsigned digits = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(9)), v)));
      const unsigned dots =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8('.'))));
      const unsigned exps = static_cast<unsigned>(_mm_movemask_epi8(
          _mm_cmpeq_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('e'))));
      const unsigned non_digits = ~digits;  // bits 16 and up are set
      const unsigned int_len = static_cast<unsigned>(__builtin_ctz(non_digits));
      const bool dot = (dots >> int_len) & 1;
      const unsigned frac_end =
          static_cast<unsigned>(__builtin_ctz(non_digits & (~1u << int_len)));
      const unsigned len = dot ? frac_end : int_len;
      const bool simple = int_len != 0 && len < 16 && !((exps >> len) & 1) &&
                          !(dot && frac_end == int_len + 1) && !(p[0] == '0' && int_len > 1);
      if (simple) {
        t.start = pos_;
        t.negative = p != pos_;
        t.int_begin = p;
        t.int_end = p + int_len;
        t.frac_begin = dot ? p + int_len + 1 : p + int_len;
        t.frac_end = p + len;
        t.exponent = 0;
        t.has_exponent = false;
        pos_ = t.end = p + len;
        return true;
      }
    }
#endif
    return scan_number_bytes(t);
  }

  // The byte-by-byte number scanner, which also places every error.
  bool scan_number_bytes(NumberText& t) {
    t.start = pos_;
    t.negative = *pos_ == '-';
    if (t.negative) ++pos_;
    if (pos_ == end_) return error(ErrorCode::kEofWhileParsingValue);
    t.int_begin = pos_;
    const uint8_t first = *pos_++;
    if (first == '0') {
      if (pos_ < end_ && is_digit(*pos_)) return peek_error(ErrorCode::kInvalidNumber);
    } else if (is_digit(first)) {
      while (pos_ < end_ && is_digit(*pos_)) ++pos_;
    } else {
      return error(ErrorCode::kInvalidNumber);
    }
    t.int_end = t.frac_begin = t.frac_end = pos_;
    t.exponent = 0;
    t.has_exponent = false;
    if (pos_ < end_ && *pos_ == '.') {
      t.frac_begin = ++pos_;
      while (pos_ < end_ && is_digit(*pos_)) ++pos_;
      t.frac_end = pos_;
      if (t.frac_begin == pos_) {
        return peek_error(pos_ < end_ ? ErrorCode::kInvalidNumber
                                      : ErrorCode::kEofWhileParsingValue);
      }
    }
    if (pos_ < end_ && (*pos_ | 0x20) == 'e') {
      t.has_exponent = true;
      ++pos_;
      bool negative_exponent = false;
      if (pos_ < end_ && (*pos_ == '+' || *pos_ == '-')) negative_exponent = *pos_++ == '-';
      if (pos_ == end_) return error(ErrorCode::kEofWhileParsingValue);
      const uint8_t d = *pos_++;
      if (!is_digit(d)) return error(ErrorCode::kInvalidNumber);
      int64_t e = d - '0';
      while (pos_ < end_ && is_digit(*pos_)) {
        if (e < kExponentCap) e = e * 10 + (*pos_ - '0');
        ++pos_;
      }
      t.exponent = negative_exponent ? -e : e;
    }
    t.end = pos_;
    return true;
  }

  // The number at the cursor, classified and converted: unsigned 64-bit for
  // non-negative integer literals that fit, signed 64-bit for negative ones
  // from -1 to -2^63, otherwise the correctly rounded double ("number out of
  // range" when that overflows).
  [[gnu::always_inline]] bool parse_number(Number& out) {
    NumberText t;
    if (!scan_number(t)) return false;
    const size_t int_digits = static_cast<size_t>(t.int_end - t.int_begin);
    if (t.is_integer_literal()) {
      if (int_digits > 19) return convert_number_slow(t, out);
      uint64_t v = 0;
      if (int_digits <= 8 && end_ - t.int_begin >= 8) {
        v = digits8(t.int_begin, int_digits);
      } else {
        for (const uint8_t* p = t.int_begin; p < t.int_end; ++p) v = v * 10 + (*p - '0');
      }
      out = integer_number(v, t.negative);
      return true;
    }
    // Exact decimal significands up to 2^53 with a power of ten up to 1e22
    // need one correctly rounded IEEE operation, so the result is exact
    // rounding of the decimal text; everything else takes the general path.
    const size_t frac_digits = static_cast<size_t>(t.frac_end - t.frac_begin);
    if (int_digits + frac_digits <= 19) {
      uint64_t m = 0;
      if (int_digits <= 8 && frac_digits <= 8 && end_ - t.frac_begin >= 8) {
        // Both runs of digits at once, without a loop whose length the
        // branch predictor would have to guess for every number.
        m = digits8(t.int_begin, int_digits) * kPow10Int[frac_digits] + digits8(t.frac_begin, frac_digits);
      } else {
        for (const uint8_t* p = t.int_begin; p < t.int_end; ++p) m = m * 10 + (*p - '0');
        for (const uint8_t* p = t.frac_begin; p < t.frac_end; ++p) m = m * 10 + (*p - '0');
      }
      const int64_t e = t.exponent - static_cast<int64_t>(frac_digits);
      if (m <= (uint64_t{1} << 53) && e >= -22 && e <= 22) {
        double d = static_cast<double>(m);
        d = e < 0 ? d / kPow10[-e] : d * kPow10[e];
        out = Number::floating(t.negative ? -d : d);
        return true;
      }
    }
    return convert_number_slow(t, out);
  }

  // A string, the opening quote already consumed; consumes the closing one.
  // Escapes are decoded (surrogate pairs joined) into the scratch buffer and
  // the bytes must be valid UTF-8.
  bool parse_string(StringRef& out) {
    const uint8_t* start = pos_;
    unsigned high = 0;
    const uint8_t* p = scan_plain(pos_, end_, high);
    if (p < end_ && *p == '"') {
      pos_ = p + 1;
      out = {start, static_cast<size_t>(p - start), (high & 0x80) == 0};
      if (!out.ascii && !valid_utf8(start, out.size)) {
        return error(ErrorCode::kInvalidUnicodeCodePoint);
      }
      return true;
    }
    return parse_string_slow(start, p, high, out);
  }

  // A string checked for grammar only (escape letters, four hex digits after
  // \u, control characters), the opening quote already consumed.
  bool skip_string() {
    for (;;) {
      unsigned high = 0;
      pos_ = scan_plain(pos_, end_, high);
      if (pos_ == end_) return error(ErrorCode::kEofWhileParsingString);
      const uint8_t c = *pos_++;
      if (c == '"') return true;
      if (c != '\\') return error(ErrorCode::kControlCharacterWhileParsingString);
      if (!skip_escape()) return false;
    }
  }

 private:
  static constexpr int64_t kExponentCap = int64_t{1} << 40;
  static constexpr uint64_t kPow10Int[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

  // The value of the `k` (0 to 8) decimal digits at p, eight bytes readable
  // there: the digits moved to the top of a word (zeros before them), then
  // pairs, quads and the two halves combined with one multiply each.
  static uint64_t digits8(const uint8_t* p, size_t k) {
    if (k == 0) return 0;
    uint64_t w;
    std::memcpy(&w, p, 8);
    w = (w << (8 * (8 - k))) & 0x0F0F0F0F0F0F0F0Full;
    w = (w * (10 * 256 + 1)) >> 8 & 0x00FF00FF00FF00FFull;
    w = (w * (100 * 65536 + 1)) >> 16 & 0x0000FFFF0000FFFFull;
    return (w * (10000 * (uint64_t{1} << 32) + 1)) >> 32;
  }

  static constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

  bool record(ErrorCode code, size_t prefix) {
    if (code_ == ErrorCode::kNone) {
      code_ = code;
      error_prefix_ = prefix;
    }
    return false;
  }
  Step fail_step(ErrorCode code) {
    peek_error(code);
    return Step::kFail;
  }

  static Number integer_number(uint64_t magnitude, bool negative) {
    if (!negative) return Number::unsigned_int(magnitude);
    // -0 is the float -0.0; beyond -2^63 the value no longer fits.
    if (magnitude == 0) return Number::floating(-0.0);
    if (magnitude <= (uint64_t{1} << 63)) {
      return Number::signed_int(static_cast<int64_t>(0 - magnitude));
    }
    return Number::floating(-static_cast<double>(magnitude));
  }

  // Bytes up to the next `"`, `\` or control byte (or the end); ORs every
  // byte passed over into `high` so that bit 7 tells whether one was not ASCII.
  static const uint8_t* scan_plain(const uint8_t* p, const uint8_t* end, unsigned& high) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control_max = _mm_set1_epi8(0x1F);
    while (end - p >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i special =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                       _mm_cmpeq_epi8(_mm_min_epu8(x, control_max), x));
      const unsigned stop = static_cast<unsigned>(_mm_movemask_epi8(special));
      const unsigned top = static_cast<unsigned>(_mm_movemask_epi8(x));
      if (stop != 0) {
        const unsigned i = static_cast<unsigned>(__builtin_ctz(stop));
        high |= (top & ((1u << i) - 1)) ? 0x80 : 0;
        return p + i;
      }
      high |= top ? 0x80 : 0;
      p += 16;
    }
#endif
    for (; p < end; ++p) {
      const uint8_t c = *p;
      if (c == '"' || c == '\\' || c < 0x20) break;
      high |= c;
    }
    return p;
  }

  static bool valid_utf8(const uint8_t* p, size_t n);

  bool literal_mismatch(std::string_view rest);
  bool convert_number_slow(const NumberText& t, Number& out);
  bool parse_string_slow(const uint8_t* start, const uint8_t* p, unsigned high, StringRef& out);
  bool skip_escape();
  bool decode_escape(unsigned& high);
  bool hex_escape(uint16_t& unit);

  const uint8_t* begin_;
  const uint8_t* pos_;
  const uint8_t* end_;
  uint8_t depth_ = kDepthLimit;
  ErrorCode code_ = ErrorCode::kNone;
  size_t error_prefix_ = 0;
  std::string custom_;
  std::vector<uint8_t> scratch_;
};

}  // namespace quillscore::json
