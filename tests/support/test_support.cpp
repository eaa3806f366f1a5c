#include "support/test_support.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "policy/globals.h"

namespace rg::test {

namespace {

char* CopyText(std::string_view text) {
  char* copy = static_cast<char*>(HeapAllocZero(text.size() + 1));
  if (copy == nullptr) std::abort();
  std::memcpy(copy, text.data(), text.size());
  return copy;
}

}  // namespace

FilterPolicy* NewDefaultPolicy() {
  FilterPolicy* p = static_cast<FilterPolicy*>(HeapAllocZero(sizeof(FilterPolicy)));
  if (p == nullptr) std::abort();
  SetGlobalDefaults(p);
  p->MaxHeadLength = kDefaultMaxHeadLength;
  p->Banner = static_cast<char*>(HeapAllocZero(256));
  p->LogDirectory = static_cast<char*>(HeapAllocZero(256));
  if (p->Banner == nullptr || p->LogDirectory == nullptr) std::abort();
  return p;
}

void SetList(StringList* list, std::initializer_list<std::string_view> entries) {
  FreeStringList(list);
  list->count = 0;
  if (entries.size() == 0) return;
  list->entries = static_cast<char**>(HeapAllocZero(entries.size() * sizeof(char*)));
  list->lengths = static_cast<uint32_t*>(HeapAllocZero(entries.size() * sizeof(uint32_t)));
  if (list->entries == nullptr || list->lengths == nullptr) std::abort();
  for (std::string_view e : entries) {
    list->entries[list->count] = CopyText(e);
    list->lengths[list->count] = static_cast<uint32_t>(e.size());
    ++list->count;
  }
}

void SetVersions(StringList* list, std::initializer_list<std::string_view> versions) {
  FreeStringList(list);
  list->count = 0;
  if (versions.size() == 0) return;
  list->entries = static_cast<char**>(HeapAllocZero(versions.size() * sizeof(char*)));
  list->lengths = static_cast<uint32_t*>(HeapAllocZero(versions.size() * sizeof(uint32_t)));
  if (list->entries == nullptr || list->lengths == nullptr) std::abort();
  for (std::string_view v : versions) {
    std::string held = " " + std::string(v) + "\r\n";
    list->entries[list->count] = CopyText(held);
    list->lengths[list->count] = static_cast<uint32_t>(held.size());
    ++list->count;
  }
}

void SetLimits(HeaderLimitList* list,
               std::initializer_list<std::pair<std::string_view, int32_t>> limits) {
  FreeHeaderLimitList(list);
  list->count = 0;
  if (limits.size() == 0) return;
  list->names = static_cast<char**>(HeapAllocZero(limits.size() * sizeof(char*)));
  list->nameLengths = static_cast<uint32_t*>(HeapAllocZero(limits.size() * sizeof(uint32_t)));
  list->limits = static_cast<int32_t*>(HeapAllocZero(limits.size() * sizeof(int32_t)));
  if (list->names == nullptr || list->nameLengths == nullptr || list->limits == nullptr)
    std::abort();
  for (const auto& [name, limit] : limits) {
    list->names[list->count] = CopyText(name);
    list->nameLengths[list->count] = static_cast<uint32_t>(name.size());
    list->limits[list->count] = limit;
    ++list->count;
  }
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "rgtest.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void WriteTextFile(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace rg::test
