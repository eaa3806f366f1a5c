// The filter as a server sees it: a private copy of Ravelgard.so loaded with
// dlopen and driven through its exports only.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support/test_host.h"

namespace rg::test {
namespace {

// Loads the module with the given INI and starts it.
void StartModule(FilterHost* host, const std::string& ini) {
  ASSERT_EQ(BindModule(host, ini.c_str()), "");
  uint32_t error = 0;
  ASSERT_TRUE(StartHost(host, &error)) << "last error " << error;
}

TEST(Module, ExportsOnlyTheEntryPointsAndLastError) {
  std::string command = std::string("nm -D --defined-only '") + RG_MODULE_PATH + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char line[1024];
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    char type = 0;
    char name[900] = {};
    // "address type name"
    if (std::sscanf(line, "%*s %c %899s", &type, name) == 2) names.insert(name);
  }
  int status = pclose(pipe);
  if (status != 0 && names.empty()) GTEST_SKIP() << "nm is not available";
  // Anything more would let the host's or another module's symbols of the
  // same name interpose on the core.
  std::set<std::string> expected = {"GetFilterVersion", "HttpFilterProc", "TerminateFilter",
                                    "GetLastError", "SetLastError"};
  EXPECT_EQ(names, expected);
}

TEST(Module, DeclaresNotificationsWithThePolicyPriority) {
  struct Case {
    const char* globals;
    DWORD flags;
  };
  const std::vector<Case> cases = {
      {"HighPriority=1\n", 0x88140},
      {"HighPriority=0\n", 0x28140},
      {"", 0x88140},  // high priority unless the INI says otherwise
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.globals);
    FilterHost host;
    std::strcpy(host.version.lpszFilterDesc, "server's text");
    host.version.dwServerFilterVersion = 0x70000;
    StartModule(&host, FilterIni(c.globals));
    EXPECT_EQ(host.version.dwFilterVersion, 0x60000u);
    EXPECT_EQ(host.version.dwFlags, c.flags);
    EXPECT_STREQ(host.version.lpszFilterDesc, "server's text");
    // The first log file is open with its header once the filter is ready.
    EXPECT_NE(ReadLogs(host).find("#Software: Olvaxi Ravelgard\r\n"), std::string::npos);
  }
}

TEST(Module, MissingIniRefusesTheFilterAndLeavesNothingBehind) {
  FilterHost host;
  ASSERT_EQ(BindModule(&host, nullptr), "");
  uint32_t error = 0;
  EXPECT_FALSE(StartHost(&host, &error));
  EXPECT_EQ(error, 2u);
  EXPECT_TRUE(LogFiles(host.dir.path).empty());

  // The refused start left no policy behind: once the file is there, the same
  // loaded module starts.
  WriteTextFile(host.iniPath, FilterIni());
  EXPECT_TRUE(StartHost(&host, &error)) << "last error " << error;
}

TEST(Module, ConfigurationFileIsNamedAfterTheModule) {
  struct Case {
    const char* module;
    const char* ini;
  };
  const std::vector<Case> cases = {
      {"Ravelgard.so", "Ravelgard.ini"},
      {"Ravelgard", "Ravelgard.ini"},          // no extension: ".ini" is added
      {"Rg.v2.so", "Rg.v2.ini"},               // only the last extension goes
      {"lib.d/filter", "lib.d/filter.ini"},    // a dot in the directory is no extension
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.module);
    FilterHost host;
    ASSERT_EQ(BindModule(&host, FilterIni().c_str(), c.module, c.ini), "");
    uint32_t error = 0;
    EXPECT_TRUE(StartHost(&host, &error)) << "last error " << error;
  }
}

TEST(Module, LongModulePathsAreRefusedNotTruncated) {
  // The INI path may hold 255 characters; ".so" becoming ".ini" adds one.
  // Longer paths are refused (206) rather than read from a cut-off path.
  struct Case {
    size_t modulePathLength;
    BOOL started;
    uint32_t error;
  };
  const std::vector<Case> cases = {
      {254, TRUE, 0},     // INI path of 255 characters
      {255, FALSE, 206},  // INI path of 256
      {256, FALSE, 206},  // read back cut to ".../Ravelgard.s": INI path of 257
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.modulePathLength);
    FilterHost host;
    const std::string name = "/Ravelgard.so";
    // Two directories, since one name may not exceed 255 characters.
    size_t padding = c.modulePathLength - host.dir.path.size() - 1 - name.size() - 1;
    ASSERT_GT(padding, 2u);
    std::string directory =
        std::string(padding / 2, 'd') + "/" + std::string(padding - padding / 2, 'e');
    ASSERT_EQ(host.dir.path.size() + 1 + directory.size() + name.size(), c.modulePathLength);
    ASSERT_EQ(BindModule(&host, FilterIni().c_str(), directory + name,
                         directory + "/Ravelgard.ini"),
              "");
    uint32_t error = 0;
    EXPECT_EQ(StartHost(&host, &error), c.started);
    if (!c.started) {
      EXPECT_EQ(error, c.error);
      EXPECT_TRUE(LogFiles(host.dir.path).empty());
    }
  }
}

// Requests sent one after another in a single delivery: each is screened as
// a request of its own, so a hostile one cannot ride in behind a clean one,
// and a refused one refuses the whole delivery.
TEST(Module, PipelinedRequestsInOneDeliveryAreEachScreened) {
  struct Case {
    const char* name;
    std::string bytes;
    DWORD result;
    const char* request;  // the record's request field; null: no record
  };
  const std::string post =
      "POST /a.htm HTTP/1.1\r\nHost: server1\r\nContent-Length: 4\r\n\r\nBREW";
  const std::vector<Case> cases = {
      {"clean then hostile", std::string(kAllowedRequest) + std::string(kRefusedRequest),
       SF_STATUS_REQ_FINISHED, "BREW /a.htm HTTP/1.1"},
      {"body that looks like a verb, then hostile", post + std::string(kRefusedRequest),
       SF_STATUS_REQ_FINISHED, "BREW /a.htm HTTP/1.1"},
      {"three clean ones",
       std::string(kAllowedRequest) + std::string(kAllowedRequest) + std::string(kAllowedRequest),
       SF_STATUS_REQ_NEXT_NOTIFICATION, nullptr},
      {"hostile then clean", std::string(kRefusedRequest) + std::string(kAllowedRequest),
       SF_STATUS_REQ_FINISHED, "BREW /a.htm HTTP/1.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FilterHost host;
    StartModule(&host, FilterIni("RemoveBanner=1\n"));
    HostConnection connection;
    OpenConnection(&host, &connection);
    EXPECT_EQ(SendChunk(&connection, c.bytes), c.result);
    std::vector<LogRecord> records = Records(host);
    ASSERT_EQ(records.size(), c.request != nullptr ? 1u : 0u);
    if (c.request != nullptr) {
      EXPECT_EQ(records[0].request, c.request);
    }
  }
}

TEST(Module, ResponseEndsTheRequestUnlessItIsContinue) {
  // The refused request arrives after a complete request: with or without
  // a response in between, it is screened as a request of its own.
  struct Case {
    const char* name;
    DWORD status;  // 0: no response in between
    DWORD result;
    size_t records;
  };
  const std::vector<Case> cases = {
      {"final response", 200, SF_STATUS_REQ_FINISHED, 1},
      {"final response before the body", 404, SF_STATUS_REQ_FINISHED, 1},
      // The GET is complete, so what follows it is the next request of a
      // pipelined connection, screened on its own whether or not an answer
      // came in between; it never rides in as the body of the GET.
      {"100 Continue", 100, SF_STATUS_REQ_FINISHED, 1},
      {"no response (pipelined)", 0, SF_STATUS_REQ_FINISHED, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FilterHost host;
    StartModule(&host, FilterIni("RemoveBanner=1\n"));
    HostConnection connection;
    OpenConnection(&host, &connection);
    ASSERT_EQ(SendChunk(&connection, kAllowedRequest), SF_STATUS_REQ_NEXT_NOTIFICATION);
    if (c.status != 0) SendResponse(&connection, c.status);
    EXPECT_EQ(SendChunk(&connection, kRefusedRequest), c.result);
    std::vector<LogRecord> records = Records(host);
    ASSERT_EQ(records.size(), c.records);
    if (c.records == 1) {
      EXPECT_EQ(records[0].request, kRefusedLine);  // scanned from its verb, alone
      EXPECT_EQ(records[0].client, "10.0.0.5");     // the address kept from the connection
    }
    EXPECT_EQ(connection.remoteAddrReads, 1);
  }
}

TEST(Module, SimulateLogsPolicyRefusalsButBlocksPlatformFailures) {
  struct Case {
    const char* name;
    const char* globals;
    bool failRemoteAddr;
    DWORD result;
    const char* reason;
    const char* error;
    const char* client;
  };
  const std::vector<Case> cases = {
      {"simulate, policy refusal", "Simulate=1\n", false, SF_STATUS_REQ_NEXT_NOTIFICATION,
       "Request does not contain allowed verb", "-", "10.0.0.5"},
      {"simulate, REMOTE_ADDR unreadable", "Simulate=1\n", true, SF_STATUS_REQ_FINISHED,
       "Windows returned an error", "Win error 5", "[-]"},
      {"blocking, policy refusal", "Simulate=0\n", false, SF_STATUS_REQ_FINISHED,
       "Request does not contain allowed verb", "-", "10.0.0.5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FilterHost host;
    StartModule(&host, FilterIni(std::string(c.globals) + "RemoveBanner=1\n"));
    HostConnection connection;
    OpenConnection(&host, &connection);
    if (c.failRemoteAddr) {
      connection.failVariable = "REMOTE_ADDR";
      connection.failError = 5;
    }
    EXPECT_EQ(SendChunk(&connection, kRefusedRequest), c.result);
    bool blocked = c.result == SF_STATUS_REQ_FINISHED;
    EXPECT_EQ(connection.written, blocked ? ExpectedBlockResponse(nullptr) : "");
    if (blocked) {
      EXPECT_EQ(connection.lastErrorAtWrite, 0u);
    }
    std::vector<LogRecord> records = Records(host);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].reason, c.reason);
    EXPECT_EQ(records[0].error, c.error);
    EXPECT_EQ(records[0].client, c.client);
    // Whatever the verdict, the context is gone.
    EXPECT_EQ(connection.pfc.pFilterContext, nullptr);
  }
}

TEST(Module, SimulatePassScansTheNextChunkAsANewRequest) {
  FilterHost host;
  StartModule(&host, FilterIni("Simulate=1\nRemoveBanner=1\n"));
  HostConnection connection;
  OpenConnection(&host, &connection);
  EXPECT_EQ(SendChunk(&connection, "BREW /a.htm HTTP/1.1\r\nContent-Length: 20\r\n\r\n"),
            SF_STATUS_REQ_NEXT_NOTIFICATION);
  // The body that follows starts a fresh context and is judged on its own.
  EXPECT_EQ(SendChunk(&connection, "body bytes, not verb"), SF_STATUS_REQ_NEXT_NOTIFICATION);
  std::vector<LogRecord> records = Records(host);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].request, kRefusedLine);
  EXPECT_EQ(records[1].request, "body bytes, not verb");
  EXPECT_EQ(connection.remoteAddrReads, 2);
  EXPECT_EQ(connection.written, "");
}

TEST(Module, EndOfSessionFreesTheContextIfThereIsOne) {
  FilterHost host;
  StartModule(&host, FilterIni("RemoveBanner=1\n"));

  HostConnection idle;  // never sent a byte
  OpenConnection(&host, &idle);
  EXPECT_EQ(EndConnection(&idle), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(idle.pfc.pFilterContext, nullptr);

  HostConnection busy;
  OpenConnection(&host, &busy);
  ASSERT_EQ(SendChunk(&busy, "BRE"), SF_STATUS_REQ_NEXT_NOTIFICATION);
  ASSERT_NE(busy.pfc.pFilterContext, nullptr);
  EXPECT_EQ(EndConnection(&busy), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(busy.pfc.pFilterContext, nullptr);
  EXPECT_EQ(EndConnection(&busy), SF_STATUS_REQ_NEXT_NOTIFICATION);  // a second end is harmless

  HostConnection refused;  // its context went with the verdict
  OpenConnection(&host, &refused);
  ASSERT_EQ(SendChunk(&refused, kRefusedRequest), SF_STATUS_REQ_FINISHED);
  EXPECT_EQ(EndConnection(&refused), SF_STATUS_REQ_NEXT_NOTIFICATION);

  EXPECT_EQ(idle.written + busy.written, "");
  EXPECT_EQ(Records(host).size(), 1u);
}

TEST(Module, UndeclaredNotificationsChangeNothing) {
  FilterHost host;
  StartModule(&host, FilterIni("RemoveBanner=1\n"));
  HostConnection connection;
  OpenConnection(&host, &connection);
  ASSERT_EQ(SendChunk(&connection, "BR"), SF_STATUS_REQ_NEXT_NOTIFICATION);
  void* context = connection.pfc.pFilterContext;
  HTTP_FILTER_RAW_DATA unused{};
  for (DWORD type : {DWORD(SF_NOTIFY_LOG), DWORD(SF_NOTIFY_PREPROC_HEADERS),
                     DWORD(SF_NOTIFY_SEND_RAW_DATA), DWORD(0)}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(Notify(&connection, type, type == SF_NOTIFY_SEND_RAW_DATA ? &unused : nullptr),
              SF_STATUS_REQ_NEXT_NOTIFICATION);
    EXPECT_EQ(connection.pfc.pFilterContext, context);
  }
  // The request goes on from where it was.
  EXPECT_EQ(SendChunk(&connection, kRefusedRequest.substr(2)), SF_STATUS_REQ_FINISHED);
  std::vector<LogRecord> records = Records(host);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].request, kRefusedLine);
  EXPECT_EQ(connection.setHeaderCalls, 0);
}

TEST(Module, BannerSettingsShapeResponsesAndTheBlockResponse) {
  struct Case {
    const char* name;
    const char* globals;
    bool serverHeader;         // does a response still carry Server:?
    const char* serverValue;   // its value when it does
    int setHeaderCalls;        // per response
    const char* pageServer;    // Server: text of the block response, null for none
    int serverSoftwareReads;   // over the three refused connections
  };
  const std::vector<Case> cases = {
      {"RemoveBanner", "RemoveBanner=1\n", false, "", 1, nullptr, 0},
      {"RemoveBanner wins over ChangeBanner", "RemoveBanner=1\nChangeBanner=Web Server\n", false,
       "", 1, nullptr, 0},
      {"ChangeBanner", "ChangeBanner=Web Server\n", true, "Web Server", 1, "Web Server", 0},
      {"neither", "", true, "Microsoft-IIS/10.0", 0, "Microsoft-IIS/10.0", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FilterHost host;
    StartModule(&host, FilterIni(c.globals));

    HostConnection browsing;
    OpenConnection(&host, &browsing);
    ASSERT_EQ(SendChunk(&browsing, kAllowedRequest), SF_STATUS_REQ_NEXT_NOTIFICATION);
    // An interim response is handled like any other.
    for (DWORD status : {100u, 200u}) {
      SCOPED_TRACE(status);
      EXPECT_EQ(SendResponse(&browsing, status), SF_STATUS_REQ_NEXT_NOTIFICATION);
      EXPECT_EQ(browsing.hasServerHeader, c.serverHeader);
      if (c.serverHeader) {
        EXPECT_EQ(browsing.serverHeader, c.serverValue);
      }
    }
    EXPECT_EQ(browsing.setHeaderCalls, 2 * c.setHeaderCalls);
    EXPECT_EQ(browsing.written, "");

    std::string page = ExpectedBlockResponse(c.pageServer);
    for (int i = 0; i < 3; ++i) {
      HostConnection refused;
      OpenConnection(&host, &refused);
      EXPECT_EQ(SendChunk(&refused, kRefusedRequest), SF_STATUS_REQ_FINISHED);
      EXPECT_EQ(refused.written, page);
      EXPECT_EQ(refused.writes, 1);
    }
    EXPECT_EQ(host.serverSoftwareReads.load(), c.serverSoftwareReads);
  }
}

TEST(Module, RefusedServerHeaderChangeSendsTheBlockResponse) {
  struct Case {
    const char* globals;
    const char* pageServer;
  };
  const std::vector<Case> cases = {
      {"ChangeBanner=Web Server\n", "Web Server"},
      {"ChangeBanner=Web Server\nSimulate=1\n", "Web Server"},  // the banner must not leak
      {"RemoveBanner=1\n", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.globals);
    FilterHost host;
    StartModule(&host, FilterIni(c.globals));
    HostConnection connection;
    OpenConnection(&host, &connection);
    ASSERT_EQ(SendChunk(&connection, kAllowedRequest), SF_STATUS_REQ_NEXT_NOTIFICATION);
    connection.setHeaderResult = FALSE;
    EXPECT_EQ(SendResponse(&connection, 200), SF_STATUS_REQ_FINISHED);
    EXPECT_EQ(connection.written, ExpectedBlockResponse(c.pageServer));
    EXPECT_EQ(connection.lastErrorAtWrite, 0u);
    EXPECT_TRUE(Records(host).empty());  // not a rejection: nothing is logged
  }
}

TEST(Module, StartsAgainAfterTerminate) {
  FilterHost host;
  StartModule(&host, FilterIni("RemoveBanner=1\n"));
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    if (round > 0) {
      uint32_t error = 0;
      ASSERT_TRUE(StartHost(&host, &error)) << "last error " << error;
    }
    HostConnection connection;
    OpenConnection(&host, &connection);
    EXPECT_EQ(SendChunk(&connection, kRefusedRequest), SF_STATUS_REQ_FINISHED);
    EXPECT_EQ(connection.written, ExpectedBlockResponse(nullptr));
    StopHost(&host);
    EXPECT_EQ(Records(host).size(), size_t(round + 1));
  }
}

// The log the `ravelgard` command writes with --log is the module's log for
// the same traffic: same summary, same records, only the times differ.
TEST(Module, LogEqualsTheCommandsLogForTheSameTraffic) {
  std::vector<std::vector<std::string>> connections = {
      {"GET /a.htm HTTP/1.1\r\nHost: server1\r\n\r\n", "TRACE / HTTP/1.1\r\n\r\n"},
      {"GET /x.exe HTTP/1.1\r\n\r\n"},
      {"GET /?q=%3cscript%3e HTTP/1.1\r\n\r\n"},
      {"GET /a.htm HTTP/1.1\r\nUser-Agent: " + std::string(40, 'u') + "\r\n\r\n"},
      {std::string("GET /\x01\xE9 HTTP/1.1\r\n\r\n")},
      {"GE"},
  };
  std::string ini =
      "[Globals]\nValidHttpVersion=0\nValidHostPort=0\nExtensionAllow=0\nDenyHeaderName=0\n"
      "DenyUrlSequence=0\nAllowHighBitInPayload=1\n"
      "[VerbAllow]\nGET\nPOST\n[ExtensionDeny]\n.com\n.exe\n[DenyQuerySequence]\n<script\n"
      "[ValidMaxLenByHeader]\nUser-Agent=32\n";

  FilterHost host;
  ASSERT_EQ(BindModule(&host, ini.c_str()), "");
  ASSERT_EQ(StartHost(&host), TRUE);
  std::vector<std::string> files;
  for (size_t i = 0; i < connections.size(); ++i) {
    HostConnection c;
    OpenConnection(&host, &c, "10.1.2.3");
    std::string all;
    for (const std::string& request : connections[i]) {
      all += request;
      if (SendChunk(&c, request) == SF_STATUS_REQ_FINISHED) break;
      if (request != "GE") SendResponse(&c, 200);
    }
    EndConnection(&c);
    files.push_back(host.dir.File("conn" + std::to_string(i) + ".http"));
    WriteTextFile(files.back(), all);
  }
  StopHost(&host);
  std::string moduleLog = ReadLogs(host);

  TempDir logs;
  std::vector<std::string> args = {"check", "-c", host.iniPath, "--client-ip", "10.1.2.3",
                                   "--log", logs.path};
  args.insert(args.end(), files.begin(), files.end());
  args.insert(args.begin(), RG_TOOL_PATH);
  RunResult r = RunProgram(args);
  EXPECT_EQ(r.status, 1) << r.err;
  std::vector<std::string> toolLogs = LogFiles(logs.path);
  ASSERT_EQ(toolLogs.size(), 1u);
  std::string toolLog = ReadTextFile(toolLogs[0]);

  // Records without their times; the header and summary without the #Date
  // line and with the log directory named alike.
  auto normalize = [](std::string log, const std::string& directory) {
    std::string out;
    size_t pos = 0;
    while (pos < log.size()) {
      size_t end = log.find("\r\n", pos);
      if (end == std::string::npos) end = log.size();
      std::string line = log.substr(pos, end - pos);
      pos = end + 2;
      if (line.rfind("#Date: ", 0) == 0) continue;
      if (line == "# Log files in " + directory) line = "# Log files in DIR";
      else if (line[0] != '#') line = line.substr(20);
      out += line + "\n";
    }
    return out;
  };
  std::string expected = normalize(moduleLog, host.dir.File("LogFiles"));
  EXPECT_EQ(normalize(toolLog, logs.path), expected);
  EXPECT_EQ(RecordLines(moduleLog).size(), 5u);
  EXPECT_NE(expected.find("10.1.2.3 [Request does not contain allowed verb] [-] [TRACE / HTTP/1.1]"),
            std::string::npos)
      << expected;
}

}  // namespace
}  // namespace rg::test
