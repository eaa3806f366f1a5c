// The daily log file, its header, the change of file at midnight, and the
// rejection records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/reason.h"
#include "kit/test_kit.h"

namespace rg {
namespace {

using test::At;
using test::ReadTextFile;
using test::TempDir;
using test::TestClock;
using test::WriteTextFile;

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void Collect(void* user, const char* line, uint32_t length) {
  static_cast<std::string*>(user)->append(line, length);
}

std::string Summary(const FilterPolicy* p) {
  std::string text;
  ForEachSummaryLine(p, Collect, &text);
  return text;
}

std::string Header(const char* timestamp) {
  return std::string("#Software: Olvaxi Ravelgard\r\n#Date: ") + timestamp +
         "\r\n#Fields: date time c-ip reason winerr reqline\r\n";
}

std::string LastLine(const std::string& text) {
  if (text.size() < 2) return text;
  size_t start = text.rfind("\r\n", text.size() - 3);
  return start == std::string::npos ? text : text.substr(start + 2);
}

// A hand-made connection record over a request held by the test.
struct Request {
  std::string bytes;
  std::string address;
  ScanContext context = {};
  Request(std::string b, uint32_t lineComplete, uint32_t lineEnd, std::string a = "10.0.0.5")
      : bytes(std::move(b)), address(std::move(a)) {
    context.data = bytes.empty() ? nullptr : reinterpret_cast<uint8_t*>(bytes.data());
    context.length = static_cast<uint32_t>(bytes.size());
    context.lineComplete = lineComplete;
    context.lineEnd = lineEnd;
    context.clientAddress = address.data();
  }
};

TEST(LogDates, FormattedFromTheLocalClock) {
  struct Case {
    LocalTime time;
    const char* timestamp;
    const char* logDate;
  };
  const std::vector<Case> cases = {
      {At(2024, 3, 5, 14, 7, 9), "2024-03-05 14:07:09 ", "20240305"},
      {At(1999, 12, 31, 23, 59, 59), "1999-12-31 23:59:59 ", "19991231"},
      {At(2025, 1, 1, 0, 0, 0), "2025-01-01 00:00:00 ", "20250101"},
  };
  for (const Case& c : cases) {
    TestClock clock(c.time);
    char timestamp[52];
    char date[52];
    std::memset(timestamp, 'x', sizeof timestamp);
    std::memset(date, 'x', sizeof date);
    FormatTimestamp(timestamp);
    FormatLogDate(date);
    EXPECT_STREQ(timestamp, c.timestamp);
    EXPECT_STREQ(date, c.logDate);
  }
}

// Restores the working directory on the way out.
struct WorkingDirectory {
  std::string saved = std::filesystem::current_path().string();
  explicit WorkingDirectory(const std::string& to) { std::filesystem::current_path(to); }
  ~WorkingDirectory() { std::filesystem::current_path(saved); }
};

TEST(CreateDirectories, CreatesEachDirectoryOfThePathOutermostFirst) {
  struct Case {
    const char* name;
    const char* before;     // a regular file to put in the way, or ""
    const char* path;       // relative to the temporary directory
    uint32_t error;
    std::vector<const char*> directories;  // that exist afterwards
  };
  const std::vector<Case> cases = {
      // mkdir of an inner directory fails with 3 while its parent is
      // missing, so success here shows the outer one came first.
      {"nested", "", "a/b/c/Ravelgard.log", 0, {"a", "a/b", "a/b/c"}},
      {"one-letter first component", "", "x/y.log", 0, {"x"}},
      {"no directory part", "", "Ravelgard.log", 0, {}},
      {"doubled separator", "", "d//e/f.log", 0, {"d", "d/e"}},
      {"file in the way", "blocker", "blocker/logs/f.log", kErrorPathNotFound, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WorkingDirectory cwd(dir.path);
    if (c.before[0] != '\0') WriteTextFile(c.before, "x");
    std::string path = c.path;
    // Relative first, then the same path made absolute (where the root is
    // skipped): both must give the same directories.
    for (std::string p : {path, dir.path + "/" + path}) {
      std::vector<char> buffer(p.begin(), p.end());
      buffer.push_back('\0');
      EXPECT_EQ(CreateDirectories(buffer.data()), c.error);
      EXPECT_STREQ(buffer.data(), p.c_str()) << "the path comes back unchanged";
    }
    for (const char* d : c.directories) EXPECT_TRUE(IsDirectory(d)) << d;
    EXPECT_FALSE(IsDirectory(c.path)) << "the file part is never a directory";
  }
}

// Each test gets a policy whose log directory lies in a fresh temporary
// directory and the test clock on 5 March 2024.
struct LogTest : ::testing::Test {
  TempDir dir;
  TestClock clock{At(2024, 3, 5, 14, 7, 9)};
  FilterPolicy* policy = nullptr;

  void SetUp() override {
    policy = test::NewDefaultPolicy();
    test::SetList(&policy->Verbs, {"GET", "TRACE"});
    SetLogDirectory(dir.path + "/logs");
  }
  void TearDown() override { FreePolicy(policy); }
  void SetLogDirectory(const std::string& d) { test::SetText(policy->LogDirectory, d); }
  std::string LogPath(const char* date) const {
    return std::string(policy->LogDirectory) + "/Ravelgard." + date + ".log";
  }
  std::string Opening(const char* timestamp) const { return Header(timestamp) + Summary(policy); }
  std::string Record(const std::string& rest) const { return "2024-03-05 14:07:09 " + rest; }
};

TEST_F(LogTest, OpenCreatesDirectoriesAndWritesHeaderAndSummary) {
  SetLogDirectory(dir.path + "/var/log/ravelgard");
  ASSERT_EQ(OpenLogFile(policy), 0u);
  ASSERT_NE(policy->Log, nullptr);
  EXPECT_NE(policy->Log->file, kInvalidFile);
  EXPECT_STREQ(policy->Log->date, "20240305");
  std::string text = ReadTextFile(LogPath("20240305"));
  // The #Date line carries the timestamp's own trailing space before CR LF.
  std::string head =
      "#Software: Olvaxi Ravelgard\r\n"
      "#Date: 2024-03-05 14:07:09 \r\n"
      "#Fields: date time c-ip reason winerr reqline\r\n"
      "#*********************** Configuration (begin)";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text, Opening("2024-03-05 14:07:09 "));
}

TEST_F(LogTest, ExistingFileIsAppendedToWithAnotherHeader) {
  std::filesystem::create_directories(policy->LogDirectory);
  WriteTextFile(LogPath("20240305"), "earlier content\r\n");
  ASSERT_EQ(OpenLogFile(policy), 0u);
  CloseLog(policy);
  EXPECT_EQ(policy->Log, nullptr);

  clock.Set(At(2024, 3, 5, 18, 30, 0));
  ASSERT_EQ(OpenLogFile(policy), 0u);
  EXPECT_EQ(ReadTextFile(LogPath("20240305")),
            "earlier content\r\n" + Opening("2024-03-05 14:07:09 ") +
                Opening("2024-03-05 18:30:00 "));
}

// Opening today's file again while it is open must not trip over the
// filter's own write lock on it.
TEST_F(LogTest, ReopeningTodaysOpenFileAppends) {
  ASSERT_EQ(OpenLogFile(policy), 0u);
  ASSERT_EQ(OpenLogFile(policy), 0u);
  ASSERT_NE(policy->Log, nullptr);
  EXPECT_NE(policy->Log->file, kInvalidFile);
  EXPECT_EQ(ReadTextFile(LogPath("20240305")),
            Opening("2024-03-05 14:07:09 ") + Opening("2024-03-05 14:07:09 "));
}

TEST_F(LogTest, DirectoryThatCannotBeCreatedFailsTheOpenAndChangesNothing) {
  WriteTextFile(dir.File("blocker"), "a regular file where a directory should be");
  SetLogDirectory(dir.path + "/blocker/logs");
  EXPECT_EQ(OpenLogFile(policy), kErrorPathNotFound);
  EXPECT_EQ(policy->Log, nullptr);
}

TEST_F(LogTest, RecordLineLayout) {
  policy->Verbs.flag = 0;
  ASSERT_EQ(OpenLogFile(policy), 0u);
  Request trace("TRACE / HTTP/1.1\r\nHost: server1\r\n\r\n", 1, 16);
  WriteRejection(policy, &trace.context, kReasonVerbDenied, 1, 0);
  WriteRejection(policy, nullptr, kReasonWindowsError, 0, 8);
  EXPECT_EQ(ReadTextFile(LogPath("20240305")),
            Opening("2024-03-05 14:07:09 ") +
                "2024-03-05 14:07:09 10.0.0.5 [Denied verb 'TRACE' found in Url] [-] "
                "[TRACE / HTTP/1.1]\r\n"
                "2024-03-05 14:07:09 [-] [Windows returned an error] [Win error 8] [-]\r\n");
}

TEST_F(LogTest, ReasonFieldsWithTheirArguments) {
  FilterPolicy* p = policy;
  test::SetList(&p->Verbs, {"GET", "TRACE"});
  test::SetList(&p->Extensions, {".exe", ".ini"});
  test::SetList(&p->UrlSequences, {"..", "./"});
  test::SetList(&p->QuerySequences, {"<", "'"});
  test::SetList(&p->DeniedHeaderNames, {"Translate", "If:"});
  test::SetLimits(&p->HeaderLimits, {{"Cookie", 900}, {"Referer", -1}});
  struct Case {
    uint32_t reason;
    uint32_t matchIndex;
    uint32_t winError;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {4, 1, 0, " [Denied verb 'TRACE' found in Url] [-] "},
      {11, 1, 0, " [Denied extension '.ini' found in Url] [-] "},
      {14, 0, 0, " [Unallowed sequence '..' found in Url] [-] "},
      {15, 1, 0, " [Unallowed sequence ''' found in Query] [-] "},
      {26, 1, 0, " [Unallowed header name 'If:'] [-] "},
      {30, 0, 0, " [Request header 'Cookie' value exceeds allowed length (900)] [-] "},
      {30, 1, 0, " [Request header 'Referer' value exceeds allowed length (-1)] [-] "},
      {0, 0, 0, " [No Error] [-] "},
      {9, 7, 0, " [Dot found in Url before extension] [-] "},
      {34, 0, 8, " [Windows returned an error] [Win error 8] "},
      {34, 0, 0, " [Windows returned an error] [-] "},
      {6, 0, 122, " [Url exceeds allowed length] [Win error 122] "},
      {34, 0, 0x80004005u, " [Windows returned an error] [Win error -2147467259] "},
      // An index beyond the list, or a code beyond the table, is a fault of
      // the caller; neither must be read past its end.
      {4, 9, 0, " [Denied verb '-' found in Url] [-] "},
      {30, 5, 0, " [Request header '-' value exceeds allowed length (-1)] [-] "},
      {40, 0, 0, " [Request head exceeds allowed length] [-] "},
      // The framer names what it refused; matchIndex carries its code.
      {41, 1, 0, " [Ambiguous framing: Content-Length with Transfer-Encoding] [-] "},
      {41, 999, 0, " [Malformed message] [-] "},
      {kReasonCount, 0, 0, " [Unknown reason 42] [-] "},
      {0xFFFFFFFFu, 0, 0, " [Unknown reason -1] [-] "},
  };
  for (const Case& c : cases) {
    char out[1024] = {};
    FormatReason(p, out, c.reason, c.matchIndex, c.winError);
    EXPECT_STREQ(out, c.expected) << "reason " << c.reason;
  }
}

TEST_F(LogTest, EveryReasonMessageIsBracketedBetweenSpaces) {
  for (uint32_t reason = 0; reason < kReasonCount; ++reason) {
    std::string m = kReasonMessages[reason];
    ASSERT_GE(m.size(), 4u);
    EXPECT_EQ(m.substr(0, 2), " [") << reason;
    EXPECT_EQ(m.substr(m.size() - 2), "] ") << reason;
  }
}

// A list entry can be nearly as long as the INI file; the error field must
// still fit whole in the 1024 bytes.
TEST_F(LogTest, OverlongReasonIsCutSoTheErrorFieldFits) {
  std::string longEntry(3000, 'e');
  test::SetList(&policy->UrlSequences, {longEntry});
  for (uint32_t winError : {0u, 8u, 0x80000000u}) {
    char out[1024];
    std::memset(out, 0x55, sizeof out);
    FormatReason(policy, out, kReasonUrlSequence, 0, winError);
    std::string text(out, strnlen(out, sizeof out));
    ASSERT_LT(text.size(), sizeof out) << "NUL-terminated within the buffer";
    EXPECT_EQ(text.size(), 1023u);
    std::string error = winError == 0          ? "[-] "
                        : winError == 8        ? "[Win error 8] "
                                               : "[Win error -2147483648] ";
    EXPECT_EQ(text.substr(text.size() - error.size()), error);
    EXPECT_EQ(text.substr(0, 24), " [Unallowed sequence 'ee");
  }
}

// The request field: what is taken from the connection's bytes, and how
// control bytes are kept from breaking or forging log lines.
TEST_F(LogTest, RequestField) {
  ASSERT_EQ(OpenLogFile(policy), 0u);
  struct Case {
    const char* name;
    std::string bytes;
    uint32_t lineComplete;
    uint32_t lineEnd;
    std::string field;
  };
  std::string big = std::string(5000, 'a') + "\n" + std::string(5000, 'b');
  const std::vector<Case> cases = {
      {"complete line without its CR LF", "GET /a HTTP/1.1\r\nHost: h\r\n\r\n", 1, 15,
       "[GET /a HTTP/1.1]"},
      {"request cut before its first CR LF", "GET /abc HTTP/1.", 0, 0, "[GET /abc HTTP/1.]"},
      {"forged line in a cut request",
       "GET /\n2024-03-05 14:07:09 10.9.9.9 [No Error] [-] [x]\r", 0, 0,
       "[GET /%0A2024-03-05 14:07:09 10.9.9.9 [No Error] [-] [x]%0D]"},
      {"control bytes", std::string("a\x00\x01\x1F\x7F" "b", 6), 0, 0, "[a%00%01%1F%7Fb]"},
      {"other bytes stay", "%41 ~\x80\xFF\x20", 0, 0, "[%41 ~\x80\xFF ]"},
      {"tab in a complete line", "GET /a\tb HTTP/1.0\r\n", 1, 17, "[GET /a%09b HTTP/1.0]"},
      // The field holds at most 8 KiB of escaped text, then says what it left
      // out: 5000 + 3 + 3189 characters from 8190 of the 10001 bytes.
      {"large request", big, 0, 0,
       std::string("[").append(5000, 'a').append("%0A").append(3189, 'b').append(
           "...(cut, 8190 of 10001 bytes shown)]")},
      {"no bytes yet", "", 0, 0, "[-]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Request r(c.bytes, c.lineComplete, c.lineEnd);
    WriteRejection(policy, &r.context, kReasonIncorrectRequestLine, 0, 0);
    std::string text = ReadTextFile(LogPath("20240305"));
    std::string want = Record("10.0.0.5 [Incorrect Request Line] [-] " + c.field + "\r\n");
    ASSERT_GE(text.size(), want.size());
    EXPECT_EQ(text.substr(text.size() - want.size()), want);
  }
}

TEST_F(LogTest, ClientAddressPlaceholder) {
  ASSERT_EQ(OpenLogFile(policy), 0u);
  Request noAddress("GET", 0, 0, "");
  WriteRejection(policy, &noAddress.context, kReasonIncorrectRequestLine, 0, 0);
  EXPECT_EQ(LastLine(ReadTextFile(LogPath("20240305"))),
            Record("[-] [Incorrect Request Line] [-] [GET]\r\n"));
  noAddress.context.clientAddress = nullptr;
  WriteRejection(policy, &noAddress.context, kReasonIncorrectRequestLine, 0, 0);
  EXPECT_EQ(LastLine(ReadTextFile(LogPath("20240305"))),
            Record("[-] [Incorrect Request Line] [-] [GET]\r\n"));
}

TEST_F(LogTest, FirstRejectionAfterMidnightOpensTheNewDaysFile) {
  clock.Set(At(2024, 3, 5, 23, 59, 59));
  ASSERT_EQ(OpenLogFile(policy), 0u);
  Request r("GET /a", 0, 0);
  WriteRejection(policy, &r.context, kReasonIncorrectRequestLine, 0, 0);

  clock.Set(At(2024, 3, 6, 0, 0, 1));
  WriteRejection(policy, &r.context, kReasonUrlDot, 0, 0);
  WriteRejection(policy, &r.context, kReasonUrlDot, 0, 0);
  EXPECT_STREQ(policy->Log->date, "20240306");

  EXPECT_EQ(ReadTextFile(LogPath("20240305")),
            Opening("2024-03-05 23:59:59 ") +
                "2024-03-05 23:59:59 10.0.0.5 [Incorrect Request Line] [-] [GET /a]\r\n");
  std::string record = "2024-03-06 00:00:01 10.0.0.5 [Dot found in Url before extension] [-] "
                       "[GET /a]\r\n";
  EXPECT_EQ(ReadTextFile(LogPath("20240306")),
            Opening("2024-03-06 00:00:01 ") + record + record);
}

// When the new day's file cannot be opened, the records go on into the
// previous day's file, and the new file is tried again at every rejection
// until it opens.
TEST_F(LogTest, NoRecordIsLostWhileTheNewDaysFileCannotBeOpened) {
  std::string parent = dir.path + "/site";
  SetLogDirectory(parent + "/logs");
  clock.Set(At(2024, 3, 5, 23, 0, 0));
  ASSERT_EQ(OpenLogFile(policy), 0u);

  // Move the open day's directory aside (the open file goes with it) and put
  // a regular file where the directory was.
  std::string moved = dir.path + "/site-old";
  std::filesystem::rename(parent, moved);
  WriteTextFile(parent, "in the way");
  std::string oldFile = moved + "/logs/Ravelgard.20240305.log";

  Request r("GET /a", 0, 0);
  clock.Set(At(2024, 3, 6, 0, 0, 5));
  WriteRejection(policy, &r.context, kReasonUrlDot, 0, 0);
  clock.Set(At(2024, 3, 6, 0, 0, 6));
  WriteRejection(policy, &r.context, kReasonUrlDot, 0, 0);
  EXPECT_STREQ(policy->Log->date, "20240305") << "the old file is still the current one";

  std::filesystem::remove(parent);
  clock.Set(At(2024, 3, 6, 0, 0, 7));
  WriteRejection(policy, &r.context, kReasonUrlDot, 0, 0);
  EXPECT_STREQ(policy->Log->date, "20240306");

  std::string tail = " 10.0.0.5 [Dot found in Url before extension] [-] [GET /a]\r\n";
  EXPECT_EQ(ReadTextFile(oldFile), Opening("2024-03-05 23:00:00 ") + "2024-03-06 00:00:05" +
                                       tail + "2024-03-06 00:00:06" + tail);
  EXPECT_EQ(ReadTextFile(LogPath("20240306")),
            Opening("2024-03-06 00:00:07 ") + "2024-03-06 00:00:07" + tail);
}

// With the day's file gone and no way to make it again, a record has
// nowhere to go and is counted as lost; the file is tried again with the
// next record, which also says how many went missing.
TEST_F(LogTest, WithoutAnyFileTheNextRejectionTriesAgain) {
  std::string parent = dir.path + "/site";
  SetLogDirectory(parent + "/logs");
  Request r("GET /a", 0, 0);
  // A policy that never opened its log has nothing to write to.
  WriteRejection(policy, &r.context, kReasonUrlDot, 0, 0);
  EXPECT_FALSE(std::filesystem::exists(parent));

  ASSERT_EQ(OpenLogFile(policy), 0u);
  std::filesystem::remove_all(parent);
  WriteTextFile(parent, "in the way");
  WriteRejection(policy, &r.context, kReasonUrlDot, 0, 0);
  EXPECT_EQ(LostRecords(policy), 1u);

  std::filesystem::remove(parent);
  WriteRejection(policy, &r.context, kReasonIncorrectRequestLine, 0, 0);
  EXPECT_EQ(LostRecords(policy), 0u);
  EXPECT_EQ(ReadTextFile(LogPath("20240305")),
            Opening("2024-03-05 14:07:09 ") +
                "#Unwritten: 1 earlier records could not be written\r\n" +
                Record("10.0.0.5 [Incorrect Request Line] [-] [GET /a]\r\n"));
}

}  // namespace
}  // namespace rg
