#include "ravelgard/json.h"

#include <cstdint>

namespace rg::tool {

namespace {

// Length of the well-formed UTF-8 sequence at p (at most n bytes
// available), or 0 when the bytes there do not form one. Overlong forms,
// surrogates and code points above U+10FFFF are not well-formed.
size_t Utf8SequenceLength(const unsigned char* p, size_t n) {
  unsigned char b = p[0];
  size_t len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return len;
}

void AppendUnicodeEscape(std::string* out, unsigned value) {
  static const char kHex[] = "0123456789abcdef";
  out->append("\\u00");
  *out += kHex[(value >> 4) & 15];
  *out += kHex[value & 15];
}

}  // namespace

void AppendJsonString(std::string* out, std::string_view text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  *out += '"';
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      switch (c) {
        case '"': out->append("\\\""); break;
        case '\\': out->append("\\\\"); break;
        case '\b': out->append("\\b"); break;
        case '\f': out->append("\\f"); break;
        case '\n': out->append("\\n"); break;
        case '\r': out->append("\\r"); break;
        case '\t': out->append("\\t"); break;
        default:
          if (c < 0x20 || c == 0x7F) AppendUnicodeEscape(out, c);
          else *out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    size_t len = Utf8SequenceLength(p + i, n - i);
    if (len == 0) {
      AppendUnicodeEscape(out, c);
      ++i;
    } else {
      out->append(reinterpret_cast<const char*>(p + i), len);
      i += len;
    }
  }
  *out += '"';
}

}  // namespace rg::tool
