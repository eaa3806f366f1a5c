// The screening engine over the core: policies as reference-counted
// objects, one screening state per connection, verdicts as records.
#include "engine/engine.h"

#include <atomic>
#include <cstring>
#include <new>

#include "filter/context.h"
#include "filter/filter.h"
#include "frame/framer.h"
#include "log/log.h"
#include "platform/platform.h"
#include "policy/policy.h"
#include "scan/scan.h"

namespace rg {

struct EnginePolicy {
  FilterPolicy* record;
  std::atomic<uint32_t> references;
};

struct Screening {
  EnginePolicy* policy;
  ScanContext context;
  // Where each request of the connection ends, so that a pipelined request
  // is screened on its own and never as the body of the one before.
  Framer framer;
  // Complete requests before the current one that still wait for their
  // response; a response answers the oldest of them first.
  uint32_t waiting;
  // The last verdict rejected the request: the next bytes start a new one.
  bool ended;
  // The current request has ended; bytes that follow begin the next one.
  bool complete;
  // The framer refused the current request's head; the refusal stands once
  // the policy's checks have seen the whole head without refusing it first.
  FrameError headFraming;
  // Where the framer saw the current request's head end (request offset);
  // 0 while it has not.
  uint32_t framedHeadEnd;
};

namespace {

constexpr char kEmptyText[] = "";

// Back to the state of a new request, keeping what belongs to the
// connection (the client address) and dropping the request's buffer. The
// positions only a finished element sets and the last matchIndex are kept
// too, as nothing reads them before the new request sets them again.
void StartNextRequest(ScanContext* context) {
  HeapFreeBlock(context->data);
  ScanContext kept = *context;
  std::memset(static_cast<void*>(context), 0, sizeof(ScanContext));
  context->clientAddress = kept.clientAddress;
  context->nameStart = kept.nameStart;
  context->lineEnd = kept.lineEnd;
  context->headersEnd = kept.headersEnd;
  context->matchIndex = kept.matchIndex;
}

void FreePolicyObject(EnginePolicy* policy) {
  FreePolicy(policy->record);
  policy->references.~atomic();
  HeapFreeBlock(policy);
}

}  // namespace

uint32_t LoadEnginePolicy(const char* iniPath, const EngineOptions* options, EnginePolicy** out) {
  if (out == nullptr) return kErrorInvalidParameter;
  *out = nullptr;
  if (iniPath == nullptr) return kErrorInvalidParameter;
  EngineOptions defaults;
  if (options == nullptr) options = &defaults;

  FilterPolicy* record = static_cast<FilterPolicy*>(HeapAllocZero(sizeof(FilterPolicy)));
  if (record == nullptr) return AllocationError();
  record->LogShared = options->logMode == LogMode::kShared ? 1 : 0;
  // Before the load, so the log's summary shows the cap in force.
  record->MaxHeadLength = options->maxHeadLength;

  uint32_t error = LoadPolicy(record, iniPath, options->logDirectory);
  if (error != 0) {
    FreePolicy(record);
    return error;
  }

  void* block = HeapAllocZero(sizeof(EnginePolicy));
  if (block == nullptr) {
    error = AllocationError();
    FreePolicy(record);
    return error;
  }
  EnginePolicy* policy = static_cast<EnginePolicy*>(block);
  policy->record = record;
  new (&policy->references) std::atomic<uint32_t>(1);
  *out = policy;
  return 0;
}

const char* PolicyLogDirectory(const EnginePolicy* policy) {
  if (policy == nullptr || policy->record->LogDirectory == nullptr) return "";
  return policy->record->LogDirectory;
}

const char* ErrorMeaning(uint32_t error) {
  switch (error) {
    case 0: return "success";
    case kErrorFileNotFound: return "file not found";
    case kErrorPathNotFound: return "path not found";
    case kErrorTooManyOpenFiles: return "too many open files";
    case kErrorAccessDenied: return "access denied";
    case kErrorInvalidHandle: return "invalid handle";
    case kErrorNotEnoughMemory: return "not enough memory";
    case kErrorWriteProtect: return "write-protected medium";
    case kErrorGenFailure: return "device not functioning";
    case kErrorSharingViolation: return "file in use by another process";
    case kErrorInvalidParameter: return "invalid parameter";
    case kErrorDiskFull: return "disk full";
    case kErrorInsufficientBuffer: return "buffer too small";
    case kErrorAlreadyExists: return "already exists";
    case kErrorFilenameTooLong: return "file name too long";
    case kErrorCantAccessFile: return "not a regular file";
    case kErrorCantResolveFilename: return "a symbolic link where a file is expected, or a loop of links";
    default: return "unknown error";
  }
}

void RetainEnginePolicy(EnginePolicy* policy) {
  if (policy != nullptr) policy->references.fetch_add(1, std::memory_order_relaxed);
}

void ReleaseEnginePolicy(EnginePolicy* policy) {
  if (policy == nullptr) return;
  if (policy->references.fetch_sub(1, std::memory_order_acq_rel) == 1) FreePolicyObject(policy);
}

const FilterPolicy* PolicyRecord(const EnginePolicy* policy) {
  return policy != nullptr ? policy->record : nullptr;
}

uint32_t OpenScreening(EnginePolicy* policy, const char* clientAddress, Screening** out) {
  if (out == nullptr) return kErrorInvalidParameter;
  *out = nullptr;
  if (policy == nullptr) return kErrorInvalidParameter;
  Screening* state = static_cast<Screening*>(HeapAllocZero(sizeof(Screening)));
  if (state == nullptr) return AllocationError();
  if (clientAddress != nullptr) {
    size_t length = std::strlen(clientAddress);
    char* copy = static_cast<char*>(HeapAllocZero(length + 1));
    if (copy == nullptr) {
      uint32_t error = AllocationError();
      HeapFreeBlock(state);
      return error;
    }
    std::memcpy(copy, clientAddress, length);
    state->context.clientAddress = copy;
  }
  FramerInit(&state->framer, FrameKind::kRequest, EffectiveMaxHeadLength(policy->record));
  RetainEnginePolicy(policy);
  state->policy = policy;
  *out = state;
  return 0;
}

void AdoptClientAddress(Screening* state, char* text) {
  if (state == nullptr) {
    HeapFreeBlock(text);
    return;
  }
  HeapFreeBlock(state->context.clientAddress);
  state->context.clientAddress = text;
}

void CloseScreening(Screening* state) {
  if (state == nullptr) return;
  HeapFreeBlock(state->context.clientAddress);
  state->context.clientAddress = nullptr;
  HeapFreeBlock(state->context.data);
  state->context.data = nullptr;
  EnginePolicy* policy = state->policy;
  HeapFreeBlock(state);
  ReleaseEnginePolicy(policy);
}

EnginePolicy* ScreeningPolicy(const Screening* state) {
  return state != nullptr ? state->policy : nullptr;
}

namespace {

Verdict Rejection(Screening* state, ReasonCode reason, uint32_t matchIndex, uint32_t winError,
                  uint32_t length) {
  const FilterPolicy* record = state->policy->record;
  Verdict verdict = {};
  verdict.kind = VerdictKind::kRejected;
  verdict.reason = reason;
  verdict.matchIndex = matchIndex;
  verdict.winError = winError;
  // A request the filter could not examine, or whose end is in dispute,
  // must not get through, even in Simulate mode.
  verdict.simulated = record->Simulate != 0 && reason != kReasonWindowsError &&
                      reason != kReasonFraming && winError == 0;
  verdict.consumed = length;
  state->ended = true;
  return verdict;
}

Verdict ScanRejection(Screening* state, uint32_t length) {
  const ScanContext* c = &state->context;
  return Rejection(state, static_cast<ReasonCode>(c->reason), c->matchIndex, c->winError, length);
}

Verdict FramingRejection(Screening* state, FrameError error, uint32_t length) {
  ScanContext* c = &state->context;
  c->state = kStateRejected;
  c->reason = kReasonFraming;
  c->matchIndex = static_cast<uint32_t>(error);
  return Rejection(state, kReasonFraming, static_cast<uint32_t>(error), 0, length);
}

// How many of the bytes reach through the end of the request's head as any
// server may read it, and whether it ends within them. The scanner ends a
// head at its first CR LF CR LF; a lenient server also ends it at an empty
// line ended by a bare LF (LF LF, LF CR LF), and CR LF CR LF is one of those
// too. So the first LF after an LF, or after an LF and a CR, ends the head.
struct HeadReach {
  uint32_t bytes;  // through the head's end, or all of them
  bool ended;
};

HeadReach ThroughHeadEnd(const ScanContext* context, const uint8_t* p, uint32_t length) {
  if (context->headersComplete) return {0, true};
  // The last two bytes already held may begin the head's end.
  uint32_t held = context->data != nullptr ? context->stored : 0;
  uint8_t before2 = held >= 2 ? context->data[held - 2] : 0;
  uint8_t before1 = held >= 1 ? context->data[held - 1] : 0;
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t b = p[i];
    if (b == '\n' && (before1 == '\n' || (before1 == '\r' && before2 == '\n'))) return {i + 1, true};
    before2 = before1;
    before1 = b;
  }
  return {length, false};
}

// After the framer refused the head: the policy's checks judge the head
// first, so the verdict is the same however the bytes were split. The
// bytes up to the end of the head are scanned as the module always scanned
// them; what follows the head is refused with it. A head that a lenient
// server ends with bare LFs is refused there too, even though the scanner
// would wait for a CR LF CR LF that may never come: the host passes on the
// bytes it is told are going, and a server reading that head would act on
// a request whose headers no check has judged.
Verdict JudgeRefusedHead(Screening* state, const uint8_t* p, uint32_t length) {
  ScanContext* context = &state->context;
  const HeadReach head = ThroughHeadEnd(context, p, length);
  ScanRawData(state->policy->record, context, p, head.bytes);
  if (context->state == kStateRejected) return ScanRejection(state, length);
  if (head.ended || context->headersComplete)
    return FramingRejection(state, state->headFraming, length);
  Verdict verdict = {};
  verdict.consumed = length;
  return verdict;
}

}  // namespace

namespace {
Verdict ScreenRequest(Screening* state, const uint8_t* p, uint32_t length);
}  // namespace

Verdict Screen(Screening* state, const void* bytes, uint32_t length) {
  Verdict verdict = {};
  ScanContext* context = &state->context;
  const FilterPolicy* record = state->policy->record;
  if (state->ended || context->state == kStateResponseSent) {
    // A fresh start: whatever follows a verdict or a response is read as a
    // new request from its first byte, the framing included.
    StartNextRequest(context);
    FramerInit(&state->framer, FrameKind::kRequest, EffectiveMaxHeadLength(record));
    state->ended = false;
    state->complete = false;
    state->headFraming = FrameError::kNone;
    state->framedHeadEnd = 0;
  }
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint32_t skipped = 0;
  if ((state->complete || context->length == 0) && length > 0) {
    // Empty lines before a request are no request (clients have long sent
    // a CR LF after a body, and servers pass over it): they are skipped,
    // never screened.
    while (skipped < length && (p[skipped] == '\r' || p[skipped] == '\n')) ++skipped;
    if (skipped == length) {
      verdict.consumed = length;
      return verdict;
    }
    p += skipped;
    length -= skipped;
  }
  if (state->complete && length > 0) {
    // The next request of a pipelined connection; the one before waits for
    // its response.
    ++state->waiting;
    StartNextRequest(context);
    state->complete = false;
    state->framedHeadEnd = 0;
  }
  Verdict result = ScreenRequest(state, p, length);
  result.consumed += skipped;
  return result;
}

namespace {

Verdict ScreenRequest(Screening* state, const uint8_t* p, uint32_t length) {
  Verdict verdict = {};
  ScanContext* context = &state->context;
  const FilterPolicy* record = state->policy->record;

  if (state->headFraming != FrameError::kNone) return JudgeRefusedHead(state, p, length);

  // Where the current request ends within these bytes.
  uint32_t offset = context->length;  // request bytes before this call
  uint32_t used = 0;
  FrameError framing = FrameError::kNone;
  bool done = false;
  bool upgrade = false;
  while (used < length) {
    FrameResult r = FramerFeed(&state->framer, p + used, length - used);
    if (r.headComplete) state->framedHeadEnd = offset + used + static_cast<uint32_t>(r.headEnd);
    used += static_cast<uint32_t>(r.consumed);
    if (r.error != FrameError::kNone) {
      framing = r.error;
      break;
    }
    upgrade = upgrade || r.upgrade;
    if (r.messageComplete) {
      done = true;
      break;
    }
    if (r.consumed == 0) break;
  }

  if (framing != FrameError::kNone && !context->headersComplete && state->framedHeadEnd == 0) {
    // Refused inside the head: judged once the head is whole.
    state->headFraming = framing;
    return JudgeRefusedHead(state, p, length);
  }

  // The policy's checks see the bytes up to where the framer stopped, so a
  // refusal of theirs in those bytes stands before the framer's.
  ScanRawData(record, context, p, used);
  if (context->state == kStateRejected) return ScanRejection(state, length);
  if (framing != FrameError::kNone) return FramingRejection(state, framing, length);
  // Both must agree on where the head ends: a head that one of them would
  // read differently could hide a request from the other.
  if (state->framedHeadEnd != 0 &&
      (!context->headersComplete || context->headersEnd + 4 != state->framedHeadEnd))
    return FramingRejection(state, FrameError::kBoundaryDisputed, length);

  verdict.consumed = used;
  if (context->headersComplete) verdict.headLength = context->headersEnd + 4;
  verdict.messageComplete = done;
  verdict.upgrade = upgrade;
  if (done) state->complete = true;
  return verdict;
}

}  // namespace

void ResponseStarted(Screening* state, uint32_t status) {
  // 100 Continue is not the answer to the request: the body is still to
  // come and belongs to the same scan.
  if (state == nullptr || status == 100) return;
  if (state->waiting > 0) {
    --state->waiting;
    return;
  }
  state->context.state = kStateResponseSent;
}

void LogVerdict(EnginePolicy* policy, const Screening* state, const Verdict& verdict) {
  if (policy == nullptr) return;
  WriteRejection(policy->record, state != nullptr ? &state->context : nullptr, verdict.reason,
                 verdict.matchIndex, verdict.winError);
}

void LogFramingRefusal(EnginePolicy* policy, const Screening* state, const char* message,
                       const void* request, uint32_t length) {
  if (policy == nullptr || message == nullptr) return;
  char field[1024];
  FormatText(field, sizeof field, "%s[-] ", message);
  WriteRecord(policy->record, state != nullptr ? state->context.clientAddress : nullptr, field,
              static_cast<const uint8_t*>(request), length);
}

void RecordedRequest(const Screening* state, const void** bytes, uint32_t* length) {
  *bytes = nullptr;
  *length = 0;
  if (state == nullptr || state->context.data == nullptr) return;
  const ScanContext* context = &state->context;
  *bytes = context->data;
  *length = context->lineComplete ? context->lineEnd : context->length;
}

void FormatVerdictMessage(const EnginePolicy* policy, const Verdict& verdict, char* out,
                          uint32_t size) {
  if (out == nullptr || size == 0) return;
  char field[1024];
  std::memset(field, 0, sizeof field);
  FormatReason(policy->record, field, verdict.reason, verdict.matchIndex, 0);
  size_t length = strnlen(field, sizeof field);
  const char* text = field;
  // Drop the error field ("[-] ") and the spaces that open and close every
  // message.
  constexpr char kNoError[] = "[-] ";
  constexpr size_t kNoErrorLength = sizeof kNoError - 1;
  if (length >= kNoErrorLength && std::memcmp(text + length - kNoErrorLength, kNoError,
                                              kNoErrorLength) == 0)
    length -= kNoErrorLength;
  if (length > 0 && text[0] == ' ') {
    ++text;
    --length;
  }
  if (length > 0 && text[length - 1] == ' ') --length;
  if (length >= size) length = size - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

uint32_t EnsureBlockPage(EnginePolicy* policy, uint32_t (*fetch)(void* user, char** text),
                         void* user) {
  if (policy == nullptr) return kErrorInvalidParameter;
  FilterPolicy* record = policy->record;
  uint32_t error = 0;
  EnsureLogLock();
  LockEnter(&LogLock);
  if (record->BlockResponse == nullptr) {
    char* serverText = nullptr;
    error = fetch != nullptr ? fetch(user, &serverText) : 0;
    if (error == 0) error = BuildBlockResponse(record, serverText);
    HeapFreeBlock(serverText);
  }
  LockLeave(&LogLock);
  return error;
}

namespace {

struct BannerCopy {
  const char* banner;
};

uint32_t CopyBanner(void* user, char** text) {
  const char* banner = static_cast<BannerCopy*>(user)->banner;
  *text = nullptr;
  if (banner == nullptr) return 0;
  size_t length = std::strlen(banner);
  char* copy = static_cast<char*>(HeapAllocZero(length + 1));
  if (copy == nullptr) return AllocationError();
  std::memcpy(copy, banner, length);
  *text = copy;
  return 0;
}

}  // namespace

uint32_t EnsureBlockPageText(EnginePolicy* policy, const char* banner) {
  BannerCopy copy{banner};
  return EnsureBlockPage(policy, CopyBanner, &copy);
}

void BlockPage(EnginePolicy* policy, const char** bytes, uint32_t* length) {
  *bytes = nullptr;
  *length = 0;
  if (policy == nullptr) return;
  // Read under the lock: a caller that never went through EnsureBlockPage
  // has not synchronized with the one building the page right now, and
  // could otherwise see the new length with the old null pointer.
  EnsureLogLock();
  LockEnter(&LogLock);
  const char* page = policy->record->BlockResponse;
  *bytes = page;
  *length = page != nullptr ? policy->record->BlockResponseLength : 0;
  LockLeave(&LogLock);
}

ServerHeaderAction ServerHeaderDecision(const EnginePolicy* policy, const char** text) {
  *text = kEmptyText;
  const FilterPolicy* record = policy->record;
  if (record->RemoveBanner != 0) return ServerHeaderAction::kRemove;
  if (record->Banner != nullptr && record->Banner[0] != '\0') {
    *text = record->Banner;
    return ServerHeaderAction::kReplace;
  }
  return ServerHeaderAction::kKeep;
}

uint64_t LostLogRecords(const EnginePolicy* policy) {
  return policy != nullptr ? LostRecords(policy->record) : 0;
}

}  // namespace rg
