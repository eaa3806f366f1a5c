// Readers of the INI file on Windows: the system's own profile functions,
// which define the meaning the POSIX reader follows.
//
// Two things are added around them:
// - A path without a directory (or a relative one) is made absolute first:
//   the profile functions look for a bare file name in the Windows
//   directory, not in the current one, which would silently load another
//   file (or none) for `ravelgard-host -c Ravelgard.ini`.
// - The empty answers are made whole: a missing section gives two NULs, as
//   callers that walk the list to its double NUL expect.
//
// The values of a section already read (ProfileFindValue and its two
// companions) are taken from its lines here, by the rules the POSIX reader
// follows, so that the DLL and the POSIX module give a key the same value:
// the system has no function that reads a value from lines in memory.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/text.h"

namespace rg {

namespace {

// The absolute form of path in full (MAX_PATH bytes), or path itself when it
// cannot be had: the system then reports on the path as given.
const char* AbsolutePath(const char* path, char* full) {
  if (path == nullptr) return path;
  DWORD n = GetFullPathNameA(path, MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) return path;
  return full;
}

// Blanks around a key and its value: spaces and tabs, and at the end the CR
// of a CR LF line end.
inline bool IsLeadBlank(uint8_t b) { return b == ' ' || b == '\t'; }
inline bool IsTrailBlank(uint8_t b) { return b == ' ' || b == '\t' || b == '\r'; }

void Trim(const char** text, uint32_t* length) {
  while (*length > 0 && IsLeadBlank(uint8_t(**text))) ++*text, --*length;
  while (*length > 0 && IsTrailBlank(uint8_t((*text)[*length - 1]))) --*length;
}

int HexDigit(uint8_t b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'a' && b <= 'f') return b - 'a' + 10;
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  return -1;
}

}  // namespace

uint32_t ProfileGetSection(const char* section, char* buffer, uint32_t size, const char* path) {
  if (buffer == nullptr || size == 0) return 0;
  if (size == 1) {
    buffer[0] = '\0';
    return 0;
  }
  if (section == nullptr || path == nullptr) {
    buffer[0] = buffer[1] = '\0';
    return 0;
  }
  char full[MAX_PATH];
  DWORD count = GetPrivateProfileSectionA(section, buffer, size, AbsolutePath(path, full));
  if (count == 0) {
    buffer[0] = buffer[1] = '\0';
    return 0;
  }
  // The result never points past the room for the double NUL.
  if (count > size - 2) {
    count = size - 2;
    buffer[count] = buffer[count + 1] = '\0';
  }
  return count;
}

uint32_t ProfileGetInt(const char* section, const char* key, int32_t deflt, const char* path) {
  if (section == nullptr || key == nullptr || path == nullptr) return uint32_t(deflt);
  char full[MAX_PATH];
  return GetPrivateProfileIntA(section, key, deflt, AbsolutePath(path, full));
}

uint32_t ProfileGetString(const char* section, const char* key, const char* deflt, char* buffer,
                          uint32_t size, const char* path) {
  if (buffer == nullptr || size == 0) return 0;
  if (deflt == nullptr) deflt = "";
  // With a null section or key the system lists the names instead of
  // reading a value; the filter never asks for that.
  if (section == nullptr || key == nullptr || path == nullptr) {
    size_t length = std::strlen(deflt);
    if (length > size - 1) length = size - 1;
    std::memmove(buffer, deflt, length);
    buffer[length] = '\0';
    return uint32_t(length);
  }
  char full[MAX_PATH];
  return GetPrivateProfileStringA(section, key, deflt, buffer, size, AbsolutePath(path, full));
}

int ProfileFindValue(const char* lines, uint32_t size, const char* key, const char** value,
                     uint32_t* valueLength) {
  if (lines == nullptr || key == nullptr) return 0;
  const char* want = key;
  uint32_t wantLength = uint32_t(std::strlen(key));
  Trim(&want, &wantLength);
  uint32_t pos = 0;
  while (pos < size && lines[pos] != '\0') {
    const void* nul = std::memchr(lines + pos, 0, size - pos);
    uint32_t length =
        nul != nullptr ? uint32_t(static_cast<const char*>(nul) - (lines + pos)) : size - pos;
    const char* line = lines + pos;
    const void* equals = std::memchr(line, '=', length);
    if (equals != nullptr) {
      // The system hands the lines over with the blanks around '=' taken
      // out, as the string reader takes them out; should a line come as it
      // was written, it still gives the value the string reader would.
      const char* name = line;
      uint32_t nameLength = uint32_t(static_cast<const char*>(equals) - line);
      Trim(&name, &nameLength);
      if (nameLength == wantLength && BytesEqualNoCase(name, want, nameLength)) {
        const char* text = static_cast<const char*>(equals) + 1;
        uint32_t textLength = uint32_t(line + length - text);
        Trim(&text, &textLength);
        *value = text;
        *valueLength = textLength;
        return 1;
      }
    }
    pos += length + 1;
  }
  return 0;
}

uint32_t ProfileParseInt(const char* value, uint32_t length, int32_t deflt) {
  // An empty value counts as absent, as for ProfileGetInt.
  bool seen = false;
  for (uint32_t i = 0; i < length && !seen; ++i) seen = !IsTrailBlank(uint8_t(value[i]));
  if (!seen) return uint32_t(deflt);
  // The leading number: an optional sign, then decimal digits, or
  // hexadecimal ones after 0x or 0X, wrapping like a 32-bit accumulator.
  uint32_t i = 0;
  bool negative = false;
  if (value[0] == '-' || value[0] == '+') negative = value[i++] == '-';
  uint32_t number = 0;
  if (i + 1 < length && value[i] == '0' && (value[i + 1] == 'x' || value[i + 1] == 'X')) {
    for (i += 2; i < length && HexDigit(uint8_t(value[i])) >= 0; ++i)
      number = number * 16u + uint32_t(HexDigit(uint8_t(value[i])));
  } else {
    for (; i < length && value[i] >= '0' && value[i] <= '9'; ++i)
      number = number * 10u + uint32_t(value[i] - '0');
  }
  return negative ? 0u - number : number;
}

uint32_t ProfileCopyString(const char* value, uint32_t length, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  uint32_t cap = size - 1;
  uint32_t copied = length < cap ? length : cap;
  std::memmove(buffer, value, copied);
  // A value copied whole loses one pair of quotes that encloses it, as the
  // string reader drops them.
  if (length <= cap && copied >= 2 && (buffer[0] == '"' || buffer[0] == '\'') &&
      buffer[copied - 1] == buffer[0]) {
    std::memmove(buffer, buffer + 1, copied - 2);
    buffer[copied - 2] = buffer[copied - 1] = '\0';
    copied -= 2;
  }
  buffer[copied] = '\0';
  return copied;
}

}  // namespace rg
