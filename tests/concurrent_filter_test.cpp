// Many server threads refusing requests at once through the module: every
// rejection must come out as one whole log line, and the lazily built block
// response must be built once and reach every client whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/test_host.h"

namespace rg::test {
namespace {

constexpr int kThreads = 8;
constexpr int kRequestsPerThread = 10000;

struct ThreadResult {
  int finished = 0;
  int wholePages = 0;
};

// One server thread: a new connection per request, each refused at its verb.
void RefuseRequests(FilterHost* host, int thread, ThreadResult* result,
                    const std::string* page) {
  std::string address = "10.0." + std::to_string(thread) + ".1";
  for (int i = 0; i < kRequestsPerThread; ++i) {
    HostConnection connection;
    OpenConnection(host, &connection, address);
    std::string request = "BREW /t" + std::to_string(thread) + "/" + std::to_string(i) +
                          " HTTP/1.1\r\nHost: server1\r\n\r\n";
    if (SendChunk(&connection, request) == SF_STATUS_REQ_FINISHED) ++result->finished;
    if (connection.written == *page) ++result->wholePages;
    EndConnection(&connection);
  }
}

TEST(ConcurrentFilter, EveryRejectionIsOneWholeLine) {
  FilterHost host;
  // No banner configured: the first connections race to build the page.
  ASSERT_EQ(BindModule(&host, FilterIni().c_str()), "");
  uint32_t error = 0;
  ASSERT_TRUE(StartHost(&host, &error)) << "last error " << error;
  const std::string page = ExpectedBlockResponse("Microsoft-IIS/10.0");

  std::vector<ThreadResult> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(RefuseRequests, &host, t, &results[t], &page);
  for (std::thread& thread : threads) thread.join();
  StopHost(&host);

  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(results[t].finished, kRequestsPerThread);
    EXPECT_EQ(results[t].wholePages, kRequestsPerThread);
  }
  EXPECT_EQ(host.serverSoftwareReads.load(), 1);

  std::string log = ReadLogs(host);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  // Each (thread, request) pair exactly once, on a line of its own with the
  // thread's own address: a torn or mixed line fails to parse or to match.
  std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kRequestsPerThread, 0));
  int records = 0;
  int broken = 0;
  for (const std::string& line : RecordLines(log)) {
    LogRecord record;
    int thread = -1;
    int index = -1;
    bool whole = ParseRecord(line, &record) && record.reason == kRefusedReason &&
                 record.error == "-" &&
                 std::sscanf(record.request.c_str(), "BREW /t%d/%d", &thread, &index) == 2 &&
                 thread >= 0 && thread < kThreads && index >= 0 && index < kRequestsPerThread &&
                 record.request == "BREW /t" + std::to_string(thread) + "/" +
                                       std::to_string(index) + " HTTP/1.1" &&
                 record.client == "10.0." + std::to_string(thread) + ".1";
    if (!whole) {
      if (++broken <= 5) ADD_FAILURE() << "not a whole record: " << line;
      continue;
    }
    ++seen[thread][index];
    ++records;
  }
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(records, kThreads * kRequestsPerThread);
  int duplicates = 0;
  for (const std::vector<int>& thread : seen)
    for (int count : thread) duplicates += count > 1 ? 1 : 0;
  EXPECT_EQ(duplicates, 0);
}

TEST(ConcurrentFilter, FailedConnectionsRaceTheLazyBlockResponse) {
  // Half of the first connections fail before they reach the lazy build and
  // are blocked while the other half build the page: a failed one gets either
  // no bytes or the whole page, never a torn length and pointer.
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    FilterHost host;
    ASSERT_EQ(BindModule(&host, FilterIni().c_str()), "");
    uint32_t error = 0;
    ASSERT_TRUE(StartHost(&host, &error)) << "last error " << error;
    const std::string page = ExpectedBlockResponse("Microsoft-IIS/10.0");
    std::atomic<int> ready{0};
    std::vector<std::string> written(kThreads);
    std::vector<DWORD> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        HostConnection connection;
        OpenConnection(&host, &connection);
        if (t % 2 == 0) {
          connection.failVariable = "REMOTE_ADDR";
          connection.failError = 5;
        }
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        results[t] = SendChunk(&connection, kRefusedRequest);
        written[t] = connection.written;
        EndConnection(&connection);
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
      SCOPED_TRACE(t);
      EXPECT_EQ(results[t], DWORD(SF_STATUS_REQ_FINISHED));
      if (t % 2 == 0) {
        EXPECT_TRUE(written[t].empty() || written[t] == page) << written[t].size();
      } else {
        EXPECT_EQ(written[t], page);
      }
    }
    EXPECT_EQ(host.serverSoftwareReads.load(), 1);
  }
}

}  // namespace
}  // namespace rg::test
