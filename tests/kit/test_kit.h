// The test kit: what the tests, the fuzz targets and the benchmarks share.
// Policies built in code or written as INI text, temporary directories,
// small files, the test clock, and loading an engine policy from a text.
//
// The kit never stops a test by itself: where it cannot go on (a test
// allocation or a temporary directory that fails) it aborts, which every
// runner (gtest, libFuzzer, Google Benchmark) reports with the input that
// did it. It does not pick a core: a program links the kit together with
// ravelgard_core_testing (tests, fuzz targets) or ravelgard_core
// (benchmarks).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "platform/platform.h"
#include "policy/policy.h"

namespace rg::test {

// ---------------------------------------------------------------- policies

// A zero-filled policy from the heap carrying the loader's defaults: every
// list switch on (allow mode for verbs and extensions) with empty lists,
// canonicalization of URL and query with the second pass, no length limit,
// HighPriority 1, an empty Banner and LogDirectory, no log. Free it with
// FreePolicy.
FilterPolicy* NewDefaultPolicy();

// Replaces a list's entries with copies of the given texts (heap blocks, so
// FreeStringList / FreePolicy release them). flag is left alone.
void SetList(StringList* list, std::initializer_list<std::string_view> entries);
// The same from any sequence of texts (a fuzzer's pick from a pool).
void SetListFrom(StringList* list, const std::string_view* entries, size_t count);
// HttpVersions as the loader stores them: " " + version + "\r\n".
void SetVersions(StringList* list, std::initializer_list<std::string_view> versions);
void SetVersionsFrom(StringList* list, const std::string_view* versions, size_t count);
void SetLimits(HeaderLimitList* list,
               std::initializer_list<std::pair<std::string_view, int32_t>> limits);
void SetLimitsFrom(HeaderLimitList* list, const std::pair<std::string_view, int32_t>* limits,
                   size_t count);
// Copies text into one of the policy's 256-byte text blocks (Banner,
// LogDirectory), cut to 255 characters.
void SetText(char* block, std::string_view text);

// ---------------------------------------------------------------- INI text

// The INI text that loads back into the given policy's rules: every switch,
// length limit, list, banner and mode, and LogFilesDir when the policy names
// a log directory. A list entry no INI line can hold as it is (empty, with a
// NUL, CR or LF, with blanks at either end, or starting with ';' or '[') is
// left out, and a header limit whose name holds '=' too; everything else
// loads back byte for byte.
std::string PolicyIni(const FilterPolicy* policy);

// An INI that lets "GET /a.htm HTTP/1.1" with a Host header through and
// refuses any verb but GET and POST (reason 3), with extraGlobals (lines
// ending in "\n") added to the Globals section. Every other list switch is
// off, so only the verb and the keys given decide.
std::string FilterIni(std::string_view extraGlobals = "");
constexpr std::string_view kAllowedRequest = "GET /a.htm HTTP/1.1\r\nHost: server1\r\n\r\n";
constexpr std::string_view kRefusedRequest = "BREW /a.htm HTTP/1.1\r\nHost: server1\r\n\r\n";
constexpr std::string_view kRefusedLine = "BREW /a.htm HTTP/1.1";
constexpr std::string_view kRefusedReason = "Request does not contain allowed verb";

// The 400 page a refused client must receive, written out independently of
// the core's own templates: without a Server: line when serverText is null.
std::string ExpectedBlockResponse(const char* serverText);

// ---------------------------------------------------------------- files

// The path with every '/' written as the separator of the paths the filter
// builds ('\' on Windows, where the filter splits paths only there), so
// that a test writes its paths one way for every platform.
std::string NativePath(std::string_view path);

// A fresh directory under the system's temporary directory (TMPDIR when
// set), removed with everything in it when the object goes away.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // A path inside the directory; name may hold '/' for deeper ones.
  std::string File(std::string_view name) const {
    return NativePath(path + "/" + std::string(name));
  }
};

// Writes content to path, replacing it; false when the file cannot be
// written whole.
bool WriteTextFile(const std::string& path, std::string_view content);
std::string ReadTextFile(const std::string& path);  // empty when missing
// Removes every entry directly inside a directory (the day's log files),
// keeping the directory.
void EmptyDirectory(const std::string& path);

// Only on POSIX systems: the tests that run programs (the command, a second
// process on the shared log) are not built for Windows.
#if !defined(_WIN32)
// What a program run by RunProgram did.
struct RunResult {
  int status = -1;  // exit status; 128 + signal when killed
  std::string out;
  std::string err;
};
// Runs argv[0] (a path) with the other arguments, input on its standard
// input and TMPDIR set to tmpDir when given, and waits for it. A run that has
// not ended after watchdogSeconds (0: never) is killed by SIGALRM, so a
// program that hangs fails its test instead of stalling it.
RunResult RunProgram(const std::vector<std::string>& argv, std::string_view input = "",
                     const std::string& tmpDir = "", unsigned watchdogSeconds = 0);
#endif

// ---------------------------------------------------------------- engine

// Writes ini as dir/Ravelgard.ini and loads it as an engine policy with the
// given options (null: the defaults, logs in dir/LogFiles). Returns the
// loader's error number; *out as LoadEnginePolicy leaves it.
uint32_t LoadPolicyText(const std::string& dir, std::string_view ini, const EngineOptions* options,
                        EnginePolicy** out);

// Holds one reference to an engine policy and drops it on the way out.
struct PolicyRef {
  EnginePolicy* policy = nullptr;
  PolicyRef() = default;
  explicit PolicyRef(EnginePolicy* p) : policy(p) {}
  ~PolicyRef() { ReleaseEnginePolicy(policy); }
  PolicyRef(const PolicyRef&) = delete;
  PolicyRef& operator=(const PolicyRef&) = delete;
  const FilterPolicy* Record() const { return PolicyRecord(policy); }
};

// Holds one connection's screening state and closes it on the way out.
struct ScreeningRef {
  Screening* state = nullptr;
  ScreeningRef() = default;
  explicit ScreeningRef(Screening* s) : state(s) {}
  ~ScreeningRef() { CloseScreening(state); }
  ScreeningRef(const ScreeningRef&) = delete;
  ScreeningRef& operator=(const ScreeningRef&) = delete;
};

// The bytes a record of the state's current request carries, as a text.
std::string RecordedText(const Screening* state);

// ---------------------------------------------------------------- clock

LocalTime At(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0, uint16_t minute = 0,
             uint16_t second = 0);

#if defined(RG_TEST_HOOKS)
// Holds the test clock at a time for the life of the object; the real clock
// comes back afterwards.
struct TestClock {
  LocalTime now;
  explicit TestClock(LocalTime t) : now(t) { SetTestClock(&now); }
  ~TestClock() { SetTestClock(nullptr); }
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;
  void Set(LocalTime t) {
    now = t;
    SetTestClock(&now);
  }
};
#endif

}  // namespace rg::test
