#include "ravelgard_engine.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "filter/context.h"
#include "filter/filter.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "scan/scan.h"

namespace rg::peer {
namespace {

// Used when the repository has no example policy: a production-style policy
// for an IIS site serving pages, scripts and static files.
constexpr std::string_view kBuiltInPolicy =
    "[Globals]\r\n"
    "UrlMaxLen=260\r\n"
    "QueryMaxLen=2048\r\n"
    "HeaderNameMaxLen=64\r\n"
    "HeaderValueMaxLen=8192\r\n"
    "PayloadMaxLen=1048576\r\n"
    "ContentLengthMaxLen=1048576\r\n"
    "VerbAllow=1\r\n"
    "ValidHttpVersion=1\r\n"
    "ValidHostPort=1\r\n"
    "ExtensionAllow=1\r\n"
    "DenyHeaderName=1\r\n"
    "ValidMaxLenByHeader=1\r\n"
    "DenyUrlSequence=1\r\n"
    "DenyQuerySequence=1\r\n"
    "AllowDotInUrl=0\r\n"
    "AllowHighBitInUrl=0\r\n"
    "CanonUrlBeforeScan=1\r\n"
    "FailOnReCanonUrlChange=1\r\n"
    "AllowHighBitInQuery=0\r\n"
    "CanonQueryBeforeScan=1\r\n"
    "FailOnReCanonQueryChange=1\r\n"
    "AllowHighBitInPayload=0\r\n"
    "RemoveBanner=0\r\n"
    "ChangeBanner=Web Server\r\n"
    "HighPriority=1\r\n"
    "Simulate=0\r\n"
    "[VerbAllow]\r\nGET\r\nHEAD\r\nPOST\r\n"
    "[ValidHttpVersion]\r\nHTTP/1.0\r\nHTTP/1.1\r\n"
    "[ValidHostPort]\r\nlocalhost\r\nlocalhost:80\r\n"
    "[ExtensionAllow]\r\n.htm\r\n.html\r\n.asp\r\n.aspx\r\n.css\r\n.js\r\n.gif\r\n.jpg\r\n"
    ".png\r\n.ico\r\n.txt\r\n"
    "[DenyHeaderName]\r\nProxy\r\nTranslate\r\nLock-Token\r\nIf\r\n"
    "[ValidMaxLenByHeader]\r\nCookie=4096\r\nReferer=1024\r\nUser-Agent=512\r\n"
    "[DenyUrlSequence]\r\n..\r\n./\r\n\\\r\n:\r\n%\r\n&\r\n"
    "[DenyQuerySequence]\r\n<script\r\n../\r\n";

// Header names the Core Rule Set refuses at paranoia level 1
// (tx.restricted_headers).
constexpr std::string_view kPeerRestrictedHeaders[] = {"Proxy", "Lock-Token", "Content-Range",
                                                       "If", "Accept-Charset",
                                                       "Content-Encoding"};

// The fake server: a fixed client address and banner, and a count of the
// bytes the filter writes to the client.
struct FakeConnection {
  uint32_t written;
};

BOOL WINAPI FakeGetServerVariable(HTTP_FILTER_CONTEXT*, LPSTR name, LPVOID buffer, DWORD* size) {
  const char* value = std::strcmp(name, "REMOTE_ADDR") == 0       ? "10.0.0.5"
                      : std::strcmp(name, "SERVER_SOFTWARE") == 0 ? "Microsoft-IIS/10.0"
                                                                  : nullptr;
  if (value == nullptr) {
    SetLastErrorValue(kErrorInvalidParameter);
    return FALSE;
  }
  DWORD needed = static_cast<DWORD>(std::strlen(value)) + 1;
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    SetLastErrorValue(kErrorInsufficientBuffer);
    return FALSE;
  }
  std::memcpy(buffer, value, needed);
  *size = needed;
  return TRUE;
}

BOOL WINAPI FakeWriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID, DWORD* bytes, DWORD) {
  static_cast<FakeConnection*>(pfc->ServerContext)->written += *bytes;
  return TRUE;
}

BOOL WINAPI FakeSetHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR) { return TRUE; }

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return std::remove(path);
}

}  // namespace

bool RavelgardStart(RavelgardSide* side, const std::string& exampleIni, std::string* error) {
  *side = {};
  char dirTemplate[] = "/tmp/rg-peer-XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) {
    *error = "cannot create a temporary directory";
    return false;
  }
  side->workDir = dirTemplate;
  if (FileExists(exampleIni)) {
    side->iniPath = exampleIni;
    side->policySource = "examples/Ravelgard.ini";
  } else {
    side->iniPath = side->workDir + "/Ravelgard.ini";
    FILE* f = std::fopen(side->iniPath.c_str(), "wb");
    if (f == nullptr ||
        std::fwrite(kBuiltInPolicy.data(), 1, kBuiltInPolicy.size(), f) != kBuiltInPolicy.size()) {
      if (f) std::fclose(f);
      *error = "cannot write " + side->iniPath;
      return false;
    }
    std::fclose(f);
    side->policySource = "built in";
  }
  std::string logDir = side->workDir + "/LogFiles";
  HTTP_FILTER_VERSION version{};
  if (!StartFilter(&version, side->iniPath.c_str(), logDir.c_str())) {
    *error = side->iniPath + ": the filter refused to start, error " +
             std::to_string(GetLastErrorValue());
    return false;
  }
  side->started = true;
  side->policy = g_policy;
  return true;
}

uint32_t RavelgardScan(const FilterPolicy* policy, const void* bytes, uint32_t length,
                       uint32_t* matchIndex) {
  ScanContext context{};
  ScanRawData(policy, &context, bytes, length);
  uint32_t reason = context.state == kStateRejected ? context.reason : 0;
  if (matchIndex) *matchIndex = context.matchIndex;
  HeapFreeBlock(context.data);
  return reason;
}

DWORD RavelgardFilter(const void* bytes, uint32_t length, uint32_t* blockBytes) {
  FakeConnection connection{};
  HTTP_FILTER_CONTEXT pfc{};
  pfc.cbSize = sizeof pfc;
  pfc.Revision = HTTP_FILTER_REVISION;
  pfc.ServerContext = &connection;
  pfc.GetServerVariable = FakeGetServerVariable;
  pfc.WriteClient = FakeWriteClient;

  HTTP_FILTER_RAW_DATA raw{};
  raw.pvInData = const_cast<void*>(bytes);
  raw.cbInData = length;
  raw.cbInBuffer = length;
  DWORD result = HttpFilterProc(&pfc, SF_NOTIFY_READ_RAW_DATA, &raw);
  if (result == SF_STATUS_REQ_NEXT_NOTIFICATION) {
    HTTP_FILTER_SEND_RESPONSE response{};
    response.SetHeader = FakeSetHeader;
    response.HttpStatus = 200;
    HttpFilterProc(&pfc, SF_NOTIFY_SEND_RESPONSE, &response);
  }
  HttpFilterProc(&pfc, SF_NOTIFY_END_OF_NET_SESSION, nullptr);
  *blockBytes = connection.written;
  return result;
}

void RavelgardStop(RavelgardSide* side) {
  if (side->started) TerminateFilter(0);
  if (!side->workDir.empty())
    nftw(side->workDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  *side = {};
}

std::string HostFor(const FilterPolicy* policy) {
  const StringList& hosts = policy->HostPorts;
  if (hosts.flag == 0 || hosts.count == 0) return "localhost";
  std::string fallback;
  for (uint32_t i = 0; i < hosts.count; ++i) {
    std::string_view host(hosts.entries[i], hosts.lengths[i]);
    if (host.find_first_not_of("0123456789.:[]") == std::string_view::npos) continue;
    if (host.find(':') == std::string_view::npos) return std::string(host);
    if (fallback.empty()) fallback = host;
  }
  return fallback.empty() ? "localhost" : fallback;
}

std::string DeniedHeaderFor(const FilterPolicy* policy) {
  const StringList& names = policy->DeniedHeaderNames;
  if (names.flag == 0 || names.count == 0) return {};
  for (uint32_t i = 0; i < names.count; ++i)
    for (std::string_view restricted : kPeerRestrictedHeaders)
      if (restricted.size() == names.lengths[i] &&
          BytesEqualNoCase(restricted.data(), names.entries[i], names.lengths[i]))
        return names.entries[i];
  return names.entries[0];
}

}  // namespace rg::peer
