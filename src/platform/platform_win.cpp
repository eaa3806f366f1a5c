// Clock, date and text formatting, the lock and the module's own path on
// Windows.
#include <windows.h>
#include <shlwapi.h>

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace rg {

// ---------------------------------------------------------------- time

// The record is the system's, so GetLocalTime and the format functions read
// and write it directly.
static_assert(sizeof(LocalTime) == sizeof(SYSTEMTIME));
static_assert(offsetof(LocalTime, year) == offsetof(SYSTEMTIME, wYear));
static_assert(offsetof(LocalTime, month) == offsetof(SYSTEMTIME, wMonth));
static_assert(offsetof(LocalTime, dayOfWeek) == offsetof(SYSTEMTIME, wDayOfWeek));
static_assert(offsetof(LocalTime, day) == offsetof(SYSTEMTIME, wDay));
static_assert(offsetof(LocalTime, hour) == offsetof(SYSTEMTIME, wHour));
static_assert(offsetof(LocalTime, minute) == offsetof(SYSTEMTIME, wMinute));
static_assert(offsetof(LocalTime, second) == offsetof(SYSTEMTIME, wSecond));
static_assert(offsetof(LocalTime, milliseconds) == offsetof(SYSTEMTIME, wMilliseconds));

#if defined(RG_TEST_HOOKS)
namespace {

// The test clock, guarded by a critical section made before any test runs
// (a static object's constructor: the test programs start no thread before
// main).
struct TestClock {
  CRITICAL_SECTION lock;
  volatile LONG on;
  LocalTime time;
  TestClock() : on(0), time() { InitializeCriticalSection(&lock); }
  ~TestClock() { DeleteCriticalSection(&lock); }
};
TestClock g_testClock;

// Copies the test clock into out; false when it is off.
bool ReadTestClock(LocalTime* out) {
  if (InterlockedCompareExchange(&g_testClock.on, 0, 0) == 0) return false;
  EnterCriticalSection(&g_testClock.lock);
  bool on = g_testClock.on != 0;
  if (on) *out = g_testClock.time;
  LeaveCriticalSection(&g_testClock.lock);
  return on;
}

}  // namespace

void SetTestClock(const LocalTime* time) {
  EnterCriticalSection(&g_testClock.lock);
  if (time != nullptr) g_testClock.time = *time;
  InterlockedExchange(&g_testClock.on, time != nullptr ? 1 : 0);
  LeaveCriticalSection(&g_testClock.lock);
}
#endif

void GetLocalTimeNow(LocalTime* out) {
  if (out == nullptr) return;
#if defined(RG_TEST_HOOKS)
  if (ReadTestClock(out)) return;
#endif
  GetLocalTime(reinterpret_cast<SYSTEMTIME*>(out));
}

namespace {

// The system's default locale: the log's dates are the machine's, not those
// of whichever user the server's worker runs as.
constexpr LCID kSystemDefaultLocale = LOCALE_SYSTEM_DEFAULT;

using FormatFunction = int(WINAPI*)(LCID, DWORD, const SYSTEMTIME*, LPCSTR, LPSTR, int);

int FormatWith(FormatFunction format, const LocalTime* time, const char* picture, char* out,
               int size) {
  if (size > 0 && out != nullptr) out[0] = '\0';  // callers that ignore the result print ""
  if (picture == nullptr || size < 0 || (size > 0 && out == nullptr)) {
    SetLastErrorValue(kErrorInvalidParameter);
    return 0;
  }
  LocalTime now;
  if (time == nullptr) {
    GetLocalTimeNow(&now);
    time = &now;
  }
  // With size 0 the functions report the length needed instead of failing;
  // the callers here always want the text itself.
  if (size == 0) {
    SetLastErrorValue(kErrorInsufficientBuffer);
    return 0;
  }
  int written =
      format(kSystemDefaultLocale, 0, reinterpret_cast<const SYSTEMTIME*>(time), picture, out, size);
  if (written == 0) out[0] = '\0';  // nothing useful is left after a short buffer
  return written;
}

}  // namespace

int FormatDate(const LocalTime* time, const char* picture, char* out, int size) {
  return FormatWith(GetDateFormatA, time, picture, out, size);
}

int FormatTime(const LocalTime* time, const char* picture, char* out, int size) {
  return FormatWith(GetTimeFormatA, time, picture, out, size);
}

// ---------------------------------------------------------------- text

// The system's bounded wsprintf: %s, %d and %% as the log needs them, the
// output cut to size - 1 characters and NUL-terminated. It reports a cut as
// a negative count; the text it leaves is still the cut text.
int FormatText(char* out, uint32_t size, const char* format, ...) {
  if (out == nullptr || size == 0) return 0;
  out[0] = '\0';
  if (format == nullptr) return 0;
  int limit = size > 0x7FFFFFFFu ? 0x7FFFFFFF : int(size);
  va_list args;
  va_start(args, format);
  int written = wvnsprintfA(out, limit, format, args);
  va_end(args);
  out[size - 1] = '\0';
  if (written < 0 || uint32_t(written) >= size) written = int(std::strlen(out));
  return written;
}

// ---------------------------------------------------------------- lock

namespace {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(PlatformLock::storage),
              "the lock storage must hold a critical section");
static_assert(alignof(CRITICAL_SECTION) <= alignof(PlatformLock),
              "the lock storage must be aligned for a critical section");

CRITICAL_SECTION* SectionOf(PlatformLock* lock) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(lock->storage));
}

}  // namespace

void LockInit(PlatformLock* lock) {
  if (lock != nullptr) InitializeCriticalSection(new (lock->storage) CRITICAL_SECTION);
}

void LockEnter(PlatformLock* lock) {
  if (lock != nullptr) EnterCriticalSection(SectionOf(lock));
}

void LockLeave(PlatformLock* lock) {
  if (lock != nullptr) LeaveCriticalSection(SectionOf(lock));
}

void LockDelete(PlatformLock* lock) {
  if (lock != nullptr) DeleteCriticalSection(SectionOf(lock));
}

// ---------------------------------------------------------------- module

namespace {

// An address inside this code: in the DLL when the core is linked into one,
// in the executable otherwise. Asking by address rather than by the name
// "Ravelgard.dll" finds the module however it was renamed or copied.
const char kModuleAnchor = 0;

// The module that holds kModuleAnchor. A loaded image is one allocation
// whose base is its module handle, so VirtualQuery answers what
// GetModuleHandleEx(FROM_ADDRESS) would, on systems before XP too (IIS 5.0
// runs on Windows 2000, which lacks GetModuleHandleEx). Null with the last
// error when the query fails.
HMODULE ModuleOfAnchor() {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(&kModuleAnchor, &region, sizeof region) == 0) return nullptr;
  if (region.AllocationBase == nullptr) {
    SetLastErrorValue(kErrorGenFailure);
    return nullptr;
  }
  return static_cast<HMODULE>(region.AllocationBase);
}

}  // namespace

uint32_t GetModulePath(char* out, uint32_t size) {
  if (out == nullptr || size == 0) {
    SetLastErrorValue(kErrorInsufficientBuffer);
    return 0;
  }
  HMODULE module = ModuleOfAnchor();
  if (module == nullptr) {
    out[0] = '\0';
    SetLastErrorValue(LastErrorOr(kErrorGenFailure));
    return 0;
  }
  DWORD count = GetModuleFileNameA(module, out, size);
  if (count == 0) {
    out[0] = '\0';
    SetLastErrorValue(LastErrorOr(kErrorGenFailure));
    return 0;
  }
  if (count >= size) {
    // Cut. Older systems leave the text without its NUL then.
    out[size - 1] = '\0';
    SetLastErrorValue(kErrorInsufficientBuffer);
    return size - 1;
  }
  return count;
}

}  // namespace rg
