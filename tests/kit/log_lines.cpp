#include "kit/log_lines.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "kit/test_kit.h"

namespace rg::test {

namespace fs = std::filesystem;

std::vector<std::string> LogFiles(const std::string& directory) {
  std::vector<std::string> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    std::string name = it->path().filename().string();
    if (it->is_regular_file() && name.rfind("Ravelgard.", 0) == 0 && name.size() > 4 &&
        name.compare(name.size() - 4, 4, ".log") == 0)
      files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string ReadLogs(const std::string& directory) {
  std::string all;
  for (const std::string& file : LogFiles(directory)) all += ReadTextFile(file);
  return all;
}

bool ParseRecord(std::string_view line, LogRecord* out) {
  // "yyyy-MM-dd HH:mm:ss " then the client, " [reason] ", "[error] ", "[request]".
  static const char kPicture[] = "dddd-dd-dd dd:dd:dd ";
  if (line.size() < sizeof(kPicture) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kPicture); ++i) {
    bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if (kPicture[i] == 'd' ? !digit : line[i] != kPicture[i]) return false;
  }
  LogRecord record;
  record.time = std::string(line.substr(0, 19));
  std::string_view rest = line.substr(20);
  size_t space = rest.find(' ');
  if (space == std::string_view::npos || space == 0) return false;
  record.client = std::string(rest.substr(0, space));
  rest = rest.substr(space);
  if (rest.substr(0, 2) != " [") return false;
  size_t errorField = rest.find("] [Win error ");
  size_t noError = rest.find("] [-] [");
  size_t end = std::min(errorField, noError);
  if (end == std::string_view::npos) return false;
  record.reason = std::string(rest.substr(2, end - 2));
  rest = rest.substr(end + 3);  // at the error text
  size_t close = rest.find("] [");
  if (close == std::string_view::npos) return false;
  record.error = std::string(rest.substr(0, close));
  if (record.error != "-") {
    std::string_view number = std::string_view(record.error).substr(10);
    if (number.empty() || number.find_first_not_of("-0123456789") != std::string_view::npos)
      return false;
  }
  rest = rest.substr(close + 3);
  if (rest.empty() || rest.back() != ']') return false;
  record.request = std::string(rest.substr(0, rest.size() - 1));
  *out = record;
  return true;
}

std::vector<std::string> RecordLines(std::string_view log) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find("\r\n", start);
    if (end == std::string_view::npos) end = log.size();  // a last line without its CR LF
    std::string_view line = log.substr(start, end - start);
    if (line.empty() || line[0] != '#') lines.emplace_back(line);
    start = end + 2;
  }
  return lines;
}

}  // namespace rg::test
