// The daily log file and the rejection records written to it.
#pragma once

#include <cstdint>

#include "filter/context.h"
#include "platform/platform.h"
#include "policy/policy.h"

namespace rg {

// The one process-wide lock: rejection records, the change of log file and
// the lazy build of the block response. Ready from the first use of the log
// on (EnsureLogLock) and kept for the life of the process, since policies
// come and go while others still write.
extern PlatformLock LogLock;
void EnsureLogLock();

// One log directory's day file, shared by every live policy of the process
// that writes to that directory, so a policy loaded again (a reload, a
// second virtual host) joins the file instead of being refused by the hold
// the first one has on it. Owned by the sink registry under LogLock.
struct LogSink {
  LogSink* next;         // registry chain
  uint32_t references;   // policies attached
  int32_t shared;        // opened for several processes
  char directory[256];
  char* path;            // the open file's path, null when none is open
  FileHandle file;       // kInvalidFile when none is open
  char date[52];         // "yyyyMMdd" of the open file
  // Records that could not be written since the last one that could; the
  // next record that can says so.
  uint64_t lost;
  // The last write stopped part-way through a line: the next one starts on
  // a line of its own.
  int32_t cut;
};

// Longest part of a request a record carries; the rest is replaced by a
// marker saying how much was left out.
constexpr uint32_t kRecordRequestLimit = 8 * 1024;

// Opens (creating it and its directories) the log file of today's date in
// policy->LogDirectory, or joins the sink another live policy already has
// there, and appends the header and this policy's configuration summary.
// The previous file of the sink, if any, is closed only once the new one is
// open: on failure the sink keeps its file and date, so the caller can go on
// writing to the old file and try again later. A symbolic link, FIFO or
// other non-regular file under the day's name is refused (1921, 1920).
uint32_t OpenLogFile(FilterPolicy* policy);
// Lets go of the policy's log; the last policy of a directory closes the
// file. Safe on a policy without a log and on a second call.
void CloseLog(FilterPolicy* policy);
// Records of this policy's log that could not be written and were not yet
// reported in the file.
uint64_t LostRecords(const FilterPolicy* policy);

// Creates each directory of a path, outermost first, up to its last
// separator. Returns 0 or the first creation error other than 183.
uint32_t CreateDirectories(char* path);
// "yyyy-MM-dd HH:mm:ss " (with its trailing space) into a 52-byte buffer.
void FormatTimestamp(char* out);
// "yyyyMMdd" into a buffer of at least 9 bytes.
void FormatLogDate(char* out);

// The reason field (message with its list argument) and the error field,
// NUL-terminated, within 1024 bytes.
void FormatReason(const FilterPolicy* policy, char* out, uint32_t reason, uint32_t matchIndex,
                  uint32_t winError);
// Writes one rejection line under LogLock, opening a new day's file first
// when the date has changed. context may be null. The line is one write of
// bounded size: the request part is cut at kRecordRequestLimit bytes.
void WriteRejection(FilterPolicy* policy, const ScanContext* context, uint32_t reason,
                    uint32_t matchIndex, uint32_t winError);
// The same for a record whose reason field is given as text (a framing
// refusal of a relaying host), with the request bytes given directly.
void WriteRecord(FilterPolicy* policy, const char* clientAddress, const char* reasonField,
                 const uint8_t* request, uint32_t requestLength);

}  // namespace rg
