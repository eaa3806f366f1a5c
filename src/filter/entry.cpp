// The ISAPI entry points and the life of a connection's ScanContext.
#include <cstdint>
#include <cstring>

#include "filter/filter.h"
#include "log/log.h"
#include "platform/platform.h"
#include "scan/scan.h"

namespace rg {

FilterPolicy* g_policy = nullptr;
VerdictObserver g_verdictObserver = nullptr;

namespace {

// Longest configuration path accepted, as on the original platform where
// paths live in 256-byte buffers.
constexpr size_t kMaxIniPath = 255;

char kRemoteAddr[] = "REMOTE_ADDR";
char kServerSoftware[] = "SERVER_SOFTWARE";

// Builds the block response from the server's own banner unless a connection
// (or the loader) already did. Runs under LogLock, so exactly one connection
// builds it and every later one sees the finished page. Returns 0 or the
// error that becomes the current request's reason-34 verdict.
uint32_t EnsureBlockResponse(HTTP_FILTER_CONTEXT* pfc, FilterPolicy* policy) {
  uint32_t error = 0;
  LockEnter(&LogLock);
  if (policy->BlockResponse == nullptr) {
    char* serverText = nullptr;
    error = FetchServerVariable(pfc, kServerSoftware, &serverText);
    if (error == 0) error = BuildBlockResponse(policy, serverText);
    HeapFreeBlock(serverText);
  }
  LockLeave(&LogLock);
  return error;
}

// Gets the connection ready for a new request after its response went out:
// the state of a fresh context, except for the client address, which belongs
// to the connection, and the positions that only a finished element sets
// (nameStart, lineEnd, headersEnd) and the last matchIndex, which nothing
// reads before the new request sets them again. Clearing the whole record
// also clears the scanner's bookkeeping about the freed buffer, so a stale
// capacity or resume index can never outlive it.
void ResetForNextRequest(ScanContext* context) {
  HeapFreeBlock(context->data);
  ScanContext kept = *context;
  std::memset(static_cast<void*>(context), 0, sizeof(ScanContext));
  context->clientAddress = kept.clientAddress;
  context->nameStart = kept.nameStart;
  context->lineEnd = kept.lineEnd;
  context->headersEnd = kept.headersEnd;
  context->matchIndex = kept.matchIndex;
}

// SF_NOTIFY_READ_RAW_DATA: create or reset the context, scan the chunk and
// give the verdict once the scan is refused. Every failure while setting up
// a new connection is a reason-34 verdict, which blocks.
DWORD OnRawData(HTTP_FILTER_CONTEXT* pfc, FilterPolicy* policy, HTTP_FILTER_RAW_DATA* raw) {
  ScanContext* context = static_cast<ScanContext*>(pfc->pFilterContext);
  if (context == nullptr) {
    context = static_cast<ScanContext*>(HeapAllocZero(sizeof(ScanContext)));
    if (context == nullptr) return IssueVerdict(pfc, 34, 0, AllocationError());
    pfc->pFilterContext = context;

    uint32_t error = FetchServerVariable(pfc, kRemoteAddr, &context->clientAddress);
    if (error != 0) return IssueVerdict(pfc, 34, 0, error);

    error = EnsureBlockResponse(pfc, policy);
    if (error != 0) return IssueVerdict(pfc, 34, 0, error);
  } else if (context->state == kStateResponseSent) {
    ResetForNextRequest(context);
  }

  ScanRawData(policy, context, raw->pvInData, raw->cbInData);
  if (context->state == kStateRejected)
    return IssueVerdict(pfc, context->reason, context->matchIndex, context->winError);
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

}  // namespace

// Allocates the policy, loads it from iniPath and declares the
// notifications. On failure nothing of the policy remains, g_policy is null
// and the last-error value holds the cause: 206 for a path longer than 255
// characters, 183 when a filter is already running in this process, else the
// allocation's or the loader's error.
BOOL StartFilter(HTTP_FILTER_VERSION* version, const char* iniPath, const char* logDirectory) {
  if (iniPath == nullptr || version == nullptr) {
    SetLastErrorValue(kErrorInvalidParameter);
    return FALSE;
  }
  // A second start without a stop would leak the running policy and
  // re-initialize a lock that may be held.
  if (g_policy != nullptr) {
    SetLastErrorValue(kErrorAlreadyExists);
    return FALSE;
  }
  if (std::strlen(iniPath) > kMaxIniPath) {
    SetLastErrorValue(kErrorFilenameTooLong);
    return FALSE;
  }

  FilterPolicy* policy = static_cast<FilterPolicy*>(HeapAllocZero(sizeof(FilterPolicy)));
  if (policy == nullptr) {
    SetLastErrorValue(AllocationError());
    return FALSE;
  }
  g_policy = policy;
  policy->LogFile = kInvalidFile;  // the loader must see no open log yet

  uint32_t error = LoadPolicy(policy, iniPath, logDirectory);
  if (error != 0) {
    FreePolicy(policy);
    g_policy = nullptr;
    SetLastErrorValue(error);
    return FALSE;
  }

  version->dwFilterVersion = HTTP_FILTER_REVISION;
  version->dwFlags = SF_NOTIFY_READ_RAW_DATA | SF_NOTIFY_END_OF_NET_SESSION |
                     SF_NOTIFY_SEND_RESPONSE |
                     (policy->HighPriority != 0 ? SF_NOTIFY_ORDER_HIGH : SF_NOTIFY_ORDER_LOW);
  // Only now: the loader's first log open runs on this one thread, and a
  // failed start must leave no lock behind.
  LockInit(&LogLock);
  return TRUE;
}

// Asks the server for a variable in two calls, a size probe and the read,
// into a zero-filled block one byte longer than the size asked for, so the
// value is NUL-terminated whatever the server writes. Returns 0 and the text,
// or an error number and a null text.
uint32_t FetchServerVariable(HTTP_FILTER_CONTEXT* pfc, const char* name, char** out) {
  *out = nullptr;
  char* variable = const_cast<char*>(name);  // the SDK's callback is not const-correct
  DWORD size = 0;
  if (!pfc->GetServerVariable(pfc, variable, nullptr, &size)) {
    uint32_t error = GetLastErrorValue();
    if (error != kErrorInsufficientBuffer) return ErrorOr(error, kErrorGenFailure);
  }

  // size + 1 is computed wide: a 0xFFFFFFFF size must not wrap to a 0-byte
  // block that the server then writes into.
  char* value = static_cast<char*>(HeapAllocZero(static_cast<size_t>(size) + 1));
  if (value == nullptr) return AllocationError();
  if (!pfc->GetServerVariable(pfc, variable, value, &size)) {
    uint32_t error = LastErrorOr(kErrorGenFailure);
    HeapFreeBlock(value);
    return error;
  }
  *out = value;
  return 0;
}

// Frees the connection's context with its client address and request bytes
// and clears pFilterContext. A connection without a context is left alone.
void FreeScanContext(HTTP_FILTER_CONTEXT* pfc) {
  ScanContext* context = static_cast<ScanContext*>(pfc->pFilterContext);
  if (context == nullptr) return;
  HeapFreeBlock(context->clientAddress);
  context->clientAddress = nullptr;
  HeapFreeBlock(context->data);
  context->data = nullptr;
  HeapFreeBlock(context);
  pfc->pFilterContext = nullptr;
}

}  // namespace rg

using namespace rg;

namespace {

// The module's own file with its extension (the text after the last '.' of
// the file name) replaced by "ini", or ".ini" appended when the name has
// none. Returns 0 or the error of finding the module's path.
uint32_t ConfigurationPath(char* iniPath, size_t size) {
  char modulePath[256];
  uint32_t count = GetModulePath(modulePath, sizeof(modulePath));
  if (count == 0) return LastErrorOr(kErrorFileNotFound);
  if (count > sizeof(modulePath) - 1) count = sizeof(modulePath) - 1;
  modulePath[count] = '\0';

  uint32_t nameStart = 0;
  for (uint32_t i = 0; i < count; ++i)
    if (modulePath[i] == kPathSeparator || modulePath[i] == '/') nameStart = i + 1;
  uint32_t stem = count;
  for (uint32_t i = nameStart; i < count; ++i)
    if (modulePath[i] == '.') stem = i;

  // 255 characters, '.', "ini" and the NUL always fit.
  if (size < sizeof(modulePath) + 4) return kErrorInsufficientBuffer;
  std::memcpy(iniPath, modulePath, stem);
  std::memcpy(iniPath + stem, ".ini", 5);
  return 0;
}

}  // namespace

// Loads the policy from the INI file beside the module. TRUE with the
// notifications declared, or FALSE with the cause as the last-error value.
extern "C" BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  char iniPath[260];
  uint32_t error = ConfigurationPath(iniPath, sizeof(iniPath));
  if (error != 0) {
    SetLastErrorValue(error);
    return FALSE;
  }
  return StartFilter(pVer, iniPath, nullptr);
}

// Dispatches one notification of one connection. Returns
// SF_STATUS_REQ_FINISHED when the filter answered the client itself, else
// SF_STATUS_REQ_NEXT_NOTIFICATION.
extern "C" DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                                       LPVOID pvNotification) {
  FilterPolicy* policy = g_policy;
  // A host that calls without a started filter gets no screening rather
  // than a crash; a server never does this.
  if (policy == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;

  switch (notificationType) {
    case SF_NOTIFY_READ_RAW_DATA:
      return OnRawData(pfc, policy, static_cast<HTTP_FILTER_RAW_DATA*>(pvNotification));
    case SF_NOTIFY_SEND_RESPONSE: {
      auto* response = static_cast<HTTP_FILTER_SEND_RESPONSE*>(pvNotification);
      auto* context = static_cast<ScanContext*>(pfc->pFilterContext);
      // 100 Continue is not the answer to the request: the body is still to
      // come and belongs to the same scan.
      if (context != nullptr && response->HttpStatus != 100) context->state = kStateResponseSent;
      return FilterServerHeader(pfc, response);
    }
    case SF_NOTIFY_END_OF_NET_SESSION:
      FreeScanContext(pfc);
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    default:
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
}

// Releases the policy and its log file and deletes the lock. TRUE.
extern "C" BOOL WINAPI TerminateFilter(DWORD /*dwFlags*/) {
  FilterPolicy* policy = g_policy;
  // Without a successful start there is no policy and no lock to delete.
  if (policy == nullptr) return TRUE;
  FreePolicy(policy);
  g_policy = nullptr;
  LockDelete(&LogLock);
  return TRUE;
}
