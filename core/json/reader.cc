#include "core/json/reader.h"

#include <charconv>
#include <limits>

namespace quillscore::json {
namespace {

int hex_value(uint8_t c) {
  if (is_digit(c)) return c - '0';
  const uint8_t lower = c | 0x20;
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

void push_utf8(std::vector<uint8_t>& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<uint8_t>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<uint8_t>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<uint8_t>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<uint8_t>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  }
}

// The decimal exponent of the number's leading significant digit (so the
// value lies in [10^m, 10^(m+1))); only called for nonzero values.
int64_t leading_exponent(const NumberText& t) {
  for (const uint8_t* p = t.int_begin; p < t.int_end; ++p) {
    if (*p != '0') return (t.int_end - p - 1) + t.exponent;
  }
  for (const uint8_t* p = t.frac_begin; p < t.frac_end; ++p) {
    if (*p != '0') return t.exponent - (p - t.frac_begin + 1);
  }
  return std::numeric_limits<int64_t>::min();
}

}  // namespace

ParseError Reader::parse_error() const {
  ParseError e;
  e.code = code_;
  if (code_ == ErrorCode::kCustom) e.custom = custom_;
  if (code_ != ErrorCode::kNone) {
    e.at = position_of({reinterpret_cast<const char*>(begin_), static_cast<size_t>(end_ - begin_)},
                       error_prefix_);
  }
  return e;
}

// RFC 3629 UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool Reader::valid_utf8(const uint8_t* p, size_t n) {
  const uint8_t* end = p + n;
  while (p < end) {
    const uint8_t c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (size_t i = 2; i < len; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += len;
  }
  return true;
}

bool Reader::literal_mismatch(std::string_view rest) {
  ++pos_;
  for (const char expected : rest) {
    if (pos_ == end_) return error(ErrorCode::kEofWhileParsingValue);
    if (*pos_++ != static_cast<uint8_t>(expected)) return error(ErrorCode::kExpectedSomeIdent);
  }
  return true;
}

bool Reader::convert_number_slow(const NumberText& t, Number& out) {
  if (t.is_integer_literal() && t.int_end - t.int_begin == 20) {
    uint64_t v = 0;
    bool overflow = false;
    for (const uint8_t* p = t.int_begin; p < t.int_end; ++p) {
      overflow |= __builtin_mul_overflow(v, 10, &v);
      overflow |= __builtin_add_overflow(v, static_cast<uint64_t>(*p - '0'), &v);
    }
    if (!overflow) {
      out = integer_number(v, t.negative);
      return true;
    }
  }
  // Everything else is a double, correctly rounded from the full text.
  double d = 0;
  const auto r = std::from_chars(reinterpret_cast<const char*>(t.start),
                                 reinterpret_cast<const char*>(t.end), d);
  if (r.ec == std::errc()) {
    out = Number::floating(d);
    return true;
  }
  // Out of range is either an overflow (an error) or an underflow to zero.
  if (leading_exponent(t) >= 0) return error(ErrorCode::kNumberOutOfRange);
  out = Number::floating(t.negative ? -0.0 : 0.0);
  return true;
}

bool Reader::parse_string_slow(const uint8_t* start, const uint8_t* p, unsigned high,
                               StringRef& out) {
  scratch_.clear();
  const uint8_t* segment = start;
  for (;;) {
    if (p == end_) {
      pos_ = end_;
      return error(ErrorCode::kEofWhileParsingString);
    }
    const uint8_t c = *p;
    if (c == '"') {
      scratch_.insert(scratch_.end(), segment, p);
      pos_ = p + 1;
      out = {scratch_.data(), scratch_.size(), (high & 0x80) == 0};
      if (!out.ascii && !valid_utf8(out.data, out.size)) {
        return error(ErrorCode::kInvalidUnicodeCodePoint);
      }
      return true;
    }
    pos_ = p + 1;
    if (c != '\\') return error(ErrorCode::kControlCharacterWhileParsingString);
    scratch_.insert(scratch_.end(), segment, p);
    if (!decode_escape(high)) return false;
    segment = pos_;
    p = scan_plain(pos_, end_, high);
  }
}

bool Reader::hex_escape(uint16_t& unit) {
  if (end_ - pos_ < 4) {
    pos_ = end_;
    return error(ErrorCode::kEofWhileParsingString);
  }
  int v = 0;
  bool ok = true;
  for (int i = 0; i < 4; ++i) {
    const int h = hex_value(pos_[i]);
    ok &= h >= 0;
    v = (v << 4) | (h & 0xF);
  }
  // The four bytes are consumed before they are judged.
  pos_ += 4;
  if (!ok) return error(ErrorCode::kInvalidEscape);
  unit = static_cast<uint16_t>(v);
  return true;
}

bool Reader::decode_escape(unsigned& high) {
  if (pos_ == end_) return error(ErrorCode::kEofWhileParsingString);
  uint8_t simple;
  switch (*pos_++) {
    case '"': simple = '"'; break;
    case '\\': simple = '\\'; break;
    case '/': simple = '/'; break;
    case 'b': simple = '\b'; break;
    case 'f': simple = '\f'; break;
    case 'n': simple = '\n'; break;
    case 'r': simple = '\r'; break;
    case 't': simple = '\t'; break;
    case 'u': {
      uint16_t lead;
      if (!hex_escape(lead)) return false;
      uint32_t cp = lead;
      if (lead >= 0xDC00 && lead <= 0xDFFF) {
        return error(ErrorCode::kLoneLeadingSurrogateInHexEscape);
      }
      if (lead >= 0xD800 && lead <= 0xDBFF) {
        // A leading surrogate must be followed directly by \u and a
        // trailing one; the pair is one code point.
        if (pos_ == end_) return error(ErrorCode::kEofWhileParsingString);
        if (*pos_++ != '\\') return error(ErrorCode::kUnexpectedEndOfHexEscape);
        if (pos_ == end_) return error(ErrorCode::kEofWhileParsingString);
        if (*pos_++ != 'u') return error(ErrorCode::kUnexpectedEndOfHexEscape);
        uint16_t trail;
        if (!hex_escape(trail)) return false;
        if (trail < 0xDC00 || trail > 0xDFFF) {
          return error(ErrorCode::kLoneLeadingSurrogateInHexEscape);
        }
        cp = 0x10000 + ((uint32_t{lead} - 0xD800) << 10) + (uint32_t{trail} - 0xDC00);
      }
      if (cp >= 0x80) high |= 0x80;
      push_utf8(scratch_, cp);
      return true;
    }
    default:
      return error(ErrorCode::kInvalidEscape);
  }
  scratch_.push_back(simple);
  return true;
}

bool Reader::skip_escape() {
  if (pos_ == end_) return error(ErrorCode::kEofWhileParsingString);
  switch (*pos_++) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return true;
    case 'u': {
      uint16_t unit;
      return hex_escape(unit);
    }
    default:
      return error(ErrorCode::kInvalidEscape);
  }
}

}  // namespace quillscore::json
