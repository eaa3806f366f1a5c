#include "ravelgard/json.h"

namespace rg::tool {

namespace {

void AppendUnicodeEscape(std::string* out, unsigned char value) {
  static const char kHex[] = "0123456789abcdef";
  out->append("\\u00");
  *out += kHex[value >> 4];
  *out += kHex[value & 15];
}

}  // namespace

void AppendJsonString(std::string* out, std::string_view text) {
  *out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\b': out->append("\\b"); break;
      case '\f': out->append("\\f"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default:
        // Controls, DEL, and every byte from 0x80 (C1 controls among them).
        if (c < 0x20 || c >= 0x7F)
          AppendUnicodeEscape(out, c);
        else
          *out += static_cast<char>(c);
    }
  }
  *out += '"';
}

}  // namespace rg::tool
