// Canonical form of request text: percent escapes decoded, then UTF-8
// sequences folded to single bytes, both in place and in linear time.
//
// Each pass runs exactly once. Text that was encoded twice therefore still
// carries one layer of encoding afterwards, which is what lets
// CanonicalizeCopy recognise double encoding by running the passes again.
#include "canon/canon.h"

#include <cstring>

#include "log/reason.h"
#include "platform/platform.h"

namespace rg {

namespace {

// The UTF-8 sequence forms of one to six bytes (RFC 2279). Row r describes a
// sequence of r + 1 bytes; a byte matches when (byte & mask) == pattern, and
// its payload is byte & ~mask. Only the first r + 1 columns of a row are
// used. The encoded number is never range-checked: overlong forms and
// numbers past U+10FFFF fold like any other, so that C0 AF is seen as '/'.
constexpr uint8_t Utf8Masks[6][6] = {
    {0x80, 0x00, 0x00, 0x00, 0x00, 0x00},  // 0xxxxxxx
    {0xE0, 0xC0, 0x00, 0x00, 0x00, 0x00},  // 110xxxxx 10xxxxxx
    {0xF0, 0xC0, 0xC0, 0x00, 0x00, 0x00},  // 1110xxxx 10xxxxxx x2
    {0xF8, 0xC0, 0xC0, 0xC0, 0x00, 0x00},  // 11110xxx 10xxxxxx x3
    {0xFC, 0xC0, 0xC0, 0xC0, 0xC0, 0x00},  // 111110xx 10xxxxxx x4
    {0xFE, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0},  // 1111110x 10xxxxxx x5
};
constexpr uint8_t Utf8Patterns[6][6] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0xC0, 0x80, 0x00, 0x00, 0x00, 0x00},
    {0xE0, 0x80, 0x80, 0x00, 0x00, 0x00}, {0xF0, 0x80, 0x80, 0x80, 0x00, 0x00},
    {0xF8, 0x80, 0x80, 0x80, 0x80, 0x00}, {0xFC, 0x80, 0x80, 0x80, 0x80, 0x80},
};

constexpr uint8_t kNoRow = 0xFF;

// The row a lead byte can begin, or kNoRow (80-BF, FE, FF). The lead-byte
// ranges of the rows are disjoint, so at any position at most one row can
// match, and trying only that row is the same as trying all six in order.
// Derived from column 0 of the tables so that the two can never disagree.
struct LeadTable {
  uint8_t row[256];
};

constexpr LeadTable BuildLeadTable() {
  LeadTable t{};
  for (int b = 0; b < 256; ++b) {
    t.row[b] = kNoRow;
    for (int r = 0; r < 6; ++r) {
      if ((b & Utf8Masks[r][0]) == Utf8Patterns[r][0]) {
        t.row[b] = static_cast<uint8_t>(r);
        break;
      }
    }
  }
  return t;
}

constexpr LeadTable kLeadRow = BuildLeadTable();

// What a byte can be in a number that strtol reads in base 16: its digit
// value (0-15), kLeadIn for the bytes that may stand before the digits
// (C-locale white space 09-0D and 20, '+', '-'), or kNotNumber.
constexpr int8_t kLeadIn = -1;
constexpr int8_t kNotNumber = -2;

struct HexTable {
  int8_t value[256];
};

constexpr HexTable BuildHexTable() {
  HexTable t{};
  for (int b = 0; b < 256; ++b) {
    if (b >= '0' && b <= '9')
      t.value[b] = static_cast<int8_t>(b - '0');
    else if (b >= 'a' && b <= 'f')
      t.value[b] = static_cast<int8_t>(b - 'a' + 10);
    else if (b >= 'A' && b <= 'F')
      t.value[b] = static_cast<int8_t>(b - 'A' + 10);
    else if (b == ' ' || (b >= 0x09 && b <= 0x0D) || b == '+' || b == '-')
      t.value[b] = kLeadIn;
    else
      t.value[b] = kNotNumber;
  }
  return t;
}

constexpr HexTable kHex = BuildHexTable();

// The full strtol grammar, for the rare escapes that do not consist of
// digits alone: white space, one sign, a "0x"/"0X" prefix, then digits.
bool ConvertWithPrefixes(const uint8_t* s, uint32_t count, long* value) {
  uint32_t i = 0;
  while (i < count && kHex.value[s[i]] == kLeadIn && s[i] != '+' && s[i] != '-') ++i;
  bool negative = false;
  if (i < count && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  // strtol takes "0x" as a prefix only when a hex digit follows; otherwise
  // it reads the number 0 and stops at the 'x'. Either way every byte after
  // the prefix must be a digit for the escape to be valid, so skipping the
  // prefix whenever something follows it gives the same verdict.
  if (i + 2 < count && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) i += 2;
  uint32_t digitsStart = i;
  long v = 0;
  for (; i < count; ++i) {
    int d = kHex.value[s[i]];
    if (d < 0) return false;
    v = v * 16 + d;
  }
  if (i == digitsStart) return false;  // no digits: nothing is converted
  *value = negative ? -v : v;
  return true;
}

// Converts exactly `count` bytes (2 or 4) the way strtol(s, &end, 16) does
// on a NUL-terminated copy of them, and reports whether strtol's end pointer
// would stand right after the last byte; a NUL byte ends the string early
// and so never converts fully. Done by hand rather than through strtol so
// that a host's setlocale() cannot change which escapes are valid, and to
// keep the hot loop free of library calls.
inline bool ConvertHexLikeStrtol(const uint8_t* s, uint32_t count, long* value) {
  // The usual case: digits only.
  long v = 0;
  uint32_t i = 0;
  for (; i < count; ++i) {
    int d = kHex.value[s[i]];
    if (d < 0) break;
    v = v * 16 + d;
  }
  if (i == count) {
    *value = v;
    return true;
  }
  // Only white space or a sign in front, or a "0x" prefix, can still make
  // the bytes one number.
  bool prefix = i == 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  if (!prefix && !(i == 0 && kHex.value[s[0]] == kLeadIn)) return false;
  return ConvertWithPrefixes(s, count, value);
}

// Moves the bytes [from, stop) down to `to` (to <= from) and returns the
// new output count. Short runs, the usual case in hostile input, are moved
// byte by byte to spare a library call per byte.
inline uint32_t MoveRun(uint8_t* text, uint32_t to, uint32_t from, uint32_t stop) {
  uint32_t count = stop - from;
  if (to != from) {
    if (count <= 16) {
      for (uint32_t i = 0; i < count; ++i) text[to + i] = text[from + i];
    } else {
      std::memmove(text + to, text + from, count);
    }
  }
  return to + count;
}

// Words of 8 bytes are tested whole: the usual text has none of the bytes
// sought.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = kOnes * 0x80;

inline uint64_t Word(const uint8_t* at) {
  uint64_t w;
  std::memcpy(&w, at, sizeof w);
  return w;
}

// Nonzero when a byte of w is '%'.
inline uint64_t PercentIn(uint64_t w) {
  uint64_t x = w ^ (kOnes * '%');
  return (x - kOnes) & ~x & kHighBits;
}

// Position of the first '%' at or after p, or n. The next byte is tried
// alone first (in hostile input it is often the next '%'); then the rest of
// a URL-sized run a word at a time, and past 64 bytes the library's search,
// faster over long text.
inline uint32_t FindPercent(const uint8_t* text, uint32_t p, uint32_t n) {
  if (p == n || text[p] == '%') return p;
  const uint32_t limit = n - p > 64 ? p + 64 : n;
  while (limit - p >= 8 && PercentIn(Word(text + p)) == 0) p += 8;
  if (limit - p >= 8 || limit == n) {
    while (p < n && text[p] != '%') ++p;
    return p;
  }
  const void* hit = std::memchr(text + p, '%', n - p);
  return hit != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - text) : n;
}

// Position of the first byte of 0x80 or above at or after p, or n.
inline uint32_t FindNonAscii(const uint8_t* text, uint32_t p, uint32_t n) {
  while (n - p >= 8 && (Word(text + p) & kHighBits) == 0) p += 8;
  while (p < n && text[p] < 0x80) ++p;
  return p;
}

}  // namespace

// 1 when the row + 1 bytes fit UTF-8 form `row`, with their payload bits in
// payload (when given); 0 for no match or a row beyond 5.
int MatchUtf8Row(const uint8_t* bytes, uint32_t row, uint8_t* payload) {
  if (row > 5) return 0;
  for (uint32_t k = 0; k <= row; ++k) {
    if ((bytes[k] & Utf8Masks[row][k]) != Utf8Patterns[row][k]) return 0;
  }
  if (payload != nullptr) {
    for (uint32_t k = 0; k <= row; ++k)
      payload[k] = static_cast<uint8_t>(bytes[k] & ~Utf8Masks[row][k]);
  }
  return 1;
}

// Decodes %XX and %uXXXX escapes in place, once; *length shrinks or stays.
void PercentDecode(uint8_t* text, uint32_t* length) {
  const uint32_t n = *length;
  uint32_t out = 0;
  uint32_t p = 0;
  // out never passes p, so writing in place never overwrites unread bytes.
  while (p < n) {
    if (text[p] != '%') {
      // Bytes up to the next '%' are copied as one run.
      uint32_t stop = FindPercent(text, p + 1, n);
      out = MoveRun(text, out, p, stop);
      p = stop;
      continue;
    }
    if (p + 5 < n && (text[p + 1] == 'u' || text[p + 1] == 'U')) {
      long converted = 0;
      if (!ConvertHexLikeStrtol(text + p + 2, 4, &converted)) {
        // Drop the '%' only; the 'u' and what follows are read as ordinary
        // text. The two-digit form is deliberately not tried here.
        ++p;
        continue;
      }
      uint32_t v = static_cast<uint32_t>(converted);
      // Fullwidth forms U+FF00..U+FF5E stand for ASCII 0x20..0x7E. A
      // negative value wraps far above 0xFF00 and takes this path too.
      if (v >= 0xFF00u) v -= 0xFEE0u;
      if (v > 0xFFu) {
        text[out++] = static_cast<uint8_t>((v >> 8) & 0xFFu);
        text[out++] = static_cast<uint8_t>(v & 0xFFu);
      } else {
        text[out++] = static_cast<uint8_t>(v);
      }
      p += 6;
      continue;
    }
    if (p + 2 < n) {
      long converted = 0;
      if (ConvertHexLikeStrtol(text + p + 1, 2, &converted)) {
        text[out++] = static_cast<uint8_t>(static_cast<unsigned long>(converted) & 0xFFu);
        p += 3;
      } else {
        ++p;  // an invalid escape loses its '%', the rest stays
      }
      continue;
    }
    // A '%' among the last two bytes cannot start an escape and is kept.
    text[out++] = '%';
    ++p;
  }
  *length = out;
}

// Folds each UTF-8 form of one to six bytes to the low byte of its number,
// in place, once; other bytes pass unchanged. *length shrinks or stays.
void FoldUtf8(uint8_t* text, uint32_t* length) {
  const uint32_t n = *length;
  uint32_t out = 0;
  uint32_t p = 0;
  while (p < n) {
    uint8_t b0 = text[p];
    if (b0 < 0x80) {
      // ASCII bytes are their own one-byte forms and move as one run.
      uint32_t stop = FindNonAscii(text, p + 1, n);
      out = MoveRun(text, out, p, stop);
      p = stop;
      continue;
    }
    uint32_t r = kLeadRow.row[b0];
    uint8_t payload[6];
    // A sequence cut short by the end of the text, or by a byte that is not
    // a continuation, is not folded: the lead byte passes unchanged and the
    // bytes after it are examined afresh. (Every row of two bytes or more
    // needs a continuation byte second; testing that first settles the
    // common hostile case of lead bytes in a row cheaply.)
    if (r == kNoRow || r >= n - p || (text[p + 1] & 0xC0u) != 0x80u ||
        !MatchUtf8Row(text + p, r, payload)) {
      text[out++] = b0;
      ++p;
      continue;
    }
    // The low 8 bits of the encoded number: two bits of the next-to-last
    // byte and six of the last. Higher bits are discarded on purpose.
    text[out++] = static_cast<uint8_t>(((payload[r - 1] & 0x03u) << 6) | payload[r]);
    p += r + 1;
  }
  *length = out;
}

// Both passes in place; linear, allocates nothing, cannot fail.
void Canonicalize(uint8_t* text, uint32_t* length) {
  if (*length == 0) return;
  PercentDecode(text, length);
  FoldUtf8(text, length);
}

// Percent decoding changes only what a '%' starts, and the folding pass
// only bytes of 0x80 and above (ASCII bytes are their own one-byte forms).
int CanonicalizeMayChange(const uint8_t* text, uint32_t length) {
  uint32_t i = 0;
  for (; i + 8 <= length; i += 8) {
    const uint64_t w = Word(text + i);
    if (((w & kHighBits) | PercentIn(w)) != 0) return 1;
  }
  for (; i < length; ++i)
    if (text[i] == '%' || text[i] >= 0x80) return 1;
  return 0;
}

namespace {

// Room for n bytes: local when they fit, else a heap block (null when none
// can be had).
uint8_t* Room(uint8_t* local, uint32_t n) {
  return n <= kCanonicalLocalBytes ? local : static_cast<uint8_t*>(HeapAllocZero(n));
}

void ReleaseRoom(uint8_t* local, uint8_t* room) {
  if (room != local) HeapFreeBlock(room);
}

}  // namespace

int CanonicalizeCopy(ScanContext* context, const uint8_t* element, uint32_t elementLength,
                     int32_t secondPass, ReasonCode changedReason, CanonicalCopy* copy) {
  copy->bytes = nullptr;
  copy->length = 0;
  // The check works on a private copy: the connection's buffer must keep the
  // bytes as received.
  uint8_t* first = Room(copy->local, elementLength);
  if (first == nullptr) {
    context->winError = AllocationError();
    context->reason = kReasonWindowsError;
    return 0;
  }
  if (elementLength != 0) std::memmove(first, element, elementLength);
  uint32_t length1 = elementLength;
  Canonicalize(first, &length1);

  // A first result without a '%' and without a byte of 0x80 or above is
  // its own canonical form: a second run could change nothing, so it is
  // neither copied nor run.
  if (secondPass != 0 && CanonicalizeMayChange(first, length1)) {
    // Snapshot the first result, canonicalize it again and compare: any
    // difference means the element carried a second layer of encoding.
    uint8_t local[kCanonicalLocalBytes];
    uint8_t* snapshot = Room(local, length1);
    if (snapshot == nullptr) {
      context->winError = AllocationError();
      context->reason = kReasonWindowsError;
      ReleaseRoom(copy->local, first);
      return 0;
    }
    if (length1 != 0) std::memcpy(snapshot, first, length1);
    uint32_t length2 = length1;
    Canonicalize(first, &length2);
    bool changed =
        length2 != length1 || (length1 != 0 && std::memcmp(first, snapshot, length1) != 0);
    ReleaseRoom(local, snapshot);
    if (changed) {
      context->reason = changedReason;
      ReleaseRoom(copy->local, first);
      return 0;
    }
  }
  copy->bytes = first;
  copy->length = length1;
  return 1;
}

}  // namespace rg
