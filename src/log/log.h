// The daily log file and the rejection records written to it.
#pragma once

#include <cstdint>

#include "filter/context.h"
#include "platform/platform.h"
#include "policy/policy.h"

namespace rg {

// The one process-wide lock: rejection records, the change of log file and
// the lazy build of the block response.
extern PlatformLock LogLock;

// Opens (creating it and its directories) the log file of today's date,
// appends the header and the configuration summary, and makes it the
// policy's LogFile. The previous file, if any, is closed only once the new
// one is open: on failure LogFile and LogDate keep their values, so the
// caller can go on writing to the old file and try again later.
uint32_t OpenLogFile(FilterPolicy* policy);
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
// when the date has changed. context may be null.
void WriteRejection(FilterPolicy* policy, const ScanContext* context, uint32_t reason,
                    uint32_t matchIndex, uint32_t winError);

}  // namespace rg
