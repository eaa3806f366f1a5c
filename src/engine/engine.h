// The screening engine: what every host (the ISAPI module, the proxy, the
// Apache module, the command) calls, and nothing else of the core.
//
// A host loads a policy, opens one screening state per client connection,
// hands it the connection's bytes as they arrive and acts on the verdict:
// write the block page and close, or go on. The engine never touches a
// socket and never calls back into the host.
//
// Plain records and free functions; no exceptions; errors are Windows error
// numbers (0 for success).
#pragma once

#include <cstdint>

#include "log/reason.h"
#include "policy/policy.h"  // kDefaultMaxHeadLength

namespace rg {

struct FilterPolicy;
// A loaded policy with its log. Reference-counted: the loader's reference
// and one per open screening state. Several may be alive at once (a reload,
// a virtual host); each is read-only after load except for its log and its
// lazily built block page, which it guards itself.
struct EnginePolicy;
// One client connection's screening state.
struct Screening;

// How the day's log file is held.
enum class LogMode : uint32_t {
  // One writer process: the file is held with a share lock that refuses a
  // second process (error 32), as a single web-server process wants.
  kExclusive = 0,
  // Several processes (Apache's children, several proxies) append whole
  // records to the same day's file; each record is one write.
  kShared = 1,
};

struct EngineOptions {
  // Overrides the INI file's log directory; null: LogFilesDir, else the INI
  // file's directory followed by "LogFiles".
  const char* logDirectory = nullptr;
  LogMode logMode = LogMode::kExclusive;
  // Bytes of one request head (request line and headers) a connection may
  // buffer; a longer head is refused. 0: kDefaultMaxHeadLength.
  uint32_t maxHeadLength = 0;
};

// Loads the policy from iniPath and opens (or joins) its day's log. Returns
// 0 with *out holding one reference, or the error number with *out null and
// nothing left behind. A policy loading onto a log directory that another
// live policy of this process already writes shares that log instead of
// being refused.
uint32_t LoadEnginePolicy(const char* iniPath, const EngineOptions* options, EnginePolicy** out);
void RetainEnginePolicy(EnginePolicy* policy);
// Drops one reference; the last one frees the policy and lets go of its log.
// Null is ignored.
void ReleaseEnginePolicy(EnginePolicy* policy);
// The loaded record, read-only: for summaries, the command's config output
// and the ISAPI adapter's notification flags.
const FilterPolicy* PolicyRecord(const EnginePolicy* policy);
// The directory the policy's daily log files go to.
const char* PolicyLogDirectory(const EnginePolicy* policy);
// A short English meaning of an error number the engine reports ("file not
// found" for 2), for a host's messages; "unknown error" for others.
const char* ErrorMeaning(uint32_t error);

enum class VerdictKind : uint32_t {
  kGoing = 0,     // acceptable so far; more bytes may follow
  kRejected = 1,  // a rule was broken: log it, then block unless simulated
};

struct Verdict {
  VerdictKind kind;
  ReasonCode reason;    // kReasonNone while going
  // The list entry the reason's message names; for kReasonFraming, the
  // FrameError that refused the framing.
  uint32_t matchIndex;
  uint32_t winError;    // system error that goes with kReasonWindowsError
  // Rejected, but Simulate mode lets the request through. Never set for a
  // platform failure (reason 34 or a system error) or a framing refusal:
  // those always block.
  bool simulated;
  // Length of the current request's head (request line, headers and the
  // empty line) once the engine has seen all of it and passed it; 0 before.
  uint32_t headLength;
  // Bytes of this call that belong to the current request. Less than the
  // length given only when the request ended inside the bytes (then
  // messageComplete is set): the rest begins the next request of a
  // pipelined connection, to be screened by calling Screen again with it.
  uint32_t consumed;
  // The current request is complete (its body, if any, included).
  bool messageComplete;
  // The request asks to leave HTTP (an Upgrade header, CONNECT): after the
  // server agrees, the bytes that follow are no requests.
  bool upgrade;
};

// True when the host must write the block page and end the connection.
inline bool Blocks(const Verdict& v) { return v.kind == VerdictKind::kRejected && !v.simulated; }

// Opens a connection's state; clientAddress (copied; null for none) is what
// the log records. Returns 0 and the state, or the error number (the host
// then logs a kReasonWindowsError verdict with LogVerdict(policy, nullptr,
// ...) and blocks). The state holds a reference to the policy, so the
// connection may outlive the host's own reference.
uint32_t OpenScreening(EnginePolicy* policy, const char* clientAddress, Screening** out);
// Hands the state a client address the host fetched into a heap block
// (HeapAllocZero); the state owns and frees it. Replaces any address the
// state had.
void AdoptClientAddress(Screening* state, char* text);
// Frees the state and its reference to the policy. Null is ignored.
void CloseScreening(Screening* state);
// The policy the state screens with.
EnginePolicy* ScreeningPolicy(const Screening* state);

// Appends the next bytes of the connection and screens as far as they go.
// Requests are framed as they arrive: a request that follows a complete one
// (pipelining, in the same call or a later one) is screened as a request of
// its own, never as the body of the one before; the call stops at the end
// of the current request (see Verdict::consumed). A framing that two
// servers could read differently is refused (kReasonFraming) after the
// policy's own checks of the same bytes. After a rejected verdict the state
// has ended that request: the next call starts a new request from its first
// byte, as after a response.
Verdict Screen(Screening* state, const void* bytes, uint32_t length);
// A response has started with this status. It answers the oldest request
// still waiting for one: when that is the request being screened, the next
// bytes begin a new request; when a later, pipelined request is already
// under way, its screening goes on untouched. 100 (Continue) is not the
// answer to a request and changes nothing.
void ResponseStarted(Screening* state, uint32_t status);

// Writes the rejection record of a verdict to the policy's log: the client
// address and the request line (or what arrived of it) come from state,
// which may be null. Call it before the next Screen on the same state.
void LogVerdict(EnginePolicy* policy, const Screening* state, const Verdict& verdict);
// Writes a record for a request the host's framer refused (ambiguous or
// malformed framing): message is the bracketed reason field with its outer
// spaces (e.g. FrameErrorMessage's text), request the bytes of the refused
// request as received (the record carries at most its first 8 KiB).
void LogFramingRefusal(EnginePolicy* policy, const Screening* state, const char* message,
                       const void* request, uint32_t length);
// Records of the policy's log that could not be written (a full disk, a
// removed directory) and were not yet reported in the file by a later
// record.
uint64_t LostLogRecords(const EnginePolicy* policy);
// The part of the current request a record of it carries: the request line
// once it is complete, else every byte received. Empty without a state.
void RecordedRequest(const Screening* state, const void** bytes, uint32_t* length);
// The rejection message as the record shows it, without its outer spaces,
// e.g. "[Denied verb 'TRACE' found in Url]" (within 1024 bytes).
void FormatVerdictMessage(const EnginePolicy* policy, const Verdict& verdict, char* out,
                          uint32_t size);

// The 400 page. Built once per policy: at load when the policy fixes the
// banner (RemoveBanner or ChangeBanner), else by the first call of
// EnsureBlockPage with the server's own banner. EnsureBlockPage runs fetch
// (which returns 0 and a heap text released with HeapFreeBlock, or an error
// number) only when the page is still to be built, under the policy's lock,
// so exactly one caller builds it. Returns 0 or the error (fetch's or the
// allocation's); the next caller then tries again.
uint32_t EnsureBlockPage(EnginePolicy* policy, uint32_t (*fetch)(void* user, char** text),
                         void* user);
// EnsureBlockPage with a banner the host already has (null: no Server line).
uint32_t EnsureBlockPageText(EnginePolicy* policy, const char* banner);
// The page as built so far; *length 0 and *bytes null before it is built.
void BlockPage(EnginePolicy* policy, const char** bytes, uint32_t* length);

// What becomes of the Server: header of every response.
enum class ServerHeaderAction : uint32_t {
  kKeep = 0,     // leave the server's header as it is
  kReplace = 1,  // set it to *text (the policy's ChangeBanner)
  kRemove = 2,   // remove it (RemoveBanner)
};
ServerHeaderAction ServerHeaderDecision(const EnginePolicy* policy, const char** text);

}  // namespace rg
