// Building the indexes of the policy's lists, once, when the policy is
// loaded. The matchers in lists.cpp consult them; an index never changes
// which entry is reported, only how fast it is found.
#include "policy/lists_index.h"

#include <cstring>
#include <initializer_list>

#include "platform/platform.h"
#include "platform/text.h"

namespace rg {

namespace {

// Lists up to this size are walked: comparing a few lengths costs less than
// hashing the text.
constexpr uint32_t kLinearEntries = 8;

// An automaton whose table would pass this many bytes is not built; the
// matcher then walks the entries, which is slower but as exact.
constexpr uint64_t kMaxTableBytes = 64ull << 20;


uint64_t Mix(uint64_t h, uint64_t w) {
  h = (h ^ w) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

uint64_t Load8(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

uint32_t Load4(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

uint32_t NextPowerOfTwo(uint32_t n) {
  uint32_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

bool SameText(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
  return aLength == bLength && (aLength == 0 || std::memcmp(a, b, aLength) == 0);
}

// Fills the entry table. Entries are placed in file order; a later entry
// byte-for-byte equal to an earlier one is left out, as no lookup can reach
// it first.
uint32_t BuildEntryTable(const StringList* list, EntryTable* table) {
  uint32_t size = NextPowerOfTwo(list->count * 2);
  uint32_t* slots = static_cast<uint32_t*>(HeapAllocZero(size_t{size} * sizeof(uint32_t)));
  if (slots == nullptr) return AllocationError();
  uint32_t mask = size - 1;
  for (uint32_t i = 0; i < list->count; ++i) {
    const uint8_t* entry = reinterpret_cast<const uint8_t*>(list->entries[i]);
    uint32_t length = list->lengths[i];
    uint32_t at = static_cast<uint32_t>(EntryHash(entry, length)) & mask;
    bool duplicate = false;
    while (slots[at] != 0) {
      uint32_t other = slots[at] - 1;
      if (SameText(entry, length, reinterpret_cast<const uint8_t*>(list->entries[other]),
                   list->lengths[other])) {
        duplicate = true;
        break;
      }
      at = (at + 1) & mask;
    }
    if (!duplicate) slots[at] = i + 1;
  }
  table->slots = slots;
  table->mask = mask;
  return 0;
}

void FreeAutomaton(SequenceAutomaton* a) {
  if (a == nullptr) return;
  HeapFreeBlock(a->table);
  HeapFreeBlock(a->matchLength);
  HeapFreeBlock(a->matchEntry);
  HeapFreeBlock(a);
}

// Working arrays of the construction, freed when it ends.
struct Scratch {
  uint32_t* depth = nullptr;
  uint32_t* fail = nullptr;
  uint32_t* queue = nullptr;
  uint32_t* terminal = nullptr;
  ~Scratch() {
    HeapFreeBlock(depth);
    HeapFreeBlock(fail);
    HeapFreeBlock(queue);
    HeapFreeBlock(terminal);
  }
};

void AddPair(uint64_t* pairs, uint8_t first, uint8_t second) {
  const uint8_t pair[2] = {first, second};
  const uint32_t key = PairKey(pair);
  pairs[key >> 6] |= uint64_t{1} << (key & 63);
}

// Builds the automaton of a list whose entries are all non-empty. 0 with
// *out set, 0 with *out null when the table would be too large, or the
// allocation's error.
uint32_t BuildAutomaton(const StringList* list, SequenceAutomaton** out) {
  *out = nullptr;
  SequenceAutomaton* a = static_cast<SequenceAutomaton*>(HeapAllocZero(sizeof(SequenceAutomaton)));
  if (a == nullptr) return AllocationError();

  // Byte classes: one per folded byte that some entry holds.
  uint8_t classOfFolded[256] = {};
  uint32_t classes = 1;
  uint64_t totalBytes = 0;
  for (uint32_t j = 0; j < list->count; ++j) {
    const uint8_t* e = reinterpret_cast<const uint8_t*>(list->entries[j]);
    uint32_t n = list->lengths[j];
    totalBytes += n;
    if (n > a->longest) a->longest = n;
    for (uint32_t k = 0; k < n; ++k) {
      uint8_t f = AsciiLower(e[k]);
      if (classOfFolded[f] == 0) classOfFolded[f] = static_cast<uint8_t>(classes++);
    }
    uint8_t f0 = AsciiLower(e[0]);
    uint8_t bit = n == 1 ? 1 : 2;
    a->starts[f0] |= bit;
    a->starts[AsciiUpper(f0)] |= bit;
    // Every letter case of the entry's first two bytes, or of its one
    // byte followed by anything.
    const uint8_t f1 = n >= 2 ? AsciiLower(e[1]) : 0;
    for (uint8_t b0 : {f0, AsciiUpper(f0)}) {
      if (n >= 2) {
        for (uint8_t b1 : {f1, AsciiUpper(f1)}) AddPair(a->pairs, b0, b1);
      } else {
        for (uint32_t b1 = 0; b1 < 256; ++b1) AddPair(a->pairs, b0, static_cast<uint8_t>(b1));
      }
    }
  }
  BuildByteSet(&a->startSet, a->starts);
  // 255 distinct folded bytes at most (the 26 capitals fold away), so the
  // classes fit a byte.
  for (int b = 0; b < 256; ++b) a->byteClass[b] = classOfFolded[AsciiLower(static_cast<uint8_t>(b))];
  a->classes = classes;

  uint64_t stateBound = totalBytes + 1;
  if (stateBound * classes * sizeof(uint32_t) > kMaxTableBytes) {
    FreeAutomaton(a);
    return 0;
  }
  const uint32_t bound = static_cast<uint32_t>(stateBound);
  Scratch scratch;
  a->table = static_cast<uint32_t*>(HeapAllocZero(size_t{bound} * classes * sizeof(uint32_t)));
  scratch.depth = static_cast<uint32_t*>(HeapAllocZero(size_t{bound} * sizeof(uint32_t)));
  scratch.terminal = static_cast<uint32_t*>(HeapAllocZero(size_t{bound} * sizeof(uint32_t)));
  if (a->table == nullptr || scratch.depth == nullptr || scratch.terminal == nullptr) {
    uint32_t error = AllocationError();
    FreeAutomaton(a);
    return error;
  }
  uint32_t* table = a->table;

  // The trie of the folded entries; state 0 is the root, and a 0 in the
  // table means "no child" while the trie is built (the root is nobody's
  // child). terminal holds entry + 1 of the first entry ending at a state.
  uint32_t states = 1;
  for (uint32_t j = 0; j < list->count; ++j) {
    const uint8_t* e = reinterpret_cast<const uint8_t*>(list->entries[j]);
    uint32_t s = 0;
    for (uint32_t k = 0; k < list->lengths[j]; ++k) {
      uint32_t* slot = &table[size_t{s} * classes + a->byteClass[e[k]]];
      if (*slot == 0) {
        *slot = states;
        scratch.depth[states] = scratch.depth[s] + 1;
        ++states;
      }
      s = *slot;
    }
    if (scratch.terminal[s] == 0) scratch.terminal[s] = j + 1;
  }

  // Failure links in breadth-first order turn the trie into a full
  // transition table; each state's match is its own entry or else its
  // failure state's, the longest entry ending there either way.
  scratch.fail = static_cast<uint32_t*>(HeapAllocZero(size_t{states} * sizeof(uint32_t)));
  scratch.queue = static_cast<uint32_t*>(HeapAllocZero(size_t{states} * sizeof(uint32_t)));
  a->matchLength = static_cast<uint32_t*>(HeapAllocZero(size_t{states} * sizeof(uint32_t)));
  a->matchEntry = static_cast<uint32_t*>(HeapAllocZero(size_t{states} * sizeof(uint32_t)));
  if (scratch.fail == nullptr || scratch.queue == nullptr || a->matchLength == nullptr ||
      a->matchEntry == nullptr) {
    uint32_t error = AllocationError();
    FreeAutomaton(a);
    return error;
  }
  uint32_t head = 0;
  uint32_t tail = 0;
  for (uint32_t c = 0; c < classes; ++c)
    if (table[c] != 0) scratch.queue[tail++] = table[c];
  while (head < tail) {
    uint32_t s = scratch.queue[head++];
    uint32_t f = scratch.fail[s];
    if (scratch.terminal[s] != 0) {
      a->matchLength[s] = scratch.depth[s];
      a->matchEntry[s] = scratch.terminal[s] - 1;
    } else {
      a->matchLength[s] = a->matchLength[f];
      a->matchEntry[s] = a->matchEntry[f];
    }
    uint32_t* row = &table[size_t{s} * classes];
    const uint32_t* failRow = &table[size_t{f} * classes];
    for (uint32_t c = 0; c < classes; ++c) {
      if (row[c] != 0) {
        // A child of a root child fails to the root's move; deeper ones to
        // the move of their parent's failure state.
        scratch.fail[row[c]] = failRow[c];
        scratch.queue[tail++] = row[c];
      } else {
        row[c] = failRow[c];
      }
    }
  }
  // The final table holds the states made, not the bound; its values are
  // row offsets, flagged where an entry ends.
  uint32_t* trie = table;
  a->table = static_cast<uint32_t*>(HeapAllocZero(size_t{states} * classes * sizeof(uint32_t)));
  if (a->table == nullptr) {
    uint32_t error = AllocationError();
    HeapFreeBlock(trie);
    FreeAutomaton(a);
    return error;
  }
  for (size_t i = 0; i < size_t{states} * classes; ++i) {
    uint32_t next = trie[i];
    a->table[i] = next * classes | (a->matchLength[next] != 0 ? kMatchFlag : 0);
  }
  HeapFreeBlock(trie);
  a->states = states;
  *out = a;
  return 0;
}

}  // namespace

uint64_t EntryHash(const uint8_t* text, uint32_t length) {
  // Every byte is OR-ed with 0x20: the two cases of a letter hash alike
  // (other bytes may collide, which the comparison after the lookup sorts
  // out).
  constexpr uint64_t kCase8 = 0x2020202020202020ull;
  constexpr uint32_t kCase4 = 0x20202020u;
  uint64_t h = uint64_t{length} * 0xFF51AFD7ED558CCDull;
  if (length >= 8) {
    uint32_t i = 0;
    for (; i + 8 <= length; i += 8) h = Mix(h, Load8(text + i) | kCase8);
    if (i < length) h = Mix(h, Load8(text + length - 8) | kCase8);
  } else if (length >= 4) {
    h = Mix(h, (uint64_t{Load4(text) | kCase4} << 32) | (Load4(text + length - 4) | kCase4));
  } else {
    uint64_t w = 0;
    for (uint32_t i = 0; i < length; ++i) w = w << 8 | (text[i] | 0x20u);
    h = Mix(h, w);
  }
  return h ^ (h >> 32);
}

void FreeListIndex(StringList* list) {
  ListIndex* index = list->index;
  if (index == nullptr) return;
  HeapFreeBlock(index->entries.slots);
  FreeAutomaton(index->sequences);
  HeapFreeBlock(index);
  list->index = nullptr;
}

uint32_t BuildListIndex(StringList* list, uint32_t kinds) {
  FreeListIndex(list);
  if (list->count == 0) return 0;
  bool lengths = (kinds & kIndexEntries) != 0;
  bool entries = lengths && list->count > kLinearEntries;
  bool sequences = (kinds & kIndexSequences) != 0;
  // An empty entry (only a list built by hand can hold one) matches at the
  // first position of every text; the walk in file order handles it.
  for (uint32_t j = 0; sequences && j < list->count; ++j)
    if (list->lengths[j] == 0) sequences = false;
  if (!lengths && !sequences) return 0;

  ListIndex* index = static_cast<ListIndex*>(HeapAllocZero(sizeof(ListIndex)));
  if (index == nullptr) return AllocationError();
  if (lengths) {
    for (uint32_t j = 0; j < list->count; ++j) {
      const uint8_t* entry = reinterpret_cast<const uint8_t*>(list->entries[j]);
      index->lengths |= LengthBit(list->lengths[j]);
      AddShape(index->shapes, entry, list->lengths[j]);
    }
  }
  uint32_t error = 0;
  if (entries) error = BuildEntryTable(list, &index->entries);
  if (error == 0 && sequences) error = BuildAutomaton(list, &index->sequences);
  if (error != 0 || (!lengths && index->sequences == nullptr)) {
    HeapFreeBlock(index->entries.slots);
    FreeAutomaton(index->sequences);
    HeapFreeBlock(index);
    return error;
  }
  list->index = index;
  return 0;
}

void FreeHeaderLimitIndex(HeaderLimitList* list) {
  HeapFreeBlock(list->index);
  list->index = nullptr;
}

uint32_t BuildHeaderLimitIndex(HeaderLimitList* list) {
  FreeHeaderLimitIndex(list);
  if (list->count == 0) return 0;
  ListIndex* index = static_cast<ListIndex*>(HeapAllocZero(sizeof(ListIndex)));
  if (index == nullptr) return AllocationError();
  for (uint32_t j = 0; j < list->count; ++j) {
    index->lengths |= LengthBit(list->nameLengths[j]);
    AddShape(index->shapes, reinterpret_cast<const uint8_t*>(list->names[j]),
             list->nameLengths[j]);
  }
  list->index = index;
  return 0;
}

uint32_t IndexPolicyLists(FilterPolicy* policy) {
  struct Job {
    StringList* list;
    uint32_t kinds;
  };
  const Job jobs[] = {
      {&policy->Verbs, kIndexEntries},
      {&policy->HttpVersions, kIndexEntries},
      {&policy->HostPorts, kIndexEntries},
      {&policy->Extensions, kIndexEntries},
      {&policy->DeniedHeaderNames, kIndexEntries},
      {&policy->UrlSequences, kIndexSequences},
      {&policy->QuerySequences, kIndexSequences},
  };
  for (const Job& job : jobs) {
    uint32_t error = BuildListIndex(job.list, job.kinds);
    if (error != 0) return error;
  }
  return BuildHeaderLimitIndex(&policy->HeaderLimits);
}

}  // namespace rg
