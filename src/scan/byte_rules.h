// The byte-class rule shared by the URL and query checks. Private to the
// scan directory.
#pragma once

#include <cstdint>

#include "log/reason.h"

namespace rg::scan_detail {

// 1 for the bytes a URL or query may hold only by policy or never:
// 00-1F (control) and 80-FF (high bit). 20 and 7F are ordinary text here.
struct ByteRuleTable {
  uint8_t flagged[256];
};

constexpr ByteRuleTable BuildByteRuleTable() {
  ByteRuleTable t{};
  for (int b = 0x00; b < 0x20; ++b) t.flagged[b] = 1;
  for (int b = 0x80; b < 0x100; ++b) t.flagged[b] = 1;
  return t;
}
inline constexpr ByteRuleTable kByteRule = BuildByteRuleTable();

// The first offending byte decides: a high-bit byte gives highReason unless
// allowed, a control byte controlReason. 0 when every byte passes.
inline ReasonCode FirstByteRuleReason(const uint8_t* text, uint32_t length, int32_t allowHighBit,
                                      ReasonCode highReason, ReasonCode controlReason) {
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t b = text[i];
    if (kByteRule.flagged[b] == 0) continue;
    if (b < 0x20) return controlReason;
    if (allowHighBit == 0) return highReason;
  }
  return kReasonNone;
}

}  // namespace rg::scan_detail
