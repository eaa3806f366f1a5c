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

struct LogSink;
// Opens the sink's file of the given day (again, when it was removed or
// replaced) and writes the header with the policy's summary. Under LogLock.
// On failure the sink keeps its old file.
uint32_t OpenSinkFileAt(LogSink* sink, const FilterPolicy* policy, const LocalTime* time);
// Writes bytes to the sink's file in one write, first ending a line an
// earlier failed write left cut. A record that cannot be written whole is
// counted as lost. Returns 1 when every byte was written. Under LogLock.
int WriteToSink(LogSink* sink, const char* bytes, uint32_t count, bool record);

}  // namespace rg
