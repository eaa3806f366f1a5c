// The log under a hostile client and an unlucky machine: planted links and
// FIFOs, huge requests, huge files, a full disk, a removed directory, a file
// truncated or replaced from outside. No record may hang the filter, reach a
// file it must not touch, or be lost or merged without a trace.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "log/log.h"
#include "platform/platform.h"
#include "kit/test_kit.h"

namespace rg {
namespace {

using test::ReadTextFile;
using test::TempDir;
using test::WriteTextFile;

LocalTime Day(uint16_t day, uint16_t hour = 12) {
  LocalTime t = {};
  t.year = 2024;
  t.month = 3;
  t.day = day;
  t.hour = hour;
  return t;
}

// Holds the test clock for the life of the object.
struct TestClock {
  LocalTime now;
  explicit TestClock(LocalTime t) : now(t) { SetTestClock(&now); }
  ~TestClock() { SetTestClock(nullptr); }
  void Set(LocalTime t) {
    now = t;
    SetTestClock(&now);
  }
};

constexpr std::string_view kIni =
    "[Globals]\nVerbAllow=1\nValidHttpVersion=0\nValidHostPort=0\nExtensionAllow=0\n"
    "DenyHeaderName=0\nValidMaxLenByHeader=0\nDenyUrlSequence=0\nDenyQuerySequence=0\n"
    "[VerbAllow]\nGET\n";

// A policy writing into dir/logs, and one connection on it.
struct Fixture {
  TempDir dir;
  std::string logs = dir.File("logs");
  EnginePolicy* policy = nullptr;
  uint32_t loadError = 0;
  explicit Fixture(bool load = true) {
    WriteTextFile(dir.File("p.ini"), kIni);
    std::filesystem::create_directory(logs);
    if (load) Load();
  }
  void Load() {
    EngineOptions options;
    options.logDirectory = logs.c_str();
    loadError = LoadEnginePolicy(dir.File("p.ini").c_str(), &options, &policy);
  }
  ~Fixture() { ReleaseEnginePolicy(policy); }
  std::string DayFile(int day) const {
    return logs + "/Ravelgard.202403" + (day < 10 ? "0" : "") + std::to_string(day) + ".log";
  }
  // Screens a refused request and logs it.
  void Reject(std::string_view request) {
    Screening* state = nullptr;
    ASSERT_EQ(OpenScreening(policy, "10.1.2.3", &state), 0u);
    Verdict v = Screen(state, request.data(), static_cast<uint32_t>(request.size()));
    ASSERT_EQ(v.kind, VerdictKind::kRejected);
    LogVerdict(policy, state, v);
    CloseScreening(state);
  }
};

std::vector<std::string> Records(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    if (text[start] != '#') lines.push_back(text.substr(start, end - start));
  return lines;
}

TEST(LogPlantedFiles, TodaysNameRefusedWhenNotARegularFile) {
  struct Case {
    const char* what;
    void (*plant)(const std::string& path, const std::string& victim);
    uint32_t error;
  };
  const Case cases[] = {
      {"FIFO", [](const std::string& p, const std::string&) { mkfifo(p.c_str(), 0666); },
       kErrorCantAccessFile},
      {"symlink", [](const std::string& p, const std::string& v) { symlink(v.c_str(), p.c_str()); },
       kErrorCantResolveFilename},
      {"dangling symlink",
       [](const std::string& p, const std::string& v) {
         symlink((v + ".new").c_str(), p.c_str());
       },
       kErrorCantResolveFilename},
  };
  for (const Case& c : cases) {
    TestClock clock(Day(5));
    Fixture f(false);
    std::string victim = f.dir.File("victim");
    WriteTextFile(victim, "precious\n");
    c.plant(f.DayFile(5), victim);
    f.Load();  // must return, not wait for a reader
    EXPECT_EQ(f.loadError, c.error) << c.what;
    EXPECT_EQ(ReadTextFile(victim), "precious\n") << c.what;
    EXPECT_FALSE(std::filesystem::exists(victim + ".new")) << c.what;
  }
}

TEST(LogPlantedFiles, TomorrowsNameKeepsTheOldFileAndNeverWaits) {
  for (bool fifo : {true, false}) {
    TestClock clock(Day(5, 23));
    Fixture f;
    ASSERT_EQ(f.loadError, 0u);
    std::string victim = f.dir.File("victim");
    WriteTextFile(victim, "precious\n");
    if (fifo)
      ASSERT_EQ(mkfifo(f.DayFile(6).c_str(), 0666), 0);
    else
      ASSERT_EQ(symlink(victim.c_str(), f.DayFile(6).c_str()), 0);
    clock.Set(Day(6, 0));
    f.Reject("TRACE / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(ReadTextFile(victim), "precious\n");
    std::vector<std::string> records = Records(ReadTextFile(f.DayFile(5)));
    ASSERT_EQ(records.size(), 1u) << "the day's record stays in the old file";
    EXPECT_EQ(records[0].substr(0, 10), "2024-03-06");
  }
}

TEST(LogPlantedFiles, ADirectoryEveryoneMayWriteIsNamedInTheHeader) {
  TestClock clock(Day(5));
  Fixture f(false);
  chmod(f.logs.c_str(), 01777);
  f.Load();
  ASSERT_EQ(f.loadError, 0u);
  EXPECT_NE(ReadTextFile(f.DayFile(5)).find("#Warning: every user may create files in this log "
                                            "directory\r\n"),
            std::string::npos);
}

TEST(LogRecords, AHugeRequestMakesABoundedRecord) {
  TestClock clock(Day(5));
  Fixture f;
  ASSERT_EQ(f.loadError, 0u);
  // A request line that never ends: 200 KB of URL and no CR LF.
  std::string request = "TRACE /" + std::string(200 * 1024, 'a');
  f.Reject(request);
  std::vector<std::string> records = Records(ReadTextFile(f.DayFile(5)));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_LT(records[0].size(), kRecordRequestLimit + 512);
  EXPECT_NE(records[0].find("...(cut, 8192 of "), std::string::npos) << records[0].substr(0, 80);
}

TEST(LogRecords, ClientAddressCannotForgeARecord) {
  TestClock clock(Day(5));
  Fixture f;
  ASSERT_EQ(f.loadError, 0u);
  Screening* state = nullptr;
  ASSERT_EQ(OpenScreening(f.policy, "1.2.3.4\r\n2024-03-05 12:00:00 6.6.6.6 x", &state), 0u);
  Verdict v = Screen(state, "TRACE / HTTP/1.1\r\n", 18);
  LogVerdict(f.policy, state, v);
  CloseScreening(state);
  std::vector<std::string> records = Records(ReadTextFile(f.DayFile(5)));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].find("1.2.3.4%0D%0A2024-03-05%2012:00:00%206.6.6.6%20x ["),
            std::string::npos)
      << records[0];
}

TEST(LogFileSize, ATodaysFileLargerThan4GiBIsAppendedTo) {
  TestClock clock(Day(5));
  Fixture f(false);
  int fd = open(f.DayFile(5).c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  const off_t kSize = (off_t(5) << 30) + 7;  // sparse: no disk used
  ASSERT_EQ(ftruncate(fd, kSize), 0);
  close(fd);
  f.Load();
  ASSERT_EQ(f.loadError, 0u);
  f.Reject("TRACE / HTTP/1.1\r\n\r\n");
  struct stat st;
  ASSERT_EQ(stat(f.DayFile(5).c_str(), &st), 0);
  EXPECT_GT(st.st_size, kSize);
}

// Short and failed writes come from a file size limit: the kernel cuts a
// write at the limit, then refuses the next one, exactly as a full disk does.
struct FileSizeLimit {
  struct rlimit saved;
  void (*savedHandler)(int);
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &saved);
    savedHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit l = saved;
    l.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &l);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedHandler);
  }
};

TEST(LogFullDisk, CutAndLostRecordsAreReportedAndNeverGlued) {
  TestClock clock(Day(5));
  Fixture f;
  ASSERT_EQ(f.loadError, 0u);
  off_t size = static_cast<off_t>(std::filesystem::file_size(f.DayFile(5)));
  {
    FileSizeLimit limit(static_cast<rlim_t>(size + 20));
    f.Reject("TRACE /first HTTP/1.1\r\n\r\n");   // cut after 20 bytes
    f.Reject("TRACE /second HTTP/1.1\r\n\r\n");  // nothing written
    EXPECT_EQ(LostLogRecords(f.policy), 2u);
  }
  f.Reject("TRACE /third HTTP/1.1\r\n\r\n");
  EXPECT_EQ(LostLogRecords(f.policy), 0u);

  std::string text = ReadTextFile(f.DayFile(5)).substr(static_cast<size_t>(size));
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  ASSERT_EQ(lines.size(), 3u) << text;
  EXPECT_EQ(lines[0].size(), 20u) << "the cut record ends on a line of its own";
  EXPECT_EQ(lines[1], "#Unwritten: 2 earlier records could not be written");
  EXPECT_NE(lines[2].find("[TRACE /third HTTP/1.1]"), std::string::npos);
}

TEST(LogOutsideChanges, RecordsFollowTheFileNotTheOldInode) {
  struct Case {
    const char* what;
    void (*change)(const Fixture& f);
  };
  const Case cases[] = {
      {"directory removed",
       [](const Fixture& f) { std::filesystem::remove_all(f.logs); }},
      {"file removed", [](const Fixture& f) { std::filesystem::remove(f.DayFile(5)); }},
      {"file renamed away (rotation)",
       [](const Fixture& f) { std::filesystem::rename(f.DayFile(5), f.DayFile(5) + ".1"); }},
      {"file truncated (copytruncate)",
       [](const Fixture& f) { std::filesystem::resize_file(f.DayFile(5), 0); }},
  };
  for (const Case& c : cases) {
    TestClock clock(Day(5));
    Fixture f;
    ASSERT_EQ(f.loadError, 0u);
    f.Reject("TRACE /before HTTP/1.1\r\n\r\n");
    c.change(f);
    f.Reject("TRACE /after HTTP/1.1\r\n\r\n");
    std::string text = ReadTextFile(f.DayFile(5));
    EXPECT_EQ(text.find('\0'), std::string::npos) << c.what;
    std::vector<std::string> records = Records(text);
    ASSERT_FALSE(records.empty()) << c.what;
    EXPECT_NE(records.back().find("[TRACE /after HTTP/1.1]"), std::string::npos) << c.what;
    EXPECT_EQ(LostLogRecords(f.policy), 0u) << c.what;
  }
}

}  // namespace
}  // namespace rg
