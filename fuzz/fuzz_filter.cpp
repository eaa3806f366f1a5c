// The whole filter through HttpFilterProc: the fuzzer chooses the policy
// (switches, limits and list contents built in code, or an INI text loaded
// by StartFilter), the request bytes, how they are cut into chunks, the
// notifications between the chunks (responses 200 and 100, the end of the
// connection, an undeclared type), failing server callbacks and an
// allocation that fails.
//
// Input layout. From the end: a mode byte (bit 0: INI text, bit 1: fail an
// allocation, bit 2: REMOTE_ADDR fails, bit 3: SERVER_SOFTWARE fails, bit 4:
// SetHeader fails), then the policy knobs (fuzz_support.h) or the INI text's
// length, the allocation to fail, and the notifications. From the front:
// the INI text, then the request bytes. All-zero knobs are a default policy
// and one chunk.
//
// Invariants: every result is NEXT_NOTIFICATION or FINISHED; a verdict
// frees the context, names a reason the reason table has (never 32 or 33,
// 34 only when the platform failed), a list entry that exists, and blocks
// exactly when the mode and the reason say so, with exactly the block
// response; a surviving context has counted every byte of the request; the
// response step sets ResponseSent except for 100; the end of a connection
// frees the context; after the filter stops no block is left.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "fuzz_support.h"
#include "log/log.h"
#include "log/reason.h"
#include "platform/platform.h"
#include "policy/policy.h"

namespace {

using rg::fuzz::FakeServer;
using rg::fuzz::Require;

enum ModeBits : uint8_t {
  kModeIni = 1,
  kModeFailAllocation = 2,
  kModeFailRemoteAddr = 4,
  kModeFailServerSoftware = 8,
  kModeFailSetHeader = 16,
};

enum OpKind : uint8_t {
  kOpChunk = 0,  // kinds 0 to 3
  kOpResponse200 = 4,
  kOpResponse100 = 5,
  kOpEndOfSession = 6,
  kOpUnknown = 7,
};

struct Op {
  uint8_t kind;
  uint16_t value;
};

// What the observer saw during one notification.
struct VerdictSeen {
  bool called;
  uint32_t reason;
  uint32_t winError;
  DWORD result;
};

VerdictSeen g_seen;
bool g_platformMayFail;
// RG_FUZZ_TRACE=1 prints what an input does, to read a crash's input.
const bool g_trace = std::getenv("RG_FUZZ_TRACE") != nullptr;

uint32_t ListCount(const rg::FilterPolicy* p, uint32_t reason) {
  switch (reason) {
    case rg::kReasonVerbDenied: return p->Verbs.count;
    case rg::kReasonExtensionDenied: return p->Extensions.count;
    case rg::kReasonUrlSequence: return p->UrlSequences.count;
    case rg::kReasonQuerySequence: return p->QuerySequences.count;
    case rg::kReasonHeaderNameDenied: return p->DeniedHeaderNames.count;
    case rg::kReasonHeaderLimit: return p->HeaderLimits.count;
    default: return UINT32_MAX;
  }
}

void Observe(HTTP_FILTER_CONTEXT*, const rg::ScanContext*, uint32_t reason, uint32_t matchIndex,
             uint32_t winError, DWORD result) {
  const rg::FilterPolicy* p = rg::g_policy;
  Require(!g_seen.called, "two verdicts in one notification");
  Require(reason != 0 && reason < rg::kReasonCount, "verdict with a reason outside the table");
  Require(reason != rg::kReasonLogByStatus && reason != rg::kReasonLogRejected,
          "verdict with a reason nothing sets");
  if (reason == rg::kReasonWindowsError)
    Require(g_platformMayFail, "reason 34 although no platform call failed");
  uint32_t count = ListCount(p, reason);
  if (count != UINT32_MAX) Require(matchIndex < count, "verdict names a list entry that is not there");
  bool block = winError != 0 || reason == rg::kReasonWindowsError || p->Simulate == 0;
  Require(result == (block ? SF_STATUS_REQ_FINISHED : SF_STATUS_REQ_NEXT_NOTIFICATION),
          "verdict blocks against the mode and reason");
  g_seen = {true, reason, winError, result};
  if (g_trace)
    std::fprintf(stderr, "verdict: reason %u, entry %u, error %u, %s\n", reason, matchIndex,
                 winError, result == SF_STATUS_REQ_FINISHED ? "blocked" : "passed");
}

// The block response as the filter holds it now (it may be built lazily).
void RequireBlockWritten(const FakeServer& server, uint32_t writesBefore) {
  const rg::FilterPolicy* p = rg::g_policy;
  Require(server.writeCalls == writesBefore + 1, "a block without exactly one WriteClient");
  uint32_t expected = p->BlockResponse != nullptr ? p->BlockResponseLength : 0;
  Require(server.lastWriteBytes == expected, "the client got other than the block response");
  if (expected > 0)
    Require(std::strncmp(server.lastWriteStart, "HTTP/1.1 400 Bad Request\r\n", 26) == 0,
            "the block response does not begin with its status line");
}

// Sends one raw chunk and checks the outcome. expected counts the request's
// bytes so far on this connection.
void SendChunk(FakeServer* server, const uint8_t* bytes, uint32_t length, uint32_t* expected) {
  auto* before = static_cast<rg::ScanContext*>(server->pfc.pFilterContext);
  if (before == nullptr || before->state == rg::kStateResponseSent) *expected = 0;
  *expected += length;

  // The chunk in a block of its own size, so that a read past it is caught.
  std::vector<uint8_t> chunk(bytes, bytes + length);
  HTTP_FILTER_RAW_DATA raw{};
  raw.pvInData = chunk.data();
  raw.cbInData = length;
  raw.cbInBuffer = length;
  uint32_t writes = server->writeCalls;
  g_seen = {};
  if (g_trace) std::fprintf(stderr, "raw chunk of %u bytes\n", length);
  DWORD result = HttpFilterProc(&server->pfc, SF_NOTIFY_READ_RAW_DATA, &raw);
  Require(result == SF_STATUS_REQ_NEXT_NOTIFICATION || result == SF_STATUS_REQ_FINISHED,
          "raw data answered with an unknown status");
  if (g_seen.called) {
    Require(server->pfc.pFilterContext == nullptr, "a verdict left the context in place");
    Require(result == g_seen.result, "the notification's result differs from the verdict");
    if (result == SF_STATUS_REQ_FINISHED) RequireBlockWritten(*server, writes);
    else Require(server->writeCalls == writes, "a passed request got a write");
    return;
  }
  Require(result == SF_STATUS_REQ_NEXT_NOTIFICATION, "finished without a verdict");
  Require(server->writeCalls == writes, "a write without a verdict");
  auto* context = static_cast<rg::ScanContext*>(server->pfc.pFilterContext);
  Require(context != nullptr, "no context after a scanned chunk");
  Require(context->state <= rg::kStatePayload, "a scanned context in a final state");
  Require(context->length == *expected, "the context lost or invented request bytes");
  Require(context->cursor <= context->length, "the cursor stands past the request");
  Require(context->clientAddress != nullptr &&
              std::strcmp(context->clientAddress, "10.0.0.5") == 0,
          "the context's client address is not REMOTE_ADDR");
  if (context->lineComplete)
    Require(context->lineEnd >= 1 && context->lineEnd + 2 <= context->length,
            "line end outside the request");
  if (context->headersComplete)
    Require(context->headersEnd + 4 <= context->length, "header end outside the request");
}

void SendResponse(FakeServer* server, DWORD status) {
  if (g_trace) std::fprintf(stderr, "response %u\n", status);
  auto* context = static_cast<rg::ScanContext*>(server->pfc.pFilterContext);
  uint32_t stateBefore = context ? context->state : 0;
  HTTP_FILTER_SEND_RESPONSE response{};
  response.SetHeader = rg::fuzz::FakeSetHeader;
  response.HttpStatus = status;
  uint32_t writes = server->writeCalls;
  DWORD result = HttpFilterProc(&server->pfc, SF_NOTIFY_SEND_RESPONSE, &response);
  const rg::FilterPolicy* p = rg::g_policy;
  bool touchesHeader = p->RemoveBanner != 0 || (p->Banner != nullptr && p->Banner[0] != '\0');
  if (touchesHeader && server->failSetHeader) {
    Require(result == SF_STATUS_REQ_FINISHED, "a Server header that cannot be set went out");
    RequireBlockWritten(*server, writes);
  } else {
    Require(result == SF_STATUS_REQ_NEXT_NOTIFICATION, "a response was stopped");
    Require(server->writeCalls == writes, "a response step wrote to the client");
  }
  Require(server->pfc.pFilterContext == context, "the response step replaced the context");
  if (context)
    Require(context->state == (status == 100 ? stateBefore : uint32_t(rg::kStateResponseSent)),
            "the response step set the wrong state");
}

void EndSession(FakeServer* server) {
  DWORD result = HttpFilterProc(&server->pfc, SF_NOTIFY_END_OF_NET_SESSION, nullptr);
  Require(result == SF_STATUS_REQ_NEXT_NOTIFICATION, "end of session answered otherwise");
  Require(server->pfc.pFilterContext == nullptr, "the end of the connection kept its context");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  FuzzedDataProvider input(data, size);
  const std::string& dir = rg::fuzz::ScratchDirectory("fuzz-filter");
  const std::string logs = dir + "/LogFiles";
  const int64_t live = rg::LiveBlockCount();

  uint8_t mode = input.ConsumeIntegral<uint8_t>();
  if (mode & kModeIni) {
    uint16_t iniLength = input.ConsumeIntegralInRange<uint16_t>(0, 4096);
    // The INI text comes from the front, before the request.
    std::string ini = input.ConsumeBytesAsString(iniLength);
    const std::string iniPath = dir + "/Ravelgard.ini";
    rg::fuzz::WriteFile(iniPath, reinterpret_cast<const uint8_t*>(ini.data()), ini.size());
    HTTP_FILTER_VERSION version{};
    if (g_trace) std::fprintf(stderr, "INI text of %zu bytes\n", ini.size());
    if (!rg::StartFilter(&version, iniPath.c_str(), logs.c_str())) {
      if (g_trace) std::fprintf(stderr, "start refused: %u\n", rg::GetLastErrorValue());
      Require(rg::GetLastErrorValue() != 0, "a refused start without an error");
      Require(rg::g_policy == nullptr, "a refused start kept its policy");
      Require(rg::LiveBlockCount() == live, "a refused start leaked a block");
      return 0;
    }
  } else {
    rg::g_policy = rg::fuzz::NewFuzzPolicy(&input, logs);
    rg::LockInit(&rg::LogLock);
  }
  rg::fuzz::RequireWellFormedPolicy(rg::g_policy);

  uint8_t failingAllocation = input.ConsumeIntegral<uint8_t>();
  std::vector<Op> ops;
  uint32_t opCount = input.ConsumeIntegralInRange<uint32_t>(0, 12);
  for (uint32_t i = 0; i < opCount; ++i)
    ops.push_back({static_cast<uint8_t>(input.ConsumeIntegral<uint8_t>() % 8),
                   input.ConsumeIntegral<uint16_t>()});
  std::vector<uint8_t> request = input.ConsumeRemainingBytes<uint8_t>();
  if (g_trace)
    std::fprintf(stderr, "mode %#x, %zu notifications, request of %zu bytes, simulate %d\n",
                 mode, ops.size(), request.size(), rg::g_policy->Simulate);

  FakeServer server;
  rg::fuzz::InitFakeServer(&server);
  server.failRemoteAddr = mode & kModeFailRemoteAddr;
  server.failServerSoftware = mode & kModeFailServerSoftware;
  server.failSetHeader = mode & kModeFailSetHeader;
  g_platformMayFail = (mode & (kModeFailAllocation | kModeFailRemoteAddr)) ||
                      ((mode & kModeFailServerSoftware) && rg::g_policy->BlockResponse == nullptr);
  rg::g_verdictObserver = Observe;
  if (mode & kModeFailAllocation) rg::FailAllocationAfter(1 + failingAllocation);

  size_t offset = 0;
  uint32_t expected = 0;
  for (const Op& op : ops) {
    if (op.kind < kOpResponse200) {
      size_t left = request.size() - offset;
      uint32_t length = left == 0 ? 0 : 1 + static_cast<uint32_t>(op.value % left);
      SendChunk(&server, request.data() + offset, length, &expected);
      offset += length;
    } else if (op.kind == kOpResponse200) {
      SendResponse(&server, 200);
    } else if (op.kind == kOpResponse100) {
      SendResponse(&server, 100);
    } else if (op.kind == kOpEndOfSession) {
      EndSession(&server);
    } else {
      DWORD result = HttpFilterProc(&server.pfc, SF_NOTIFY_URL_MAP, nullptr);
      Require(result == SF_STATUS_REQ_NEXT_NOTIFICATION, "an undeclared notification acted");
    }
  }
  if (offset < request.size() || ops.empty())
    SendChunk(&server, request.data() + offset, static_cast<uint32_t>(request.size() - offset),
              &expected);
  EndSession(&server);

  rg::FailAllocationAfter(0);
  rg::g_verdictObserver = nullptr;
  if (mode & kModeIni) {
    TerminateFilter(0);
  } else {
    rg::FreePolicy(rg::g_policy);
    rg::g_policy = nullptr;
    rg::LockDelete(&rg::LogLock);
  }
  Require(rg::LiveBlockCount() == live, "a connection or the policy leaked a block");
  rg::fuzz::RemoveFilesIn(logs);
  return 0;
}
