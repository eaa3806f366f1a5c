// `ravelgard check`: plays recorded connections to the filter through its
// ISAPI entry points, with a stand-in server, and reports each verdict.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter.h"
#include "log/log.h"
#include "platform/platform.h"
#include "ravelgard/args.h"
#include "ravelgard/commands.h"
#include "ravelgard/framing.h"
#include "ravelgard/json.h"
#include "ravelgard/util.h"

namespace rg::tool {

namespace {

const char kCheckUsage[] =
    "Usage: ravelgard check -c FILE [OPTION]... [REQUEST-FILE]...\n"
    "Screen recorded requests through the filter with the policy FILE, exactly as\n"
    "the module would screen them. A REQUEST-FILE holds the bytes a client sent on\n"
    "one connection: one request, or several sent one after another on a kept-alive\n"
    "connection. With no REQUEST-FILE, or when it is -, standard input is read.\n"
    "\n"
    "Options:\n"
    "  -c, --config FILE           the policy file (Ravelgard.ini); required\n"
    "      --chunk N               hand each request to the filter in pieces of N bytes\n"
    "      --chunk random          ... or in pieces of random size, 1 to 64 bytes\n"
    "                              (default: each request in one piece)\n"
    "      --seed S                seed of --chunk random (default 1)\n"
    "      --client-ip ADDR        client address the server reports (default 127.0.0.1)\n"
    "      --server-software TEXT  banner the server reports (default Microsoft-IIS/10.0)\n"
    "      --log DIR               write the filter's log into DIR as the module would;\n"
    "                              without it no log is kept\n"
    "      --format text|json      output format (default text)\n"
    "  -h, --help                  show this help\n"
    "\n"
    "Requests are told apart by HTTP/1.x framing (Content-Length or chunked body).\n"
    "After each request that passes, the server's response (status 200) is signalled\n"
    "so that the next request starts afresh. A blocked request ends the connection:\n"
    "the requests after it in the same file are not screened.\n"
    "\n"
    "Text output: one line per request, 'FILE #N: VERDICT', where VERDICT is\n"
    "'passed', 'passed in Simulate mode', 'blocked' or 'not screened'; after a\n"
    "rejection follow the reason code and the message as the log line has it\n"
    "(without the single spaces around it), e.g.\n"
    "  trace.http #1: blocked, reason 4 [Denied verb 'TRACE' found in Url]\n"
    "and a last line with the totals. JSON output: one object per line and request\n"
    "with the members file, index, verdict, reason, message, winError, bytes,\n"
    "complete and records (every log record the request caused).\n"
    "\n"
    "Exit status: 0 every request passed (in Simulate mode too), 1 a request was\n"
    "blocked, 2 usage error, unreadable request file or policy that cannot be loaded.\n";

enum class ChunkMode { kWhole, kFixed, kRandom };
enum class Format { kText, kJson };

struct CheckOptions {
  std::string iniPath;
  std::vector<std::string> files;
  ChunkMode chunkMode;
  uint32_t chunkSize;
  uint64_t seed;
  std::string clientIp;
  std::string serverSoftware;
  std::string logDirectory;  // empty: private, removed afterwards
  Format format;
};

// One log record the filter wrote, as the observer saw it.
struct Record {
  uint32_t reason;
  uint32_t winError;
  DWORD result;
  std::string message;  // the log's reason field without its outer spaces
  std::string request;  // the log's request field
  bool hasRequest;      // false where the log writes "-"
};

// The stand-in server's side of one connection, reached through the
// filter context's ServerContext.
struct Connection {
  const CheckOptions* options;
  std::vector<Record> records;
  std::string written;  // what WriteClient sent
};

enum class Verdict { kPassed, kSimulated, kBlocked, kNotScreened };

struct RequestResult {
  Verdict verdict;
  size_t bytes;
  bool complete;
  std::vector<Record> records;
};

const char* VerdictName(Verdict v, Format format) {
  switch (v) {
    case Verdict::kPassed: return "passed";
    case Verdict::kSimulated: return format == Format::kJson ? "passed-simulate"
                                                             : "passed in Simulate mode";
    case Verdict::kBlocked: return "blocked";
    case Verdict::kNotScreened: return format == Format::kJson ? "not-screened" : "not screened";
  }
  return "";
}

// ---------------------------------------------------------------- server

BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, DWORD* size) {
  const Connection* c = static_cast<const Connection*>(pfc->ServerContext);
  const std::string* value = nullptr;
  if (std::strcmp(name, "REMOTE_ADDR") == 0) value = &c->options->clientIp;
  if (std::strcmp(name, "SERVER_SOFTWARE") == 0) value = &c->options->serverSoftware;
  if (value == nullptr) {
    SetLastErrorValue(1413);  // ERROR_INVALID_INDEX: no such variable
    return FALSE;
  }
  // A server answers the size probe (or a short buffer) with the size that
  // holds the value and its NUL.
  DWORD needed = static_cast<DWORD>(value->size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    SetLastErrorValue(kErrorInsufficientBuffer);
    return FALSE;
  }
  std::memcpy(buffer, value->c_str(), needed);
  *size = needed;
  return TRUE;
}

BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID bytes, DWORD* count, DWORD) {
  Connection* c = static_cast<Connection*>(pfc->ServerContext);
  if (bytes != nullptr && count != nullptr) c->written.append(static_cast<const char*>(bytes), *count);
  return TRUE;
}

BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT*, LPSTR, DWORD) { return TRUE; }
VOID* WINAPI AllocMem(HTTP_FILTER_CONTEXT*, DWORD, DWORD) { return nullptr; }
BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT*, DWORD, PVOID, ULONG_PTR, ULONG_PTR) {
  return FALSE;
}
BOOL WINAPI GetHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, DWORD*) { return FALSE; }
BOOL WINAPI SetHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR) { return TRUE; }
BOOL WINAPI AddHeader(HTTP_FILTER_CONTEXT*, LPSTR, LPSTR) { return TRUE; }

// The log's reason field for a record, without the single space that opens
// and the one that closes every message.
std::string ReasonMessage(uint32_t reason, uint32_t matchIndex) {
  char field[1024];
  std::memset(field, 0, sizeof field);
  FormatReason(g_policy, field, reason, matchIndex, 0);
  std::string_view text(field, strnlen(field, sizeof field));
  constexpr std::string_view kNoError = "[-] ";
  if (text.size() >= kNoError.size() && text.substr(text.size() - kNoError.size()) == kNoError)
    text.remove_suffix(kNoError.size());
  if (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return std::string(text);
}

void ObserveVerdict(HTTP_FILTER_CONTEXT* pfc, const ScanContext* context, uint32_t reason,
                    uint32_t matchIndex, uint32_t winError, DWORD result) {
  Connection* c = static_cast<Connection*>(pfc->ServerContext);
  Record r{reason, winError, result, ReasonMessage(reason, matchIndex), std::string(), false};
  // The same bytes the log's request field holds.
  uint32_t n = 0;
  if (context != nullptr && context->data != nullptr)
    n = context->lineComplete ? context->lineEnd : context->length;
  if (n > 0) {
    r.request.assign(reinterpret_cast<const char*>(context->data), n);
    r.hasRequest = true;
  }
  c->records.push_back(std::move(r));
}

// ---------------------------------------------------------------- chunks

// Deterministic on every platform (unlike the standard distributions), so
// that a seed names the same split everywhere.
uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

size_t NextChunkSize(const CheckOptions& o, uint64_t* random, size_t remaining) {
  size_t n = remaining;
  if (o.chunkMode == ChunkMode::kFixed) n = o.chunkSize;
  if (o.chunkMode == ChunkMode::kRandom) n = 1 + static_cast<size_t>(NextRandom(random) % 64);
  return n < remaining ? n : remaining;
}

// ---------------------------------------------------------------- screening

// Plays one recorded connection to the filter.
std::vector<RequestResult> ScreenConnection(const CheckOptions& o, const std::string& bytes,
                                            uint64_t* random) {
  Connection connection{&o, {}, {}};
  HTTP_FILTER_CONTEXT pfc{};
  pfc.cbSize = sizeof pfc;
  pfc.Revision = HTTP_FILTER_REVISION;
  pfc.ServerContext = &connection;
  pfc.GetServerVariable = GetServerVariable;
  pfc.AddResponseHeaders = AddResponseHeaders;
  pfc.WriteClient = WriteClient;
  pfc.AllocMem = AllocMem;
  pfc.ServerSupportFunction = ServerSupportFunction;

  std::vector<RequestResult> results;
  bool closed = false;
  std::string chunk;
  for (const RequestSpan& span : SplitRequests(bytes)) {
    RequestResult result{Verdict::kNotScreened, span.length, span.complete, {}};
    if (closed) {
      results.push_back(std::move(result));
      continue;
    }
    size_t firstRecord = connection.records.size();
    bool blocked = false;
    size_t sent = 0;
    while (sent < span.length && !blocked) {
      size_t n = NextChunkSize(o, random, span.length - sent);
      // The filter gets its own copy, as it would get the server's buffer.
      chunk.assign(bytes, span.offset + sent, n);
      HTTP_FILTER_RAW_DATA raw{chunk.data(), static_cast<DWORD>(n), static_cast<DWORD>(n), 0};
      blocked = HttpFilterProc(&pfc, SF_NOTIFY_READ_RAW_DATA, &raw) == SF_STATUS_REQ_FINISHED;
      sent += n;
    }
    // A server answers a request once it has all of it; the response tells
    // the filter that the next bytes begin a new request.
    if (!blocked && span.complete) {
      HTTP_FILTER_SEND_RESPONSE response{GetHeader, SetHeader, AddHeader, 200, 0};
      blocked = HttpFilterProc(&pfc, SF_NOTIFY_SEND_RESPONSE, &response) == SF_STATUS_REQ_FINISHED;
    }
    result.records.assign(connection.records.begin() + static_cast<std::ptrdiff_t>(firstRecord),
                          connection.records.end());
    if (blocked) {
      result.verdict = Verdict::kBlocked;
      closed = true;
    } else {
      result.verdict = result.records.empty() ? Verdict::kPassed : Verdict::kSimulated;
    }
    results.push_back(std::move(result));
  }
  HttpFilterProc(&pfc, SF_NOTIFY_END_OF_NET_SESSION, nullptr);
  return results;
}

// The record that decided the verdict: the one that blocked, else the first
// that was logged and let through. Null when there is none.
const Record* DecidingRecord(const RequestResult& r) {
  if (r.records.empty()) return nullptr;
  if (r.verdict == Verdict::kBlocked) {
    for (size_t i = r.records.size(); i-- > 0;)
      if (r.records[i].result == SF_STATUS_REQ_FINISHED) return &r.records[i];
  }
  return &r.records.front();
}

// ---------------------------------------------------------------- output

void AppendRecordText(std::string* out, const Record& r) {
  *out += "reason " + std::to_string(r.reason) + " ";
  AppendPrintable(out, r.message);
  if (r.winError != 0) *out += " [Win error " + std::to_string(static_cast<int32_t>(r.winError)) + "]";
}

void AppendText(std::string* out, const std::string& name, size_t index, const RequestResult& r,
                size_t blockedIndex) {
  std::string head;
  AppendPrintable(&head, name);
  head += " #" + std::to_string(index) + ": ";
  *out += head;
  *out += VerdictName(r.verdict, Format::kText);
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
}

void AppendJsonRecordFields(std::string* out, uint32_t reason, const std::string* message,
                            uint32_t winError) {
  *out += "\"reason\":" + std::to_string(reason) + ",\"message\":";
  if (message != nullptr) AppendJsonString(out, *message);
  else *out += "null";
  *out += ",\"winError\":" + std::to_string(static_cast<int32_t>(winError));
}

void AppendJson(std::string* out, const std::string& name, size_t index, const RequestResult& r) {
  *out += "{\"file\":";
  AppendJsonString(out, name);
  *out += ",\"index\":" + std::to_string(index) + ",\"verdict\":";
  AppendJsonString(out, VerdictName(r.verdict, Format::kJson));
  *out += ',';
  const Record* deciding = DecidingRecord(r);
  if (deciding != nullptr)
    AppendJsonRecordFields(out, deciding->reason, &deciding->message, deciding->winError);
  else
    AppendJsonRecordFields(out, 0, nullptr, 0);
  *out += ",\"bytes\":" + std::to_string(r.bytes);
  *out += ",\"complete\":";
  *out += r.complete ? "true" : "false";
  *out += ",\"records\":[";
  for (size_t i = 0; i < r.records.size(); ++i) {
    const Record& rec = r.records[i];
    if (i > 0) *out += ',';
    *out += '{';
    AppendJsonRecordFields(out, rec.reason, &rec.message, rec.winError);
    *out += ",\"request\":";
    if (rec.hasRequest) AppendJsonString(out, rec.request);
    else *out += "null";
    *out += '}';
  }
  *out += "]}\n";
}

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// ---------------------------------------------------------------- arguments

// Returns -1 when the arguments are good, else the exit status.
int ParseCheckArguments(int argc, char** argv, CheckOptions* o) {
  o->chunkMode = ChunkMode::kWhole;
  o->chunkSize = 0;
  o->seed = 1;
  o->clientIp = "127.0.0.1";
  o->serverSoftware = "Microsoft-IIS/10.0";
  o->format = Format::kText;
  bool haveSeed = false, onlyFiles = false, haveStdin = false;
  std::string error;
  for (int i = 1; i < argc && error.empty(); ++i) {
    std::string_view arg = argv[i];
    if (onlyFiles || arg == "-" || arg.empty() || arg[0] != '-') {
      if (arg == "-") {
        if (haveStdin) {
          PrintError("standard input ('-') can be given only once");
          return kExitUsage;
        }
        haveStdin = true;
      }
      o->files.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyFiles = true;
      continue;
    }
    if (IsFlag(arg, "--help", "-h")) {
      std::fputs(kCheckUsage, stdout);
      return kExitOk;
    }
    std::string value;
    int m;
    if ((m = MatchValueOption(argc, argv, &i, "--config", "-c", &value, &error)) != 0) {
      if (m < 0) break;
      o->iniPath = value;
    } else if ((m = MatchValueOption(argc, argv, &i, "--chunk", "", &value, &error)) != 0) {
      if (m < 0) break;
      if (value == "random") {
        o->chunkMode = ChunkMode::kRandom;
      } else if (ParseUint32(value, &o->chunkSize) && o->chunkSize > 0) {
        o->chunkMode = ChunkMode::kFixed;
      } else {
        PrintError("--chunk takes a byte count of at least 1 or 'random', not '" + value + "'");
        return kExitUsage;
      }
    } else if ((m = MatchValueOption(argc, argv, &i, "--seed", "", &value, &error)) != 0) {
      if (m < 0) break;
      uint32_t seed = 0;
      if (!ParseUint32(value, &seed)) {
        PrintError("--seed takes a number from 0 to 4294967295, not '" + value + "'");
        return kExitUsage;
      }
      o->seed = seed;
      haveSeed = true;
    } else if ((m = MatchValueOption(argc, argv, &i, "--client-ip", "", &value, &error)) != 0) {
      if (m < 0) break;
      o->clientIp = value;
    } else if ((m = MatchValueOption(argc, argv, &i, "--server-software", "", &value, &error)) !=
               0) {
      if (m < 0) break;
      o->serverSoftware = value;
    } else if ((m = MatchValueOption(argc, argv, &i, "--log", "", &value, &error)) != 0) {
      if (m < 0) break;
      if (value.empty()) {
        PrintError("--log needs a directory name");
        return kExitUsage;
      }
      o->logDirectory = value;
    } else if ((m = MatchValueOption(argc, argv, &i, "--format", "", &value, &error)) != 0) {
      if (m < 0) break;
      if (value == "text") o->format = Format::kText;
      else if (value == "json") o->format = Format::kJson;
      else {
        PrintError("--format is 'text' or 'json', not '" + value + "'");
        return kExitUsage;
      }
    } else {
      PrintError("unknown option '" + std::string(arg) + "' for check; see 'ravelgard check --help'");
      return kExitUsage;
    }
  }
  // A value option that lacked its value left its sentence in error.
  if (!error.empty()) {
    PrintError(error + "; see 'ravelgard check --help'");
    return kExitUsage;
  }
  if (o->iniPath.empty()) {
    PrintError("check needs a policy file: -c FILE (see 'ravelgard check --help')");
    return kExitUsage;
  }
  if (haveSeed && o->chunkMode != ChunkMode::kRandom) {
    PrintError("--seed only applies to --chunk random");
    return kExitUsage;
  }
  if (o->files.empty()) o->files.emplace_back("-");
  return -1;
}

}  // namespace

int RunCheck(int argc, char** argv) {
  // A reader that goes away early (| head) must not kill the run before it
  // has stopped the filter and cleaned up; the writes just fail.
  std::signal(SIGPIPE, SIG_IGN);
  CheckOptions o{};
  int status = ParseCheckArguments(argc, argv, &o);
  if (status >= 0) return status;

  // Every input is read before the filter starts, so that a bad argument
  // leaves neither partial output nor a log behind.
  std::string iniBytes;
  ReadProblem problem{};
  uint32_t error = ReadInput(o.iniPath, &iniBytes, &problem, true);
  if (error != 0) {
    PrintError("cannot load policy from " + o.iniPath + ": " +
               DescribePolicyReadError(error, problem));
    return kExitUsage;
  }
  std::vector<std::string> inputs(o.files.size());
  for (size_t i = 0; i < o.files.size(); ++i) {
    const std::string& name = o.files[i];
    error = ReadInput(name, &inputs[i], &problem);
    std::string shown = name == "-" ? "standard input" : name;
    if (error != 0) {
      if (problem.isDirectory) PrintError("cannot read " + shown + ": it is a directory");
      else if (problem.tooLarge) PrintError("cannot read " + shown + ": it is larger than 1 GiB");
      else PrintError("cannot read " + shown + ": " + DescribeError(error));
      return kExitUsage;
    }
    if (inputs[i].empty()) {
      PrintError("cannot screen " + shown + ": it is empty, so it holds no request");
      return kExitUsage;
    }
  }

  std::string privateLog;
  if (o.logDirectory.empty()) {
    error = MakePrivateDirectory(&privateLog);
    if (error != 0) {
      PrintError("cannot create a temporary directory for the log: " + DescribeError(error));
      return kExitUsage;
    }
  }
  const std::string& logDirectory = privateLog.empty() ? o.logDirectory : privateLog;
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = HTTP_FILTER_REVISION;
  if (!StartFilter(&version, o.iniPath.c_str(), logDirectory.c_str())) {
    error = GetLastErrorValue();
    if (!privateLog.empty()) RemoveTree(privateLog);
    if (o.logDirectory.empty())
      PrintError("cannot load policy from " + o.iniPath + ": " + DescribeError(error));
    else
      PrintError("cannot load policy from " + o.iniPath + " with the log in " + o.logDirectory +
                 ": " + DescribeError(error));
    return kExitUsage;
  }
  // The filter holds its log file open, so the private directory can go at
  // once: nothing is left behind even if the run is killed. (Should the date
  // change during the run, the filter makes it anew; it is removed again at
  // the end.)
  if (!privateLog.empty()) RemoveTree(privateLog);
  g_verdictObserver = ObserveVerdict;

  uint64_t random = o.seed;
  size_t total = 0, passed = 0, simulated = 0, blocked = 0, notScreened = 0;
  for (size_t f = 0; f < o.files.size(); ++f) {
    const std::string name = o.files[f] == "-" ? "<stdin>" : o.files[f];
    std::vector<RequestResult> results = ScreenConnection(o, inputs[f], &random);
    size_t blockedIndex = 0;
    std::string out;
    for (size_t i = 0; i < results.size(); ++i) {
      const RequestResult& r = results[i];
      ++total;
      switch (r.verdict) {
        case Verdict::kPassed: ++passed; break;
        case Verdict::kSimulated: ++simulated; break;
        case Verdict::kBlocked: ++blocked; blockedIndex = i + 1; break;
        case Verdict::kNotScreened: ++notScreened; break;
      }
      if (o.format == Format::kJson) AppendJson(&out, name, i + 1, r);
      else AppendText(&out, name, i + 1, r, blockedIndex);
    }
    Print(out);
  }
  g_verdictObserver = nullptr;
  TerminateFilter(0);
  if (!privateLog.empty()) RemoveTree(privateLog);

  if (o.format == Format::kText) {
    std::string summary = std::to_string(total) + (total == 1 ? " request" : " requests") +
                          " in " + std::to_string(o.files.size()) +
                          (o.files.size() == 1 ? " file" : " files") + ": " +
                          std::to_string(passed) + " passed, ";
    if (simulated > 0) summary += std::to_string(simulated) + " passed in Simulate mode, ";
    summary += std::to_string(blocked) + " blocked";
    if (notScreened > 0) summary += ", " + std::to_string(notScreened) + " not screened";
    Print(summary + "\n");
  }
  std::fflush(stdout);
  return blocked > 0 ? kExitFindings : kExitOk;
}

}  // namespace rg::tool
