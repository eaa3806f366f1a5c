// Clock, date and text formatting, the lock and the module's own path on
// POSIX.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <iterator>
#include <new>

#include "platform/platform.h"

namespace rg {

// ---------------------------------------------------------------- time

#if defined(RG_TEST_HOOKS)
namespace {

// The test clock. The flag lets the real clock skip the mutex; the value is
// only read and written under it, so a reader never sees half of an update.
std::atomic<bool> g_testClockOn{false};
pthread_mutex_t g_testClockMutex = PTHREAD_MUTEX_INITIALIZER;
LocalTime g_testClock;

}  // namespace

void SetTestClock(const LocalTime* time) {
  pthread_mutex_lock(&g_testClockMutex);
  if (time != nullptr) g_testClock = *time;
  g_testClockOn.store(time != nullptr, std::memory_order_release);
  pthread_mutex_unlock(&g_testClockMutex);
}

#endif

void GetLocalTimeNow(LocalTime* out) {
  if (out == nullptr) return;
#if defined(RG_TEST_HOOKS)
  if (g_testClockOn.load(std::memory_order_acquire)) {
    pthread_mutex_lock(&g_testClockMutex);
    bool on = g_testClockOn.load(std::memory_order_relaxed);
    if (on) *out = g_testClock;
    pthread_mutex_unlock(&g_testClockMutex);
    if (on) return;
  }
#endif
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  time_t seconds = now.tv_sec;
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr) {
    std::memset(out, 0, sizeof *out);
    SetLastErrorValue(WinErrorFromErrno(errno));
    return;
  }
  out->year = uint16_t(local.tm_year + 1900);
  out->month = uint16_t(local.tm_mon + 1);
  out->dayOfWeek = uint16_t(local.tm_wday);
  out->day = uint16_t(local.tm_mday);
  out->hour = uint16_t(local.tm_hour);
  out->minute = uint16_t(local.tm_min);
  out->second = uint16_t(local.tm_sec);
  out->milliseconds = uint16_t(now.tv_nsec / 1000000);
}

namespace {

struct Picture {
  const char* token;
  uint16_t LocalTime::*field;
  int width;
};

constexpr Picture kDatePictures[] = {
    {"yyyy", &LocalTime::year, 4}, {"MM", &LocalTime::month, 2}, {"dd", &LocalTime::day, 2}};
constexpr Picture kTimePictures[] = {
    {"HH", &LocalTime::hour, 2}, {"mm", &LocalTime::minute, 2}, {"ss", &LocalTime::second, 2}};

// Formats after the picture; fields come out in decimal, zero-padded to the
// token's width. Every other character is copied as it is. The length is
// measured in full first so that a short buffer fails instead of receiving a
// text that looks complete.
int FormatPicture(const LocalTime* time, const char* picture, char* out, int size,
                  const Picture* tokens, size_t tokenCount) {
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
  int length = 0;
  auto put = [&](char c) {
    if (length < size) out[length] = c;
    ++length;
  };
  for (const char* p = picture; *p != '\0';) {
    const Picture* match = nullptr;
    for (size_t i = 0; i < tokenCount && match == nullptr; ++i)
      if (std::strncmp(p, tokens[i].token, std::strlen(tokens[i].token)) == 0) match = &tokens[i];
    if (match == nullptr) {
      put(*p++);
      continue;
    }
    p += std::strlen(match->token);
    char digits[8];
    int n = 0;
    for (unsigned v = time->*(match->field); v != 0 || n == 0; v /= 10)
      digits[n++] = char('0' + v % 10);
    for (int pad = n; pad < match->width; ++pad) put('0');
    while (n > 0) put(digits[--n]);
  }
  if (length + 1 > size) {
    if (size > 0) out[0] = '\0';
    SetLastErrorValue(kErrorInsufficientBuffer);
    return 0;
  }
  out[length] = '\0';
  return length + 1;
}

}  // namespace

int FormatDate(const LocalTime* time, const char* picture, char* out, int size) {
  return FormatPicture(time, picture, out, size, kDatePictures, std::size(kDatePictures));
}

int FormatTime(const LocalTime* time, const char* picture, char* out, int size) {
  return FormatPicture(time, picture, out, size, kTimePictures, std::size(kTimePictures));
}

// ---------------------------------------------------------------- text

// Written by hand rather than over vsnprintf: the log's bytes must not
// depend on the process locale, and only %s, %d and %% are ever needed.
// Any other '%' is copied as it is, and consumes no argument.
int FormatText(char* out, uint32_t size, const char* format, ...) {
  if (out == nullptr || size == 0) return 0;
  uint32_t length = 0;
  const uint32_t limit = size - 1;
  auto put = [&](char c) {
    if (length < limit) out[length++] = c;
  };
  va_list args;
  va_start(args, format);
  for (const char* p = format; p != nullptr && *p != '\0' && length < limit; ++p) {
    if (*p != '%') {
      put(*p);
      continue;
    }
    char conversion = p[1];
    if (conversion == 's') {
      const char* text = va_arg(args, const char*);
      if (text == nullptr) text = "(null)";
      while (*text != '\0' && length < limit) put(*text++);
      ++p;
    } else if (conversion == 'd') {
      int32_t value = va_arg(args, int32_t);
      // Negated as unsigned so that INT32_MIN has a magnitude too.
      uint32_t magnitude = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
      char digits[10];
      int n = 0;
      do {
        digits[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
      } while (magnitude != 0);
      if (value < 0) put('-');
      while (n > 0) put(digits[--n]);
      ++p;
    } else if (conversion == '%') {
      put('%');
      ++p;
    } else {
      put('%');
    }
  }
  va_end(args);
  out[length] = '\0';
  return int(length);
}

// ---------------------------------------------------------------- lock

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatformLock::storage),
              "the lock storage must hold a pthread mutex");
static_assert(alignof(pthread_mutex_t) <= alignof(PlatformLock),
              "the lock storage must be aligned for a pthread mutex");

pthread_mutex_t* MutexOf(PlatformLock* lock) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(lock->storage));
}

}  // namespace

// Recursive, like a Windows critical section: a thread that holds the lock
// may enter it again, and must leave it as often.
void LockInit(PlatformLock* lock) {
  if (lock == nullptr) return;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (lock->storage) pthread_mutex_t, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void LockEnter(PlatformLock* lock) {
  if (lock != nullptr) pthread_mutex_lock(MutexOf(lock));
}

void LockLeave(PlatformLock* lock) {
  if (lock != nullptr) pthread_mutex_unlock(MutexOf(lock));
}

void LockDelete(PlatformLock* lock) {
  if (lock != nullptr) pthread_mutex_destroy(MutexOf(lock));
}

// ---------------------------------------------------------------- module

namespace {

// An address inside this code: in the shared object when the core is linked
// into one, in the executable otherwise.
const char kModuleAnchor = 0;

}  // namespace

uint32_t GetModulePath(char* out, uint32_t size) {
  if (out == nullptr || size == 0) {
    SetLastErrorValue(kErrorInsufficientBuffer);
    return 0;
  }
  char resolved[PATH_MAX];
  const char* path = nullptr;
  Dl_info info;
  struct link_map* map = nullptr;
  if (dladdr1(&kModuleAnchor, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
    // A shared object: its name as the loader found it, made absolute when
    // the host loaded it by a relative path.
    if (map->l_name[0] == '/')
      path = map->l_name;
    else if (realpath(map->l_name, resolved) != nullptr)
      path = resolved;
  }
  if (path == nullptr) {
    // The executable: the loader knows it only by argv[0], which need not be
    // a path at all.
    ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
    if (n <= 0) {
      SetLastErrorValue(n < 0 ? WinErrorFromErrno(errno) : kErrorGenFailure);
      out[0] = '\0';
      return 0;
    }
    resolved[n] = '\0';
    path = resolved;
  }
  size_t length = std::strlen(path);
  if (length > size - 1) {
    length = size - 1;
    SetLastErrorValue(kErrorInsufficientBuffer);  // cut, as GetModuleFileName reports it
  }
  std::memcpy(out, path, length);
  out[length] = '\0';
  return uint32_t(length);
}

}  // namespace rg
