// The INI reader and the policy loader on any file.
//
// The input is the whole INI file. Each run loads it into a fresh policy
// (logs go to a scratch directory) and checks what a load promises: on
// success a well-formed policy with its log open and the lists of switched-
// off sections empty; on failure nothing kept. Either way freeing the policy
// returns every block. The three profile readers are then run on the same
// file with buffers of exactly the given size, small ones included, so that
// a write past the end or a section walk that runs off its buffer shows up.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "kit/test_kit.h"
#include "log/log.h"
#include "platform/platform.h"
#include "policy/policy.h"

namespace {

using rg::fuzz::Require;

// The first "[name]" of the file, or empty.
std::string FirstSection(std::string_view text) {
  size_t open = text.find('[');
  if (open == std::string_view::npos) return {};
  size_t close = text.find(']', open);
  if (close == std::string_view::npos || close - open > 64) return {};
  return std::string(text.substr(open + 1, close - open - 1));
}

// The text before the first '=' of the first line that has one, or empty.
std::string FirstKey(std::string_view text) {
  size_t eq = text.find('=');
  if (eq == std::string_view::npos) return {};
  size_t start = text.find_last_of("\r\n", eq);
  start = start == std::string_view::npos ? 0 : start + 1;
  if (eq - start > 64) return {};
  return std::string(text.substr(start, eq - start));
}

bool Empty(const rg::StringList& list) {
  return list.count == 0 && list.entries == nullptr && list.lengths == nullptr;
}

// Released: the arrays are gone; the count may stay, as the release keeps it.
bool Released(const rg::StringList& list) {
  return list.entries == nullptr && list.lengths == nullptr;
}

void CheckLoaded(const rg::FilterPolicy* p) {
  rg::fuzz::RequireWellFormedPolicy(p);
  Require(p->Log != nullptr && p->Log->file != rg::kInvalidFile, "loaded without an open log file");
  Require(p->Banner != nullptr && p->LogDirectory != nullptr, "loaded without its buffers");
  for (int32_t has : {p->HasUrlMaxLen, p->HasQueryMaxLen, p->HasHeaderNameMaxLen,
                      p->HasHeaderValueMaxLen, p->HasPayloadMaxLen, p->HasContentLengthMaxLen})
    Require(has == 0 || has == 1, "a limit's presence member is neither 0 nor 1");
  // A list whose switch is off is never read from its section.
  if (!p->HttpVersions.flag) Require(Empty(p->HttpVersions), "versions loaded while off");
  if (!p->HostPorts.flag) Require(Empty(p->HostPorts), "host list loaded while off");
  if (!p->DeniedHeaderNames.flag) Require(Empty(p->DeniedHeaderNames), "names loaded while off");
  if (!p->UrlSequences.flag) Require(Empty(p->UrlSequences), "URL sequences loaded while off");
  if (!p->QuerySequences.flag) Require(Empty(p->QuerySequences), "query list loaded while off");
  if (!p->ValidMaxLenByHeader) Require(p->HeaderLimits.count == 0, "limits loaded while off");
  bool fixedBanner = p->RemoveBanner != 0 || p->Banner[0] != '\0';
  Require(fixedBanner == (p->BlockResponse != nullptr),
          "block response built at load exactly when the banner is fixed");
}

void CheckFailed(const rg::FilterPolicy* p) {
  Require(Released(p->Verbs) && Released(p->HttpVersions) && Released(p->Extensions) &&
              Released(p->HostPorts) && Released(p->DeniedHeaderNames) &&
              Released(p->UrlSequences) && Released(p->QuerySequences) &&
              p->HeaderLimits.names == nullptr && p->HeaderLimits.nameLengths == nullptr &&
              p->HeaderLimits.limits == nullptr,
          "a failed load kept list entries");
  Require(p->Banner == nullptr && p->LogDirectory == nullptr && p->BlockResponse == nullptr,
          "a failed load kept a buffer");
  Require(p->Log == nullptr, "a failed load kept the log file open");
}

// The section's lines must end, each with its NUL, inside the buffer, and
// the list must end in an empty line inside it: that walk is how the lists
// are built.
void CheckSectionBuffer(const char* buffer, uint32_t size, uint32_t written) {
  if (size == 0) return;
  Require(written < size, "section reader reports more bytes than its buffer holds");
  uint32_t p = 0;
  while (true) {
    Require(p < size, "section lines run past the buffer without an ending empty line");
    if (buffer[p] == '\0') break;
    const void* nul = std::memchr(buffer + p, 0, size - p);
    Require(nul != nullptr, "a section line has no NUL inside the buffer");
    p = static_cast<uint32_t>(static_cast<const char*>(nul) - buffer) + 1;
  }
}

void RunProfileReaders(const char* path, std::string_view text, uint32_t fileSize) {
  std::string sections[] = {"Globals", "VerbAllow", "ValidMaxLenByHeader", FirstSection(text)};
  std::string keys[] = {"UrlMaxLen", "ChangeBanner", FirstKey(text)};
  uint32_t sizes[] = {0, 1, 2, 3, 17, fileSize, fileSize + 2};
  for (const std::string& section : sections) {
    for (uint32_t size : sizes) {
      char* buffer = static_cast<char*>(std::malloc(size));  // exact: overruns are caught
      if (size) std::memset(buffer, 0x5A, size);
      uint32_t written = rg::ProfileGetSection(section.c_str(), buffer, size, path);
      CheckSectionBuffer(buffer, size, written);
      std::free(buffer);
    }
    for (const std::string& key : keys) {
      rg::ProfileGetInt(section.c_str(), key.c_str(), -1, path);
      for (uint32_t size : {1u, 2u, 255u}) {
        char* buffer = static_cast<char*>(std::malloc(size));
        std::memset(buffer, 0x5A, size);
        uint32_t n = rg::ProfileGetString(section.c_str(), key.c_str(), "dflt", buffer, size, path);
        Require(n < size && buffer[n] == '\0', "string reader overran or left no NUL");
        std::free(buffer);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  const std::string& dir = rg::fuzz::ScratchDirectory();
  const std::string ini = dir + "/Ravelgard.ini";
  const std::string logs = dir + "/LogFiles";
  Require(rg::test::WriteTextFile(ini, std::string_view(reinterpret_cast<const char*>(data), size)),
          "cannot write the INI file");

  // A plain load, then the same load with one of its allocations failing
  // (which one, and whether the platform reports an error number, follows
  // from the bytes). A failed load must say so with a nonzero error and keep
  // nothing; a load that reports success must be whole.
  uint64_t allocations = 0;
  for (int round = 0; round < 2; ++round) {
    int64_t live = rg::LiveBlockCount();
    auto* policy = static_cast<rg::FilterPolicy*>(rg::HeapAllocZero(sizeof(rg::FilterPolicy)));
    Require(policy != nullptr, "test allocation failed");
    if (round == 1) {
      if (allocations == 0) {
        rg::FreePolicy(policy);
        break;
      }
      uint32_t hash = 2166136261u;
      for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
      uint32_t injectedError = (hash & 1) ? rg::kErrorNotEnoughMemory : 0;
      rg::FailAllocationAfter(1 + static_cast<int64_t>((hash >> 1) % allocations), injectedError);
    }
    uint64_t before = rg::AllocationCount();
    uint32_t error = rg::LoadPolicy(policy, ini.c_str(), logs.c_str());
    rg::FailAllocationAfter(0);
    if (round == 0) {
      Require(error == 0, "a file that exists and is readable failed to load");
      allocations = rg::AllocationCount() - before;
    }
    if (error == 0) CheckLoaded(policy);
    else CheckFailed(policy);
    rg::FreePolicy(policy);
    Require(rg::LiveBlockCount() == live, "loading and freeing a policy leaked a block");
    rg::test::EmptyDirectory(logs);
  }

  RunProfileReaders(ini.c_str(),
                    std::string_view(reinterpret_cast<const char*>(data), size),
                    static_cast<uint32_t>(size));
  return 0;
}
