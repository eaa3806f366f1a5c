#include "kit/test_kit.h"

#include "policy/globals.h"

#if defined(_WIN32)
#include <filesystem>
#include <system_error>
#else
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace rg::test {

namespace {

[[noreturn]] void Stop(const char* what) {
  std::fprintf(stderr, "test kit: %s\n", what);
  std::abort();
}

char* CopyText(std::string_view text) {
  char* copy = static_cast<char*>(HeapAllocZero(text.size() + 1));
  if (copy == nullptr) Stop("a test allocation failed");
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  return copy;
}

template <typename T>
T* NewArray(size_t count) {
  T* array = static_cast<T*>(HeapAllocZero(count * sizeof(T)));
  if (array == nullptr) Stop("a test allocation failed");
  return array;
}

// Texts go in as they are; versions get the blank before and the CR LF after
// that the loader gives them.
void FillList(StringList* list, const std::string_view* entries, size_t count, bool version) {
  FreeStringList(list);
  list->count = 0;
  if (count == 0) return;
  list->entries = NewArray<char*>(count);
  list->lengths = NewArray<uint32_t>(count);
  for (size_t i = 0; i < count; ++i) {
    // Appended piece by piece: g++ 12 takes " " + std::string(...) in a
    // Release build for an overlapping copy (-Wrestrict).
    std::string held;
    if (version) held.append(" ");
    held.append(entries[i]);
    if (version) held.append("\r\n");
    list->entries[i] = CopyText(held);
    list->lengths[i] = static_cast<uint32_t>(held.size());
  }
  list->count = static_cast<uint32_t>(count);
}

// True when a line of an INI section would give back exactly this text.
bool FitsOnALine(std::string_view text) {
  if (text.empty()) return false;
  if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) return false;
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  if (blank(text.front()) || blank(text.back())) return false;
  return text.front() != ';' && text.front() != '[';
}

void AppendKey(std::string* ini, const char* key, long long value) {
  *ini += key;
  *ini += '=';
  *ini += std::to_string(value);
  *ini += '\n';
}

void AppendSection(std::string* ini, const char* name, const StringList& list, bool version) {
  *ini += '[';
  *ini += name;
  *ini += "]\n";
  for (uint32_t i = 0; i < list.count; ++i) {
    std::string_view entry(list.entries[i], list.lengths[i]);
    // Versions are held as " " + version + "\r\n".
    if (version && entry.size() >= 3) entry = entry.substr(1, entry.size() - 3);
    if (!FitsOnALine(entry)) continue;
    *ini += entry;
    *ini += '\n';
  }
}

#if defined(_WIN32)
// Removes what it can and goes on past what it cannot (a file another
// handle still holds open), like the depth-first walk on POSIX systems.
void RemoveTree(const std::filesystem::path& path) {
  std::error_code error;
  if (std::filesystem::is_directory(std::filesystem::symlink_status(path, error))) {
    for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
         it.increment(error))
      RemoveTree(it->path());
  }
  std::filesystem::remove(path, error);
}
#else
int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return std::remove(path);
}

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}
#endif

}  // namespace

FilterPolicy* NewDefaultPolicy() {
  FilterPolicy* p = static_cast<FilterPolicy*>(HeapAllocZero(sizeof(FilterPolicy)));
  if (p == nullptr) Stop("a test allocation failed");
  SetGlobalDefaults(p);
  p->MaxHeadLength = kDefaultMaxHeadLength;
  p->Banner = NewArray<char>(256);
  p->LogDirectory = NewArray<char>(256);
  return p;
}

void SetList(StringList* list, std::initializer_list<std::string_view> entries) {
  FillList(list, entries.begin(), entries.size(), false);
}

void SetListFrom(StringList* list, const std::string_view* entries, size_t count) {
  FillList(list, entries, count, false);
}

void SetVersions(StringList* list, std::initializer_list<std::string_view> versions) {
  FillList(list, versions.begin(), versions.size(), true);
}

void SetVersionsFrom(StringList* list, const std::string_view* versions, size_t count) {
  FillList(list, versions, count, true);
}

void SetLimits(HeaderLimitList* list,
               std::initializer_list<std::pair<std::string_view, int32_t>> limits) {
  SetLimitsFrom(list, limits.begin(), limits.size());
}

void SetLimitsFrom(HeaderLimitList* list, const std::pair<std::string_view, int32_t>* limits,
                   size_t count) {
  FreeHeaderLimitList(list);
  list->count = 0;
  if (count == 0) return;
  list->names = NewArray<char*>(count);
  list->nameLengths = NewArray<uint32_t>(count);
  list->limits = NewArray<int32_t>(count);
  for (size_t i = 0; i < count; ++i) {
    list->names[i] = CopyText(limits[i].first);
    list->nameLengths[i] = static_cast<uint32_t>(limits[i].first.size());
    list->limits[i] = limits[i].second;
  }
  list->count = static_cast<uint32_t>(count);
}

void SetText(char* block, std::string_view text) {
  size_t length = text.size() < 255 ? text.size() : 255;
  std::memcpy(block, text.data(), length);
  std::memset(block + length, 0, 256 - length);
}

std::string PolicyIni(const FilterPolicy* p) {
  std::string ini = "[Globals]\n";
  struct Length {
    const char* key;
    uint32_t limit;
    int32_t present;
  };
  const Length lengths[] = {
      {"UrlMaxLen", p->UrlMaxLen, p->HasUrlMaxLen},
      {"QueryMaxLen", p->QueryMaxLen, p->HasQueryMaxLen},
      {"HeaderNameMaxLen", p->HeaderNameMaxLen, p->HasHeaderNameMaxLen},
      {"HeaderValueMaxLen", p->HeaderValueMaxLen, p->HasHeaderValueMaxLen},
      {"PayloadMaxLen", p->PayloadMaxLen, p->HasPayloadMaxLen},
      {"ContentLengthMaxLen", p->ContentLengthMaxLen, p->HasContentLengthMaxLen},
  };
  for (const Length& l : lengths)
    if (l.present) AppendKey(&ini, l.key, l.limit);

  const std::pair<const char*, int32_t> switches[] = {
      {"VerbAllow", p->Verbs.flag},
      {"ValidHttpVersion", p->HttpVersions.flag},
      {"ValidHostPort", p->HostPorts.flag},
      {"ExtensionAllow", p->Extensions.flag},
      {"DenyHeaderName", p->DeniedHeaderNames.flag},
      {"ValidMaxLenByHeader", p->ValidMaxLenByHeader},
      {"DenyUrlSequence", p->UrlSequences.flag},
      {"DenyQuerySequence", p->QuerySequences.flag},
      {"AllowDotInUrl", p->AllowDotInUrl},
      {"AllowHighBitInUrl", p->AllowHighBitInUrl},
      {"CanonUrlBeforeScan", p->CanonUrlBeforeScan},
      {"FailOnReCanonUrlChange", p->FailOnReCanonUrlChange},
      {"AllowHighBitInQuery", p->AllowHighBitInQuery},
      {"CanonQueryBeforeScan", p->CanonQueryBeforeScan},
      {"FailOnReCanonQueryChange", p->FailOnReCanonQueryChange},
      {"CanonHeaderName", p->CanonHeaderName},
      {"FailOnReCanonHeaderNameChange", p->FailOnReCanonHeaderNameChange},
      {"CanonHeaderValue", p->CanonHeaderValue},
      {"FailOnReCanonHeaderValueChange", p->FailOnReCanonHeaderValueChange},
      {"AllowHighBitInPayload", p->AllowHighBitInPayload},
      {"RemoveBanner", p->RemoveBanner},
      {"HighPriority", p->HighPriority},
      {"Simulate", p->Simulate},
  };
  for (const auto& [key, value] : switches) AppendKey(&ini, key, value);
  if (p->Banner != nullptr && p->Banner[0] != '\0' && FitsOnALine(p->Banner))
    ini += "ChangeBanner=" + std::string(p->Banner) + "\n";
  if (p->LogDirectory != nullptr && p->LogDirectory[0] != '\0')
    ini += "LogFilesDir=" + std::string(p->LogDirectory) + "\n";

  AppendSection(&ini, p->Verbs.flag ? "VerbAllow" : "VerbDeny", p->Verbs, false);
  AppendSection(&ini, "ValidHttpVersion", p->HttpVersions, true);
  AppendSection(&ini, "ValidHostPort", p->HostPorts, false);
  AppendSection(&ini, p->Extensions.flag ? "ExtensionAllow" : "ExtensionDeny", p->Extensions,
                false);
  AppendSection(&ini, "DenyHeaderName", p->DeniedHeaderNames, false);
  ini += "[ValidMaxLenByHeader]\n";
  const HeaderLimitList& limits = p->HeaderLimits;
  for (uint32_t i = 0; i < limits.count; ++i) {
    std::string_view name(limits.names[i], limits.nameLengths[i]);
    if (!FitsOnALine(name) || name.find('=') != std::string_view::npos) continue;
    ini += std::string(name) + "=" + std::to_string(limits.limits[i]) + "\n";
  }
  AppendSection(&ini, "DenyUrlSequence", p->UrlSequences, false);
  AppendSection(&ini, "DenyQuerySequence", p->QuerySequences, false);
  return ini;
}

std::string FilterIni(std::string_view extraGlobals) {
  std::string ini =
      "[Globals]\n"
      "VerbAllow=1\n"
      "ValidHttpVersion=0\n"
      "ValidHostPort=0\n"
      "ExtensionAllow=0\n"
      "DenyHeaderName=0\n"
      "ValidMaxLenByHeader=0\n"
      "DenyUrlSequence=0\n"
      "DenyQuerySequence=0\n"
      "AllowHighBitInPayload=1\n";
  ini += extraGlobals;
  ini += "[VerbAllow]\nGET\nPOST\n";
  return ini;
}

std::string ExpectedBlockResponse(const char* serverText) {
  std::string page = "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\nContent-Length: 87\r\n";
  if (serverText != nullptr) page += std::string("Server: ") + serverText + "\r\n";
  page += "\r\n<html><head><title>Error</title></head><body>The parameter is incorrect. </body></html>";
  return page;
}

std::string NativePath(std::string_view path) {
  std::string native(path);
  for (char& c : native)
    if (c == '/') c = kPathSeparator;
  return native;
}

TempDir::TempDir() {
#if defined(_WIN32)
  // No mkdtemp: try numbered names until one is new (create_directory
  // fails on an existing one, so two tests never share a directory).
  static unsigned counter = 0;
  std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; path.empty(); ++attempt) {
    if (attempt == 1000) Stop("cannot create a temporary directory");
    std::filesystem::path candidate =
        base / ("rgtest." + std::to_string(std::rand()) + "." + std::to_string(++counter));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec) && !ec) path = candidate.string();
  }
#else
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/rgtest.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Stop("cannot create a temporary directory");
  path = pattern;
#endif
}

TempDir::~TempDir() { RemoveTree(path); }

bool WriteTextFile(const std::string& path, std::string_view content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool whole = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  return std::fclose(f) == 0 && whole;
}

std::string ReadTextFile(const std::string& path) {
  std::string text;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return text;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  std::fclose(f);
  return text;
}

void EmptyDirectory(const std::string& path) {
#if defined(_WIN32)
  std::vector<std::filesystem::path> entries;
  std::error_code error;
  for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
       it.increment(error))
    entries.push_back(it->path());
  for (const std::filesystem::path& entry : entries) RemoveTree(entry);
#else
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(d)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(d);
  for (const std::string& name : names) RemoveTree(path + "/" + name);
#endif
}

#if !defined(_WIN32)
RunResult RunProgram(const std::vector<std::string>& argv, std::string_view input,
                     const std::string& tmpDir, unsigned watchdogSeconds) {
  TempDir io;
  WriteTextFile(io.File("in"), input);
  std::vector<std::string> args = argv;
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(io.File("in").c_str(), O_RDONLY);
    int out = open(io.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(io.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!tmpDir.empty()) setenv("TMPDIR", tmpDir.c_str(), 1);
    if (watchdogSeconds != 0) alarm(watchdogSeconds);  // survives the exec
    std::vector<char*> raw;
    for (std::string& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(127);
  }
  RunResult r;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid)
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadTextFile(io.File("out"));
  r.err = ReadTextFile(io.File("err"));
  return r;
}
#endif

uint32_t LoadPolicyText(const std::string& dir, std::string_view ini, const EngineOptions* options,
                        EnginePolicy** out) {
  std::string path = dir + "/Ravelgard.ini";
  if (!WriteTextFile(path, ini)) Stop("cannot write a policy file");
  return LoadEnginePolicy(path.c_str(), options, out);
}

std::string RecordedText(const Screening* state) {
  const void* bytes = nullptr;
  uint32_t length = 0;
  RecordedRequest(state, &bytes, &length);
  return length == 0 ? std::string() : std::string(static_cast<const char*>(bytes), length);
}

LocalTime At(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
             uint16_t second) {
  LocalTime t = {};
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

}  // namespace rg::test
