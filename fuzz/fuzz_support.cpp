#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "filter/filter.h"
#include "kit/test_kit.h"
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
using Limit = std::pair<std::string_view, int32_t>;
constexpr Limit kLimits[] = {{"Content-Type", 100}, {"Cookie", 200}, {"X-Zero", 0},
                             {"", 5},               {"Host", -1},    {"Cookie", 150},
                             {"referer", 300}};
constexpr std::string_view kBanners[] = {"", "Web Server", "%s%d%n%%", "Microsoft-IIS/10.0"};

// The entries of a pool whose bit in mask is clear.
template <typename T, size_t N>
std::vector<T> Pick(const T (&pool)[N], uint32_t mask) {
  std::vector<T> picked;
  for (size_t i = 0; i < N; ++i)
    if (((mask >> i) & 1) == 0) picked.push_back(pool[i]);
  return picked;
}

template <size_t N>
void FillList(StringList* list, const std::string_view (&pool)[N], uint32_t mask) {
  std::vector<std::string_view> picked = Pick(pool, mask);
  test::SetListFrom(list, picked.data(), picked.size());
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

}  // namespace

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "\n*** fuzz invariant broken: %s\n", what);
  std::abort();
}

const std::string& ScratchDirectory() {
  static test::TempDir scratch;
  return scratch.path;
}

FilterPolicy* NewFuzzPolicy(FuzzedDataProvider* input, const std::string& logDirectory) {
  FilterPolicy* p = test::NewDefaultPolicy();

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
  if (p->HttpVersions.flag) {
    std::vector<std::string_view> versions = Pick(kVersions, versionMask);
    test::SetVersionsFrom(&p->HttpVersions, versions.data(), versions.size());
  }
  uint8_t hostMask = input->ConsumeIntegral<uint8_t>();
  if (p->HostPorts.flag) FillList(&p->HostPorts, kHostPorts, hostMask);
  FillList(&p->Extensions, kExtensions, input->ConsumeIntegral<uint8_t>());
  uint8_t nameMask = input->ConsumeIntegral<uint8_t>();
  if (p->DeniedHeaderNames.flag) FillList(&p->DeniedHeaderNames, kDeniedNames, nameMask);
  uint8_t limitMask = input->ConsumeIntegral<uint8_t>();
  if (p->ValidMaxLenByHeader) {
    std::vector<Limit> limits = Pick(kLimits, limitMask);
    test::SetLimitsFrom(&p->HeaderLimits, limits.data(), limits.size());
  }
  uint8_t urlMask = input->ConsumeIntegral<uint8_t>();
  if (p->UrlSequences.flag) FillList(&p->UrlSequences, kUrlSequences, urlMask);
  uint8_t queryMask = input->ConsumeIntegral<uint8_t>();
  if (p->QuerySequences.flag) FillList(&p->QuerySequences, kQuerySequences, queryMask);

  // Most policies have their lists indexed, as a loaded one does; the
  // others keep the plain walks, which must judge alike.
  if (!sw(23, 0)) Require(IndexPolicyLists(p) == 0, "list index not built");

  Require(logDirectory.size() < 255, "scratch directory path too long");
  test::SetText(p->LogDirectory, logDirectory);

  // Half the policies keep the default head cap (0 reads as it); the others
  // get one small enough for short inputs to reach.
  uint8_t headCap = input->ConsumeIntegral<uint8_t>();
  p->MaxHeadLength = headCap < 128 ? 0 : uint32_t(headCap - 127) * 8;

  std::string_view banner = kBanners[input->ConsumeIntegral<uint8_t>() % std::size(kBanners)];
  if (p->RemoveBanner) {
    Require(BuildBlockResponse(p, nullptr) == 0, "block response not built");
  } else if (!banner.empty()) {
    test::SetText(p->Banner, banner);
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
