#include "ravelgard_engine.h"

#include <sys/stat.h>

#include <string_view>

#include "filter/context.h"
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

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool RavelgardStart(RavelgardSide* side, const std::string& exampleIni, std::string* error) {
  *side = {};
  side->workDir = std::make_unique<test::TempDir>();
  if (FileExists(exampleIni)) {
    side->iniPath = exampleIni;
    side->policySource = "examples/Ravelgard.ini";
  } else {
    side->iniPath = side->workDir->File("Ravelgard.ini");
    if (!test::WriteTextFile(side->iniPath, kBuiltInPolicy)) {
      *error = "cannot write " + side->iniPath;
      return false;
    }
    side->policySource = "built in";
  }
  std::string logDir = side->workDir->File("LogFiles");
  EngineOptions options;
  options.logDirectory = logDir.c_str();
  uint32_t failure = LoadEnginePolicy(side->iniPath.c_str(), &options, &side->engine);
  if (failure != 0) {
    *error = side->iniPath + ": the policy did not load, error " + std::to_string(failure);
    return false;
  }
  side->policy = PolicyRecord(side->engine);
  return true;
}

uint32_t RavelgardScan(const FilterPolicy* policy, const void* bytes, uint32_t length,
                       uint32_t* matchIndex) {
  ScanContext context{};
  ScanRawData(policy, &context, bytes, length);
  uint32_t reason = context.state == kStateRejected ? uint32_t{context.reason} : 0u;
  if (matchIndex) *matchIndex = context.matchIndex;
  HeapFreeBlock(context.data);
  return reason;
}

bool RavelgardEngine(EnginePolicy* policy, const void* bytes, uint32_t length,
                     uint32_t* blockBytes) {
  *blockBytes = 0;
  Screening* state = nullptr;
  if (OpenScreening(policy, "10.0.0.5", &state) != 0) return true;
  bool blocked = false;
  if (EnsureBlockPageText(policy, "Microsoft-IIS/10.0") != 0) {
    blocked = true;
  } else {
    Verdict verdict = Screen(state, bytes, length);
    if (verdict.kind == VerdictKind::kRejected) {
      LogVerdict(policy, state, verdict);
      blocked = Blocks(verdict);
    } else {
      ResponseStarted(state, 200);
    }
  }
  if (blocked) {
    const char* page = nullptr;
    BlockPage(policy, &page, blockBytes);
  }
  CloseScreening(state);
  return blocked;
}

void RavelgardStop(RavelgardSide* side) {
  ReleaseEnginePolicy(side->engine);
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
