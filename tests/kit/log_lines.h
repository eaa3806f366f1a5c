// Reading the day's log files back: which files there are, their records
// split into fields.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rg::test {

// Paths of the log files (Ravelgard.*.log) under a directory, searched
// recursively, in name order.
std::vector<std::string> LogFiles(const std::string& directory);
// Every log file under a directory, concatenated in name order.
std::string ReadLogs(const std::string& directory);

// One rejection line split into its fields.
struct LogRecord {
  std::string time;     // "yyyy-MM-dd HH:mm:ss"
  std::string client;   // address or "[-]"
  std::string reason;   // message text between the brackets
  std::string error;    // "-" or "Win error N"
  std::string request;  // text between the last brackets
};
// Parses one line (without its CR LF); false when it does not have the
// record layout.
bool ParseRecord(std::string_view line, LogRecord* out);
// The record lines of a log (header and summary lines left out). A line that
// is neither a "#" line nor a whole record is returned as it is, so a torn
// line shows up in the comparison.
std::vector<std::string> RecordLines(std::string_view log);

}  // namespace rg::test
