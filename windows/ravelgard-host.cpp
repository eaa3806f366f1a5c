// ravelgard-host: a small web server stand-in that loads a filter module
// (Ravelgard.dll on Windows, Ravelgard.so elsewhere), drives it through its
// three ISAPI entry points as a server does, and screens recorded requests
// with it. Its output is that of `ravelgard check`, so a policy can be tried
// on Windows without a web server, and the module of one platform can be
// compared with the other's byte for byte.
//
// It knows the module only through its exports and what a server sees of
// it: the verdicts come from the return codes and from the filter dropping
// its context (pFilterContext) with each verdict, the block page from
// WriteClient, the reasons from the module's own log file. Where requests
// end it learns as `ravelgard check` does, from the framer.
#if defined(_WIN32)
#include <windows.h>
#include <httpfilt.h>
#include <fcntl.h>
#include <io.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "isapi/isapi.h"
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "frame/framer.h"
#include "log/reason.h"
#include "tools/common/request_splitter.h"

#if defined(_WIN32)
#define RG_HOST_MODULE_NAME "Ravelgard.dll"
#else
#define RG_HOST_MODULE_NAME "Ravelgard.so"
#endif

namespace {

namespace fs = std::filesystem;

const char kUsage[] =
    "Usage: ravelgard-host [OPTION]... [REQUEST-FILE]...\n"
    "Load a Ravelgard filter module as a web server does and screen recorded\n"
    "requests with it. A REQUEST-FILE holds the bytes a client sent on one\n"
    "connection: one request, or several sent one after another.\n"
    "\n"
    "Options:\n"
    "  -c, --config FILE           the policy file: the module and FILE are copied\n"
    "                              into a private directory and loaded from there\n"
    "      --module PATH           the filter module (default: " RG_HOST_MODULE_NAME
    " beside\n"
    "                              this program)\n"
    "      --in-place              load the module where it is, with the INI file\n"
    "                              beside it and the log where that file says\n"
    "      --chunk N               hand the connection to the filter in pieces of N bytes\n"
    "      --chunk random          ... or in pieces of random size, 1 to 64 bytes\n"
    "                              (default: each request in one piece); a piece may\n"
    "                              hold the end of one request and the start of the\n"
    "                              next, as a server's reads do\n"
    "      --seed S                seed of --chunk random (default 1)\n"
    "      --client-ip ADDR        client address the server reports (default 127.0.0.1)\n"
    "      --server-software TEXT  banner the server reports (default Microsoft-IIS/10.0)\n"
    "      --log DIR               with -c: keep the filter's log in DIR; with\n"
    "                              --in-place: where the INI file sends the log\n"
    "      --responses             also show each block page and what became of the\n"
    "                              Server header of each response\n"
    "      --refuse-server-header  the server cannot change the Server header of its\n"
    "                              responses (SetHeader fails)\n"
    "      --hold FILE             hold FILE open without sharing while the filter\n"
    "                              starts (shows the error of a file in use)\n"
    "  -h, --help                  show this help\n"
    "\n"
    "Output, one line per request: 'FILE #N: VERDICT' as `ravelgard check` prints it.\n"
    "Exit status: 0 every request passed, 1 a request was blocked, 2 usage error or\n"
    "a filter that would not start (its Windows error number is printed).\n";

constexpr int kExitOk = 0;
constexpr int kExitFindings = 1;
constexpr int kExitUsage = 2;

// The size of the blocks `ravelgard check` reads a recording in.
constexpr size_t kReadBlock = 1 << 16;

// ---------------------------------------------------------------- the module

using GetFilterVersionFn = BOOL(WINAPI*)(HTTP_FILTER_VERSION*);
using HttpFilterProcFn = DWORD(WINAPI*)(HTTP_FILTER_CONTEXT*, DWORD, LPVOID);
using TerminateFilterFn = BOOL(WINAPI*)(DWORD);

struct Module {
#if defined(_WIN32)
  HMODULE handle = nullptr;
#else
  void* handle = nullptr;
  // The module keeps the last-error value of its own; a host reads it and
  // sets it (the size probe's 122) through these.
  DWORD (*getLastError)() = nullptr;
  void (*setLastError)(DWORD) = nullptr;
#endif
  GetFilterVersionFn getFilterVersion = nullptr;
  HttpFilterProcFn httpFilterProc = nullptr;
  TerminateFilterFn terminateFilter = nullptr;
};

Module g_module;

void ModuleSetLastError(DWORD error) {
#if defined(_WIN32)
  SetLastError(error);
#else
  if (g_module.setLastError != nullptr) g_module.setLastError(error);
#endif
}

DWORD ModuleLastError() {
#if defined(_WIN32)
  return GetLastError();
#else
  return g_module.getLastError != nullptr ? g_module.getLastError() : 0;
#endif
}

// Loads the module and finds its exports. Returns "" or what went wrong.
std::string LoadModule(const std::string& path) {
#if defined(_WIN32)
  g_module.handle = LoadLibraryA(path.c_str());
  if (g_module.handle == nullptr)
    return "cannot load " + path + ": error " + std::to_string(GetLastError());
  auto find = [](const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(g_module.handle, name));
  };
#else
  g_module.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (g_module.handle == nullptr) return "cannot load " + path + ": " + dlerror();
  auto find = [](const char* name) { return dlsym(g_module.handle, name); };
  g_module.getLastError = reinterpret_cast<DWORD (*)()>(find("GetLastError"));
  g_module.setLastError = reinterpret_cast<void (*)(DWORD)>(find("SetLastError"));
#endif
  g_module.getFilterVersion = reinterpret_cast<GetFilterVersionFn>(find("GetFilterVersion"));
  g_module.httpFilterProc = reinterpret_cast<HttpFilterProcFn>(find("HttpFilterProc"));
  g_module.terminateFilter = reinterpret_cast<TerminateFilterFn>(find("TerminateFilter"));
  if (g_module.getFilterVersion == nullptr || g_module.httpFilterProc == nullptr ||
      g_module.terminateFilter == nullptr)
    return path + " does not export GetFilterVersion, HttpFilterProc and TerminateFilter";
  return "";
}

void UnloadModule() {
  if (g_module.handle == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(g_module.handle);
#else
  dlclose(g_module.handle);
#endif
  g_module = Module();
}

// ---------------------------------------------------------------- files

const char* ErrorMeaning(uint32_t error) {
  switch (error) {
    case 0: return "success";
    case 2: return "file not found";
    case 3: return "path not found";
    case 4: return "too many open files";
    case 5: return "access denied";
    case 6: return "invalid handle";
    case 8: return "not enough memory";
    case 19: return "write-protected medium";
    case 31: return "device not functioning";
    case 32: return "file in use by another process";
    case 87: return "invalid parameter";
    case 112: return "disk full";
    case 122: return "buffer too small";
    case 183: return "already exists";
    case 206: return "file name too long";
    default: return "unknown error";
  }
}

std::string DescribeError(uint32_t error) {
  return "error " + std::to_string(error) + " (" + ErrorMeaning(error) + ")";
}

void PrintError(const std::string& message) {
  std::string line = "ravelgard-host: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  *out = bytes.str();
  return !in.bad();
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bool(out);
}

// A fresh private directory for the module's copy, its INI file and log.
std::string MakePrivateDirectory() {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) return "";
  uint64_t seed = static_cast<uint64_t>(std::time(nullptr)) ^
                  (reinterpret_cast<uintptr_t>(&seed) << 8);
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / ("ravelgard-host." + std::to_string((seed + attempt) % 1000000007));
    if (fs::create_directory(candidate, ec) && !ec) return candidate.string();
  }
  return "";
}

// Holds a file open so that no other open may share it, as another process
// holding it would. On POSIX the module's share modes are advisory locks,
// so the hold is an exclusive one.
struct Hold {
#if defined(_WIN32)
  HANDLE handle = INVALID_HANDLE_VALUE;
#else
  int fd = -1;
#endif
};

bool HoldFile(const std::string& path, Hold* hold) {
#if defined(_WIN32)
  hold->handle = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  return hold->handle != INVALID_HANDLE_VALUE;
#else
  hold->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (hold->fd < 0) return false;
  return flock(hold->fd, LOCK_EX | LOCK_NB) == 0;
#endif
}

void ReleaseHold(Hold* hold) {
#if defined(_WIN32)
  if (hold->handle != INVALID_HANDLE_VALUE) CloseHandle(hold->handle);
  hold->handle = INVALID_HANDLE_VALUE;
#else
  if (hold->fd >= 0) close(hold->fd);
  hold->fd = -1;
#endif
}

// The INI file with LogFilesDir set to dir: the line goes first into the
// Globals section, where the first of duplicate keys wins.
std::string WithLogDirectory(const std::string& ini, const std::string& dir) {
  const std::string line = "LogFilesDir=" + dir + "\r\n";
  size_t at = 0;
  while (at < ini.size()) {
    size_t end = ini.find('\n', at);
    size_t next = end == std::string::npos ? ini.size() : end + 1;
    std::string_view text(ini.data() + at, next - at);
    size_t first = text.find_first_not_of(" \t");
    if (first != std::string_view::npos && text[first] == '[') {
      std::string_view name = text.substr(first + 1);
      name = name.substr(0, name.find_first_of("]\r\n"));
      while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
      while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
      std::string lower(name);
      for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? char(c | 0x20) : c;
      if (lower == "globals") {
        std::string out = ini.substr(0, next);
        if (end == std::string::npos) out += "\r\n";
        return out + line + ini.substr(next);
      }
    }
    at = next;
  }
  return "[Globals]\r\n" + line + ini;
}

// ---------------------------------------------------------------- the log

struct Record {
  uint32_t reason;
  uint32_t winError;
  std::string message;  // "[...]" as the log has it
  bool blocked;         // the filter blocked the request with this record
};

// Matches text against a reason message (without its outer spaces) whose
// %s stands for any text and %d for a signed number. Returns the length
// matched that is followed by the record's error field, or npos.
size_t MatchMessage(std::string_view text, std::string_view pattern) {
  size_t hole = pattern.find('%');
  if (hole == std::string_view::npos) {
    if (text.substr(0, pattern.size()) != pattern) return std::string_view::npos;
    std::string_view rest = text.substr(pattern.size());
    if (rest.substr(0, 5) == " [-] " || rest.substr(0, 12) == " [Win error ") return pattern.size();
    return std::string_view::npos;
  }
  if (text.substr(0, hole) != pattern.substr(0, hole)) return std::string_view::npos;
  char kind = hole + 1 < pattern.size() ? pattern[hole + 1] : 's';
  std::string_view after = pattern.substr(hole + 2);
  for (size_t n = 0; hole + n <= text.size(); ++n) {
    if (kind == 'd' && n > 0) {
      char c = text[hole + n - 1];
      if (!((c >= '0' && c <= '9') || (c == '-' && n == 1))) break;
    }
    size_t rest = MatchMessage(text.substr(hole + n), after);
    if (rest != std::string_view::npos) return hole + n + rest;
  }
  return std::string_view::npos;
}

// Parses one rejection record: "timestamp client [message] [-] [request]"
// or "... [Win error N] [request]".
bool ParseRecord(std::string_view line, Record* out) {
  if (line.size() < 21) return false;
  std::string_view rest = line.substr(20);  // "yyyy-MM-dd HH:mm:ss "
  size_t space = rest.find(" [");
  if (space == std::string_view::npos) return false;
  rest.remove_prefix(space + 1);
  // Fixed messages first (a list entry could hold any of their texts): the
  // reasons' own, then the framer's, which a framing refusal (reason 41)
  // carries in place of its reason's; then the messages with a list entry.
  auto matches = [&](uint32_t reason, std::string_view pattern) {
    pattern.remove_prefix(1);
    pattern.remove_suffix(1);
    size_t n = MatchMessage(rest, pattern);
    if (n == std::string_view::npos) return false;
    *out = Record{reason, 0, std::string(rest.substr(0, n)), false};
    std::string_view error = rest.substr(n + 1);
    if (error.substr(0, 11) == "[Win error ")
      out->winError = static_cast<uint32_t>(std::strtol(std::string(error.substr(11, 12)).c_str(),
                                                        nullptr, 10));
    return true;
  };
  auto fixed = [](std::string_view pattern) {
    return pattern.find('%') == std::string_view::npos;
  };
  for (uint32_t reason = 0; reason < rg::kReasonCount; ++reason)
    if (fixed(rg::kReasonMessages[reason]) && matches(reason, rg::kReasonMessages[reason]))
      return true;
  for (uint32_t e = 1; e < static_cast<uint32_t>(rg::FrameError::kCount); ++e)
    if (matches(rg::kReasonFraming, rg::FrameErrorMessage(static_cast<rg::FrameError>(e))))
      return true;
  for (uint32_t reason = 0; reason < rg::kReasonCount; ++reason)
    if (!fixed(rg::kReasonMessages[reason]) && matches(reason, rg::kReasonMessages[reason]))
      return true;
  return false;
}

// Follows the log files in one directory, handing out the records written
// since the last look.
struct LogReader {
  std::string directory;
  std::map<std::string, size_t> seen;  // file name -> bytes already read

  std::vector<Record> NewRecords() {
    std::vector<Record> records;
    std::error_code ec;
    if (directory.empty() || !fs::is_directory(directory, ec)) return records;
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, ec)) {
      std::string name = entry.path().filename().string();
      if (name.rfind("Ravelgard.", 0) == 0 && name.size() > 4 &&
          name.compare(name.size() - 4, 4, ".log") == 0)
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      // Only what was written since the last look: a long run's log would
      // otherwise be read again and again in full.
      size_t& from = seen[name];
      std::ifstream in((fs::path(directory) / name).string(), std::ios::binary);
      if (!in || !in.seekg(static_cast<std::streamoff>(from))) continue;
      std::ostringstream tail;
      tail << in.rdbuf();
      std::string bytes = tail.str();
      // Only whole lines: the module writes each record in one piece.
      size_t end = bytes.rfind('\n');
      if (end == std::string::npos) continue;
      std::string_view fresh(bytes.data(), end + 1);
      from += end + 1;
      while (!fresh.empty()) {
        size_t nl = fresh.find('\n');
        std::string_view line = fresh.substr(0, nl);
        fresh.remove_prefix(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        Record r;
        if (!line.empty() && line[0] != '#' && ParseRecord(line, &r)) records.push_back(r);
      }
    }
    return records;
  }
};

// ---------------------------------------------------------------- the server

enum class ChunkMode { kWhole, kFixed, kRandom };

struct Options {
  std::string iniPath;
  std::string modulePath;
  bool inPlace = false;
  std::vector<std::string> files;
  ChunkMode chunkMode = ChunkMode::kWhole;
  uint32_t chunkSize = 0;
  uint64_t seed = 1;
  std::string clientIp = "127.0.0.1";
  std::string serverSoftware = "Microsoft-IIS/10.0";
  std::string logDirectory;
  bool responses = false;
  bool refuseServerHeader = false;
  std::string hold;
};

// The server's side of one connection, reached through ServerContext.
struct Connection {
  const Options* options;
  std::string written;  // what WriteClient sent since the last look
  std::string serverHeader;
  bool serverHeaderSet;
};

BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, DWORD* size) {
  const Connection* c = static_cast<const Connection*>(pfc->ServerContext);
  const std::string* value = nullptr;
  if (std::strcmp(name, "REMOTE_ADDR") == 0) value = &c->options->clientIp;
  if (std::strcmp(name, "SERVER_SOFTWARE") == 0) value = &c->options->serverSoftware;
  if (value == nullptr) {
    ModuleSetLastError(1413);  // ERROR_INVALID_INDEX: no such variable
    return FALSE;
  }
  // The size probe (no buffer, or one too small) learns the size that holds
  // the value and its NUL, as from a real server.
  DWORD needed = static_cast<DWORD>(value->size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    ModuleSetLastError(122);
    return FALSE;
  }
  std::memcpy(buffer, value->c_str(), needed);
  *size = needed;
  return TRUE;
}

BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID bytes, DWORD* count, DWORD) {
  Connection* c = static_cast<Connection*>(pfc->ServerContext);
  if (bytes != nullptr && count != nullptr)
    c->written.append(static_cast<const char*>(bytes), *count);
  return TRUE;
}

BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT*, LPSTR, DWORD) { return TRUE; }
VOID* WINAPI AllocMem(HTTP_FILTER_CONTEXT*, DWORD, DWORD) { return nullptr; }
#if defined(_WIN32)
BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT*, enum SF_REQ_TYPE, PVOID, ULONG_PTR,
                                  ULONG_PTR) {
  return FALSE;
}
#else
BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT*, DWORD, PVOID, ULONG_PTR, ULONG_PTR) {
  return FALSE;
}
#endif
BOOL WINAPI GetHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, DWORD*) { return FALSE; }
BOOL WINAPI AddHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR) { return TRUE; }

// The response's Server header as the filter leaves it.
BOOL WINAPI SetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  Connection* c = static_cast<Connection*>(pfc->ServerContext);
  if (c->options->refuseServerHeader) {
    ModuleSetLastError(5);
    return FALSE;
  }
  if (name != nullptr && std::strcmp(name, "Server:") == 0) {
    c->serverHeader = value != nullptr ? value : "";
    c->serverHeaderSet = true;
  }
  return TRUE;
}

// ---------------------------------------------------------------- chunks

// The generator of `ravelgard check --chunk random`, so that a seed names
// the same split for both.
uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

size_t NextChunkSize(const Options& o, uint64_t* random, size_t remaining) {
  size_t n = remaining;
  if (o.chunkMode == ChunkMode::kFixed) n = o.chunkSize;
  if (o.chunkMode == ChunkMode::kRandom) n = 1 + static_cast<size_t>(NextRandom(random) % 64);
  return n < remaining ? n : remaining;
}

// ---------------------------------------------------------------- the filter's view

// Where the filter ends one request of a connection and starts the next,
// worked out from outside the way the filter works it out: the same framer
// over the same bytes, line ends before a request passed over, and a fresh
// start after each verdict and after a response that leaves no pipelined
// request waiting. The host hands the filter each delivery cut at these
// ends. The filter screens the pieces exactly as it screens the delivery
// whole (one request after the other), and the host learns which request a
// record belongs to and which requests the server has to answer.
class FilterView {
 public:
  // The filter gave a verdict: it starts afresh with the next delivery.
  void Restart() {
    fresh_ = true;
    waiting_ = 0;
  }
  // The server answered the oldest request still waiting for an answer.
  void Answered() {
    if (waiting_ > 0)
      --waiting_;
    else
      fresh_ = true;
  }
  // The length of the next piece of bytes: up to the end of the request
  // under way, where *ends is set, or all of them. 0 when the framer takes
  // none of them.
  size_t NextPiece(const char* bytes, size_t length, bool* ends) {
    *ends = false;
    if (fresh_) {
      // No head limit of its own: a head over the policy's limit gets a
      // verdict from the filter within the piece of its request, which is
      // all the view needs to know.
      FramerInit(&framer_, rg::FrameKind::kRequest, UINT32_MAX);
      fresh_ = false;
      complete_ = false;
      refused_ = false;
      requestBytes_ = 0;
    }
    size_t skipped = 0;
    if (complete_ || requestBytes_ == 0) {
      while (skipped < length && (bytes[skipped] == '\r' || bytes[skipped] == '\n')) ++skipped;
      if (skipped == length) return length;
    }
    if (complete_) {
      // A pipelined request: the one before waits for its answer.
      ++waiting_;
      complete_ = false;
      requestBytes_ = 0;
    }
    const char* p = bytes + skipped;
    size_t left = length - skipped;
    // After a framing the filter refuses, it takes everything up to its
    // verdict as the one request.
    if (refused_) {
      requestBytes_ += left;
      return length;
    }
    size_t used = 0;
    while (used < left) {
      rg::FrameResult r = FramerFeed(&framer_, p + used, left - used);
      used += r.consumed;
      if (r.error != rg::FrameError::kNone) {
        refused_ = true;
        requestBytes_ += left;
        return length;
      }
      if (r.messageComplete) {
        complete_ = true;
        *ends = true;
        return skipped + used;
      }
      if (r.consumed == 0) break;
    }
    requestBytes_ += used;
    return skipped + used;
  }

 private:
  rg::Framer framer_;
  bool fresh_ = true;      // the next bytes start a new request with a new framer
  bool complete_ = false;  // the request under way has ended
  bool refused_ = false;   // the framer refused the request under way
  uint64_t requestBytes_ = 0;
  uint32_t waiting_ = 0;   // pipelined requests started before an answer
};

// ---------------------------------------------------------------- screening

enum class Verdict { kPassed, kSimulated, kBlocked, kNotScreened };

struct RequestResult {
  Verdict verdict;
  size_t bytes;
  bool complete;
  std::vector<Record> records;
  std::vector<std::string> responses;  // what became of each response's Server header
  std::string page;                     // block page written to the client
};

void AppendPrintable(std::string* out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      out->append("\\x");
      *out += kHex[c >> 4];
      *out += kHex[c & 15];
    } else {
      *out += static_cast<char>(c);
    }
  }
}

// The counts of the closing line.
struct Totals {
  size_t total = 0, passed = 0, simulated = 0, blocked = 0, notScreened = 0;
  void Count(Verdict v) {
    ++total;
    switch (v) {
      case Verdict::kPassed: ++passed; break;
      case Verdict::kSimulated: ++simulated; break;
      case Verdict::kBlocked: ++blocked; break;
      case Verdict::kNotScreened: ++notScreened; break;
    }
  }
};

void AppendText(std::string* out, const std::string& name, size_t index, const RequestResult& r,
                size_t blockedIndex, bool responses);

// One recorded connection played to the filter as `ravelgard check` plays
// it to the engine: the bytes in deliveries (a whole request each by
// default, or pieces of a fixed or random size that may hold the end of one
// request and the start of the next), a response after every request that
// ended within a delivery, once the delivery has been handled, and the
// requests reported as a framer of their own tells them apart from the
// start of the recording. A record, a response or a block page belongs to
// the request that holds the byte where it arose.
class ConnectionPlayer {
 public:
  ConnectionPlayer(const Options& o, uint64_t* random, LogReader* log, const std::string& name,
                   std::string* out, Totals* totals)
      : o_(o), random_(random), log_(log), name_(name), out_(out), totals_(totals) {
    connection_ = Connection{&o, {}, {}, false};
    pfc_.cbSize = sizeof pfc_;
    pfc_.Revision = HTTP_FILTER_REVISION;
    pfc_.ServerContext = &connection_;
    pfc_.GetServerVariable = GetServerVariable;
    pfc_.AddResponseHeaders = AddResponseHeaders;
    pfc_.WriteClient = WriteClient;
    pfc_.AllocMem = AllocMem;
    pfc_.ServerSupportFunction = ServerSupportFunction;
  }
  ConnectionPlayer(const ConnectionPlayer&) = delete;
  ConnectionPlayer& operator=(const ConnectionPlayer&) = delete;

  // Hands over the next bytes of the recording in deliveries.
  void Take(const char* bytes, size_t length) {
    while (length > 0) {
      size_t n = o_.chunkMode == ChunkMode::kWhole ? length : NextChunkSize(o_, random_, length);
      Deliver(bytes, n);
      bytes += n;
      length -= n;
    }
  }

  // The end of the recording: what is left is a request cut short, unless
  // it is only line ends. The server closes the connection.
  void Finish() {
    if (!wholeDelivery_.empty()) {
      Screen(wholeDelivery_.data(), wholeDelivery_.size());
      wholeDelivery_.clear();
    }
    // Line ends the filter judged count as a request.
    bool judged = !records_.empty() && records_.back().first >= requests_.RequestStart();
    bool nothingElse = index_ == 0 && requests_.Ended().empty();
    requests_.Finish(judged, nothingElse);
    Flush();
    g_module.httpFilterProc(&pfc_, SF_NOTIFY_END_OF_NET_SESSION, nullptr);
  }

 private:
  void Deliver(const char* bytes, size_t length) {
    if (o_.chunkMode == ChunkMode::kWhole) {
      // Gather up to each request end; a request larger than the buffer
      // goes out in pieces of the buffer's size.
      size_t at = 0;
      while (at < length) {
        size_t end = requests_.Next(bytes + at, length - at);
        wholeDelivery_.append(bytes + at, end);
        at += end;
        if (requests_.AtBoundary() || wholeDelivery_.size() >= kWholeLimit) {
          // The buffer is kept for the next request: its size is bounded.
          Screen(wholeDelivery_.data(), wholeDelivery_.size());
          wholeDelivery_.clear();
        }
      }
      return;
    }
    size_t at = 0;
    while (at < length) at += requests_.Next(bytes + at, length - at);
    Screen(bytes, length);
  }

  // One delivery, handed to the filter cut at the ends of its requests; a
  // verdict ends the delivery (the filter lets the rest go by unscreened, or
  // the connection is closed). Then the server answers each request that
  // ended in it.
  void Screen(const char* bytes, size_t length) {
    uint64_t at = screened_;
    screened_ += length;
    if (closed_) return;
    std::vector<uint64_t> ended;  // where the requests that ended in the delivery end
    size_t done = 0;
    while (done < length) {
      bool ends = false;
      size_t piece = view_.NextPiece(bytes + done, length - done, &ends);
      if (piece == 0) piece = length - done;
      if (HandPiece(bytes + done, piece, at + done)) break;
      done += piece;
      if (ends) ended.push_back(at + done);
    }
    for (uint64_t end : ended) {
      if (closed_) break;
      Respond(end);
    }
    Flush();
  }

  // Hands the filter one piece of raw data. True when it gave a verdict.
  bool HandPiece(const char* bytes, size_t length, uint64_t at) {
    // The filter gets a buffer of its own, as from a server.
    chunk_.assign(bytes, length);
    HTTP_FILTER_RAW_DATA raw{chunk_.data(), static_cast<DWORD>(length),
                             static_cast<DWORD>(length), 0};
    bool blocked = g_module.httpFilterProc(&pfc_, SF_NOTIFY_READ_RAW_DATA, &raw) ==
                   SF_STATUS_REQ_FINISHED;
    TakePage(at);
    // The filter drops the connection's screening state with every verdict
    // (and only then writes a record), so the log need not be read after
    // every piece.
    if (!blocked && pfc_.pFilterContext != nullptr) return false;
    std::vector<Record> fresh = log_->NewRecords();
    for (Record& r : fresh) {
      r.blocked = blocked;
      records_.emplace_back(at, std::move(r));
    }
    // A block whose record did not reach the log blocks all the same.
    if (blocked && fresh.empty()) blocks_.push_back(at);
    view_.Restart();
    if (blocked) Close(at);
    return true;
  }

  // The server's response to the request that ended at end, with what
  // became of its Server header. A filter that cannot keep the banner out
  // blocks instead, which ends the connection.
  void Respond(uint64_t end) {
    connection_.serverHeaderSet = false;
    HTTP_FILTER_SEND_RESPONSE response{GetHeader, SetHeader, AddHeader, 200, 0};
    bool blocked = g_module.httpFilterProc(&pfc_, SF_NOTIFY_SEND_RESPONSE, &response) ==
                   SF_STATUS_REQ_FINISHED;
    view_.Answered();
    responses_.emplace_back(end - 1, connection_.serverHeaderSet
                                         ? (connection_.serverHeader.empty()
                                                ? std::string("removed")
                                                : "set to '" + connection_.serverHeader + "'")
                                         : std::string("left alone"));
    TakePage(end - 1);
    if (blocked) {
      blocks_.push_back(end - 1);
      Close(end);
    }
  }

  // What the filter wrote to the client, as part of the request at.
  void TakePage(uint64_t at) {
    if (connection_.written.empty()) return;
    pages_.emplace_back(at, std::move(connection_.written));
    connection_.written.clear();
  }

  void Close(uint64_t at) {
    closed_ = true;
    closedAt_ = at;
  }

  // Reports every request the filter is done with.
  void Flush() {
    while (!requests_.Ended().empty() && (closed_ || requests_.Ended().front().end <= screened_)) {
      rg::RequestSplitter::Request p = requests_.Ended().front();
      requests_.Ended().pop_front();
      RequestResult result{Verdict::kPassed, static_cast<size_t>(p.end - p.start), p.complete,
                           {}, {}, {}};
      bool blocked = false;
      while (!records_.empty() && records_.front().first < p.end) {
        blocked = blocked || records_.front().second.blocked;
        result.records.push_back(std::move(records_.front().second));
        records_.pop_front();
      }
      while (!responses_.empty() && responses_.front().first < p.end) {
        result.responses.push_back(std::move(responses_.front().second));
        responses_.pop_front();
      }
      while (!pages_.empty() && pages_.front().first < p.end) {
        result.page += pages_.front().second;
        pages_.pop_front();
      }
      while (!blocks_.empty() && blocks_.front() < p.end) {
        blocked = true;
        blocks_.pop_front();
      }
      if (blocked) {
        result.verdict = Verdict::kBlocked;
        blockedIndex_ = index_ + 1;
      } else if (closed_ && p.start >= closedAt_) {
        result.verdict = Verdict::kNotScreened;
      } else if (!result.records.empty()) {
        result.verdict = Verdict::kSimulated;
      }
      ++index_;
      totals_->Count(result.verdict);
      AppendText(out_, name_, index_, result, blockedIndex_, o_.responses);
    }
  }

  static constexpr size_t kWholeLimit = 1 << 20;

  const Options& o_;
  uint64_t* random_;
  LogReader* log_;
  const std::string& name_;
  std::string* out_;
  Totals* totals_;
  Connection connection_;
  HTTP_FILTER_CONTEXT pfc_{};
  std::string chunk_;
  FilterView view_;
  rg::RequestSplitter requests_;
  uint64_t screened_ = 0;      // bytes handed to the filter's side
  bool closed_ = false;        // a block ended the connection
  uint64_t closedAt_ = 0;
  std::string wholeDelivery_;
  std::deque<std::pair<uint64_t, Record>> records_;
  std::deque<std::pair<uint64_t, std::string>> responses_;
  std::deque<std::pair<uint64_t, std::string>> pages_;
  std::deque<uint64_t> blocks_;
  size_t index_ = 0;
  size_t blockedIndex_ = 0;
};

// ---------------------------------------------------------------- output

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::kPassed: return "passed";
    case Verdict::kSimulated: return "passed in Simulate mode";
    case Verdict::kBlocked: return "blocked";
    case Verdict::kNotScreened: return "not screened";
  }
  return "";
}

// The record that decided the verdict: the one that blocked, else the first
// that was logged and let through. Null when there is none.
const Record* DecidingRecord(const RequestResult& r) {
  if (r.records.empty()) return nullptr;
  if (r.verdict == Verdict::kBlocked) {
    for (size_t i = r.records.size(); i-- > 0;)
      if (r.records[i].blocked) return &r.records[i];
  }
  return &r.records.front();
}

void AppendRecordText(std::string* out, const Record& r) {
  *out += "reason " + std::to_string(r.reason) + " ";
  AppendPrintable(out, r.message);
  if (r.winError != 0)
    *out += " [Win error " + std::to_string(static_cast<int32_t>(r.winError)) + "]";
}

void AppendText(std::string* out, const std::string& name, size_t index, const RequestResult& r,
                size_t blockedIndex, bool responses) {
  std::string head;
  AppendPrintable(&head, name);
  head += " #" + std::to_string(index) + ": ";
  *out += head;
  *out += VerdictName(r.verdict);
  const Record* deciding = DecidingRecord(r);
  if (deciding != nullptr) {
    *out += ", ";
    AppendRecordText(out, *deciding);
  }
  if (r.verdict == Verdict::kNotScreened)
    *out += " (the connection was closed after request #" + std::to_string(blockedIndex) + ")";
  else if (!r.complete && r.verdict != Verdict::kBlocked)
    *out += " (incomplete: the recording ends inside this request, the filter was still "
            "waiting for the rest)";
  *out += '\n';
  for (const Record& extra : r.records) {
    if (&extra == deciding) continue;
    *out += head + "  also logged: ";
    AppendRecordText(out, extra);
    *out += '\n';
  }
  if (r.records.size() > 1)
    *out += head +
            "  (after a rejection that is let through the filter starts afresh, so the rest "
            "of this request was screened as a new request)\n";
  if (!responses) return;
  for (const std::string& response : r.responses)
    *out += head + "  response: Server header " + response + "\n";
  if (!r.page.empty()) {
    *out += head + "  block page: ";
    AppendPrintable(out, r.page);
    *out += '\n';
  }
}

// ---------------------------------------------------------------- arguments

bool TakeValue(int argc, char** argv, int* i, std::string_view name, std::string_view shortName,
               std::string* value, bool* missing) {
  std::string_view arg = argv[*i];
  if (arg == name || (!shortName.empty() && arg == shortName)) {
    if (*i + 1 >= argc) {
      *missing = true;
      return true;
    }
    *value = argv[++*i];
    return true;
  }
  if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
    *value = std::string(arg.substr(name.size() + 1));
    return true;
  }
  return false;
}

bool ParseCount(const std::string& text, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + uint64_t(c - '0');
  }
  if (n > 0xFFFFFFFFull) return false;
  *out = uint32_t(n);
  return true;
}

// Returns -1 when the arguments are good, else the exit status.
int ParseArguments(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.empty() || arg[0] != '-') {
      o->files.emplace_back(arg);
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (arg == "--in-place") {
      o->inPlace = true;
      continue;
    }
    if (arg == "--responses") {
      o->responses = true;
      continue;
    }
    if (arg == "--refuse-server-header") {
      o->refuseServerHeader = true;
      continue;
    }
    std::string value;
    bool missing = false;
    if (TakeValue(argc, argv, &i, "--config", "-c", &value, &missing)) {
      o->iniPath = value;
    } else if (TakeValue(argc, argv, &i, "--module", "", &value, &missing)) {
      o->modulePath = value;
    } else if (TakeValue(argc, argv, &i, "--chunk", "", &value, &missing)) {
      if (value == "random") {
        o->chunkMode = ChunkMode::kRandom;
      } else if (ParseCount(value, &o->chunkSize) && o->chunkSize > 0) {
        o->chunkMode = ChunkMode::kFixed;
      } else if (!missing) {
        PrintError("--chunk takes a byte count of at least 1 or 'random', not '" + value + "'");
        return kExitUsage;
      }
    } else if (TakeValue(argc, argv, &i, "--seed", "", &value, &missing)) {
      uint32_t seed = 0;
      if (!missing && !ParseCount(value, &seed)) {
        PrintError("--seed takes a number from 0 to 4294967295, not '" + value + "'");
        return kExitUsage;
      }
      o->seed = seed;
    } else if (TakeValue(argc, argv, &i, "--client-ip", "", &value, &missing)) {
      o->clientIp = value;
    } else if (TakeValue(argc, argv, &i, "--server-software", "", &value, &missing)) {
      o->serverSoftware = value;
    } else if (TakeValue(argc, argv, &i, "--log", "", &value, &missing)) {
      o->logDirectory = value;
    } else if (TakeValue(argc, argv, &i, "--hold", "", &value, &missing)) {
      o->hold = value;
    } else {
      PrintError("unknown option '" + std::string(arg) + "'; see 'ravelgard-host --help'");
      return kExitUsage;
    }
    if (missing) {
      PrintError("option '" + std::string(arg) + "' needs a value");
      return kExitUsage;
    }
  }
  if (o->iniPath.empty() == !o->inPlace) {
    PrintError("give either a policy file (-c FILE) or --in-place; see 'ravelgard-host --help'");
    return kExitUsage;
  }
  return -1;
}

// The module beside this program, when none was named.
std::string DefaultModulePath(const char* argv0) {
  fs::path self = argv0 != nullptr ? fs::path(argv0) : fs::path();
#if defined(_WIN32)
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n > 0 && n < sizeof path) self = fs::path(std::string(path, n));
#endif
  return (self.parent_path() / RG_HOST_MODULE_NAME).string();
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The verdict lines are the same bytes on every platform: LF, not CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  Options o;
  int status = ParseArguments(argc, argv, &o);
  if (status >= 0) return status;
  if (o.modulePath.empty()) o.modulePath = DefaultModulePath(argc > 0 ? argv[0] : nullptr);
  if (o.files.empty()) {
    PrintError("no request file given; see 'ravelgard-host --help'");
    return kExitUsage;
  }

  // Every input is read before the filter starts.
  std::vector<std::string> inputs(o.files.size());
  for (size_t i = 0; i < o.files.size(); ++i) {
    if (!ReadWholeFile(o.files[i], &inputs[i])) {
      PrintError("cannot read " + o.files[i]);
      return kExitUsage;
    }
    if (inputs[i].empty()) {
      PrintError("cannot screen " + o.files[i] + ": it is empty, so it holds no request");
      return kExitUsage;
    }
  }

  // With -c the module is copied into a private directory together with the
  // policy, as Ravelgard.ini beside it: the module finds its INI file by its
  // own path, as under a web server.
  std::string privateDirectory;
  std::string modulePath = o.modulePath;
  LogReader log;
  if (!o.inPlace) {
    std::string ini;
    if (!ReadWholeFile(o.iniPath, &ini)) {
      PrintError("cannot load policy from " + o.iniPath + ": cannot read it");
      return kExitUsage;
    }
    privateDirectory = MakePrivateDirectory();
    if (privateDirectory.empty()) {
      PrintError("cannot create a temporary directory");
      return kExitUsage;
    }
    fs::path copy = fs::path(privateDirectory) / RG_HOST_MODULE_NAME;
    std::error_code ec;
    fs::copy_file(o.modulePath, copy, ec);
    std::string logDirectory = o.logDirectory.empty()
                                   ? (fs::path(privateDirectory) / "LogFiles").string()
                                   : o.logDirectory;
    if (ec || !WriteWholeFile((fs::path(copy).replace_extension("ini")).string(),
                         WithLogDirectory(ini, logDirectory))) {
      PrintError("cannot copy " + o.modulePath + " into " + privateDirectory);
      fs::remove_all(privateDirectory, ec);
      return kExitUsage;
    }
    modulePath = copy.string();
    log.directory = logDirectory;
  } else {
    log.directory = o.logDirectory.empty()
                        ? (fs::path(o.modulePath).parent_path() / "LogFiles").string()
                        : o.logDirectory;
  }
  auto cleanUp = [&]() {
    std::error_code ec;
    if (!privateDirectory.empty()) fs::remove_all(privateDirectory, ec);
  };

  std::string problem = LoadModule(modulePath);
  if (!problem.empty()) {
    PrintError(problem);
    cleanUp();
    return kExitUsage;
  }
  Hold hold;
  if (!o.hold.empty() && !HoldFile(o.hold, &hold)) {
    PrintError("cannot hold " + o.hold);
    UnloadModule();
    cleanUp();
    return kExitUsage;
  }
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  ModuleSetLastError(0);
  BOOL started = g_module.getFilterVersion(&version);
  uint32_t error = ModuleLastError();
  ReleaseHold(&hold);
  if (!started) {
    PrintError("the filter did not start: " + DescribeError(error));
    UnloadModule();
    cleanUp();
    return kExitUsage;
  }
  // Records already in the log (a file kept from an earlier day's run, or
  // this start's header) are not this run's.
  log.NewRecords();

  uint64_t random = o.seed;
  Totals totals;
  for (size_t f = 0; f < o.files.size(); ++f) {
    std::string out;
    {
      ConnectionPlayer player(o, &random, &log, o.files[f], &out, &totals);
      // In the blocks `ravelgard check` reads: a piece it hands over never
      // spans two of them, so the pieces fall where its pieces fall.
      const std::string& bytes = inputs[f];
      for (size_t at = 0; at < bytes.size(); at += kReadBlock)
        player.Take(bytes.data() + at, std::min(kReadBlock, bytes.size() - at));
      player.Finish();
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
  }
  g_module.terminateFilter(0);
  UnloadModule();
  cleanUp();

  size_t total = totals.total, passed = totals.passed, simulated = totals.simulated,
         blocked = totals.blocked, notScreened = totals.notScreened;
  std::string summary = std::to_string(total) + (total == 1 ? " request" : " requests") + " in " +
                        std::to_string(o.files.size()) +
                        (o.files.size() == 1 ? " file" : " files") + ": " +
                        std::to_string(passed) + " passed, ";
  if (simulated > 0) summary += std::to_string(simulated) + " passed in Simulate mode, ";
  summary += std::to_string(blocked) + " blocked";
  if (notScreened > 0) summary += ", " + std::to_string(notScreened) + " not screened";
  summary += "\n";
  std::fwrite(summary.data(), 1, summary.size(), stdout);
  std::fflush(stdout);
  return blocked > 0 ? kExitFindings : kExitOk;
}
