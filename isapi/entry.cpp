// The ISAPI entry points and the life of a connection's screening state,
// over the screening engine.
#include <cstdint>
#include <cstring>

#include "isapi/filter.h"
#include "platform/platform.h"
#include "policy/policy.h"

namespace rg {

EnginePolicy* g_policy = nullptr;

namespace {

// Longest configuration path accepted, as on the original platform where
// paths live in 256-byte buffers.
constexpr size_t kMaxIniPath = 255;

char kRemoteAddr[] = "REMOTE_ADDR";
char kServerSoftware[] = "SERVER_SOFTWARE";

uint32_t FetchServerSoftware(void* user, char** text) {
  return FetchServerVariable(static_cast<HTTP_FILTER_CONTEXT*>(user), kServerSoftware, text);
}

// A verdict for a failure of the platform while setting up a connection:
// it blocks whatever the policy's Simulate mode says.
Verdict PlatformFailure(uint32_t error) {
  Verdict verdict = {};
  verdict.kind = VerdictKind::kRejected;
  verdict.reason = kReasonWindowsError;
  verdict.winError = error;
  return verdict;
}

// SF_NOTIFY_READ_RAW_DATA: create the connection's state when it has none,
// screen the chunk and give the verdict once the request is refused. Every
// failure while setting up a new connection is a reason-34 verdict, which
// blocks.
DWORD OnRawData(HTTP_FILTER_CONTEXT* pfc, EnginePolicy* policy, HTTP_FILTER_RAW_DATA* raw) {
  Screening* state = static_cast<Screening*>(pfc->pFilterContext);
  if (state == nullptr) {
    uint32_t error = OpenScreening(policy, nullptr, &state);
    if (error != 0) return IssueVerdict(pfc, PlatformFailure(error));
    pfc->pFilterContext = state;

    char* address = nullptr;
    error = FetchServerVariable(pfc, kRemoteAddr, &address);
    if (error != 0) return IssueVerdict(pfc, PlatformFailure(error));
    AdoptClientAddress(state, address);

    // Without a fixed banner the page shows the server's own name, which
    // only a connection can ask for; exactly one connection builds it.
    error = EnsureBlockPage(policy, FetchServerSoftware, pfc);
    if (error != 0) return IssueVerdict(pfc, PlatformFailure(error));
  }

  // A delivery may hold the end of one request and the start of the next
  // (pipelining): each is screened as a request of its own, and a refused
  // one refuses the whole delivery.
  const uint8_t* bytes = static_cast<const uint8_t*>(raw->pvInData);
  uint32_t left = raw->cbInData;
  do {
    Verdict verdict = Screen(state, bytes, left);
    if (verdict.kind == VerdictKind::kRejected) return IssueVerdict(pfc, verdict);
    if (verdict.consumed == 0) break;
    bytes += verdict.consumed;
    left -= verdict.consumed;
  } while (left > 0);
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

}  // namespace

// Loads the policy from iniPath and declares the notifications. On failure
// nothing of the policy remains, g_policy is null and the last-error value
// holds the cause: 206 for a path longer than 255 characters, 183 when a
// filter is already running in this process, else the allocation's or the
// loader's error.
BOOL StartFilter(HTTP_FILTER_VERSION* version, const char* iniPath, const char* logDirectory) {
  if (iniPath == nullptr || version == nullptr) {
    SetLastErrorValue(kErrorInvalidParameter);
    return FALSE;
  }
  // A second start without a stop would leak the running policy.
  if (g_policy != nullptr) {
    SetLastErrorValue(kErrorAlreadyExists);
    return FALSE;
  }
  if (std::strlen(iniPath) > kMaxIniPath) {
    SetLastErrorValue(kErrorFilenameTooLong);
    return FALSE;
  }

  EngineOptions options;
  options.logDirectory = logDirectory;
  EnginePolicy* policy = nullptr;
  uint32_t error = LoadEnginePolicy(iniPath, &options, &policy);
  if (error != 0) {
    SetLastErrorValue(error);
    return FALSE;
  }
  g_policy = policy;

  version->dwFilterVersion = HTTP_FILTER_REVISION;
  version->dwFlags = SF_NOTIFY_READ_RAW_DATA | SF_NOTIFY_END_OF_NET_SESSION |
                     SF_NOTIFY_SEND_RESPONSE |
                     (PolicyRecord(policy)->HighPriority != 0 ? SF_NOTIFY_ORDER_HIGH
                                                              : SF_NOTIFY_ORDER_LOW);
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

// Frees the connection's state with its client address and request bytes
// and clears pFilterContext. A connection without a context is left alone.
void FreeScanContext(HTTP_FILTER_CONTEXT* pfc) {
  Screening* state = static_cast<Screening*>(pfc->pFilterContext);
  if (state == nullptr) return;
  CloseScreening(state);
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
  EnginePolicy* policy = g_policy;
  // A host that calls without a started filter gets no screening rather
  // than a crash; a server never does this.
  if (policy == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;

  switch (notificationType) {
    case SF_NOTIFY_READ_RAW_DATA:
      return OnRawData(pfc, policy, static_cast<HTTP_FILTER_RAW_DATA*>(pvNotification));
    case SF_NOTIFY_SEND_RESPONSE: {
      auto* response = static_cast<HTTP_FILTER_SEND_RESPONSE*>(pvNotification);
      ResponseStarted(static_cast<Screening*>(pfc->pFilterContext), response->HttpStatus);
      return FilterServerHeader(pfc, response);
    }
    case SF_NOTIFY_END_OF_NET_SESSION:
      FreeScanContext(pfc);
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    default:
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
}

// Releases the filter's hold on the policy; the policy and its log file go
// once no connection screens with it any more. TRUE.
extern "C" BOOL WINAPI TerminateFilter(DWORD /*dwFlags*/) {
  EnginePolicy* policy = g_policy;
  g_policy = nullptr;
  ReleaseEnginePolicy(policy);
  return TRUE;
}
