// The index of a policy list: what FindEntry and FindSequence consult
// instead of walking every entry. Built by BuildListIndex (lists_index.cpp),
// read by the matchers (lists.cpp) and, for the header names, by the
// scanner's test of the usual header line, which inlines it.
#pragma once

#include <cstdint>

#include "policy/policy.h"
#include "scan/byte_scan.h"

namespace rg {

// Whole-text lookups: an open-addressing table of entry numbers keyed by a
// hash that ignores ASCII letter case, so one table serves both the exact
// and the case-blind lookups. Entries that hash alike sit along one probe
// run in file order, which makes the first equal entry met the one a walk
// in file order would find.
struct EntryTable {
  uint32_t* slots;  // entry index + 1; 0 for an empty slot
  uint32_t mask;    // slot count - 1 (a power of two)
};

// The search for entries inside a text: an Aho-Corasick automaton over the
// entries folded to lower case, as a full transition table over byte
// classes (bytes no entry holds share class 0). A table value is the row
// offset of the next state, with kMatchFlag set when entries end there.
struct SequenceAutomaton {
  uint8_t byteClass[256];
  // Bit 0: a one-byte entry is this byte (either case); bit 1: a longer
  // entry begins with it.
  uint8_t starts[256];
  ByteSet startSet;  // the bytes with a bit in starts
  uint32_t classes;
  uint32_t states;
  uint32_t* table;  // states * classes values
  // For each state: the longest entry that ends there (its length, and the
  // first entry in file order of that text). Length 0: none.
  uint32_t* matchLength;
  uint32_t* matchEntry;
  uint32_t longest;  // the longest entry's length
  // The positions where an entry may start, by the byte there and the next
  // (PairKey), as a 65536-bit set: the first two bytes of every longer entry
  // in each letter case, and a one-byte entry followed by any byte. A
  // position whose pair has no bit starts no entry; the last byte of a text,
  // which has no pair, is told by starts.
  uint64_t pairs[1024];
};

inline uint32_t PairKey(const uint8_t* at) { return uint32_t{at[0]} | uint32_t{at[1]} << 8; }

inline bool PairMayStart(const SequenceAutomaton& a, const uint8_t* at) {
  const uint32_t key = PairKey(at);
  return ((a.pairs[key >> 6] >> (key & 63)) & 1) != 0;
}

constexpr uint32_t kMatchFlag = 0x80000000u;
constexpr uint32_t kRowMask = 0x7FFFFFFFu;

struct ListIndex {
  // Bit n (n < 63) set when an entry has n bytes; bit 63 when one has 63 or
  // more. A text whose length has no bit equals no entry. 0 in an index
  // built for sequences only, which never consults it.
  uint64_t lengths;
  // A bit per shape (ShapeOf) of an entry: a text whose shape has no bit
  // equals no entry, in either letter case. Set with lengths.
  uint64_t shapes[4];
  EntryTable entries;            // slots null: none
  SequenceAutomaton* sequences;  // null: none
};

inline uint64_t LengthBit(uint32_t length) { return uint64_t{1} << (length < 63 ? length : 63); }

// A text's length with its first and last bytes, folded to 8 bits. Texts
// equal but for ASCII letter case have one shape (each byte is OR-ed with
// 0x20). Where the length alone says little (header names of 10 or 14
// bytes are common), the shape still tells most texts from every entry.
inline uint32_t ShapeOf(const uint8_t* text, uint32_t length) {
  if (length == 0) return 0;
  uint32_t h = length * 0x9E3779B1u ^ (uint32_t{text[0]} | 0x20u) << 8 ^ (text[length - 1] | 0x20u);
  return (h * 0x85EBCA6Bu) >> 24;
}

inline void AddShape(uint64_t* shapes, const uint8_t* text, uint32_t length) {
  uint32_t s = ShapeOf(text, length);
  shapes[s >> 6] |= uint64_t{1} << (s & 63);
}

// False when neither the text's length nor its shape is an entry's: the
// list certainly holds no entry equal to it.
inline bool IndexMayHold(const ListIndex& index, const uint8_t* text, uint32_t length) {
  if ((index.lengths & LengthBit(length)) == 0) return false;
  uint32_t s = ShapeOf(text, length);
  return ((index.shapes[s >> 6] >> (s & 63)) & 1) != 0;
}

// False when the list certainly holds no entry equal to the text.
inline bool ListMayHold(const StringList& list, const uint8_t* text, uint32_t length) {
  if (list.count == 0) return false;
  return list.index == nullptr || list.index->lengths == 0 ||
         IndexMayHold(*list.index, text, length);
}

// The probe start of a text in an entry table (the same for a text and for
// the entry it equals, in either letter case).
uint64_t EntryHash(const uint8_t* text, uint32_t length);

}  // namespace rg
