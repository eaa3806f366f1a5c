// The whole screening path through the engine, driven the way a host drives
// it: the fuzzer chooses the policy (switches, limits and list contents
// built in code and written out as INI text, or an INI text of its own),
// the request bytes, how they are cut into chunks, what happens between the
// chunks (responses 200 and 100, the end of the connection, a framing
// refusal logged by the host), a connection without a client address, a
// server banner that cannot be read, the log mode, and an allocation that
// fails.
//
// Input layout. From the end: a mode byte (bit 0: INI text, bit 1: fail an
// allocation, bit 2: no client address, bit 3: the server's banner cannot
// be read, bit 4: the log shared between processes), then the policy knobs
// (fuzz_support.h) or the INI text's length, the allocation to fail, and
// the steps. From the front: the INI text, then the request bytes. All-zero
// knobs are a default policy and one chunk.
//
// Invariants: a verdict is going or rejected; a rejection names a reason the
// reason table has (never 32 or 33, 34 only when an allocation failed), a
// list entry that exists, and is simulated exactly when the policy's mode
// and the reason say so; a blocking verdict finds the block page built; a
// going verdict's recorded request is every byte of the request so far or
// its complete request line, and its head length ends on the empty line; a
// response other than 100 starts a new request, 100 does not; the Server:
// decision follows the policy; after the connection is closed and the
// policy released no block is left.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "fuzz_support.h"
#include "kit/test_kit.h"
#include "log/reason.h"
#include "platform/platform.h"
#include "policy/policy.h"
#include "scan/byte_scan.h"

namespace {

using rg::fuzz::Require;

enum ModeBits : uint8_t {
  kModeIni = 1,
  kModeFailAllocation = 2,
  kModeNoAddress = 4,
  kModeBannerFails = 8,
  kModeSharedLog = 16,
};

enum OpKind : uint8_t {
  kOpChunk = 0,  // kinds 0 to 3
  kOpResponse200 = 4,
  kOpResponse100 = 5,
  kOpEndOfConnection = 6,
  kOpFramingRefusal = 7,
};

struct Op {
  uint8_t kind;
  uint16_t value;
};

constexpr char kBanner[] = "Microsoft-IIS/10.0";
constexpr char kPageStart[] = "HTTP/1.1 400 Bad Request\r\n";

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

// The server's banner as a host hands it to EnsureBlockPage: a heap text,
// or an error when the server cannot say.
uint32_t FetchBanner(void* user, char** text) {
  *text = nullptr;
  if (*static_cast<bool*>(user)) return rg::kErrorAccessDenied;
  char* copy = static_cast<char*>(rg::HeapAllocZero(sizeof kBanner));
  if (copy == nullptr) return rg::LastErrorOr(rg::kErrorNotEnoughMemory);
  std::memcpy(copy, kBanner, sizeof kBanner);
  *text = copy;
  return 0;
}

// One fuzzed host: the policy, the connection's state and what the current
// request has received.
struct Host {
  rg::EnginePolicy* policy = nullptr;
  rg::Screening* state = nullptr;
  bool noAddress = false;
  bool bannerFails = false;
  bool allocationMayFail = false;
  std::string request;  // the current request's bytes so far
  // Pipelining, as the engine follows it: the current request has ended
  // (the next byte begins another), and how many ended requests still wait
  // for their response.
  bool complete = false;
  uint32_t waiting = 0;
};

const rg::FilterPolicy* Record(const Host& host) { return rg::PolicyRecord(host.policy); }

// A failure while setting a connection up is a reason-34 verdict that
// blocks: logged without a state, the connection never opened.
void SetupFailed(Host* host, uint32_t error) {
  Require(error != 0, "a failed set-up without an error");
  rg::Verdict verdict = {};
  verdict.kind = rg::VerdictKind::kRejected;
  verdict.reason = rg::kReasonWindowsError;
  verdict.winError = error;
  rg::LogVerdict(host->policy, host->state, verdict);
  rg::CloseScreening(host->state);
  host->state = nullptr;
  if (g_trace) std::fprintf(stderr, "set-up failed: %u\n", error);
}

// Opens a connection as a host does on its first bytes: the state, then the
// block page that shows the server's own banner when the policy fixes none.
// False when the set-up failed (and was logged).
bool OpenConnection(Host* host) {
  const char* address = host->noAddress ? nullptr : "10.0.0.5";
  uint32_t error = rg::OpenScreening(host->policy, address, &host->state);
  if (error != 0) {
    Require(host->allocationMayFail, "OpenScreening failed although no allocation did");
    Require(host->state == nullptr, "a failed OpenScreening left a state");
    SetupFailed(host, error);
    return false;
  }
  Require(rg::ScreeningPolicy(host->state) == host->policy, "the state screens another policy");
  const char* page = nullptr;
  uint32_t length = 0;
  rg::BlockPage(host->policy, &page, &length);
  bool built = page != nullptr;
  error = rg::EnsureBlockPage(host->policy, FetchBanner, &host->bannerFails);
  if (error != 0) {
    Require(!built, "EnsureBlockPage failed on a page already built");
    Require(error == rg::kErrorAccessDenied ? host->bannerFails : host->allocationMayFail,
            "EnsureBlockPage failed for no reason the host gave");
    rg::BlockPage(host->policy, &page, &length);
    Require(page == nullptr && length == 0, "a failed build left a page");
    SetupFailed(host, error);
    return false;
  }
  host->request.clear();
  host->complete = false;
  host->waiting = 0;
  return true;
}

void CloseConnection(Host* host) {
  rg::CloseScreening(host->state);
  host->state = nullptr;
  host->request.clear();
  host->complete = false;
  host->waiting = 0;
}

void RequireBlockPage(Host* host) {
  const char* page = nullptr;
  uint32_t length = 0;
  rg::BlockPage(host->policy, &page, &length);
  Require(page != nullptr && length > 0, "a blocking verdict without a block page");
  Require(std::strlen(page) == length, "the block page's length differs from its text");
  Require(std::strncmp(page, kPageStart, sizeof kPageStart - 1) == 0,
          "the block page does not begin with its status line");
}

// What a going verdict promises about the request so far.
void RequireGoing(const Host& host, const rg::Verdict& v) {
  Require(v.reason == rg::kReasonNone && !v.simulated, "a going verdict carries a refusal");
  std::string recorded = rg::test::RecordedText(host.state);
  const std::string& r = host.request;
  Require(recorded.size() <= r.size() && r.compare(0, recorded.size(), recorded) == 0,
          "the recorded request is not the start of the bytes received");
  if (recorded.size() < r.size()) {
    // Only a complete request line is recorded short: it ends at the first
    // CR LF from position 1 on.
    Require(!recorded.empty() && r.compare(recorded.size(), 2, "\r\n") == 0,
            "the recorded request stops short of the bytes received, but not at the line end");
    Require(r.find("\r\n", 1) == recorded.size(), "the recorded line ends at a later CR LF");
  }
  if (v.headLength != 0) {
    Require(v.headLength >= 4 && v.headLength <= r.size(), "the head ends outside the request");
    Require(r.compare(v.headLength - 4, 4, "\r\n\r\n") == 0,
            "the head does not end on the empty line");
  }
}

// What a rejection promises, and what the host then does: log it, and
// close the connection when it blocks (a simulated refusal lets the
// connection go on with a new request).
void OnRejected(Host* host, const rg::Verdict& v) {
  const rg::FilterPolicy* p = Record(*host);
  uint32_t reason = v.reason;
  Require(reason != 0 && reason < rg::kReasonCount, "verdict with a reason outside the table");
  Require(reason != rg::kReasonLogByStatus && reason != rg::kReasonLogRejected,
          "verdict with a reason nothing sets");
  if (reason == rg::kReasonWindowsError)
    Require(host->allocationMayFail, "reason 34 although no allocation failed");
  uint32_t count = ListCount(p, reason);
  if (count != UINT32_MAX) Require(v.matchIndex < count, "verdict names a list entry that is not there");
  // A request whose framing is in dispute is blocked in every mode.
  bool simulated = p->Simulate != 0 && reason != rg::kReasonWindowsError &&
                   reason != rg::kReasonFraming && v.winError == 0;
  Require(v.simulated == simulated, "verdict simulated against the mode and reason");

  char message[1024];
  rg::FormatVerdictMessage(host->policy, v, message, sizeof message);
  Require(message[0] == '[' && std::strlen(message) >= 2 &&
              message[std::strlen(message) - 1] == ']',
          "the verdict's message is not one bracketed field");
  if (g_trace)
    std::fprintf(stderr, "verdict: %s, entry %u, error %u, %s\n", message, v.matchIndex,
                 v.winError, rg::Blocks(v) ? "blocked" : "passed");

  rg::LogVerdict(host->policy, host->state, v);
  if (rg::Blocks(v)) {
    RequireBlockPage(host);
    CloseConnection(host);
  } else {
    host->request.clear();
  }
}

// A chunk may end one request and begin the next: the engine stops at the
// end of the current request (Verdict::consumed) and the rest is handed
// over again as the next request's first bytes.
void SendChunk(Host* host, const uint8_t* bytes, uint32_t length) {
  if (host->state == nullptr && !OpenConnection(host)) return;
  if (g_trace) std::fprintf(stderr, "chunk of %u bytes\n", length);
  for (;;) {
    // Empty lines before a request are passed over, not screened.
    uint32_t skipped = 0;
    if (host->complete || host->request.empty())
      while (skipped < length && (bytes[skipped] == '\r' || bytes[skipped] == '\n')) ++skipped;
    if (host->complete && skipped < length) {
      host->complete = false;
      ++host->waiting;
      host->request.clear();
    }
    // The chunk in a block of its own size, so that a read past it is caught.
    std::vector<uint8_t> chunk(bytes, bytes + length);
    rg::Verdict v = rg::Screen(host->state, chunk.data(), length);
    // Only empty lines (or nothing at all): passed over, unless the request
    // they were handed to could not even be set up (an allocation failure).
    if (skipped == length && v.kind == rg::VerdictKind::kGoing) {
      Require(v.consumed == length, "empty lines before a request are not passed over");
      return;
    }
    if (v.kind == rg::VerdictKind::kRejected) {
      host->request.append(reinterpret_cast<const char*>(chunk.data()) + skipped, length - skipped);
      host->complete = false;
      OnRejected(host, v);
      return;
    }
    Require(v.kind == rg::VerdictKind::kGoing, "a verdict of an unknown kind");
    Require(v.consumed <= length, "a verdict takes more bytes than it was given");
    Require(v.consumed == length || v.messageComplete,
            "a verdict leaves bytes over although the request has not ended");
    Require(v.consumed >= skipped, "a verdict takes fewer bytes than the empty lines it passed");
    host->request.append(reinterpret_cast<const char*>(chunk.data()) + skipped,
                         v.consumed - skipped);
    RequireGoing(*host, v);
    if (v.messageComplete) host->complete = true;
    if (v.consumed == length) return;
    bytes += v.consumed;
    length -= v.consumed;
  }
}

void SendResponse(Host* host, uint32_t status) {
  if (g_trace) std::fprintf(stderr, "response %u\n", status);
  const rg::FilterPolicy* p = Record(*host);
  const char* text = nullptr;
  rg::ServerHeaderAction action = rg::ServerHeaderDecision(host->policy, &text);
  Require(text != nullptr, "the Server: decision without a text");
  if (p->RemoveBanner != 0) {
    Require(action == rg::ServerHeaderAction::kRemove, "a removed banner is not removed");
  } else if (p->Banner[0] != '\0') {
    Require(action == rg::ServerHeaderAction::kReplace && std::strcmp(text, p->Banner) == 0,
            "a fixed banner is not what the Server: header gets");
  } else {
    Require(action == rg::ServerHeaderAction::kKeep, "the server's own banner is not kept");
  }
  if (host->state == nullptr) return;
  rg::ResponseStarted(host->state, status);
  // After 100 the request goes on. Any other status answers the oldest
  // request still waiting: a pipelined request under way goes on, else the
  // next byte starts a new one.
  if (status == 100) return;
  if (host->waiting > 0) {
    --host->waiting;
    return;
  }
  host->request.clear();
  host->complete = false;
}

// A relaying host's framer refused the request: the host logs it as it
// stands and ends the connection.
void RefuseFraming(Host* host) {
  if (g_trace) std::fprintf(stderr, "framing refusal\n");
  rg::LogFramingRefusal(host->policy, host->state, " [Ambiguous framing] ", host->request.data(),
                        static_cast<uint32_t>(host->request.size()));
  CloseConnection(host);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  // Every level of the byte searches, chosen by the input's length so that
  // no byte of it is spent: the portable one is what other processors run.
  rg::SetByteScanLevel(static_cast<rg::ByteScanLevel>(size % 3));
  FuzzedDataProvider input(data, size);
  const std::string& dir = rg::fuzz::ScratchDirectory();
  const std::string logs = dir + "/LogFiles";
  const int64_t live = rg::LiveBlockCount();

  uint8_t mode = input.ConsumeIntegral<uint8_t>();
  rg::EngineOptions options;
  options.logDirectory = logs.c_str();
  options.logMode = (mode & kModeSharedLog) ? rg::LogMode::kShared : rg::LogMode::kExclusive;
  Host host;
  if (mode & kModeIni) {
    uint16_t iniLength = input.ConsumeIntegralInRange<uint16_t>(0, 4096);
    // The INI text comes from the front, before the request.
    std::string ini = input.ConsumeBytesAsString(iniLength);
    if (g_trace) std::fprintf(stderr, "INI text of %zu bytes\n", ini.size());
    uint32_t error = rg::test::LoadPolicyText(dir, ini, &options, &host.policy);
    if (error != 0) {
      if (g_trace) std::fprintf(stderr, "load refused: %u\n", error);
      Require(host.policy == nullptr, "a refused load kept its policy");
      Require(rg::LiveBlockCount() == live, "a refused load leaked a block");
      return 0;
    }
  } else {
    rg::FilterPolicy* built = rg::fuzz::NewFuzzPolicy(&input, logs);
    std::string ini = rg::test::PolicyIni(built);
    rg::FreePolicy(built);
    Require(rg::test::LoadPolicyText(dir, ini, &options, &host.policy) == 0,
            "the policy written out from the knobs does not load");
  }
  Require(host.policy != nullptr, "a load without a policy");
  rg::fuzz::RequireWellFormedPolicy(Record(host));

  uint8_t failingAllocation = input.ConsumeIntegral<uint8_t>();
  std::vector<Op> ops;
  uint32_t opCount = input.ConsumeIntegralInRange<uint32_t>(0, 12);
  for (uint32_t i = 0; i < opCount; ++i)
    ops.push_back({static_cast<uint8_t>(input.ConsumeIntegral<uint8_t>() % 8),
                   input.ConsumeIntegral<uint16_t>()});
  std::vector<uint8_t> request = input.ConsumeRemainingBytes<uint8_t>();
  if (g_trace)
    std::fprintf(stderr, "mode %#x, %zu steps, request of %zu bytes, simulate %d\n", mode,
                 ops.size(), request.size(), Record(host)->Simulate);

  host.noAddress = mode & kModeNoAddress;
  host.bannerFails = mode & kModeBannerFails;
  host.allocationMayFail = mode & kModeFailAllocation;
  if (mode & kModeFailAllocation) rg::FailAllocationAfter(1 + failingAllocation);

  size_t offset = 0;
  for (const Op& op : ops) {
    if (op.kind < kOpResponse200) {
      size_t left = request.size() - offset;
      uint32_t length = left == 0 ? 0 : 1 + static_cast<uint32_t>(op.value % left);
      SendChunk(&host, request.data() + offset, length);
      offset += length;
    } else if (op.kind == kOpResponse200) {
      SendResponse(&host, 200);
    } else if (op.kind == kOpResponse100) {
      SendResponse(&host, 100);
    } else if (op.kind == kOpEndOfConnection) {
      CloseConnection(&host);
    } else {
      RefuseFraming(&host);
    }
  }
  if (offset < request.size() || ops.empty())
    SendChunk(&host, request.data() + offset, static_cast<uint32_t>(request.size() - offset));
  CloseConnection(&host);

  rg::FailAllocationAfter(0);
  rg::ReleaseEnginePolicy(host.policy);
  Require(rg::LiveBlockCount() == live, "a connection or the policy leaked a block");
  rg::test::EmptyDirectory(logs);
  return 0;
}
