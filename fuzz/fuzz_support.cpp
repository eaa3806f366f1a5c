#include "fuzz_support.h"

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "filter/filter.h"
#include "platform/platform.h"

namespace rg::fuzz {
namespace {

// List pools. Entries are picked by a mask whose zero value takes them all.
// Awkward entries sit beside ordinary ones: lower case where the checks fold
// case, a high-bit byte, an entry that is a prefix of others, a NUL.
constexpr std::string_view kVerbs[] = {"GET", "POST", "HEAD", "OPTIONS", "get", "G", "PROPFIND",
                                       "TRACE"};
constexpr std::string_view kVersions[] = {"HTTP/1.1", "HTTP/1.0", "http/1.1", "HTTP/2", "H"};
constexpr std::string_view kHostPorts[] = {"localhost",  "host",      "host:80", "www.example.com",
                                           "APP1:8080", "a",         "h\xe9st", "localhost:80"};
constexpr std::string_view kExtensions[] = {".htm", ".html", ".aspx", ".ASP", ".exe",
                                            ".",    "x",     ".e\xff"};
constexpr std::string_view kDeniedNames[] = {"Proxy", "Translate", "x-forwarded-for", "X Foo",
                                             "If",    "Lock-Token", "\x80"};
constexpr std::string_view kUrlSequences[] = {"..", "./", "\\", ":", "%", "&", "\xc0", "~1"};
constexpr std::string_view kQuerySequences[] = {"<script", "../", "'", "%",
                                                std::string_view("\0", 1), "select"};
struct Limit {
  std::string_view name;
  int32_t limit;
};
constexpr Limit kLimits[] = {{"Content-Type", 100}, {"Cookie", 200}, {"X-Zero", 0},
                             {"", 5},               {"Host", -1},    {"Cookie", 150},
                             {"referer", 300}};
constexpr std::string_view kBanners[] = {"", "Web Server", "%s%d%n%%", "Microsoft-IIS/10.0"};

char* CopyText(std::string_view text) {
  char* copy = static_cast<char*>(HeapAllocZero(text.size() + 1));
  Require(copy != nullptr, "test allocation failed");
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  return copy;
}

template <size_t N>
void FillList(StringList* list, const std::string_view (&pool)[N], uint32_t mask) {
  std::vector<std::string_view> picked;
  for (size_t i = 0; i < N; ++i)
    if (((mask >> i) & 1) == 0) picked.push_back(pool[i]);
  list->count = 0;
  if (picked.empty()) return;
  list->entries = static_cast<char**>(HeapAllocZero(picked.size() * sizeof(char*)));
  list->lengths = static_cast<uint32_t*>(HeapAllocZero(picked.size() * sizeof(uint32_t)));
  Require(list->entries && list->lengths, "test allocation failed");
  for (std::string_view e : picked) {
    list->entries[list->count] = CopyText(e);
    list->lengths[list->count] = static_cast<uint32_t>(e.size());
    ++list->count;
  }
}

void FillVersions(StringList* list, uint32_t mask) {
  std::vector<std::string> held;
  for (size_t i = 0; i < std::size(kVersions); ++i)
    if (((mask >> i) & 1) == 0) held.push_back(" " + std::string(kVersions[i]) + "\r\n");
  list->count = 0;
  if (held.empty()) return;
  list->entries = static_cast<char**>(HeapAllocZero(held.size() * sizeof(char*)));
  list->lengths = static_cast<uint32_t*>(HeapAllocZero(held.size() * sizeof(uint32_t)));
  Require(list->entries && list->lengths, "test allocation failed");
  for (const std::string& v : held) {
    list->entries[list->count] = CopyText(v);
    list->lengths[list->count] = static_cast<uint32_t>(v.size());
    ++list->count;
  }
}

void FillLimits(HeaderLimitList* list, uint32_t mask) {
  std::vector<Limit> kept;
  for (size_t i = 0; i < std::size(kLimits); ++i)
    if (((mask >> i) & 1) == 0) kept.push_back(kLimits[i]);
  list->count = 0;
  if (kept.empty()) return;
  list->names = static_cast<char**>(HeapAllocZero(kept.size() * sizeof(char*)));
  list->nameLengths = static_cast<uint32_t*>(HeapAllocZero(kept.size() * sizeof(uint32_t)));
  list->limits = static_cast<int32_t*>(HeapAllocZero(kept.size() * sizeof(int32_t)));
  Require(list->names && list->nameLengths && list->limits, "test allocation failed");
  for (const Limit& l : kept) {
    list->names[list->count] = CopyText(l.name);
    list->nameLengths[list->count] = static_cast<uint32_t>(l.name.size());
    list->limits[list->count] = l.limit;
    ++list->count;
  }
}

// A limit knob: 0 means no limit (the loader's default); otherwise the limit
// is present and small, so that the early length rules fire on short inputs,
// or now and then the unsigned extremes.
void ReadLimit(FuzzedDataProvider* input, uint32_t* limit, int32_t* has) {
  uint8_t knob = input->ConsumeIntegral<uint8_t>();
  *has = knob != 0;
  if (knob == 0) return;
  if (knob == 0xFF) *limit = 0xFFFFFFFFu;
  else if (knob == 0xFE) *limit = 0;
  else *limit = knob - 1;
}

std::string_view StringOfRecord(const char* text, uint32_t size) {
  const void* nul = std::memchr(text, 0, size);
  Require(nul != nullptr, "text buffer is not NUL-terminated within its size");
  return std::string_view(text, static_cast<const char*>(nul) - text);
}

void RequireWellFormedList(const StringList* list, bool entriesNonEmpty) {
  if (list->count == 0) {
    Require(list->entries == nullptr && list->lengths == nullptr, "empty list holds arrays");
    return;
  }
  Require(list->entries != nullptr && list->lengths != nullptr, "list without arrays");
  for (uint32_t i = 0; i < list->count; ++i) {
    Require(list->entries[i] != nullptr, "list entry is null");
    if (entriesNonEmpty) Require(list->lengths[i] > 0, "list entry is empty");
    Require(list->entries[i][list->lengths[i]] == '\0', "list entry not NUL-terminated");
  }
}

std::string g_scratch;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return std::remove(path);
}

// libFuzzer ends a time-bounded run with exit(), so the directory goes with
// the process.
void RemoveScratch() {
  if (!g_scratch.empty()) nftw(g_scratch.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "\n*** fuzz invariant broken: %s\n", what);
  std::abort();
}

const std::string& ScratchDirectory(const char* tag) {
  if (g_scratch.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/rg-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    Require(mkdtemp(buffer.data()) != nullptr, "cannot create a scratch directory");
    g_scratch = buffer.data();
    std::atexit(RemoveScratch);
  }
  return g_scratch;
}

void RemoveFilesIn(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* entry = readdir(d)) {
    if (entry->d_name[0] == '.') continue;
    std::string path = dir + "/" + entry->d_name;
    unlink(path.c_str());
  }
  closedir(d);
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  Require(f != nullptr, "cannot write a scratch file");
  if (size > 0) Require(std::fwrite(data, 1, size, f) == size, "short write of a scratch file");
  std::fclose(f);
}

FilterPolicy* NewFuzzPolicy(FuzzedDataProvider* input, const std::string& logDirectory) {
  FilterPolicy* p = static_cast<FilterPolicy*>(HeapAllocZero(sizeof(FilterPolicy)));
  Require(p != nullptr, "test allocation failed");
  p->LogFile = kInvalidFile;

  // Each bit flips one switch away from its default.
  uint32_t flips = input->ConsumeIntegral<uint32_t>();
  auto sw = [&flips](int bit, int32_t deflt) { return ((flips >> bit) & 1) ? !deflt : deflt; };
  p->Verbs.flag = sw(0, 1);
  p->HttpVersions.flag = sw(1, 1);
  p->HostPorts.flag = sw(2, 1);
  p->Extensions.flag = sw(3, 1);
  p->DeniedHeaderNames.flag = sw(4, 1);
  p->ValidMaxLenByHeader = sw(5, 1);
  p->UrlSequences.flag = sw(6, 1);
  p->QuerySequences.flag = sw(7, 1);
  p->AllowDotInUrl = sw(8, 0);
  p->AllowHighBitInUrl = sw(9, 0);
  p->CanonUrlBeforeScan = sw(10, 1);
  p->FailOnReCanonUrlChange = sw(11, 1);
  p->AllowHighBitInQuery = sw(12, 0);
  p->CanonQueryBeforeScan = sw(13, 1);
  p->FailOnReCanonQueryChange = sw(14, 1);
  p->CanonHeaderName = sw(15, 0);
  p->FailOnReCanonHeaderNameChange = sw(16, 0);
  p->CanonHeaderValue = sw(17, 0);
  p->FailOnReCanonHeaderValueChange = sw(18, 0);
  p->AllowHighBitInPayload = sw(19, 0);
  p->RemoveBanner = sw(20, 0);
  p->HighPriority = sw(21, 1);
  p->Simulate = sw(22, 0);

  ReadLimit(input, &p->UrlMaxLen, &p->HasUrlMaxLen);
  ReadLimit(input, &p->QueryMaxLen, &p->HasQueryMaxLen);
  ReadLimit(input, &p->HeaderNameMaxLen, &p->HasHeaderNameMaxLen);
  ReadLimit(input, &p->HeaderValueMaxLen, &p->HasHeaderValueMaxLen);
  ReadLimit(input, &p->PayloadMaxLen, &p->HasPayloadMaxLen);
  ReadLimit(input, &p->ContentLengthMaxLen, &p->HasContentLengthMaxLen);

  // The loader fills the lists whose switch is on, and always the verbs and
  // extensions; a list whose switch is off stays empty.
  FillList(&p->Verbs, kVerbs, input->ConsumeIntegral<uint8_t>());
  uint8_t versionMask = input->ConsumeIntegral<uint8_t>();
  if (p->HttpVersions.flag) FillVersions(&p->HttpVersions, versionMask);
  uint8_t hostMask = input->ConsumeIntegral<uint8_t>();
  if (p->HostPorts.flag) FillList(&p->HostPorts, kHostPorts, hostMask);
  FillList(&p->Extensions, kExtensions, input->ConsumeIntegral<uint8_t>());
  uint8_t nameMask = input->ConsumeIntegral<uint8_t>();
  if (p->DeniedHeaderNames.flag) FillList(&p->DeniedHeaderNames, kDeniedNames, nameMask);
  uint8_t limitMask = input->ConsumeIntegral<uint8_t>();
  if (p->ValidMaxLenByHeader) FillLimits(&p->HeaderLimits, limitMask);
  uint8_t urlMask = input->ConsumeIntegral<uint8_t>();
  if (p->UrlSequences.flag) FillList(&p->UrlSequences, kUrlSequences, urlMask);
  uint8_t queryMask = input->ConsumeIntegral<uint8_t>();
  if (p->QuerySequences.flag) FillList(&p->QuerySequences, kQuerySequences, queryMask);

  p->Banner = static_cast<char*>(HeapAllocZero(256));
  p->LogDirectory = static_cast<char*>(HeapAllocZero(256));
  Require(p->Banner && p->LogDirectory, "test allocation failed");
  Require(logDirectory.size() < 255, "scratch directory path too long");
  std::memcpy(p->LogDirectory, logDirectory.data(), logDirectory.size());

  // Half the policies keep the default head cap (0 reads as it); the others
  // get one small enough for short inputs to reach.
  uint8_t headCap = input->ConsumeIntegral<uint8_t>();
  p->MaxHeadLength = headCap < 128 ? 0 : uint32_t(headCap - 127) * 8;

  std::string_view banner = kBanners[input->ConsumeIntegral<uint8_t>() % std::size(kBanners)];
  if (p->RemoveBanner) {
    Require(BuildBlockResponse(p, nullptr) == 0, "block response not built");
  } else if (!banner.empty()) {
    std::memcpy(p->Banner, banner.data(), banner.size());
    Require(BuildBlockResponse(p, p->Banner) == 0, "block response not built");
  }
  return p;
}

void RequireWellFormedPolicy(const FilterPolicy* p) {
  RequireWellFormedList(&p->Verbs, true);
  RequireWellFormedList(&p->HttpVersions, true);
  RequireWellFormedList(&p->Extensions, true);
  RequireWellFormedList(&p->HostPorts, true);
  RequireWellFormedList(&p->DeniedHeaderNames, true);
  RequireWellFormedList(&p->UrlSequences, true);
  RequireWellFormedList(&p->QuerySequences, true);
  for (uint32_t i = 0; i < p->HttpVersions.count; ++i) {
    const char* v = p->HttpVersions.entries[i];
    uint32_t n = p->HttpVersions.lengths[i];
    Require(n >= 3 && v[0] == ' ' && v[n - 2] == '\r' && v[n - 1] == '\n',
            "HTTP version entry is not held as SP version CR LF");
  }
  const HeaderLimitList& limits = p->HeaderLimits;
  if (limits.count == 0) {
    Require(!limits.names && !limits.nameLengths && !limits.limits, "empty limit list holds arrays");
  } else {
    Require(limits.names && limits.nameLengths && limits.limits, "limit list without arrays");
    for (uint32_t i = 0; i < limits.count; ++i) {
      Require(limits.names[i] != nullptr, "limit name is null");
      Require(limits.names[i][limits.nameLengths[i]] == '\0', "limit name not NUL-terminated");
    }
  }
  if (p->Banner) Require(StringOfRecord(p->Banner, 256).size() <= 254, "banner too long");
  if (p->LogDirectory)
    Require(StringOfRecord(p->LogDirectory, 256).size() <= 255, "log directory too long");
  if (p->RemoveBanner && p->Banner) Require(p->Banner[0] == '\0', "banner kept while removed");
  if (p->BlockResponse) {
    Require(std::strlen(p->BlockResponse) == p->BlockResponseLength,
            "block response length differs from its text");
    Require(std::strncmp(p->BlockResponse, "HTTP/1.1 400 Bad Request\r\n", 26) == 0,
            "block response does not start with its status line");
  }
}

BOOL WINAPI FakeGetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                  DWORD* size) {
  FakeServer* server = static_cast<FakeServer*>(pfc->ServerContext);
  bool remote = std::strcmp(name, "REMOTE_ADDR") == 0;
  bool software = std::strcmp(name, "SERVER_SOFTWARE") == 0;
  Require(remote || software, "the filter asked for an unknown server variable");
  if ((remote && server->failRemoteAddr) || (software && server->failServerSoftware)) {
    SetLastErrorValue(kErrorAccessDenied);
    return FALSE;
  }
  const char* value = remote ? "10.0.0.5" : "Microsoft-IIS/10.0";
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

BOOL WINAPI FakeWriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, DWORD* bytes, DWORD) {
  FakeServer* server = static_cast<FakeServer*>(pfc->ServerContext);
  ++server->writeCalls;
  server->lastWriteBytes = *bytes;
  size_t n = *bytes < sizeof server->lastWriteStart - 1 ? *bytes : sizeof server->lastWriteStart - 1;
  std::memset(server->lastWriteStart, 0, sizeof server->lastWriteStart);
  if (n > 0) {
    Require(buffer != nullptr, "WriteClient with bytes but no buffer");
    std::memcpy(server->lastWriteStart, buffer, n);
  }
  return TRUE;
}

BOOL WINAPI FakeSetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  Require(name != nullptr && std::strcmp(name, "Server:") == 0, "SetHeader on another header");
  Require(value != nullptr, "SetHeader without a value");
  return static_cast<FakeServer*>(pfc->ServerContext)->failSetHeader ? FALSE : TRUE;
}

void InitFakeServer(FakeServer* server) {
  std::memset(server, 0, sizeof *server);
  server->pfc.cbSize = sizeof server->pfc;
  server->pfc.Revision = HTTP_FILTER_REVISION;
  server->pfc.ServerContext = server;
  server->pfc.GetServerVariable = FakeGetServerVariable;
  server->pfc.WriteClient = FakeWriteClient;
}

std::vector<uint16_t> ReadCuts(FuzzedDataProvider* input, uint32_t maxCuts) {
  uint32_t count = input->ConsumeIntegralInRange<uint32_t>(0, maxCuts);
  std::vector<uint16_t> cuts;
  for (uint32_t i = 0; i < count; ++i) cuts.push_back(input->ConsumeIntegral<uint16_t>());
  return cuts;
}

std::vector<uint32_t> ChunkLengths(const std::vector<uint16_t>& cuts, size_t n) {
  std::vector<uint32_t> lengths;
  size_t left = n;
  for (uint16_t cut : cuts) {
    if (left == 0) break;
    uint32_t length = 1 + static_cast<uint32_t>(cut % left);
    lengths.push_back(length);
    left -= length;
  }
  if (left > 0 || lengths.empty()) lengths.push_back(static_cast<uint32_t>(left));
  return lengths;
}

}  // namespace rg::fuzz
