// Byte searches over request text, many bytes at a time: each finds the
// first byte of a small set (where an element ends) and says on the way
// whether a byte the element's check must look at more closely stands
// before it, so that plain text is read once.
//
// Three implementations give the same answers: a portable one (any
// processor; 32-bit Windows builds and other architectures), SSE2 (16 bytes
// a step) and AVX2 (32 bytes a step). The best the processor offers is
// chosen once, when the program or module is loaded.
#pragma once

#include <cstdint>

namespace rg {

enum class ByteScanLevel : uint32_t { kPortable = 0, kSse2 = 1, kAvx2 = 2 };

// The best level this processor (and operating system) supports.
ByteScanLevel ByteScanBestLevel();
// The level in use.
ByteScanLevel ByteScanActiveLevel();
// For tests and benchmarks, which run every level: uses the given level, or
// the best one when the processor lacks it, and returns the level in use
// before. Not to be called while other threads scan.
ByteScanLevel SetByteScanLevel(ByteScanLevel level);

// What a search found: the index of the first stop byte at or after the
// start (the end of the range when there is none) and whether a flagged
// byte stands in the range before it.
struct ByteScanResult {
  uint32_t at;
  bool flagged;
};

// Each search reads buffer[from, end) (from <= end) and may read anywhere
// in buffer[0, end), never beyond. The stop and flagged bytes:
//
//   search                 stops at          flags
//   ScanCarriageReturn     CR                -
//   ScanUrlBytes           SP ? #            00-1F, 80-FF, %
//   ScanQueryBytes         SP                00-1F, 80-FF, %
//   ScanHeaderNameBytes    : CR              anything but A-Z a-z 0-9 -
//   ScanHeaderValueBytes   CR                00-1F (HT too), 7F-FF, " and backslash
//   ScanLineBreak          CR LF             -
//   ScanFieldBreak         SP HT : CR LF     -
//   ScanStartLineBreak     SP CR LF          -
ByteScanResult ScanCarriageReturn(const uint8_t* buffer, uint32_t from, uint32_t end);
ByteScanResult ScanUrlBytes(const uint8_t* buffer, uint32_t from, uint32_t end);
ByteScanResult ScanQueryBytes(const uint8_t* buffer, uint32_t from, uint32_t end);
ByteScanResult ScanHeaderNameBytes(const uint8_t* buffer, uint32_t from, uint32_t end);
ByteScanResult ScanHeaderValueBytes(const uint8_t* buffer, uint32_t from, uint32_t end);
ByteScanResult ScanLineBreak(const uint8_t* buffer, uint32_t from, uint32_t end);
ByteScanResult ScanFieldBreak(const uint8_t* buffer, uint32_t from, uint32_t end);
ByteScanResult ScanStartLineBreak(const uint8_t* buffer, uint32_t from, uint32_t end);

// A header line searched from its first byte: where the name ends (the
// first ':' or CR at or after from, end when none) and whether a byte other
// than a letter, digit or '-' stands before it; and, when the name ended
// with a ':', where the value ends (the first CR after the ':' with a byte
// after it in the buffer, end when none) and whether a byte the value rule
// must look at stands before it. As ScanHeaderNameBytes followed by
// ScanHeaderValueBytes, in one call.
struct HeaderLineScan {
  uint32_t nameEnd;
  bool nameFlagged;
  uint32_t valueEnd;
  bool valueFlagged;
};
HeaderLineScan ScanHeaderLine(const uint8_t* buffer, uint32_t from, uint32_t end);

// Where the line after this one starts: true with *next when the line
// ended with CR LF and the next one can be a header line (it does not start
// with a CR, which may begin the empty line, and holds at least three
// bytes).
inline bool NextLineStart(const uint8_t* buffer, uint32_t end, const HeaderLineScan& line,
                          uint32_t* next) {
  if (line.valueEnd + 1 >= end || buffer[line.valueEnd + 1] != '\n') return false;
  const uint32_t at = line.valueEnd + 2;
  if (at + 3 > end || buffer[at] == '\r') return false;
  *next = at;
  return true;
}

// The lines from `from` on, as ScanHeaderLine finds each, the next one
// starting where NextLineStart says, up to capacity lines: the results go
// to out, and their number is returned (at least one). The last one is the
// first that NextLineStart stops at, unless capacity ends the run first.
uint32_t ScanHeaderLines(const uint8_t* buffer, uint32_t from, uint32_t end, HeaderLineScan* out,
                         uint32_t capacity);

// A set of byte values prepared for searching: a bit per value, and the
// nibble tables of the vector search.
struct ByteSet {
  uint64_t bits[4];
  uint8_t lowNibbleRows[2][16];  // for high nibbles 0-7 and 8-15: bit (high & 7) per low nibble
};
// Fills the set from a 256-entry table (nonzero: a member).
void BuildByteSet(ByteSet* set, const uint8_t members[256]);
// The first index in [from, end) whose byte is in the set, or end. Reads
// buffer[from, end) only.
uint32_t FindByteInSet(const uint8_t* buffer, uint32_t from, uint32_t end, const ByteSet& set);

// The first index i in [from, end) where buffer[i, i + 4) is CR LF CR LF,
// or end when there is none. Reads buffer[0, end + 3), never beyond.
uint32_t FindHeadEnd(const uint8_t* buffer, uint32_t from, uint32_t end);

}  // namespace rg
