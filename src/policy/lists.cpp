// The policy's lists: matching, and releasing. (Loading from an INI section
// lives in list_load.cpp.)
#include <cstring>

#include "log/log.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "policy/lists_index.h"
#include "policy/policy.h"

namespace rg {

void FreeStringList(StringList* list) {
  FreeListIndex(list);
  if (list->entries != nullptr) {
    for (uint32_t i = 0; i < list->count; ++i) {
      HeapFreeBlock(list->entries[i]);
      list->entries[i] = nullptr;
    }
    HeapFreeBlock(list->entries);
    list->entries = nullptr;
  }
  HeapFreeBlock(list->lengths);
  list->lengths = nullptr;
}

void FreeHeaderLimitList(HeaderLimitList* list) {
  if (list->names != nullptr) {
    for (uint32_t i = 0; i < list->count; ++i) {
      HeapFreeBlock(list->names[i]);
      list->names[i] = nullptr;
    }
    HeapFreeBlock(list->names);
    list->names = nullptr;
  }
  FreeHeaderLimitIndex(list);
  HeapFreeBlock(list->nameLengths);
  list->nameLengths = nullptr;
  HeapFreeBlock(list->limits);
  list->limits = nullptr;
}

void ReleasePolicyContents(FilterPolicy* policy) {
  if (policy == nullptr) return;
  FreeStringList(&policy->Verbs);
  FreeStringList(&policy->HttpVersions);
  FreeStringList(&policy->HostPorts);
  FreeStringList(&policy->Extensions);
  FreeStringList(&policy->DeniedHeaderNames);
  FreeHeaderLimitList(&policy->HeaderLimits);
  FreeStringList(&policy->UrlSequences);
  FreeStringList(&policy->QuerySequences);
  HeapFreeBlock(policy->Banner);
  policy->Banner = nullptr;
  HeapFreeBlock(policy->LogDirectory);
  policy->LogDirectory = nullptr;
  HeapFreeBlock(policy->BlockResponse);
  policy->BlockResponse = nullptr;
  policy->BlockResponseLength = 0;
  CloseLog(policy);
}

void FreePolicy(FilterPolicy* policy) {
  ReleasePolicyContents(policy);
  HeapFreeBlock(policy);
}

namespace {

bool EntryEquals(const void* text, uint32_t textLength, const StringList* list, uint32_t i,
                 int caseInsensitive) {
  if (list->lengths[i] != textLength) return false;
  return caseInsensitive ? BytesEqualNoCase(text, list->entries[i], textLength)
                         : BytesEqual(text, list->entries[i], textLength);
}

// The searches are kept out of FindEntry, so that the lookups its first
// test settles (most header names against the denied names) save no
// registers.

// Along the probe run of the text's hash, the entries that hash alike stand
// in file order, so the first equal one met is the first in the file.
RG_NOINLINE int FindEntryIndexed(const void* text, uint32_t textLength, const StringList* list,
                                 int caseInsensitive, uint32_t* indexOut) {
  const EntryTable& table = list->index->entries;
  uint32_t at =
      static_cast<uint32_t>(EntryHash(static_cast<const uint8_t*>(text), textLength)) & table.mask;
  for (uint32_t slot; (slot = table.slots[at]) != 0; at = (at + 1) & table.mask) {
    if (EntryEquals(text, textLength, list, slot - 1, caseInsensitive)) {
      if (indexOut != nullptr) *indexOut = slot - 1;
      return 1;
    }
  }
  return 0;
}

RG_NOINLINE int FindEntryWalked(const void* text, uint32_t textLength, const StringList* list,
                                int caseInsensitive, uint32_t* indexOut) {
  for (uint32_t i = 0; i < list->count; ++i) {
    if (EntryEquals(text, textLength, list, i, caseInsensitive)) {
      if (indexOut != nullptr) *indexOut = i;
      return 1;
    }
  }
  return 0;
}

int ExceedsHeaderLimitWalked(const void* name, uint32_t nameLength, uint32_t valueLength,
                             const HeaderLimitList* list, uint32_t* indexOut) {
  for (uint32_t i = 0; i < list->count; ++i) {
    if (list->nameLengths[i] != nameLength) continue;
    if (!BytesEqualNoCase(name, list->names[i], nameLength)) continue;
    // Limits are compared unsigned: -1 never limits anything. A matching
    // entry that is not exceeded does not end the search.
    if (valueLength > static_cast<uint32_t>(list->limits[i])) {
      *indexOut = i;
      return 1;
    }
  }
  return 0;
}

}  // namespace

// Most lookups are settled by the length of the text alone, before any
// entry is read.
int FindEntry(const void* text, uint32_t textLength, const StringList* list, int caseInsensitive,
              uint32_t* indexOut) {
  if (const ListIndex* index = list->index; index != nullptr && index->lengths != 0) {
    if (!IndexMayHold(*index, static_cast<const uint8_t*>(text), textLength)) return 0;
    if (index->entries.slots != nullptr)
      return FindEntryIndexed(text, textLength, list, caseInsensitive, indexOut);
  }
  return FindEntryWalked(text, textLength, list, caseInsensitive, indexOut);
}

int ExceedsHeaderLimit(const void* name, uint32_t nameLength, uint32_t valueLength,
                       const HeaderLimitList* list, uint32_t* indexOut) {
  if (list->index != nullptr &&
      !IndexMayHold(*list->index, static_cast<const uint8_t*>(name), nameLength))
    return 0;
  return ExceedsHeaderLimitWalked(name, nameLength, valueLength, list, indexOut);
}

namespace {

// The automaton's search. Matches are met by where they end; the one that
// starts first wins, and at one start the first entry in file order (one
// start with two ends means two different entries, compared by number).
// The search stops once no match still to come can start early enough.
int FindSequenceIndexed(const uint8_t* t, uint32_t n, const SequenceAutomaton& a,
                        uint32_t* indexOut) {
  constexpr uint32_t kNoStart = 0xFFFFFFFFu;
  uint32_t bestStart = kNoStart;
  uint32_t bestEntry = 0;
  uint32_t row = 0;  // the root's
  for (uint32_t e = 0; e < n; ++e) {
    if (row == 0) {
      // At the root no match is under way: skip the positions where no
      // entry can start (neither a one-byte entry is the byte nor a longer
      // one begins with the byte and the next).
      for (;;) {
        // Each position is tried by its pair of bytes; after 32 without a
        // candidate, the search over many bytes at a time skips to the
        // next byte an entry begins with.
        constexpr uint32_t kNear = 32;
        const uint32_t stop = n - e > kNear ? e + kNear : n - 1;
        while (e < stop && !PairMayStart(a, t + e)) ++e;
        if (e < stop) break;
        if (stop == n - 1) {
          // The last byte, without a pair: only a one-byte entry starts there.
          if (e < n && (a.starts[t[e]] & 1) != 0) break;
          goto done;
        }
        e = FindByteInSet(t, e, n, a.startSet);
        if (e == n) goto done;
      }
      if (bestStart != kNoStart && e > bestStart) break;
    }
    row = a.table[(row & kRowMask) + a.byteClass[t[e]]];
    if ((row & kMatchFlag) != 0) {
      uint32_t state = (row & kRowMask) / a.classes;
      uint32_t start = e + 1 - a.matchLength[state];
      uint32_t entry = a.matchEntry[state];
      if (start < bestStart || (start == bestStart && entry < bestEntry)) {
        bestStart = start;
        bestEntry = entry;
      }
    }
    // A match ending at the next byte or later starts at e + 2 - longest
    // at the earliest.
    if (bestStart != kNoStart && uint64_t{e} + 2 > uint64_t{bestStart} + a.longest) break;
  }
done:
  if (bestStart == kNoStart) return 0;
  *indexOut = bestEntry;
  return 1;
}

}  // namespace

int FindSequence(const void* text, uint32_t textLength, const StringList* list,
                 uint32_t* indexOut) {
  const uint8_t* t = static_cast<const uint8_t*>(text);
  if (textLength == 0 || list->count == 0) return 0;
  if (list->index != nullptr && list->index->sequences != nullptr)
    return FindSequenceIndexed(t, textLength, *list->index->sequences, indexOut);
  // Most positions cannot start any entry: note the first bytes of the
  // entries (both letter cases) once, and try the entries only where the
  // text's byte is one of them. Results are unchanged: earliest position
  // first, then list order at that position.
  uint64_t starts[4] = {0, 0, 0, 0};
  for (uint32_t j = 0; j < list->count; ++j) {
    // An empty entry (never loaded from a file) matches everywhere.
    if (list->lengths[j] == 0) {
      starts[0] = starts[1] = starts[2] = starts[3] = ~uint64_t{0};
      break;
    }
    uint8_t b = static_cast<uint8_t>(list->entries[j][0]);
    uint8_t lower = AsciiLower(b);
    uint8_t upper = AsciiUpper(lower);
    starts[lower >> 6] |= uint64_t{1} << (lower & 63);
    starts[upper >> 6] |= uint64_t{1} << (upper & 63);
  }
  for (uint32_t p = 0; p < textLength; ++p) {
    if ((starts[t[p] >> 6] & (uint64_t{1} << (t[p] & 63))) == 0) continue;
    uint32_t remaining = textLength - p;
    for (uint32_t j = 0; j < list->count; ++j) {
      uint32_t n = list->lengths[j];
      if (n <= remaining && BytesEqualNoCase(t + p, list->entries[j], n)) {
        *indexOut = j;
        return 1;
      }
    }
  }
  return 0;
}

}  // namespace rg
