// The filter's entry points with the core linked in: the block response, the
// verdict, server variables, and every allocation failure on the way.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "platform/platform.h"
#include "support/test_host.h"

namespace rg::test {
namespace {

// Disarms the allocation hook and the verdict observer whatever a test does.
struct HookGuard {
  ~HookGuard() {
    FailAllocationAfter(0);
    g_verdictObserver = nullptr;
  }
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

TEST(Verdict, BlocksPolicyRefusalsUnlessSimulatedAndPlatformFailuresAlways) {
  struct Case {
    int simulate;
    uint32_t reason;
    uint32_t winError;
    DWORD result;
  };
  const std::vector<Case> cases = {
      {0, 3, 0, SF_STATUS_REQ_FINISHED},
      {0, 0, 5, SF_STATUS_REQ_FINISHED},
      {0, 0, 0, SF_STATUS_REQ_NEXT_NOTIFICATION},
      {1, 34, 0, SF_STATUS_REQ_FINISHED},
      {1, 34, 8, SF_STATUS_REQ_FINISHED},
      {1, 3, 5, SF_STATUS_REQ_FINISHED},
      {1, 3, 0, SF_STATUS_REQ_NEXT_NOTIFICATION},
      {1, 0, 0, SF_STATUS_REQ_NEXT_NOTIFICATION},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "simulate " << c.simulate << " reason " << c.reason
                                    << " winError " << c.winError);
    FilterHost host;
    StartLinked(&host, FilterIni(std::string("RemoveBanner=1\nSimulate=") +
                                 std::to_string(c.simulate) + "\n"));
    HostConnection connection;
    OpenConnection(&host, &connection);
    ASSERT_EQ(SendChunk(&connection, "GE"), SF_STATUS_REQ_NEXT_NOTIFICATION);
    ASSERT_NE(connection.pfc.pFilterContext, nullptr);
    SetLastErrorValue(77);  // whatever came before must not reach the write
    EXPECT_EQ(IssueVerdict(&connection.pfc, c.reason, 0, c.winError), c.result);
    EXPECT_EQ(connection.pfc.pFilterContext, nullptr);  // freed whatever the verdict
    bool blocked = c.result == SF_STATUS_REQ_FINISHED;
    EXPECT_EQ(connection.written, blocked ? ExpectedBlockResponse(nullptr) : "");
    if (blocked) {
      EXPECT_EQ(connection.lastErrorAtWrite, 0u);
    }
    std::vector<LogRecord> records = Records(host);
    ASSERT_EQ(records.size(), 1u);  // logged also when it passes
    EXPECT_EQ(records[0].request, "GE");
  }
}

TEST(Verdict, ObserverSeesTheContextBeforeItIsFreed) {
  HookGuard guard;
  FilterHost host;
  StartLinked(&host, FilterIni("RemoveBanner=1\n"));
  struct Seen {
    int calls;
    std::string request;
    uint32_t reason;
    DWORD result;
  };
  static Seen seen;
  seen = Seen{};
  g_verdictObserver = [](HTTP_FILTER_CONTEXT*, const ScanContext* context, uint32_t reason,
                         uint32_t, uint32_t, DWORD result) {
    ++seen.calls;
    seen.request.assign(reinterpret_cast<const char*>(context->data), context->length);
    seen.reason = reason;
    seen.result = result;
  };
  HostConnection connection;
  OpenConnection(&host, &connection);
  EXPECT_EQ(SendChunk(&connection, kRefusedRequest), SF_STATUS_REQ_FINISHED);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.request, kRefusedRequest);
  EXPECT_EQ(seen.reason, 3u);
  EXPECT_EQ(seen.result, DWORD(SF_STATUS_REQ_FINISHED));
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
  struct Verdicts {
    int count;
    int platformBlocks;  // reason 34 with SF_STATUS_REQ_FINISHED
  };
  static Verdicts verdicts;
  // Two requests on one kept-alive connection: set-up, scan, reset, scan.
  bool fired = true;
  int64_t n = 1;
  for (; fired; ++n) {
    SCOPED_TRACE(n);
    int64_t live = LiveBlockCount();
    {
      FilterHost host;
      StartLinked(&host, FilterIni());
      verdicts = Verdicts{};
      g_verdictObserver = [](HTTP_FILTER_CONTEXT*, const ScanContext*, uint32_t reason, uint32_t,
                             uint32_t, DWORD result) {
        ++verdicts.count;
        if (reason == 34 && result == SF_STATUS_REQ_FINISHED) ++verdicts.platformBlocks;
      };
      HostConnection connection;
      OpenConnection(&host, &connection);
      uint64_t before = AllocationCount();
      FailAllocationAfter(n);
      DWORD first = SendChunk(&connection, kAllowedRequest);
      SendResponse(&connection, 200);
      DWORD second = SendChunk(&connection, kRefusedRequest);
      EndConnection(&connection);
      FailAllocationAfter(0);
      g_verdictObserver = nullptr;
      fired = AllocationCount() - before >= uint64_t(n);
      if (fired) {
        // The failure became a blocking verdict, never a silent pass.
        EXPECT_EQ(verdicts.platformBlocks, 1);
      } else {
        EXPECT_EQ(first, SF_STATUS_REQ_NEXT_NOTIFICATION);
        EXPECT_EQ(second, SF_STATUS_REQ_FINISHED);
        EXPECT_EQ(verdicts.platformBlocks, 0);
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
  std::string first = std::string(kAllowedRequest) + std::string(5000, 'b');
  ASSERT_EQ(SendChunk(&connection, first), SF_STATUS_REQ_NEXT_NOTIFICATION);
  auto* context = static_cast<ScanContext*>(connection.pfc.pFilterContext);
  char* address = context->clientAddress;
  SendResponse(&connection, 200);
  EXPECT_EQ(context->state, uint32_t(kStateResponseSent));
  ASSERT_EQ(SendChunk(&connection, "GET /b.htm HTTP/1.1\r\n"), SF_STATUS_REQ_NEXT_NOTIFICATION);
  ASSERT_EQ(connection.pfc.pFilterContext, context);
  EXPECT_EQ(context->clientAddress, address);
  EXPECT_STREQ(context->clientAddress, "10.0.0.5");
  EXPECT_EQ(context->length, 21u);
  EXPECT_EQ(std::memcmp(context->data, "GET /b.htm HTTP/1.1\r\n", 21), 0);
  EXPECT_EQ(context->reason, 0u);
  EXPECT_EQ(connection.remoteAddrReads, 1);
  EndConnection(&connection);
}

}  // namespace
}  // namespace rg::test
