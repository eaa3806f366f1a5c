// The daily log file: its name, its directories, its header, the change to
// a new file when the date moves on, and the sinks that let several live
// policies of one process write to the same directory.
#include <cstring>
#include <atomic>

#include "log/log.h"
#include "log/log_internal.h"

namespace rg {

PlatformLock LogLock;

namespace {

constexpr uint32_t kLineBufferSize = 1024;
constexpr uint32_t kDateBufferSize = 52;

constexpr const char kHeaderFormat[] =
    "#Software: Olvaxi Ravelgard\r\n"
    "#Date: %s\r\n"
    "#Fields: date time c-ip reason winerr reqline\r\n";
constexpr const char kOpenDirectoryWarning[] =
    "#Warning: every user may create files in this log directory\r\n";

// LogLock's making: 0 not begun, 1 under way, 2 done. Not std::call_once:
// on Windows that pulls in a threads library whose imports (GetTickCount64)
// the systems of IIS 5.x and 6.0 lack, and the DLL would not load there.
std::atomic<int> g_logLockState{0};
// Every live sink of the process; guarded by LogLock.
LogSink* g_sinks = nullptr;

// A heap text that grows as lines are added; a failed growth stops adding
// (the block written is then cut at a line end, never inside one).
struct TextBlock {
  char* bytes;
  size_t used;
  size_t capacity;
  bool failed;
};

void Append(TextBlock* block, const char* text, size_t length) {
  if (block->failed) return;
  if (block->used + length > block->capacity) {
    size_t capacity = block->capacity == 0 ? 4096 : block->capacity;
    while (capacity < block->used + length) capacity *= 2;
    void* grown = HeapGrowZero(block->bytes, block->capacity, capacity);
    if (grown == nullptr) {
      block->failed = true;
      return;
    }
    block->bytes = static_cast<char*>(grown);
    block->capacity = capacity;
  }
  std::memcpy(block->bytes + block->used, text, length);
  block->used += length;
}

void AppendLine(void* user, const char* line, uint32_t length) {
  Append(static_cast<TextBlock*>(user), line, length);
}

// The path of the day's file: the directory, the separator and the name.
char* DayFilePath(const char* directory, const char* date) {
  char separator[2] = {kPathSeparator, '\0'};
  char name[kDateBufferSize] = {};
  FormatText(name, sizeof name, "%sRavelgard.%s.log", separator, date);
  size_t directoryLength = std::strlen(directory);
  size_t nameLength = std::strlen(name);
  char* path = static_cast<char*>(HeapAllocZero(directoryLength + nameLength + 1));
  if (path == nullptr) return nullptr;
  std::memcpy(path, directory, directoryLength);
  std::memcpy(path + directoryLength, name, nameLength);
  return path;
}

void ForgetFile(LogSink* sink) {
  if (sink->file != kInvalidFile) FileClose(sink->file);
  sink->file = kInvalidFile;
  HeapFreeBlock(sink->path);
  sink->path = nullptr;
}

// The header and the policy's summary, written in one piece so that in a
// log shared by several processes no record lands between its lines.
void WriteHeader(LogSink* sink, const FilterPolicy* policy, const LocalTime* time) {
  char timestamp[kDateBufferSize] = {};
  FormatTimestampAt(time, timestamp);
  char header[kLineBufferSize];
  int headerLength = FormatText(header, sizeof header, kHeaderFormat, timestamp);

  TextBlock block = {};
  Append(&block, header, static_cast<size_t>(headerLength));
  if (DirectoryOpenToOthers(sink->directory))
    Append(&block, kOpenDirectoryWarning, sizeof kOpenDirectoryWarning - 1);
  ForEachSummaryLine(policy, AppendLine, &block);
  if (block.failed) {
    // Without memory for the whole summary, the header alone still tells a
    // reader where the file's records begin.
    HeapFreeBlock(block.bytes);
    block = TextBlock{};
    Append(&block, header, static_cast<size_t>(headerLength));
  }
  if (!block.failed) WriteToSink(sink, block.bytes, static_cast<uint32_t>(block.used), false);
  HeapFreeBlock(block.bytes);
}

}  // namespace

void EnsureLogLock() {
  if (g_logLockState.load(std::memory_order_acquire) == 2) return;
  int expected = 0;
  if (g_logLockState.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
    LockInit(&LogLock);
    g_logLockState.store(2, std::memory_order_release);
    return;
  }
  // Another thread is making it right now, which takes a moment only.
  while (g_logLockState.load(std::memory_order_acquire) != 2) {
  }
}

void FormatTimestampAt(const LocalTime* time, char* out) {
  char date[20] = {};
  char clock[20] = {};
  if (FormatDate(time, "yyyy-MM-dd", date, sizeof date) == 0) date[0] = '\0';
  if (FormatTime(time, "HH:mm:ss", clock, sizeof clock) == 0) clock[0] = '\0';
  FormatText(out, kDateBufferSize, "%s %s ", date, clock);
}

void FormatLogDateAt(const LocalTime* time, char* out) {
  if (FormatDate(time, "yyyyMMdd", out, 9) == 0) out[0] = '\0';
}

void FormatTimestamp(char* out) {
  LocalTime now;
  GetLocalTimeNow(&now);
  FormatTimestampAt(&now, out);
}

void FormatLogDate(char* out) {
  LocalTime now;
  GetLocalTimeNow(&now);
  FormatLogDateAt(&now, out);
}

uint32_t CreateDirectories(char* path) {
  size_t length = std::strlen(path);
  // The root ("/" here, "C:\" on Windows) is never created; a path no longer
  // than it has no directory of its own.
  for (size_t i = kPathRootLength; i < length; ++i) {
    if (path[i] != kPathSeparator) continue;
    path[i] = '\0';
    int created = DirectoryCreate(path);
    uint32_t error = created ? 0 : LastErrorOr(kErrorGenFailure);
    path[i] = kPathSeparator;
    if (!created && error != kErrorAlreadyExists) return error;
  }
  return 0;
}

int WriteToSink(LogSink* sink, const char* bytes, uint32_t count, bool record) {
  if (sink->file == kInvalidFile) {
    if (record) ++sink->lost;
    return 0;
  }
  // A line cut by an earlier failed write is ended first, in its own write:
  // the text that follows must not be glued onto it.
  if (sink->cut) {
    uint32_t written = 0;
    if (!FileWrite(sink->file, "\r\n", 2, &written) || written != 2) {
      if (record) ++sink->lost;
      return 0;
    }
    sink->cut = 0;
  }
  uint32_t written = 0;
  int ok = FileWrite(sink->file, bytes, count, &written);
  if (ok && written == count) return 1;
  if (written > 0) sink->cut = 1;
  if (record) ++sink->lost;
  return 0;
}

uint32_t OpenSinkFileAt(LogSink* sink, const FilterPolicy* policy, const LocalTime* time) {
  char date[kDateBufferSize] = {};
  FormatLogDateAt(time, date);
  char* path = DayFilePath(sink->directory, date);
  if (path == nullptr) return LastErrorOr(kErrorNotEnoughMemory);

  // Until the new file is open the old one stays the sink's file, so a day
  // whose file cannot be created still has its records written somewhere,
  // and the next rejection tries the new file again.
  uint32_t error = CreateDirectories(path);
  if (error != 0) {
    HeapFreeBlock(path);
    return error;
  }

  // The file of the same name is being opened again (it was removed or
  // replaced): our own hold on the old one must not stand in the way.
  if (sink->path != nullptr && std::strcmp(sink->path, path) == 0) ForgetFile(sink);

  uint32_t share = sink->shared ? (kShareRead | kShareWrite) : kShareRead;
  FileHandle file = FileOpenAppend(path, share);
  if (file == kInvalidFile) {
    error = LastErrorOr(kErrorGenFailure);
    HeapFreeBlock(path);
    return error;
  }

  ForgetFile(sink);
  sink->file = file;
  sink->path = path;
  sink->cut = 0;
  std::memcpy(sink->date, date, sizeof sink->date);
  WriteHeader(sink, policy, time);
  return 0;
}

uint32_t OpenLogFileAt(FilterPolicy* policy, const LocalTime* time) {
  if (policy == nullptr || policy->LogDirectory == nullptr) return kErrorInvalidParameter;
  EnsureLogLock();
  LockEnter(&LogLock);

  uint32_t error = 0;
  LogSink* sink = policy->Log;
  if (sink == nullptr) {
    for (LogSink* s = g_sinks; s != nullptr; s = s->next)
      if (std::strcmp(s->directory, policy->LogDirectory) == 0) sink = s;
  }

  if (sink != nullptr) {
    // Joining a sink another policy keeps: today's file is already open
    // there (or opens now), and gets this policy's summary so the records
    // that follow can be read against the rules that made them.
    char date[kDateBufferSize] = {};
    FormatLogDateAt(time, date);
    if (sink->file == kInvalidFile || std::strcmp(sink->date, date) != 0)
      error = OpenSinkFileAt(sink, policy, time);
    else
      WriteHeader(sink, policy, time);
    if (error == 0 && policy->Log == nullptr) {
      ++sink->references;
      policy->Log = sink;
    }
    LockLeave(&LogLock);
    return error;
  }

  sink = static_cast<LogSink*>(HeapAllocZero(sizeof(LogSink)));
  if (sink == nullptr) {
    error = AllocationError();
    LockLeave(&LogLock);
    return error;
  }
  sink->file = kInvalidFile;
  sink->shared = policy->LogShared != 0;
  size_t length = std::strlen(policy->LogDirectory);
  if (length >= sizeof sink->directory) length = sizeof sink->directory - 1;
  std::memcpy(sink->directory, policy->LogDirectory, length);

  error = OpenSinkFileAt(sink, policy, time);
  if (error != 0) {
    HeapFreeBlock(sink);
    LockLeave(&LogLock);
    return error;
  }
  sink->references = 1;
  sink->next = g_sinks;
  g_sinks = sink;
  policy->Log = sink;
  LockLeave(&LogLock);
  return 0;
}

uint32_t OpenLogFile(FilterPolicy* policy) {
  LocalTime now;
  GetLocalTimeNow(&now);
  return OpenLogFileAt(policy, &now);
}

void CloseLog(FilterPolicy* policy) {
  if (policy == nullptr || policy->Log == nullptr) return;
  EnsureLogLock();
  LockEnter(&LogLock);
  LogSink* sink = policy->Log;
  policy->Log = nullptr;
  if (--sink->references == 0) {
    for (LogSink** link = &g_sinks; *link != nullptr; link = &(*link)->next) {
      if (*link == sink) {
        *link = sink->next;
        break;
      }
    }
    ForgetFile(sink);
    HeapFreeBlock(sink);
  }
  LockLeave(&LogLock);
}

uint64_t LostRecords(const FilterPolicy* policy) {
  if (policy == nullptr || policy->Log == nullptr) return 0;
  EnsureLogLock();
  LockEnter(&LogLock);
  uint64_t lost = policy->Log->lost;
  LockLeave(&LogLock);
  return lost;
}

}  // namespace rg
