// The daily log file: its name, its directories, its header, and the change
// to a new file when the date moves on.
#include <cstring>

#include "log/log.h"
#include "log/log_internal.h"

namespace rg {

namespace {

constexpr uint32_t kLineBufferSize = 1024;
constexpr uint32_t kDateBufferSize = 52;
constexpr uint32_t kSeekFailed = 0xFFFFFFFFu;

constexpr const char kHeaderFormat[] =
    "#Software: Olvaxi Ravelgard\r\n"
    "#Date: %s\r\n"
    "#Fields: date time c-ip reason winerr reqline\r\n";

void WriteText(FileHandle file, const char* text) {
  uint32_t written = 0;
  // A failed write is not worth more than the record it belongs to: the
  // next line is still attempted.
  FileWrite(file, text, static_cast<uint32_t>(std::strlen(text)), &written);
}

}  // namespace

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

uint32_t OpenLogFileAt(FilterPolicy* policy, const LocalTime* time) {
  if (policy == nullptr || policy->LogDirectory == nullptr) return kErrorInvalidParameter;

  char date[kDateBufferSize] = {};
  FormatLogDateAt(time, date);

  char separator[2] = {kPathSeparator, '\0'};
  char name[kDateBufferSize] = {};
  FormatText(name, sizeof name, "%sRavelgard.%s.log", separator, date);

  size_t directoryLength = std::strlen(policy->LogDirectory);
  size_t nameLength = std::strlen(name);
  char* path = static_cast<char*>(HeapAllocZero(directoryLength + nameLength + 1));
  if (path == nullptr) return LastErrorOr(kErrorNotEnoughMemory);
  std::memcpy(path, policy->LogDirectory, directoryLength);
  std::memcpy(path + directoryLength, name, nameLength);

  // Until the new file is open the old one stays the policy's log file, so a
  // day whose file cannot be created still has its records written
  // somewhere, and the next rejection tries the new file again.
  uint32_t error = CreateDirectories(path);
  if (error != 0) {
    HeapFreeBlock(path);
    return error;
  }

  // Reopening the file that is already open (same day, same directory) would
  // collide with our own write lock on it: let go of it first.
  if (policy->LogFile != kInvalidFile && std::strcmp(policy->LogDate, date) == 0) {
    FileClose(policy->LogFile);
    policy->LogFile = kInvalidFile;
  }

  FileHandle file = FileOpen(path, kAccessWrite, kShareRead, kOpenAlways);
  if (file == kInvalidFile) {
    error = LastErrorOr(kErrorGenFailure);
    HeapFreeBlock(path);
    return error;
  }
  HeapFreeBlock(path);

  SetLastErrorValue(0);
  if (FileSeekEnd(file) == kSeekFailed && GetLastErrorValue() != 0) {
    error = GetLastErrorValue();
    FileClose(file);
    return error;
  }

  if (policy->LogFile != kInvalidFile) FileClose(policy->LogFile);
  policy->LogFile = file;
  std::memcpy(policy->LogDate, date, sizeof policy->LogDate);

  char timestamp[kDateBufferSize] = {};
  FormatTimestampAt(time, timestamp);
  char header[kLineBufferSize];
  FormatText(header, sizeof header, kHeaderFormat, timestamp);
  WriteText(file, header);
  WriteConfigSummary(policy, file);
  return 0;
}

uint32_t OpenLogFile(FilterPolicy* policy) {
  LocalTime now;
  GetLocalTimeNow(&now);
  return OpenLogFileAt(policy, &now);
}

}  // namespace rg
