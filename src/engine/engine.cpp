// The screening engine over the core: policies as reference-counted
// objects, one screening state per connection, verdicts as records.
#include "engine/engine.h"

#include <atomic>
#include <cstring>
#include <new>

#include "filter/context.h"
#include "filter/filter.h"
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
  // The last verdict rejected the request: the next bytes start a new one.
  bool ended;
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

Verdict Screen(Screening* state, const void* bytes, uint32_t length) {
  Verdict verdict = {};
  ScanContext* context = &state->context;
  if (state->ended || context->state == kStateResponseSent) {
    StartNextRequest(context);
    state->ended = false;
  }

  const FilterPolicy* record = state->policy->record;
  ScanRawData(record, context, bytes, length);
  if (context->state == kStateRejected) {
    verdict.kind = VerdictKind::kRejected;
    verdict.reason = static_cast<ReasonCode>(context->reason);
    verdict.matchIndex = context->matchIndex;
    verdict.winError = context->winError;
    // A request the filter could not examine must not get through, even in
    // Simulate mode.
    verdict.simulated = record->Simulate != 0 && context->reason != kReasonWindowsError &&
                        context->winError == 0;
    state->ended = true;
    return verdict;
  }
  if (context->headersComplete) verdict.headLength = context->headersEnd + 4;
  return verdict;
}

void ResponseStarted(Screening* state, uint32_t status) {
  // 100 Continue is not the answer to the request: the body is still to
  // come and belongs to the same scan.
  if (state != nullptr && status != 100) state->context.state = kStateResponseSent;
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
