// The byte searches: a portable table-driven one, and vector ones for x86
// (SSE2, AVX2) compiled from byte_scan_kernels.inc with the instruction set
// switched on for those functions alone, so that nothing else of the
// program needs the processor to have it.
#include "scan/byte_scan.h"

#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define RG_BYTE_SCAN_X86 1
#include <immintrin.h>
#endif

namespace rg {

namespace {

// ---- Portable -------------------------------------------------------------

// One bit pair per search: stop, then flag.
enum : uint32_t {
  kCarriageReturnStop = 1u << 0,
  kUrlStop = 1u << 2,
  kUrlFlag = 1u << 3,
  kQueryStop = 1u << 4,
  kQueryFlag = 1u << 5,
  kNameStop = 1u << 6,
  kNameFlag = 1u << 7,
  kValueStop = 1u << 8,
  kValueFlag = 1u << 9,
  kLineStop = 1u << 10,
  kFieldStop = 1u << 12,
  kStartLineStop = 1u << 14,
};

struct ClassTable {
  uint16_t bits[256];
};

constexpr ClassTable BuildClassTable() {
  ClassTable t{};
  for (int b = 0; b < 256; ++b) {
    uint32_t c = 0;
    bool controlOrHigh = b < 0x20 || b >= 0x80;
    bool nameByte = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                    b == '-';
    if (b == '\r') c |= kCarriageReturnStop | kNameStop | kValueStop | kLineStop | kFieldStop |
                        kStartLineStop;
    if (b == '\n') c |= kLineStop | kFieldStop | kStartLineStop;
    if (b == ' ') c |= kUrlStop | kQueryStop | kFieldStop | kStartLineStop;
    if (b == '\t') c |= kFieldStop;
    if (b == ':') c |= kNameStop | kFieldStop;
    if (b == '?' || b == '#') c |= kUrlStop;
    if (controlOrHigh || b == '%') c |= kUrlFlag | kQueryFlag;
    if (!nameByte) c |= kNameFlag;
    if (controlOrHigh || b == 0x7F || b == '"' || b == '\\') c |= kValueFlag;
    t.bits[b] = static_cast<uint16_t>(c);
  }
  return t;
}

constexpr ClassTable kClasses = BuildClassTable();

template <uint32_t kStop, uint32_t kFlag>
ByteScanResult PortableScan(const uint8_t* buffer, uint32_t from, uint32_t end) {
  uint32_t flags = 0;
  for (uint32_t i = from; i < end; ++i) {
    uint32_t c = kClasses.bits[buffer[i]];
    if ((c & kStop) != 0) return {i, (flags & kFlag) != 0};
    flags |= c;
  }
  return {end, (flags & kFlag) != 0};
}

constexpr auto kPortableCarriageReturn = PortableScan<kCarriageReturnStop, 0>;
constexpr auto kPortableUrl = PortableScan<kUrlStop, kUrlFlag>;
constexpr auto kPortableQuery = PortableScan<kQueryStop, kQueryFlag>;
constexpr auto kPortableName = PortableScan<kNameStop, kNameFlag>;
constexpr auto kPortableValue = PortableScan<kValueStop, kValueFlag>;
constexpr auto kPortableLine = PortableScan<kLineStop, 0>;
constexpr auto kPortableField = PortableScan<kFieldStop, 0>;
constexpr auto kPortableStartLine = PortableScan<kStartLineStop, 0>;

uint32_t PortableHeadEnd(const uint8_t* buffer, uint32_t from, uint32_t end) {
  for (uint32_t i = from; i < end; ++i)
    if (buffer[i] == '\r' && buffer[i + 1] == '\n' && buffer[i + 2] == '\r' && buffer[i + 3] == '\n')
      return i;
  return end;
}

}  // namespace

// ---- SSE2 and AVX2 ----------------------------------------------------------

#if defined(RG_BYTE_SCAN_X86)

// On 32-bit x86 even SSE2 is not a given.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse2")
#endif
namespace byte_scan_sse2 {
namespace {
using V = __m128i;
constexpr uint32_t kWidth = 16;
inline V Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline V Splat(int b) { return _mm_set1_epi8(static_cast<char>(b)); }
inline V Eq(V a, V b) { return _mm_cmpeq_epi8(a, b); }
inline V Or(V a, V b) { return _mm_or_si128(a, b); }
inline V And(V a, V b) { return _mm_and_si128(a, b); }
inline V Not(V a) { return _mm_xor_si128(a, _mm_set1_epi32(-1)); }
inline V Sub(V a, V b) { return _mm_sub_epi8(a, b); }
inline V MinU(V a, V b) { return _mm_min_epu8(a, b); }
inline V LessSigned(V a, V b) { return _mm_cmplt_epi8(a, b); }
inline uint32_t Mask(V a) { return static_cast<uint32_t>(_mm_movemask_epi8(a)); }
inline V NameFlagLanes(V v) {
  V lower = Sub(Or(v, Splat(0x20)), Splat('a'));
  V letter = Eq(MinU(lower, Splat(25)), lower);
  V digit0 = Sub(v, Splat('0'));
  V digit = Eq(MinU(digit0, Splat(9)), digit0);
  return Not(Or(Or(letter, digit), Eq(v, Splat('-'))));
}
inline V ValueFlagLanes(V v) {
  return Or(Or(LessSigned(v, Splat(0x20)), Eq(v, Splat(0x7F))),
            Or(Eq(v, Splat('"')), Eq(v, Splat('\\'))));
}
constexpr bool kClassesShared = false;
#include "scan/byte_scan_kernels.inc"
}  // namespace
}  // namespace byte_scan_sse2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace byte_scan_avx2 {
namespace {
using V = __m256i;
constexpr uint32_t kWidth = 32;
inline V Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
inline V Splat(int b) { return _mm256_set1_epi8(static_cast<char>(b)); }
inline V Eq(V a, V b) { return _mm256_cmpeq_epi8(a, b); }
inline V Or(V a, V b) { return _mm256_or_si256(a, b); }
inline V And(V a, V b) { return _mm256_and_si256(a, b); }
inline V LessSigned(V a, V b) { return _mm256_cmpgt_epi8(b, a); }
inline uint32_t Mask(V a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a)); }

// A header byte's classes from two table lookups, by its low and its high
// nibble: a class bit is set when both tables set it, so each bit stands
// for a rectangle of byte values (a set of high nibbles by a set of low
// ones). Bits 0-3 are the name bytes: digits, '-', 41-4F and 61-6F, 50-5A
// and 70-7A. Bits 4-7 are the value's flagged bytes: 00-1F and 80-FF, 7F,
// '"' and '\\'. Four constants in all, where comparisons need a dozen, so
// a line's search keeps them in registers.
inline V HeaderClasses(V v) {
  const V lowTable =
      _mm256_setr_epi8(0x19, 0x1D, 0x5D, 0x1D, 0x1D, 0x1D, 0x1D, 0x1D, 0x1D, 0x1D, 0x1C, 0x14,
                       -0x6C, 0x16, 0x14, 0x34, 0x19, 0x1D, 0x5D, 0x1D, 0x1D, 0x1D, 0x1D, 0x1D,
                       0x1D, 0x1D, 0x1C, 0x14, -0x6C, 0x16, 0x14, 0x34);
  const V highTable =
      _mm256_setr_epi8(0x10, 0x10, 0x42, 0x01, 0x04, -0x78, 0x04, 0x28, 0x10, 0x10, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x42, 0x01, 0x04, -0x78, 0x04, 0x28,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const V nibble = Splat(0x0F);
  const V low = _mm256_shuffle_epi8(lowTable, And(v, nibble));
  const V high = _mm256_shuffle_epi8(highTable, And(_mm256_srli_epi16(v, 4), nibble));
  return And(low, high);
}
inline V NameFlagLanes(V v) {
  return Eq(And(HeaderClasses(v), Splat(0x0F)), _mm256_setzero_si256());
}
// A value bit is set exactly when the classes are 0x10 or more.
inline V ValueFlagLanes(V v) {
  const V classes = HeaderClasses(v);
  return Eq(_mm256_max_epu8(classes, Splat(0x10)), classes);
}
constexpr bool kClassesShared = true;
#include "scan/byte_scan_kernels.inc"

// Set membership for any set of byte values, 32 bytes a step: the low
// nibble picks a row of bits, one per high nibble (0-7 in one table, 8-15
// in the other), and the high nibble picks its bit.
uint32_t FindInSet(const uint8_t* buffer, uint32_t from, uint32_t end, const ByteSet& set) {
  const V rows0 = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(set.lowNibbleRows[0])));
  const V rows1 = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(set.lowNibbleRows[1])));
  const V bits0 = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4,
                                   8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
  const V bits1 = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0,
                                   0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128);
  const V nibble = Splat(0x0F);
  const V zero = _mm256_setzero_si256();
  uint32_t i = from;
  for (; end - i >= kWidth; i += kWidth) {
    V v = Load(buffer + i);
    V low = _mm256_and_si256(v, nibble);
    V high = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    V hit0 = _mm256_and_si256(_mm256_shuffle_epi8(rows0, low), _mm256_shuffle_epi8(bits0, high));
    V hit1 = _mm256_and_si256(_mm256_shuffle_epi8(rows1, low), _mm256_shuffle_epi8(bits1, high));
    uint32_t hits = ~Mask(Eq(Or(hit0, hit1), zero));
    if (hits != 0) return i + static_cast<uint32_t>(__builtin_ctz(hits));
  }
  for (; i < end; ++i)
    if ((set.bits[buffer[i] >> 6] >> (buffer[i] & 63) & 1) != 0) return i;
  return end;
}
}  // namespace
}  // namespace byte_scan_avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // RG_BYTE_SCAN_X86

namespace {

ByteScanLevel DetectLevel() {
#if defined(RG_BYTE_SCAN_X86)
  // The checks also ask whether the operating system saves the AVX
  // registers, which an old system running on a new processor does not.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return ByteScanLevel::kAvx2;
  if (__builtin_cpu_supports("sse2")) return ByteScanLevel::kSse2;
#endif
  return ByteScanLevel::kPortable;
}

// Chosen when the program or module is loaded, before any thread scans.
// (Zero, the portable level, until then: also right.)
const ByteScanLevel kBestLevel = DetectLevel();
ByteScanLevel activeLevel = kBestLevel;

}  // namespace

ByteScanLevel ByteScanBestLevel() { return kBestLevel; }
ByteScanLevel ByteScanActiveLevel() { return activeLevel; }

ByteScanLevel SetByteScanLevel(ByteScanLevel level) {
  ByteScanLevel before = activeLevel;
  activeLevel = static_cast<uint32_t>(level) <= static_cast<uint32_t>(kBestLevel) ? level
                                                                                  : kBestLevel;
  return before;
}

#if defined(RG_BYTE_SCAN_X86)
// Fewer bytes than this are read one at a time. A request arriving in small
// chunks is searched a few bytes at a time, the last of them stored just
// before; a vector load over them would wait for those stores to complete.
constexpr uint32_t kVectorWorthwhile = 8;

#define RG_BYTE_SCAN(Name, Kind, Portable)                                             \
  ByteScanResult Name(const uint8_t* buffer, uint32_t from, uint32_t end) {            \
    if (end - from >= kVectorWorthwhile) {                                             \
      switch (activeLevel) {                                                           \
        case ByteScanLevel::kAvx2:                                                     \
          return byte_scan_avx2::Entry<byte_scan_avx2::Kind, Portable>(buffer, from, end); \
        case ByteScanLevel::kSse2:                                                     \
          return byte_scan_sse2::Entry<byte_scan_sse2::Kind, Portable>(buffer, from, end); \
        case ByteScanLevel::kPortable:                                                 \
          break;                                                                       \
      }                                                                                \
    }                                                                                  \
    return Portable(buffer, from, end);                                                \
  }
#else
#define RG_BYTE_SCAN(Name, Kind, Portable)                                  \
  ByteScanResult Name(const uint8_t* buffer, uint32_t from, uint32_t end) { \
    return Portable(buffer, from, end);                                     \
  }
#endif

RG_BYTE_SCAN(ScanCarriageReturn, CarriageReturnKind, kPortableCarriageReturn)
RG_BYTE_SCAN(ScanUrlBytes, UrlKind, kPortableUrl)
RG_BYTE_SCAN(ScanQueryBytes, QueryKind, kPortableQuery)
RG_BYTE_SCAN(ScanHeaderNameBytes, HeaderNameKind, kPortableName)
RG_BYTE_SCAN(ScanHeaderValueBytes, HeaderValueKind, kPortableValue)
RG_BYTE_SCAN(ScanLineBreak, LineBreakKind, kPortableLine)
RG_BYTE_SCAN(ScanFieldBreak, FieldBreakKind, kPortableField)
RG_BYTE_SCAN(ScanStartLineBreak, StartLineBreakKind, kPortableStartLine)

#undef RG_BYTE_SCAN

HeaderLineScan PortableLine(const uint8_t* buffer, uint32_t from, uint32_t end) {
  ByteScanResult name = kPortableName(buffer, from, end);
  HeaderLineScan line = {name.at, name.flagged, end, true};
  if (name.at + 1 < end && buffer[name.at] == ':') {
    ByteScanResult value = kPortableValue(buffer, name.at + 1, end - 1);
    if (value.at < end - 1) {
      line.valueEnd = value.at;
      line.valueFlagged = value.flagged;
    }
  }
  return line;
}

HeaderLineScan ScanHeaderLine(const uint8_t* buffer, uint32_t from, uint32_t end) {
#if defined(RG_BYTE_SCAN_X86)
  switch (activeLevel) {
    case ByteScanLevel::kAvx2:
      return byte_scan_avx2::Line<kPortableName, kPortableValue>(buffer, from, end);
    case ByteScanLevel::kSse2:
      return byte_scan_sse2::Line<kPortableName, kPortableValue>(buffer, from, end);
    case ByteScanLevel::kPortable:
      break;
  }
#endif
  return PortableLine(buffer, from, end);
}

uint32_t ScanHeaderLines(const uint8_t* buffer, uint32_t from, uint32_t end, HeaderLineScan* out,
                         uint32_t capacity) {
#if defined(RG_BYTE_SCAN_X86)
  switch (activeLevel) {
    case ByteScanLevel::kAvx2:
      return byte_scan_avx2::Lines<kPortableName, kPortableValue>(buffer, from, end, out,
                                                                  capacity);
    case ByteScanLevel::kSse2:
      return byte_scan_sse2::Lines<kPortableName, kPortableValue>(buffer, from, end, out,
                                                                  capacity);
    case ByteScanLevel::kPortable:
      break;
  }
#endif
  uint32_t count = 0;
  uint32_t at = from;
  while (count < capacity) {
    out[count] = PortableLine(buffer, at, end);
    if (!NextLineStart(buffer, end, out[count++], &at)) break;
  }
  return count;
}

void BuildByteSet(ByteSet* set, const uint8_t members[256]) {
  *set = ByteSet{};
  for (int b = 0; b < 256; ++b) {
    if (members[b] == 0) continue;
    set->bits[b >> 6] |= uint64_t{1} << (b & 63);
    set->lowNibbleRows[b >> 7][b & 0x0F] |= static_cast<uint8_t>(1u << ((b >> 4) & 7));
  }
}

uint32_t FindByteInSet(const uint8_t* buffer, uint32_t from, uint32_t end, const ByteSet& set) {
#if defined(RG_BYTE_SCAN_X86)
  if (activeLevel == ByteScanLevel::kAvx2) return byte_scan_avx2::FindInSet(buffer, from, end, set);
#endif
  // Eight bytes a step while none is a member.
  uint32_t i = from;
  auto member = [&set](uint8_t b) { return (set.bits[b >> 6] >> (b & 63) & 1) != 0; };
  while (end - i >= 8 && !(member(buffer[i]) || member(buffer[i + 1]) || member(buffer[i + 2]) ||
                           member(buffer[i + 3]) || member(buffer[i + 4]) || member(buffer[i + 5]) ||
                           member(buffer[i + 6]) || member(buffer[i + 7])))
    i += 8;
  for (; i < end; ++i)
    if (member(buffer[i])) return i;
  return end;
}

uint32_t FindHeadEnd(const uint8_t* buffer, uint32_t from, uint32_t end) {
#if defined(RG_BYTE_SCAN_X86)
  switch (activeLevel) {
    case ByteScanLevel::kAvx2:
      return byte_scan_avx2::HeadEnd<PortableHeadEnd>(buffer, from, end);
    case ByteScanLevel::kSse2:
      return byte_scan_sse2::HeadEnd<PortableHeadEnd>(buffer, from, end);
    case ByteScanLevel::kPortable:
      break;
  }
#endif
  return PortableHeadEnd(buffer, from, end);
}

}  // namespace rg
