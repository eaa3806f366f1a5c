// Filling the policy's lists from INI sections. (Matching and releasing live
// in lists.cpp.)
#include <cstring>

#include "platform/platform.h"
#include "platform/text.h"
#include "policy/policy.h"

namespace rg {

namespace {

// Length of the section line at offset pos. The profile reader always leaves
// a double NUL inside the buffer; the walk is bounded by the buffer anyway,
// so a reader that did not could make a line shorter but never a read
// overrun.
uint32_t LineLength(const char* buffer, uint32_t pos, uint32_t size) {
  const void* nul = std::memchr(buffer + pos, 0, size - pos);
  return nul != nullptr ? static_cast<uint32_t>(static_cast<const char*>(nul) - (buffer + pos))
                        : size - pos;
}

// A heap copy of len bytes with a NUL after them (the zero fill supplies it).
char* CopyLine(const char* text, uint32_t len) {
  char* copy = static_cast<char*>(HeapAllocZero(size_t{len} + 1));
  if (copy != nullptr) std::memcpy(copy, text, len);
  return copy;
}

// Fills the arrays of a list whose count is set from the section's lines.
// False when an allocation fails; the list is then partly built and the
// last-error value is that of the failed allocation.
bool BuildStringList(const char* buffer, uint32_t size, StringList* list) {
  list->entries = static_cast<char**>(HeapAllocZero(size_t{list->count} * sizeof(char*)));
  if (list->entries == nullptr) return false;
  list->lengths = static_cast<uint32_t*>(HeapAllocZero(size_t{list->count} * sizeof(uint32_t)));
  if (list->lengths == nullptr) return false;
  uint32_t pos = 0;
  for (uint32_t i = 0; i < list->count; ++i) {
    uint32_t len = LineLength(buffer, pos, size);
    list->entries[i] = CopyLine(buffer + pos, len);
    if (list->entries[i] == nullptr) return false;
    list->lengths[i] = len;
    pos += len + 1;
  }
  return true;
}

// Where each name stands first among the names of a limit list, so that a
// name given again gets the limit of its first line (the reader's answer
// for the name) in one pass over the lines. Open addressing on the names
// with ASCII case folded; a slot holds an index + 1, 0 when free.
struct FirstNames {
  uint32_t* slots;
  uint32_t mask;  // slot count - 1, a power of two minus one
};

uint32_t FoldedHash(const char* name, uint32_t length) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (uint32_t i = 0; i < length; ++i) h = (h ^ AsciiLower(uint8_t(name[i]))) * 16777619u;
  return h;
}

// False when the table cannot be allocated (the last error then tells why).
bool StartFirstNames(FirstNames* table, uint32_t count) {
  uint64_t slots = 2;
  while (slots < uint64_t{count} * 2) slots *= 2;  // at most half full
  table->slots = static_cast<uint32_t*>(HeapAllocZero(slots * sizeof(uint32_t)));
  table->mask = static_cast<uint32_t>(slots - 1);
  return table->slots != nullptr;
}

// The index of the first name equal to names[i] without case; i itself,
// then recorded, when it is the first.
uint32_t FirstIndexOf(FirstNames* table, const HeaderLimitList* list, uint32_t i) {
  const char* name = list->names[i];
  uint32_t length = list->nameLengths[i];
  for (uint32_t slot = FoldedHash(name, length) & table->mask;; slot = (slot + 1) & table->mask) {
    uint32_t held = table->slots[slot];
    if (held == 0) {
      table->slots[slot] = i + 1;
      return i;
    }
    uint32_t j = held - 1;
    if (list->nameLengths[j] == length && BytesEqualNoCase(list->names[j], name, length)) return j;
  }
}

// As BuildStringList, for the "name=limit" lines of a section.
bool BuildHeaderLimitList(const char* buffer, uint32_t size, HeaderLimitList* list) {
  const size_t count = list->count;
  list->names = static_cast<char**>(HeapAllocZero(count * sizeof(char*)));
  if (list->names == nullptr) return false;
  list->nameLengths = static_cast<uint32_t*>(HeapAllocZero(count * sizeof(uint32_t)));
  if (list->nameLengths == nullptr) return false;
  list->limits = static_cast<int32_t*>(HeapAllocZero(count * sizeof(int32_t)));
  if (list->limits == nullptr) return false;
  FirstNames firstNames{};
  if (!StartFirstNames(&firstNames, list->count)) return false;
  bool built = true;
  uint32_t i = 0;
  for (uint32_t pos = 0; pos < size && buffer[pos] != '\0' && i < count;) {
    uint32_t len = LineLength(buffer, pos, size);
    const char* line = buffer + pos;
    const void* equals = std::memchr(line, '=', len);
    if (equals != nullptr) {
      uint32_t nameLength = static_cast<uint32_t>(static_cast<const char*>(equals) - line);
      list->names[i] = CopyLine(line, nameLength);
      if (list->names[i] == nullptr) {
        built = false;
        break;
      }
      list->nameLengths[i] = nameLength;
      // The limit is the reader's integer value for the name, which is the
      // value of the name's first line in the section: a header listed
      // again gets its first limit. So it is read exactly like every other
      // number of the file: 0x forms and signs alike, and an empty value
      // reads as absent (-1, never limiting).
      uint32_t first = FirstIndexOf(&firstNames, list, i);
      list->limits[i] = first != i ? list->limits[first]
                                   : static_cast<int32_t>(ProfileParseInt(
                                         line + nameLength + 1, len - nameLength - 1, -1));
      ++i;
    }
    pos += len + 1;
  }
  HeapFreeBlock(firstNames.slots);
  return built;
}

// Reads a section into a new zero-filled buffer of bufferSize bytes (the
// caller frees it). 0 with *buffer set, or the allocation's error.
uint32_t ReadSection(const char* section, const char* iniPath, uint32_t bufferSize,
                     char** buffer) {
  *buffer = static_cast<char*>(HeapAllocZero(bufferSize));
  if (*buffer == nullptr) return AllocationError();
  // The reader's result is not an error signal: a missing section or file
  // simply leaves the zero-filled buffer empty.
  ProfileGetSection(section, *buffer, bufferSize, iniPath);
  return 0;
}

}  // namespace

// Fills an empty list with the lines of one section, read into a buffer of
// bufferSize bytes. 0 on success (an empty or missing section included);
// otherwise a nonzero error with the list empty again.
uint32_t LoadStringList(const char* section, const char* iniPath, StringList* list,
                        uint32_t bufferSize) {
  // A zero-byte buffer holds no line; reading even its terminator would
  // overrun it.
  if (bufferSize == 0) return 0;
  char* buffer = nullptr;
  if (uint32_t error = ReadSection(section, iniPath, bufferSize, &buffer); error != 0) return error;

  uint32_t count = 0;
  for (uint32_t pos = 0; pos < bufferSize && buffer[pos] != '\0';) {
    pos += LineLength(buffer, pos, bufferSize) + 1;
    ++count;
  }
  uint32_t error = 0;
  if (count != 0) {
    list->count = count;
    if (!BuildStringList(buffer, bufferSize, list)) {
      error = AllocationError();
      // Leave the list empty rather than with a count that no array backs:
      // a matcher reading it must find nothing, not follow a null array.
      FreeStringList(list);
      list->count = 0;
    }
  }
  HeapFreeBlock(buffer);
  return error;
}

// As LoadStringList, for "name=limit" lines: the name before the first
// '=' and the integer value the reader gives for that name (-1 if none).
uint32_t LoadHeaderLimitList(const char* section, const char* iniPath, HeaderLimitList* list,
                             uint32_t bufferSize) {
  if (bufferSize == 0) return 0;
  char* buffer = nullptr;
  if (uint32_t error = ReadSection(section, iniPath, bufferSize, &buffer); error != 0) return error;

  // Only "name=limit" lines count; a line without '=' names no header.
  uint32_t count = 0;
  for (uint32_t pos = 0; pos < bufferSize && buffer[pos] != '\0';) {
    uint32_t len = LineLength(buffer, pos, bufferSize);
    if (std::memchr(buffer + pos, '=', len) != nullptr) ++count;
    pos += len + 1;
  }
  uint32_t error = 0;
  if (count != 0) {
    list->count = count;
    if (!BuildHeaderLimitList(buffer, bufferSize, list)) {
      error = AllocationError();
      FreeHeaderLimitList(list);
      list->count = 0;
    }
  }
  HeapFreeBlock(buffer);
  return error;
}

}  // namespace rg
