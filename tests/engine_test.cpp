// The engine API as a host uses it: policies as objects that several
// connections share and may outlive, verdicts as records, the block page and
// the Server: header decision.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "platform/platform.h"
#include "kit/test_kit.h"

namespace rg {
namespace {

using test::ReadTextFile;
using test::TempDir;
using test::WriteTextFile;

// Lets "GET /a.htm HTTP/1.1" through and refuses verbs other than those
// listed; extra lines go into Globals.
std::string Ini(std::string_view verbs, std::string_view extraGlobals = "") {
  std::string ini =
      "[Globals]\nVerbAllow=1\nValidHttpVersion=0\nValidHostPort=0\nExtensionAllow=0\n"
      "DenyHeaderName=0\nValidMaxLenByHeader=0\nDenyUrlSequence=0\nDenyQuerySequence=0\n";
  ini += extraGlobals;
  ini += "[VerbAllow]\n";
  ini += verbs;
  return ini;
}

constexpr std::string_view kGet = "GET /a.htm HTTP/1.1\r\nHost: server1\r\n\r\n";
constexpr std::string_view kPost =
    "POST /a.htm HTTP/1.1\r\nHost: server1\r\nContent-Length: 3\r\n\r\nabc";

struct Loaded {
  EnginePolicy* policy = nullptr;
  uint32_t error = 0;
  ~Loaded() { ReleaseEnginePolicy(policy); }
};

void Load(Loaded* out, const std::string& ini, const std::string& logDir,
          LogMode mode = LogMode::kExclusive) {
  EngineOptions options;
  options.logDirectory = logDir.c_str();
  options.logMode = mode;
  out->error = LoadEnginePolicy(ini.c_str(), &options, &out->policy);
}

Verdict ScreenText(Screening* state, std::string_view bytes) {
  return Screen(state, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::vector<std::string> RecordLines(const std::string& directory) {
  std::vector<std::string> records;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string text = ReadTextFile(entry.path().string());
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
      if (text[start] != '#') records.push_back(text.substr(start, end - start));
  }
  return records;
}

TEST(EnginePolicies, TwoPoliciesAliveAtOnceGiveTheirOwnVerdicts) {
  TempDir dir;
  WriteTextFile(dir.File("get.ini"), Ini("GET\n"));
  WriteTextFile(dir.File("post.ini"), Ini("POST\n"));
  Loaded getOnly, postOnly;
  Load(&getOnly, dir.File("get.ini"), dir.File("logs"));
  Load(&postOnly, dir.File("post.ini"), dir.File("logs"));
  // The second policy joins the log the first one holds instead of being
  // refused by it.
  ASSERT_EQ(getOnly.error, 0u);
  ASSERT_EQ(postOnly.error, 0u);

  struct Case {
    EnginePolicy* policy;
    std::string_view request;
    VerdictKind kind;
  };
  const Case cases[] = {
      {getOnly.policy, kGet, VerdictKind::kGoing},
      {getOnly.policy, kPost, VerdictKind::kRejected},
      {postOnly.policy, kGet, VerdictKind::kRejected},
      {postOnly.policy, kPost, VerdictKind::kGoing},
  };
  for (const Case& c : cases) {
    Screening* state = nullptr;
    ASSERT_EQ(OpenScreening(c.policy, "10.0.0.7", &state), 0u);
    Verdict v = ScreenText(state, c.request);
    EXPECT_EQ(v.kind, c.kind) << c.request;
    if (v.kind == VerdictKind::kRejected) {
      EXPECT_EQ(v.reason, kReasonVerbNotAllowed);
      EXPECT_TRUE(Blocks(v));
      LogVerdict(c.policy, state, v);
    } else {
      EXPECT_EQ(v.headLength, c.request.find("\r\n\r\n") + 4);
    }
    CloseScreening(state);
  }
  std::vector<std::string> records = RecordLines(dir.File("logs"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].find("10.0.0.7 [Request does not contain allowed verb] [-] [POST /a.htm"),
            std::string::npos)
      << records[0];
  EXPECT_NE(records[1].find("[GET /a.htm HTTP/1.1]"), std::string::npos) << records[1];
}

TEST(EnginePolicies, AConnectionOutlivesThePolicyItStartedWith) {
  TempDir dir;
  WriteTextFile(dir.File("old.ini"), Ini("GET\n"));
  int64_t blocksBefore = LiveBlockCount();
  {
    Loaded old;
    Load(&old, dir.File("old.ini"), dir.File("logs"));
    ASSERT_EQ(old.error, 0u);
    Screening* state = nullptr;
    ASSERT_EQ(OpenScreening(old.policy, "10.0.0.8", &state), 0u);
    EXPECT_EQ(ScreenText(state, "GET /a.htm HTTP/1.1\r\n").kind, VerdictKind::kGoing);

    // The host lets go (a reload); the connection finishes on the old rules.
    ReleaseEnginePolicy(old.policy);
    old.policy = nullptr;
    EXPECT_NE(ScreeningPolicy(state), nullptr);
    EXPECT_EQ(ScreenText(state, "Host: server1\r\n\r\n").kind, VerdictKind::kGoing);
    ResponseStarted(state, 200);
    Verdict second = ScreenText(state, "TRACE / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(second.kind, VerdictKind::kRejected);
    LogVerdict(ScreeningPolicy(state), state, second);
    CloseScreening(state);  // the last reference: policy and log go now
  }
  EXPECT_EQ(LiveBlockCount(), blocksBefore);
  std::vector<std::string> records = RecordLines(dir.File("logs"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].find("[TRACE / HTTP/1.1]"), std::string::npos);
}

TEST(EngineVerdicts, SimulateModeLogsAndLetsThrough) {
  TempDir dir;
  WriteTextFile(dir.File("p.ini"), Ini("GET\n", "Simulate=1\n"));
  Loaded loaded;
  Load(&loaded, dir.File("p.ini"), dir.File("logs"));
  ASSERT_EQ(loaded.error, 0u);
  Screening* state = nullptr;
  ASSERT_EQ(OpenScreening(loaded.policy, "10.0.0.9", &state), 0u);

  Verdict v = ScreenText(state, "BREW /a.htm HTTP/1.1\r\n");
  ASSERT_EQ(v.kind, VerdictKind::kRejected);
  EXPECT_TRUE(v.simulated);
  EXPECT_FALSE(Blocks(v));
  char message[256];
  FormatVerdictMessage(loaded.policy, v, message, sizeof message);
  EXPECT_STREQ(message, "[Request does not contain allowed verb]");
  LogVerdict(loaded.policy, state, v);

  // The rest of the let-through request starts a new scan, as in the module.
  Verdict rest = ScreenText(state, "Host: server1\r\n\r\n");
  EXPECT_EQ(rest.kind, VerdictKind::kRejected);
  EXPECT_EQ(rest.reason, kReasonVerbNotAllowed);  // "Host:" read as a verb
  CloseScreening(state);
  EXPECT_EQ(RecordLines(dir.File("logs")).size(), 1u);
}

TEST(EngineVerdicts, Continue100KeepsTheRequestAndOtherStatusesEndIt) {
  TempDir dir;
  WriteTextFile(dir.File("p.ini"), Ini("GET\nPOST\n", "PayloadMaxLen=4\n"));
  Loaded loaded;
  Load(&loaded, dir.File("p.ini"), dir.File("logs"));
  ASSERT_EQ(loaded.error, 0u);
  Screening* state = nullptr;
  ASSERT_EQ(OpenScreening(loaded.policy, "10.0.0.9", &state), 0u);
  ScreenText(state, "POST /a.htm HTTP/1.1\r\nHost: a\r\nContent-Length: 6\r\n\r\nabc");
  ResponseStarted(state, 100);
  // Still the same body: 3 + 3 bytes exceed the limit of 4.
  EXPECT_EQ(ScreenText(state, "def").reason, kReasonPayloadTooLong);
  CloseScreening(state);

  ASSERT_EQ(OpenScreening(loaded.policy, "10.0.0.9", &state), 0u);
  ScreenText(state, "POST /a.htm HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc");
  ResponseStarted(state, 200);
  EXPECT_EQ(ScreenText(state, kGet).kind, VerdictKind::kGoing);
  CloseScreening(state);
}

TEST(EngineServerHeader, DecisionFollowsThePolicy) {
  struct Case {
    const char* globals;
    ServerHeaderAction action;
    const char* text;
    std::string_view pageServerLine;  // in the block page; empty: none
  };
  const Case cases[] = {
      {"", ServerHeaderAction::kKeep, "", "Server: Apache/2.4\r\n"},
      {"ChangeBanner=Web Server\n", ServerHeaderAction::kReplace, "Web Server",
       "Server: Web Server\r\n"},
      {"RemoveBanner=1\n", ServerHeaderAction::kRemove, "", ""},
      {"RemoveBanner=1\nChangeBanner=Web Server\n", ServerHeaderAction::kRemove, "", ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteTextFile(dir.File("p.ini"), Ini("GET\n", c.globals));
    Loaded loaded;
    Load(&loaded, dir.File("p.ini"), dir.File("logs"));
    ASSERT_EQ(loaded.error, 0u) << c.globals;
    const char* text = nullptr;
    EXPECT_EQ(ServerHeaderDecision(loaded.policy, &text), c.action) << c.globals;
    EXPECT_STREQ(text, c.text) << c.globals;

    // The page is fixed at load when the policy fixes the banner; else the
    // first host banner builds it, once.
    EXPECT_EQ(EnsureBlockPageText(loaded.policy, "Apache/2.4"), 0u);
    EXPECT_EQ(EnsureBlockPageText(loaded.policy, "Other/1.0"), 0u);
    const char* page = nullptr;
    uint32_t length = 0;
    BlockPage(loaded.policy, &page, &length);
    ASSERT_NE(page, nullptr);
    std::string expected =
        "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\nContent-Length: 87\r\n" +
        std::string(c.pageServerLine) +
        "\r\n<html><head><title>Error</title></head><body>The parameter is incorrect. "
        "</body></html>";
    EXPECT_EQ(std::string(page, length), expected) << c.globals;
  }
}

// Every allocation of loading a policy and opening a connection may fail:
// each failure is an error number and leaves nothing behind.
TEST(EngineResources, EveryAllocationFailureIsReportedAndLeaksNothing) {
  TempDir dir;
  WriteTextFile(dir.File("p.ini"), Ini("GET\n"));
  std::string ini = dir.File("p.ini");
  std::string logs = dir.File("logs");
  for (int64_t n = 1;; ++n) {
    int64_t before = LiveBlockCount();
    FailAllocationAfter(n);
    EngineOptions options;
    options.logDirectory = logs.c_str();
    EnginePolicy* policy = nullptr;
    uint32_t error = LoadEnginePolicy(ini.c_str(), &options, &policy);
    Screening* state = nullptr;
    uint32_t openError = error == 0 ? OpenScreening(policy, "10.0.0.1", &state) : 0;
    Verdict v = {};
    if (state != nullptr) v = ScreenText(state, kGet);
    FailAllocationAfter(0);
    CloseScreening(state);
    ReleaseEnginePolicy(policy);
    EXPECT_EQ(LiveBlockCount(), before) << "allocation " << n;
    if (error != 0) {
      EXPECT_EQ(error, kErrorNotEnoughMemory) << "allocation " << n;
      EXPECT_EQ(policy, nullptr);
      continue;
    }
    if (openError != 0) {
      EXPECT_EQ(openError, kErrorNotEnoughMemory);
      continue;
    }
    if (v.kind == VerdictKind::kRejected) {
      // A buffer the scan could not grow: refused as a platform failure,
      // never let through.
      EXPECT_EQ(v.reason, kReasonWindowsError);
      EXPECT_TRUE(Blocks(v));
      continue;
    }
    break;  // every allocation of the path succeeded: all were walked
  }
}

}  // namespace
}  // namespace rg

namespace rg {
namespace {

// The verdicts of a connection's bytes delivered in the given pieces; each
// piece is screened to its end as a host does, a response following every
// request that completes.
struct Played {
  std::vector<Verdict> rejections;
  int completed = 0;
};

Played Play(EnginePolicy* policy, const std::vector<std::string_view>& pieces) {
  Played played;
  Screening* state = nullptr;
  if (OpenScreening(policy, "10.0.0.1", &state) != 0) std::abort();
  for (std::string_view piece : pieces) {
    int completedHere = 0;
    while (!piece.empty()) {
      Verdict v = ScreenText(state, piece);
      if (v.kind == VerdictKind::kRejected) {
        played.rejections.push_back(v);
        LogVerdict(policy, state, v);
        break;
      }
      if (v.messageComplete) ++completedHere;
      if (v.consumed == 0) break;
      piece.remove_prefix(v.consumed);
    }
    if (!played.rejections.empty()) break;
    played.completed += completedHere;
    for (int i = 0; i < completedHere; ++i) ResponseStarted(state, 200);
  }
  CloseScreening(state);
  return played;
}

std::vector<std::string_view> Split(std::string_view bytes, size_t size) {
  std::vector<std::string_view> pieces;
  for (size_t at = 0; at < bytes.size(); at += size) pieces.push_back(bytes.substr(at, size));
  return pieces;
}

TEST(EnginePipelining, ARequestAfterACleanOneIsScreenedOnItsOwn) {
  TempDir dir;
  WriteTextFile(dir.File("p.ini"), Ini("GET\nPOST\n"));
  Loaded loaded;
  Load(&loaded, dir.File("p.ini"), dir.File("logs"));
  ASSERT_EQ(loaded.error, 0u);
  std::string stream = std::string(kPost) + "TRACE /secret HTTP/1.1\r\nHost: a\r\n\r\n";
  for (size_t size : {stream.size(), size_t(1), size_t(5), size_t(60)}) {
    Played played = Play(loaded.policy, Split(stream, size));
    ASSERT_EQ(played.rejections.size(), 1u) << size;
    EXPECT_EQ(played.rejections[0].reason, kReasonVerbNotAllowed) << size;
  }
  // The record names the hostile request, not the body of the first.
  std::vector<std::string> records = RecordLines(dir.File("logs"));
  ASSERT_FALSE(records.empty());
  EXPECT_NE(records[0].find("[TRACE /secret HTTP/1.1]"), std::string::npos) << records[0];
}

TEST(EnginePipelining, AResponseToAnEarlierRequestLeavesALaterOneAlone) {
  TempDir dir;
  WriteTextFile(dir.File("p.ini"), Ini("GET\n"));
  Loaded loaded;
  Load(&loaded, dir.File("p.ini"), dir.File("logs"));
  ASSERT_EQ(loaded.error, 0u);
  Screening* state = nullptr;
  ASSERT_EQ(OpenScreening(loaded.policy, "10.0.0.1", &state), 0u);
  std::string first = std::string(kGet) + "GET /a.";
  Verdict v = ScreenText(state, first);
  ASSERT_EQ(v.kind, VerdictKind::kGoing);
  ASSERT_TRUE(v.messageComplete);
  ASSERT_EQ(v.consumed, kGet.size());
  v = ScreenText(state, std::string_view(first).substr(v.consumed));
  EXPECT_EQ(v.kind, VerdictKind::kGoing);
  // The answer to the first GET arrives while the second is half read: the
  // second goes on; restarted, "htm" would be read as a verb and refused.
  ResponseStarted(state, 200);
  std::string_view rest = "htm HTTP/1.1\r\nHost: a\r\n\r\n";
  v = ScreenText(state, rest);
  EXPECT_EQ(v.kind, VerdictKind::kGoing) << v.reason;
  EXPECT_TRUE(v.messageComplete);
  EXPECT_EQ(v.headLength, 7 + rest.size());
  // Its own response ends it: the next bytes are a new request.
  ResponseStarted(state, 200);
  v = ScreenText(state, kGet);
  EXPECT_EQ(v.kind, VerdictKind::kGoing);
  EXPECT_EQ(v.headLength, kGet.size());
  CloseScreening(state);
}

TEST(EngineFraming, AmbiguousFramingIsRefusedEvenInSimulateMode) {
  TempDir dir;
  WriteTextFile(dir.File("p.ini"), Ini("GET\nPOST\n", "Simulate=1\n"));
  Loaded loaded;
  Load(&loaded, dir.File("p.ini"), dir.File("logs"));
  ASSERT_EQ(loaded.error, 0u);
  struct Case {
    const char* what;
    std::string_view request;
    const char* message;
  };
  const Case cases[] = {
      {"both lengths",
       "POST /a.htm HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n"
       "\r\n0\r\n\r\n",
       "[Ambiguous framing: Content-Length with Transfer-Encoding]"},
      {"two lengths", "POST /a.htm HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
       "[Ambiguous framing: more than one Content-Length]"},
      {"gzip then chunked",
       "POST /a.htm HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
       "[Ambiguous framing: transfer coding other than chunked]"},
      {"bad chunk size",
       "POST /a.htm HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n",
       "[Ambiguous framing: malformed chunk size]"},
  };
  for (const Case& c : cases) {
    for (size_t size : {c.request.size(), size_t(1), size_t(7)}) {
      Played played = Play(loaded.policy, Split(c.request, size));
      ASSERT_EQ(played.rejections.size(), 1u) << c.what << " in pieces of " << size;
      const Verdict& v = played.rejections[0];
      EXPECT_EQ(v.reason, kReasonFraming) << c.what;
      EXPECT_TRUE(Blocks(v)) << c.what;
      char message[256];
      FormatVerdictMessage(loaded.policy, v, message, sizeof message);
      EXPECT_STREQ(message, c.message) << c.what;
    }
  }
}

// Empty lines before a request (a CR LF sent after a body, and the bare CR
// or LF a sloppy client sends) are passed over however many there are and
// however they arrive; the request after them is screened from its first
// byte, so a refused one is still refused and its record starts at its verb.
TEST(EnginePipelining, EmptyLinesBeforeARequestArePassedOver) {
  TempDir dir;
  WriteTextFile(dir.File("p.ini"), Ini("GET\n"));
  Loaded loaded;
  Load(&loaded, dir.File("p.ini"), dir.File("logs"));
  ASSERT_EQ(loaded.error, 0u);
  const std::string refused = "TRACE /a.htm HTTP/1.1\r\nHost: a\r\n\r\n";
  struct Case {
    const char* what;
    std::string stream;
    size_t rejections;
  };
  const Case cases[] = {
      {"one CR LF", "\r\n" + std::string(kGet), 0},
      {"three CR LF", "\r\n\r\n\r\n" + std::string(kGet), 0},
      {"bare LF and CR", "\n\r\n\r" + std::string(kGet), 0},
      {"between two requests", std::string(kGet) + "\r\n\r\n" + std::string(kGet), 0},
      {"before a refused one", "\r\n\n" + refused, 1},
  };
  for (const Case& c : cases) {
    for (size_t size : {c.stream.size(), size_t(1), size_t(3)}) {
      Played played = Play(loaded.policy, Split(c.stream, size));
      ASSERT_EQ(played.rejections.size(), c.rejections) << c.what << " in pieces of " << size;
      if (c.rejections == 0) {
        EXPECT_EQ(played.completed, c.what == std::string("between two requests") ? 2 : 1)
            << c.what << " in pieces of " << size;
      } else {
        EXPECT_EQ(played.rejections[0].reason, kReasonVerbNotAllowed) << c.what;
      }
    }
  }
  std::vector<std::string> records = RecordLines(dir.File("logs"));
  ASSERT_FALSE(records.empty());
  // The request field holds what had come when the verb was refused, from
  // the verb on: none of the empty lines before it.
  for (const std::string& record : records)
    EXPECT_NE(record.find("[-] [TRACE "), std::string::npos) << record;
}

// A head whose lines end in bare LFs never shows the scanner the CR LF CR LF
// it waits for, while a lenient server takes the head as ended at its empty
// line. Waiting would let the host pass on a request whose headers no check
// has judged: it is refused where that empty line ends, in any delivery.
TEST(EngineFraming, AHeadEndedByBareLineFeedsIsRefusedNotWaitedOn) {
  TempDir dir;
  WriteTextFile(dir.File("p.ini"), Ini("GET\n", "DenyHeaderName=1\n") + "[DenyHeaderName]\nTranslate\n");
  Loaded loaded;
  Load(&loaded, dir.File("p.ini"), dir.File("logs"));
  ASSERT_EQ(loaded.error, 0u);
  struct Case {
    const char* what;
    std::string_view stream;
    ReasonCode reason;
  };
  const Case cases[] = {
      {"bare LFs after the request line", "GET /a.htm HTTP/1.1\r\nHost: a\nTranslate: f\n\n",
       kReasonFraming},
      {"bare LFs throughout", "GET /a.htm HTTP/1.1\nHost: a\nTranslate: f\n\n", kReasonFraming},
      {"an empty line of a bare LF", "GET /a.htm HTTP/1.1\r\nHost: a\r\n\n", kReasonFraming},
      {"a request behind it", "GET /a.htm HTTP/1.1\r\nHost: a\n\nGET /b.htm HTTP/1.1\r\n\r\n",
       kReasonFraming},
      // The policy's checks still judge the bytes before the head's end.
      {"a refused verb first", "POST /a.htm HTTP/1.1\r\nHost: a\n\n", kReasonVerbNotAllowed},
  };
  for (const Case& c : cases) {
    for (size_t size : {c.stream.size(), size_t(1), size_t(3), size_t(10)}) {
      Played played = Play(loaded.policy, Split(c.stream, size));
      ASSERT_EQ(played.rejections.size(), 1u) << c.what << " in pieces of " << size;
      EXPECT_EQ(played.rejections[0].reason, c.reason) << c.what << " in pieces of " << size;
      EXPECT_TRUE(Blocks(played.rejections[0])) << c.what;
      EXPECT_EQ(played.completed, 0) << c.what;
    }
  }
}

}  // namespace
}  // namespace rg
