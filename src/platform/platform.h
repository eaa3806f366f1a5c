// The operating-system services the filter core uses, as one small interface.
//
// The core never calls the operating system directly: everything it needs
// from the heap, files, the INI reader, the clock, text formatting, the lock
// and the module's own path goes through here. platform_posix.cpp implements
// it on Linux; a Windows build maps each call onto the Win32 function of the
// same purpose. Failures always leave a Windows error number (see errors.h)
// as the thread's last-error value, on every platform, because logs and
// hosts read those numbers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/errors.h"

// Keeps a slow path out of the short one that calls it, so that the short
// one saves no registers it does not use.
#if defined(__GNUC__)
#define RG_NOINLINE __attribute__((noinline))
#else
#define RG_NOINLINE
#endif

// Keeps a short step inlined in a hot caller even where a rare path calls
// it too.
#if defined(__GNUC__)
#define RG_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#define RG_ALWAYS_INLINE inline
#endif

namespace rg {

// ---------------------------------------------------------------- last error
// The calling thread's last-error value (GetLastError / SetLastError).
uint32_t GetLastErrorValue();
void SetLastErrorValue(uint32_t error);
// An error number, or fallback when it is 0: a failed call must never read
// as success to callers that test for 0.
inline uint32_t ErrorOr(uint32_t error, uint32_t fallback) { return error != 0 ? error : fallback; }
// The last-error value, or fallback when the platform left none.
inline uint32_t LastErrorOr(uint32_t fallback) { return ErrorOr(GetLastErrorValue(), fallback); }
// The error of an allocation that just failed (8 when none was left).
inline uint32_t AllocationError() { return LastErrorOr(kErrorNotEnoughMemory); }

// ---------------------------------------------------------------- heap
// Every block comes zero-filled. On failure the result is null and the
// last-error value is set (8 unless the failure hook says otherwise).
void* HeapAllocZero(size_t size);
// Grows (or shrinks) a block keeping its first min(oldSize, newSize) bytes
// and zero-filling the rest. On failure the result is null, the old block is
// untouched and still owned by the caller. A null block allocates.
void* HeapGrowZero(void* block, size_t oldSize, size_t newSize);
// Releases a block; null is ignored.
void HeapFreeBlock(void* block);

#if defined(RG_TEST_HOOKS)
// Test hook: the nth allocation from now (1 = the next one) fails, with the
// given value as last error (8 by default; 0 simulates a platform that
// reports no error). Allocations after it succeed again. n <= 0 disarms.
// The countdown is shared by all threads.
void FailAllocationAfter(int64_t n, uint32_t error = kErrorNotEnoughMemory);
// Number of allocations made since the process started (successful or not);
// lets a test walk the failure hook across every allocation of an operation.
uint64_t AllocationCount();
// Blocks allocated and not yet freed, over the whole process; tests compare
// it before and after an operation to show that nothing leaked.
int64_t LiveBlockCount();
#endif

// ---------------------------------------------------------------- profile
// Readers of a Windows-style INI file. Section and key names compare without
// regard to ASCII letter case; blanks around lines, keys and values are
// removed; blank lines and lines starting with ';' are skipped; the first of
// duplicate sections and of duplicate keys wins. The file is read afresh on
// every call.

// Writes the lines of the section in file order, each NUL-terminated, and a
// final extra NUL, cut so that the double NUL still fits in size bytes.
// A missing section or file gives the empty list (two NULs, or one when size
// is 1). Returns the number of bytes written without the final NUL (size - 2
// when the lines were cut, as on Windows).
uint32_t ProfileGetSection(const char* section, char* buffer, uint32_t size, const char* path);
// The leading number of the key's value (decimal, or hexadecimal after 0x,
// an optional '-' or '+' sign; "55zz" gives 55, no number gives 0), or deflt when
// the key is absent. An empty value counts as absent, as on Windows.
uint32_t ProfileGetInt(const char* section, const char* key, int32_t deflt, const char* path);
// The key's value (or deflt when absent) cut to size - 1 characters and
// NUL-terminated; a pair of quotes (" or ') around the whole value is
// dropped, as on Windows. Returns the number of characters copied.
uint32_t ProfileGetString(const char* section, const char* key, const char* deflt, char* buffer,
                          uint32_t size, const char* path);

// The same meanings applied to the lines of a section that ProfileGetSection
// has already delivered (size bytes at lines), so that a caller needing
// many values of one section reads the file once:
// - ProfileFindValue: the value of the first line whose key (the text
//   before its first '=') equals key without regard to ASCII case, as
//   ProfileGetString and ProfileGetInt find it. Returns 1 with *value
//   pointing into lines at valueLength bytes, or 0 when no line has the key.
// - ProfileParseInt: the number ProfileGetInt gives for a key whose value
//   is these bytes; deflt for an empty value.
// - ProfileCopyString: what ProfileGetString writes into buffer (size
//   bytes) for a key whose value is these bytes; returns its length.
int ProfileFindValue(const char* lines, uint32_t size, const char* key, const char** value,
                     uint32_t* valueLength);
uint32_t ProfileParseInt(const char* value, uint32_t length, int32_t deflt);
uint32_t ProfileCopyString(const char* value, uint32_t length, char* buffer, uint32_t size);

// ---------------------------------------------------------------- files
using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;

enum : uint32_t { kAccessRead = 1, kAccessWrite = 2 };
enum : uint32_t { kShareNone = 0, kShareRead = 1, kShareWrite = 2 };
enum : uint32_t { kOpenExisting = 3, kOpenAlways = 4 };

// Opens a file honouring the share mode across processes (advisory locks on
// POSIX): an open for writing, or with share mode kShareNone, fails with 32
// while another open of the file holds a conflicting lock. kOpenAlways
// creates a missing file. An open for reading only takes a regular file:
// a FIFO, socket or device fails at once with 1920 (it is never waited on).
// A path through a loop of symbolic links fails with 1921. Returns
// kInvalidFile with the last error on failure.
FileHandle FileOpen(const char* path, uint32_t access, uint32_t share, uint32_t disposition);
// Size in bytes, or 0xFFFFFFFF with the last error set.
uint32_t FileGetSize(FileHandle file);
// Moves to the end; returns the new position, or 0xFFFFFFFF with the last
// error set.
uint32_t FileSeekEnd(FileHandle file);
// Writes count bytes; returns 1 on success, 0 with the last error.
int FileWrite(FileHandle file, const void* data, uint32_t count, uint32_t* written);
// Closes and releases the lock; returns 1, or 0 with the last error.
int FileClose(FileHandle file);
// Creates one directory; returns 1, or 0 with the last error (183 when it
// exists, 3 when a parent is missing).
int DirectoryCreate(const char* path);

// Opens a log file for appending, creating it when missing: every write
// lands at the end of the file as it is then, whatever another writer or a
// truncation did meanwhile, so no offset is ever kept or seeked. A symbolic
// link as the last part of the path is refused (1921), never followed; a
// FIFO, device or any other non-regular file is refused (1920) without
// waiting for a reader. share as for FileOpen: kShareRead holds the file
// against every other writer (32 for them), kShareRead | kShareWrite lets
// other processes append too. Returns kInvalidFile with the last error on
// failure.
FileHandle FileOpenAppend(const char* path, uint32_t share);
// 1 when path still names the open file (the same file, not a new one put
// in its place or a removed one), else 0.
int FileIsAtPath(FileHandle file, const char* path);
// 1 when every user may create or replace files in the
// directory (a planted file or link could then take the log's name).
int DirectoryOpenToOthers(const char* path);

// The directory separator of paths the filter builds, and how many leading
// characters of an absolute path belong to its root ("/" or "C:\").
extern const char kPathSeparator;
extern const uint32_t kPathRootLength;

// ---------------------------------------------------------------- time
// Same layout as the Windows SYSTEMTIME record.
struct LocalTime {
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

void GetLocalTimeNow(LocalTime* out);
#if defined(RG_TEST_HOOKS)
// Test hook: while set, GetLocalTimeNow returns this time; null restores the
// real clock.
void SetTestClock(const LocalTime* time);
#endif

// Formats the time after a picture of yyyy, MM, dd, HH, mm, ss and literal
// characters. Returns the characters written including the NUL, or 0 with
// last error 122 when size is too small (nothing useful is written then).
int FormatDate(const LocalTime* time, const char* picture, char* out, int size);
int FormatTime(const LocalTime* time, const char* picture, char* out, int size);

// ---------------------------------------------------------------- text
// printf-style formatting limited to %s, %d and %%, cut to size - 1
// characters and always NUL-terminated (size > 0). Returns the length
// written.
int FormatText(char* out, uint32_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// ---------------------------------------------------------------- lock
// The one process-wide critical section.
struct PlatformLock {
  alignas(16) unsigned char storage[64];
};
void LockInit(PlatformLock* lock);
void LockEnter(PlatformLock* lock);
void LockLeave(PlatformLock* lock);
void LockDelete(PlatformLock* lock);

// ---------------------------------------------------------------- module
// The path of the module this code is linked into (the shared object, or the
// executable when linked into one), cut to size - 1 characters. Returns the
// number of characters, or 0 with the last error.
uint32_t GetModulePath(char* out, uint32_t size);

}  // namespace rg
