// Helpers shared by the tests: policies built in code, temporary
// directories and small files.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "policy/policy.h"

namespace rg::test {

// A zero-filled policy from the heap carrying the loader's defaults: every
// list switch on (allow mode for verbs and extensions) with empty lists,
// canonicalization of URL and query with the second pass, no length limit,
// HighPriority 1, the default head cap, an empty Banner and LogDirectory,
// LogFile invalid.
// Free it with FreePolicy.
FilterPolicy* NewDefaultPolicy();

// Replaces a list's entries with copies of the given texts (heap blocks, so
// FreeStringList / FreePolicy release them). flag is left alone.
void SetList(StringList* list, std::initializer_list<std::string_view> entries);
// HttpVersions as the loader stores them: " " + version + "\r\n".
void SetVersions(StringList* list, std::initializer_list<std::string_view> versions);
void SetLimits(HeaderLimitList* list,
               std::initializer_list<std::pair<std::string_view, int32_t>> limits);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(std::string_view name) const { return path + "/" + std::string(name); }
};

void WriteTextFile(const std::string& path, std::string_view content);
std::string ReadTextFile(const std::string& path);  // empty when missing

}  // namespace rg::test
