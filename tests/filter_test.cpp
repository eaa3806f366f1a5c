// The ISAPI adapter's entry points with the core linked in: the block
// response, the verdict, server variables, and every allocation failure on
// the way.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "isapi/filter.h"
#include "platform/platform.h"
#include "support/test_host.h"

namespace rg::test {
namespace {

// Disarms the allocation hook whatever a test does.
struct HookGuard {
  ~HookGuard() { FailAllocationAfter(0); }
};

void StartLinked(FilterHost* host, const std::string& ini) {
  BindLinkedCore(host, ini);
  uint32_t error = 0;
  ASSERT_TRUE(StartHost(host, &error)) << "last error " << error;
}

TEST(BlockResponse, IsTheFixedPageWithAnOptionalServerLine) {
  struct Case {
    const char* serverText;
    uint32_t length;
  };
  const std::string longText(2000, 'x');
  const std::vector<Case> cases = {
      {nullptr, 160},
      {"Web Server", 180},
      {"", 170},
      // Longer than any formatting buffer: must come out whole, or the page
      // would be cut inside its headers.
      {longText.c_str(), 2170},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    int64_t live = LiveBlockCount();
    FilterPolicy* policy = NewDefaultPolicy();
    ASSERT_EQ(BuildBlockResponse(policy, c.serverText), 0u);
    ASSERT_NE(policy->BlockResponse, nullptr);
    EXPECT_EQ(policy->BlockResponseLength, c.length);
    std::string page(policy->BlockResponse, policy->BlockResponseLength);
    EXPECT_EQ(page, ExpectedBlockResponse(c.serverText));
    EXPECT_EQ(policy->BlockResponse[c.length], '\0');
    // The body is what Content-Length: 87 promises.
    EXPECT_EQ(page.size() - (page.find("\r\n\r\n") + 4), 87u);
    FreePolicy(policy);
    EXPECT_EQ(LiveBlockCount(), live);
  }
}

TEST(BlockResponse, AllocationFailureLeavesNoPageAndReportsAnError) {
  HookGuard guard;
  struct Case {
    const char* serverText;
    uint32_t hookError;
    uint32_t expected;
  };
  const std::vector<Case> cases = {
      {nullptr, 8, 8},
      {"Web Server", 8, 8},
      {nullptr, 14, 14},
      // A platform that gives no error number must not make it a success.
      {nullptr, 0, 8},
      {"Web Server", 0, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hookError);
    int64_t live = LiveBlockCount();
    FilterPolicy* policy = NewDefaultPolicy();
    FailAllocationAfter(1, c.hookError);
    EXPECT_EQ(BuildBlockResponse(policy, c.serverText), c.expected);
    FailAllocationAfter(0);
    EXPECT_EQ(policy->BlockResponse, nullptr);
    EXPECT_EQ(policy->BlockResponseLength, 0u);
    FreePolicy(policy);
    EXPECT_EQ(LiveBlockCount(), live);
  }
}

// IssueVerdict logs every verdict it is given, frees the connection's state
// whatever the verdict, and writes the block page exactly when the verdict
// blocks.
TEST(Verdict, IsLoggedAndBlocksUnlessSimulated) {
  struct Case {
    ReasonCode reason;
    uint32_t winError;
    bool simulated;
    DWORD result;
    const char* logged;
    const char* error;
  };
  const std::vector<Case> cases = {
      {kReasonVerbNotAllowed, 0, false, SF_STATUS_REQ_FINISHED,
       "Request does not contain allowed verb", "-"},
      {kReasonVerbNotAllowed, 0, true, SF_STATUS_REQ_NEXT_NOTIFICATION,
       "Request does not contain allowed verb", "-"},
      {kReasonWindowsError, 8, false, SF_STATUS_REQ_FINISHED, "Windows returned an error",
       "Win error 8"},
      {kReasonUrlTooLong, 122, false, SF_STATUS_REQ_FINISHED, "Url exceeds allowed length",
       "Win error 122"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "reason " << c.reason << " simulated " << c.simulated);
    FilterHost host;
    StartLinked(&host, FilterIni("RemoveBanner=1\n"));
    HostConnection connection;
    OpenConnection(&host, &connection);
    ASSERT_EQ(SendChunk(&connection, "GE"), SF_STATUS_REQ_NEXT_NOTIFICATION);
    ASSERT_NE(connection.pfc.pFilterContext, nullptr);
    Verdict verdict = {};
    verdict.kind = VerdictKind::kRejected;
    verdict.reason = c.reason;
    verdict.winError = c.winError;
    verdict.simulated = c.simulated;
    SetLastErrorValue(77);  // whatever came before must not reach the write
    EXPECT_EQ(IssueVerdict(&connection.pfc, verdict), c.result);
    EXPECT_EQ(connection.pfc.pFilterContext, nullptr);  // freed whatever the verdict
    bool blocked = c.result == SF_STATUS_REQ_FINISHED;
    EXPECT_EQ(connection.written, blocked ? ExpectedBlockResponse(nullptr) : "");
    if (blocked) {
      EXPECT_EQ(connection.lastErrorAtWrite, 0u);
    }
    std::vector<LogRecord> records = Records(host);
    ASSERT_EQ(records.size(), 1u);  // logged also when it passes
    EXPECT_EQ(records[0].client, "10.0.0.5");
    EXPECT_EQ(records[0].reason, c.logged);
    EXPECT_EQ(records[0].error, c.error);
    EXPECT_EQ(records[0].request, "GE");
  }
}

// Simulate mode lets a refusal of the policy through, but never a request
// the filter could not examine: a failure while setting up the connection
// or while scanning blocks in both modes.
TEST(Verdict, SimulateLetsPolicyRefusalsThroughButNeverPlatformFailures) {
  HookGuard guard;
  struct Case {
    const char* name;
    int simulate;
    bool failRemoteAddr;     // the server refuses REMOTE_ADDR (set-up)
    int64_t failAllocation;  // on the second chunk (the scan's buffer); 0: none
    DWORD result;
    const char* reason;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"refused verb", 0, false, 0, SF_STATUS_REQ_FINISHED, "Request does not contain allowed verb",
       "-"},
      {"refused verb, simulated", 1, false, 0, SF_STATUS_REQ_NEXT_NOTIFICATION,
       "Request does not contain allowed verb", "-"},
      {"set-up failure", 0, true, 0, SF_STATUS_REQ_FINISHED, "Windows returned an error",
       "Win error 5"},
      {"set-up failure, simulated", 1, true, 0, SF_STATUS_REQ_FINISHED,
       "Windows returned an error", "Win error 5"},
      {"scan failure", 0, false, 1, SF_STATUS_REQ_FINISHED, "Windows returned an error",
       "Win error 8"},
      {"scan failure, simulated", 1, false, 1, SF_STATUS_REQ_FINISHED, "Windows returned an error",
       "Win error 8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FilterHost host;
    StartLinked(&host, FilterIni("RemoveBanner=1\nSimulate=" + std::to_string(c.simulate) + "\n"));
    HostConnection connection;
    OpenConnection(&host, &connection);
    if (c.failRemoteAddr) {
      connection.failVariable = "REMOTE_ADDR";
      connection.failError = 5;
    }
    // The first chunk sets the connection up; the second one makes the scan
    // grow its buffer.
    DWORD result = SendChunk(&connection, "BR");
    if (result == SF_STATUS_REQ_NEXT_NOTIFICATION) {
      FailAllocationAfter(c.failAllocation);
      // A request line longer than the buffer's first size.
      result = SendChunk(&connection, "EW /" + std::string(5000, 'a') +
                                          " HTTP/1.1\r\nHost: server1\r\n\r\n");
      FailAllocationAfter(0);
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(connection.written,
              c.result == SF_STATUS_REQ_FINISHED ? ExpectedBlockResponse(nullptr) : "");
    std::vector<LogRecord> records = Records(host);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, c.reason);
    EXPECT_EQ(records[0].error, c.error);
    EndConnection(&connection);
  }
}

// The record is written before the connection's state is freed, so it
// carries the request as the state held it.
TEST(Verdict, RecordSeesTheRequestBeforeTheStateIsFreed) {
  FilterHost host;
  StartLinked(&host, FilterIni("RemoveBanner=1\n"));
  HostConnection connection;
  OpenConnection(&host, &connection);
  EXPECT_EQ(SendChunk(&connection, kRefusedRequest), SF_STATUS_REQ_FINISHED);
  EXPECT_EQ(connection.pfc.pFilterContext, nullptr);
  std::vector<LogRecord> records = Records(host);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].client, "10.0.0.5");
  EXPECT_EQ(records[0].reason, kRefusedReason);
  EXPECT_EQ(records[0].request, kRefusedLine);
}

TEST(FirstChunk, SetupFailuresAreLoggedAndBlocked) {
  HookGuard guard;
  struct Case {
    const char* name;
    int64_t failAllocation;  // 0: none
    const char* failVariable;
    bool failAtRead;
    uint32_t failError;
    const char* client;
    const char* error;
  };
  // Allocations of a new connection, in order: the context, REMOTE_ADDR, and
  // (no banner configured) SERVER_SOFTWARE and the block response.
  const std::vector<Case> cases = {
      {"no memory for the context", 1, "", false, 0, "[-]", "Win error 8"},
      {"no memory for REMOTE_ADDR", 2, "", false, 0, "[-]", "Win error 8"},
      {"REMOTE_ADDR probe refused", 0, "REMOTE_ADDR", false, 5, "[-]", "Win error 5"},
      {"REMOTE_ADDR read refused", 0, "REMOTE_ADDR", true, 6, "[-]", "Win error 6"},
      {"REMOTE_ADDR fails without an error number", 0, "REMOTE_ADDR", true, 0, "[-]",
       "Win error 31"},
      {"SERVER_SOFTWARE unreadable", 0, "SERVER_SOFTWARE", false, 5, "10.0.0.5", "Win error 5"},
      {"no memory for SERVER_SOFTWARE", 3, "", false, 0, "10.0.0.5", "Win error 8"},
      {"no memory for the block response", 4, "", false, 0, "10.0.0.5", "Win error 8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t live = LiveBlockCount();
    {
      FilterHost host;
      StartLinked(&host, FilterIni());
      HostConnection connection;
      OpenConnection(&host, &connection);
      connection.failVariable = c.failVariable;
      connection.failAtRead = c.failAtRead;
      connection.failError = c.failError;
      FailAllocationAfter(c.failAllocation);
      // Even an allowed request is blocked: it could not be examined.
      EXPECT_EQ(SendChunk(&connection, kAllowedRequest), SF_STATUS_REQ_FINISHED);
      FailAllocationAfter(0);
      EXPECT_EQ(connection.pfc.pFilterContext, nullptr);
      // No connection has built the block response yet: the write is empty.
      EXPECT_EQ(connection.writes, 1);
      EXPECT_EQ(connection.written, "");
      std::vector<LogRecord> records = Records(host);
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(records[0].client, c.client);
      EXPECT_EQ(records[0].reason, "Windows returned an error");
      EXPECT_EQ(records[0].error, c.error);
      EXPECT_EQ(records[0].request, "-");

      // The next connection tries again and builds the page.
      HostConnection next;
      OpenConnection(&host, &next);
      EXPECT_EQ(SendChunk(&next, kRefusedRequest), SF_STATUS_REQ_FINISHED);
      EXPECT_EQ(next.written, ExpectedBlockResponse("Microsoft-IIS/10.0"));
      EndConnection(&connection);
      EndConnection(&next);
    }
    EXPECT_EQ(LiveBlockCount(), live);
  }
}

TEST(FirstChunk, EveryAllocationFailureBlocksAndLeaksNothing) {
  HookGuard guard;
  // Two requests on one kept-alive connection: set-up, scan, reset, scan.
  bool fired = true;
  int64_t n = 1;
  for (; fired; ++n) {
    SCOPED_TRACE(n);
    int64_t live = LiveBlockCount();
    {
      FilterHost host;
      StartLinked(&host, FilterIni());
      HostConnection connection;
      OpenConnection(&host, &connection);
      uint64_t before = AllocationCount();
      FailAllocationAfter(n);
      DWORD first = SendChunk(&connection, kAllowedRequest);
      SendResponse(&connection, 200);
      DWORD second = SendChunk(&connection, kRefusedRequest);
      EndConnection(&connection);
      FailAllocationAfter(0);
      fired = AllocationCount() - before >= uint64_t(n);
      // Every platform failure is logged as such; the one request that is
      // refused by the policy is the second.
      int platformRecords = 0;
      for (const LogRecord& record : Records(host))
        if (record.reason == "Windows returned an error") ++platformRecords;
      if (fired) {
        // The failure became a blocking verdict, never a silent pass.
        EXPECT_EQ(platformRecords, 1);
        EXPECT_TRUE(first == SF_STATUS_REQ_FINISHED || second == SF_STATUS_REQ_FINISHED);
        if (first == SF_STATUS_REQ_NEXT_NOTIFICATION) {
          EXPECT_EQ(second, SF_STATUS_REQ_FINISHED);
        }
      } else {
        EXPECT_EQ(first, SF_STATUS_REQ_NEXT_NOTIFICATION);
        EXPECT_EQ(second, SF_STATUS_REQ_FINISHED);
        EXPECT_EQ(platformRecords, 0);
      }
    }
    EXPECT_EQ(LiveBlockCount(), live);
    ASSERT_LT(n, 1000) << "the walk does not end";
  }
  // Context, two server variables, the page, and the request buffers at least.
  EXPECT_GE(n, 7);
}

TEST(FetchServerVariable, ReadsTheValueOrReportsTheError) {
  HookGuard guard;
  struct Case {
    const char* name;
    const char* variable;
    const char* failVariable;
    bool failAtRead;
    uint32_t failError;
    bool probeAnswersTrue;
    int64_t failAllocation;
    uint32_t hookError;
    uint32_t expected;
    const char* value;  // null: no text
  };
  const std::vector<Case> cases = {
      {"probe then read", "REMOTE_ADDR", "", false, 0, false, 0, 8, 0, "10.0.0.5"},
      {"probe answers TRUE", "REMOTE_ADDR", "", false, 0, true, 0, 8, 0, "10.0.0.5"},
      {"probe refused", "REMOTE_ADDR", "REMOTE_ADDR", false, 5, false, 0, 8, 5, nullptr},
      {"read refused", "REMOTE_ADDR", "REMOTE_ADDR", true, 6, false, 0, 8, 6, nullptr},
      {"probe fails without an error", "REMOTE_ADDR", "REMOTE_ADDR", false, 0, false, 0, 8, 31,
       nullptr},
      {"read fails without an error", "REMOTE_ADDR", "REMOTE_ADDR", true, 0, false, 0, 8, 31,
       nullptr},
      {"unknown variable", "NO_SUCH_VARIABLE", "", false, 0, false, 0, 8, 1413, nullptr},
      {"no memory", "SERVER_SOFTWARE", "", false, 0, false, 1, 8, 8, nullptr},
      {"no memory, no error number", "SERVER_SOFTWARE", "", false, 0, false, 1, 0, 8, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t live = LiveBlockCount();
    FilterHost host;
    BindLinkedCore(&host, FilterIni());
    HostConnection connection;
    OpenConnection(&host, &connection);
    connection.failVariable = c.failVariable;
    connection.failAtRead = c.failAtRead;
    connection.failError = c.failError;
    connection.probeAnswersTrue = c.probeAnswersTrue;
    char* text = reinterpret_cast<char*>(&connection);  // must be overwritten
    FailAllocationAfter(c.failAllocation, c.hookError);
    EXPECT_EQ(FetchServerVariable(&connection.pfc, c.variable, &text), c.expected);
    FailAllocationAfter(0);
    if (c.value == nullptr) {
      EXPECT_EQ(text, nullptr);
    } else {
      ASSERT_NE(text, nullptr);
      EXPECT_STREQ(text, c.value);
    }
    HeapFreeBlock(text);
    EXPECT_EQ(LiveBlockCount(), live);
  }
}

TEST(StartFilter, RefusesWithTheCauseAndLeavesNothingBehind) {
  struct Case {
    const char* name;
    size_t pathLength;
    uint32_t error;
  };
  const std::vector<Case> cases = {
      {"255 characters are accepted (the file is missing)", 255, 2},
      {"256 characters are too long", 256, 206},
      {"much too long", 4000, 206},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t live = LiveBlockCount();
    TempDir dir;
    std::string path = dir.path + "/";
    path += std::string(c.pathLength - path.size() - 4, 'p') + ".ini";
    ASSERT_EQ(path.size(), c.pathLength);
    HTTP_FILTER_VERSION version{};
    SetLastErrorValue(0);
    EXPECT_FALSE(StartFilter(&version, path.c_str()));
    EXPECT_EQ(GetLastErrorValue(), c.error);
    EXPECT_EQ(g_policy, nullptr);
    EXPECT_EQ(version.dwFlags, 0u);
    EXPECT_EQ(LiveBlockCount(), live);
  }
}

TEST(StartFilter, AllocationFailuresRefuseTheFilterWithoutLeaks) {
  HookGuard guard;
  TempDir logs;
  bool started = false;
  for (int64_t n = 1; !started; ++n) {
    SCOPED_TRACE(n);
    int64_t live = LiveBlockCount();
    {
      FilterHost host;
      BindLinkedCore(&host, FilterIni("ChangeBanner=Web Server\n"));
      FailAllocationAfter(n);
      uint32_t error = 0;
      started = StartHost(&host, &error) != FALSE;
      FailAllocationAfter(0);
      if (!started) {
        EXPECT_NE(error, 0u);
        EXPECT_EQ(g_policy, nullptr);
      }
    }
    EXPECT_EQ(LiveBlockCount(), live);
    ASSERT_LT(n, 1000) << "the walk does not end";
  }
}

TEST(StartFilter, SecondStartIsRefusedAndRestartAfterTerminateWorks) {
  FilterHost host;
  StartLinked(&host, FilterIni("RemoveBanner=1\n"));
  HTTP_FILTER_VERSION again{};
  EXPECT_FALSE(StartFilter(&again, host.iniPath.c_str()));
  EXPECT_EQ(GetLastErrorValue(), 183u);

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    HostConnection connection;
    OpenConnection(&host, &connection);
    EXPECT_EQ(SendChunk(&connection, kRefusedRequest), SF_STATUS_REQ_FINISHED);
    EXPECT_EQ(connection.written, ExpectedBlockResponse(nullptr));
    StopHost(&host);
    EXPECT_EQ(g_policy, nullptr);
    uint32_t error = 0;
    ASSERT_TRUE(StartHost(&host, &error)) << "last error " << error;
  }
  EXPECT_EQ(Records(host).size(), 3u);
}

TEST(Connection, ResetKeepsTheAddressAndStartsAnEmptyBuffer) {
  FilterHost host;
  StartLinked(&host, FilterIni("RemoveBanner=1\n"));
  HostConnection connection;
  OpenConnection(&host, &connection);
  // A long first request, so that a buffer kept over the reset would show.
  std::string first = "POST /a.htm HTTP/1.1\r\nHost: server1\r\nContent-Length: 5000\r\n\r\n" +
                      std::string(5000, 'b');
  ASSERT_EQ(SendChunk(&connection, first), SF_STATUS_REQ_NEXT_NOTIFICATION);
  auto* state = static_cast<Screening*>(connection.pfc.pFilterContext);
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(SendResponse(&connection, 200), SF_STATUS_REQ_NEXT_NOTIFICATION);
  // Not yet a whole verb, so not yet refused.
  ASSERT_EQ(SendChunk(&connection, "BRE"), SF_STATUS_REQ_NEXT_NOTIFICATION);
  ASSERT_EQ(connection.pfc.pFilterContext, state);
  EXPECT_EQ(RecordedText(state), "BRE");
  // Refused at its verb: the record shows the address fetched once for the
  // connection and only the new request's line.
  EXPECT_EQ(SendChunk(&connection, "W /b.htm HTTP/1.1\r\nHost: server1\r\n\r\n"),
            SF_STATUS_REQ_FINISHED);
  std::vector<LogRecord> records = Records(host);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].client, "10.0.0.5");
  EXPECT_EQ(records[0].request, "BREW /b.htm HTTP/1.1");
  EXPECT_EQ(connection.remoteAddrReads, 1);
  EndConnection(&connection);
}

}  // namespace
}  // namespace rg::test
