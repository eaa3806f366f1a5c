// Small byte-text helpers shared by the policy lists and the checks.
#pragma once

#include <cstdint>
#include <cstring>

namespace rg {

// ASCII case folding only: A-Z equal a-z, every other byte equals only
// itself (the C locale's _memicmp).
inline uint8_t AsciiLower(uint8_t b) { return (b >= 'A' && b <= 'Z') ? uint8_t(b | 0x20) : b; }
inline uint8_t AsciiUpper(uint8_t b) { return (b >= 'a' && b <= 'z') ? uint8_t(b - 0x20) : b; }

// 1 when the n bytes at a and b are equal. The texts compared are short
// (list entries: verbs, versions, extensions, names), so they are compared a word
// at a time in line rather than by a library call.
inline int BytesEqual(const void* a, const void* b, uint32_t n) {
  const uint8_t* x = static_cast<const uint8_t*>(a);
  const uint8_t* y = static_cast<const uint8_t*>(b);
  if (n >= 8) {
    uint64_t p, q;
    for (uint32_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&p, x + i, 8);
      std::memcpy(&q, y + i, 8);
      if (p != q) return 0;
    }
    std::memcpy(&p, x + n - 8, 8);
    std::memcpy(&q, y + n - 8, 8);
    return p == q;
  }
  if (n >= 4) {
    uint32_t p0, q0, p1, q1;
    std::memcpy(&p0, x, 4);
    std::memcpy(&q0, y, 4);
    std::memcpy(&p1, x + n - 4, 4);
    std::memcpy(&q1, y + n - 4, 4);
    return p0 == q0 && p1 == q1;
  }
  for (uint32_t i = 0; i < n; ++i)
    if (x[i] != y[i]) return 0;
  return 1;
}

// 1 when the n bytes at a and b are equal without regard to ASCII case.
// A text usually matches its entry in the entry's own letter case, so the
// exact comparison, a word at a time, settles most; the bytes are folded
// one by one only when it fails.
inline int BytesEqualNoCase(const void* a, const void* b, uint32_t n) {
  if (BytesEqual(a, b, n)) return 1;
  const uint8_t* x = static_cast<const uint8_t*>(a);
  const uint8_t* y = static_cast<const uint8_t*>(b);
  for (uint32_t i = 0; i < n; ++i)
    if (x[i] != y[i] && AsciiLower(x[i]) != AsciiLower(y[i])) return 0;
  return 1;
}

}  // namespace rg
