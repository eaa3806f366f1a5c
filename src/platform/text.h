// Small byte-text helpers shared by the policy lists and the checks.
#pragma once

#include <cstdint>

namespace rg {

// ASCII case folding only: A-Z equal a-z, every other byte equals only
// itself (the C locale's _memicmp).
inline uint8_t AsciiLower(uint8_t b) { return (b >= 'A' && b <= 'Z') ? uint8_t(b | 0x20) : b; }
inline uint8_t AsciiUpper(uint8_t b) { return (b >= 'a' && b <= 'z') ? uint8_t(b - 0x20) : b; }

// 1 when the n bytes at a and b are equal without regard to ASCII case.
inline int BytesEqualNoCase(const void* a, const void* b, uint32_t n) {
  const uint8_t* x = static_cast<const uint8_t*>(a);
  const uint8_t* y = static_cast<const uint8_t*>(b);
  for (uint32_t i = 0; i < n; ++i)
    if (x[i] != y[i] && AsciiLower(x[i]) != AsciiLower(y[i])) return 0;
  return 1;
}

}  // namespace rg
