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
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

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

}  // namespace rg
