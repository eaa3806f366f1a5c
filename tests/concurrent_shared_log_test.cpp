// The shared log: several processes, each with several threads, append to
// the same day's file across a change of day. Every record must be there
// exactly once, whole, in the file of its own date; and the single-writer
// mode must still keep a second process out.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "platform/platform.h"
#include "kit/test_kit.h"

namespace rg {
namespace {

using test::ReadTextFile;
using test::TempDir;
using test::WriteTextFile;

constexpr int kProcesses = 4;
constexpr int kThreads = 4;
constexpr int kRecords = 5000;

constexpr char kIni[] =
    "[Globals]\nVerbAllow=1\nValidHttpVersion=0\nValidHostPort=0\nExtensionAllow=0\n"
    "DenyHeaderName=0\nValidMaxLenByHeader=0\nDenyUrlSequence=0\nDenyQuerySequence=0\n"
    "[VerbAllow]\nGET\n";

LocalTime At(uint16_t day, uint16_t hour, uint16_t minute, uint16_t second) {
  LocalTime t = {};
  t.year = 2024;
  t.month = 3;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

// One writer process: its threads log kRecords rejections each; the day
// changes once the first thread is halfway, while the others still write.
// Returns the exit status for the parent to check.
int WriterProcess(const std::string& ini, const std::string& logs, int process) {
  LocalTime day5 = At(5, 23, 59, 59);
  LocalTime day6 = At(6, 0, 0, 1);
  SetTestClock(&day5);
  EngineOptions options;
  options.logDirectory = logs.c_str();
  options.logMode = LogMode::kShared;
  EnginePolicy* policy = nullptr;
  if (LoadEnginePolicy(ini.c_str(), &options, &policy) != 0) return 10;

  std::atomic<bool> switched{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string address =
          std::string("p").append(std::to_string(process)).append("t").append(std::to_string(t));
      Screening* state = nullptr;
      if (OpenScreening(policy, address.c_str(), &state) != 0) {
        ++failures;
        return;
      }
      for (int i = 0; i < kRecords; ++i) {
        if (i == kRecords / 2 && !switched.exchange(true)) SetTestClock(&day6);
        std::string request = "TRACE /" + std::to_string(i) + " HTTP/1.1\r\n";
        Verdict v = Screen(state, request.data(), static_cast<uint32_t>(request.size()));
        if (v.kind != VerdictKind::kRejected) ++failures;
        LogVerdict(policy, state, v);
      }
      CloseScreening(state);
    });
  }
  for (std::thread& t : threads) t.join();
  uint64_t lost = LostLogRecords(policy);
  ReleaseEnginePolicy(policy);
  return failures.load() != 0 ? 11 : lost != 0 ? 12 : 0;
}

TEST(SharedLog, ProcessesAndThreadsAppendWholeRecordsAcrossAChangeOfDay) {
  TempDir dir;
  WriteTextFile(dir.File("p.ini"), kIni);
  std::string logs = dir.File("logs");
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(WriterProcess(dir.File("p.ini"), logs, p));
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  // Every record once, whole (a torn write would leave a line that does not
  // parse), and in the file of its own date.
  std::set<std::string> seen;
  std::map<std::string, int> perDay;
  for (const char* day : {"20240305", "20240306"}) {
    std::string text = ReadTextFile(logs + "/Ravelgard." + day + ".log");
    ASSERT_FALSE(text.empty()) << day;
    std::string dashed = std::string(day, 4) + "-" + std::string(day + 4, 2) + "-" +
                         std::string(day + 6, 2);
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      std::string line = text.substr(start, end - start);
      if (line[0] == '#') continue;
      ASSERT_EQ(line.substr(0, 10), dashed) << line;
      size_t address = 20;
      size_t space = line.find(' ', address);
      size_t open = line.find("[TRACE /");
      size_t close = line.find(" HTTP/1.1]", open);
      ASSERT_TRUE(space != std::string::npos && open != std::string::npos &&
                  close != std::string::npos && close + 10 == line.size())
          << line;
      std::string key = line.substr(address, space - address) + "/" +
                        line.substr(open + 8, close - open - 8);
      EXPECT_TRUE(seen.insert(key).second) << "twice: " << line;
      ++perDay[day];
    }
    EXPECT_EQ(start, text.size()) << day << " ends with a whole line";
  }
  EXPECT_EQ(seen.size(), size_t(kProcesses) * kThreads * kRecords);
  EXPECT_GT(perDay["20240305"], 0);
  EXPECT_GT(perDay["20240306"], 0);
}

TEST(SharedLog, TheSingleWriterModeKeepsASecondProcessOut) {
  TempDir dir;
  WriteTextFile(dir.File("p.ini"), kIni);
  std::string logs = dir.File("logs");

  // The second processes start before this one holds the log, so they
  // inherit nothing of it, as separate servers would.
  std::vector<pid_t> children;
  std::vector<int> go;
  for (LogMode mode : {LogMode::kExclusive, LogMode::kShared}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[1]);
      char byte;
      if (read(fds[0], &byte, 1) != 1) _exit(2);
      EngineOptions o;
      o.logDirectory = logs.c_str();
      o.logMode = mode;
      EnginePolicy* second = nullptr;
      uint32_t error = LoadEnginePolicy(dir.File("p.ini").c_str(), &o, &second);
      _exit(error == kErrorSharingViolation ? 0 : 1);
    }
    close(fds[0]);
    children.push_back(pid);
    go.push_back(fds[1]);
  }

  EngineOptions options;
  options.logDirectory = logs.c_str();
  EnginePolicy* policy = nullptr;
  ASSERT_EQ(LoadEnginePolicy(dir.File("p.ini").c_str(), &options, &policy), 0u);
  for (size_t i = 0; i < children.size(); ++i) {
    ASSERT_EQ(write(go[i], "x", 1), 1);
    close(go[i]);
    int status = 0;
    ASSERT_EQ(waitpid(children[i], &status, 0), children[i]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "second process " << i;
  }
  ReleaseEnginePolicy(policy);
}

}  // namespace
}  // namespace rg
