// Rejection records written from many threads at once, across a change of
// day: every record whole, each exactly once, each in the file of its own
// date, and each file with exactly one header.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "log/reason.h"
#include "kit/test_kit.h"

namespace rg {
namespace {

LocalTime Day(uint16_t day) {
  LocalTime t = {};
  t.year = 2024;
  t.month = 3;
  t.day = day;
  t.hour = day == 5 ? 23 : 0;
  t.minute = day == 5 ? 59 : 0;
  t.second = day == 5 ? 59 : 1;
  return t;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "the file ends with a whole line";
  return lines;
}

TEST(ConcurrentLog, RecordsStayWholeAndLandInTheirDaysFile) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 200;
  test::TempDir dir;
  FilterPolicy* policy = test::NewDefaultPolicy();
  test::SetText(policy->LogDirectory, dir.path);
  LocalTime day5 = Day(5);
  LocalTime day6 = Day(6);
  SetTestClock(&day5);
  ASSERT_EQ(OpenLogFile(policy), 0u);

  // Each thread writes half its records, then waits for the change of day;
  // the day changes as soon as the first thread is halfway, so the other
  // threads are still writing while it happens, and both days surely get
  // records whatever the scheduler does.
  std::atomic<int> halfway{0};
  std::atomic<bool> switched{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecords; ++i) {
        if (i == kRecords / 2) {
          halfway.fetch_add(1);
          while (!switched.load()) std::this_thread::yield();
        }
        std::string request = "GET /t" + std::to_string(t) + "/" + std::to_string(i);
        std::string address = "10.0.0." + std::to_string(t);
        ScanContext context = {};
        context.data = reinterpret_cast<uint8_t*>(request.data());
        context.length = static_cast<uint32_t>(request.size());
        context.clientAddress = address.data();
        WriteRejection(policy, &context, kReasonUrlDot, 0, 0);
      }
    });
  }
  while (halfway.load() == 0) std::this_thread::yield();
  SetTestClock(&day6);
  switched.store(true);
  for (std::thread& th : threads) th.join();

  std::set<std::string> seen;
  for (const char* date : {"20240305", "20240306"}) {
    SCOPED_TRACE(date);
    std::string stamp = date == std::string("20240305") ? "2024-03-05 23:59:59 "
                                                        : "2024-03-06 00:00:01 ";
    std::vector<std::string> lines =
        SplitLines(test::ReadTextFile(dir.path + "/Ravelgard." + date + ".log"));
    int headers = 0;
    for (const std::string& line : lines) {
      if (line[0] == '#') {
        if (line.rfind("#Software:", 0) == 0) ++headers;
        continue;
      }
      ASSERT_EQ(line.rfind(stamp, 0), 0u) << line;
      std::istringstream fields(line.substr(stamp.size()));
      std::string address, request;
      fields >> address;
      size_t open = line.rfind(" [GET ");
      ASSERT_NE(open, std::string::npos) << line;
      ASSERT_EQ(line.back(), ']') << line;
      request = line.substr(open + 2, line.size() - open - 3);
      EXPECT_EQ(line.substr(stamp.size() + address.size()),
                " [Dot found in Url before extension] [-] [" + request + "]");
      EXPECT_TRUE(seen.insert(request).second) << "written twice: " << request;
    }
    EXPECT_EQ(headers, 1);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRecords));

  SetTestClock(nullptr);
  FreePolicy(policy);
}

}  // namespace
}  // namespace rg
