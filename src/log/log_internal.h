// Clock-taking forms of the log file operations, shared by the log's own
// sources. A rejection reads the clock once and uses that one reading for the
// date test, the new file's name and header, and the record's timestamp, so a
// record written across midnight never lands in a file of another day than
// its own timestamp.
#pragma once

#include "platform/platform.h"
#include "policy/policy.h"

namespace rg {

// FormatTimestamp / FormatLogDate for a given time.
void FormatTimestampAt(const LocalTime* time, char* out);
void FormatLogDateAt(const LocalTime* time, char* out);
// OpenLogFile for a given time (the date of the file and of its header).
uint32_t OpenLogFileAt(FilterPolicy* policy, const LocalTime* time);

}  // namespace rg
