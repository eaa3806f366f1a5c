// `ravelgard check`: plays recorded connections to the screening engine, as
// the module would see them, and reports each verdict.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
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
  bool blocked;
  std::string message;  // the log's reason field without its outer spaces
  std::string request;  // the log's request field
  bool hasRequest;      // false where the log writes "-"
};

enum class Outcome { kPassed, kSimulated, kBlocked, kNotScreened };

struct RequestResult {
  Outcome verdict;
  size_t bytes;
  bool complete;
  std::vector<Record> records;
};

const char* VerdictName(Outcome v, Format format) {
  switch (v) {
    case Outcome::kPassed: return "passed";
    case Outcome::kSimulated: return format == Format::kJson ? "passed-simulate"
                                                             : "passed in Simulate mode";
    case Outcome::kBlocked: return "blocked";
    case Outcome::kNotScreened: return format == Format::kJson ? "not-screened" : "not screened";
  }
  return "";
}

// ---------------------------------------------------------------- records

// The record a verdict writes, as the command reports it.
Record MakeRecord(const EnginePolicy* policy, const Screening* state, const rg::Verdict& v) {
  char message[1024];
  FormatVerdictMessage(policy, v, message, sizeof message);
  Record r{static_cast<uint32_t>(v.reason), v.winError, Blocks(v), message, std::string(), false};
  const void* bytes = nullptr;
  uint32_t length = 0;
  RecordedRequest(state, &bytes, &length);
  if (length > 0) {
    r.request.assign(static_cast<const char*>(bytes), length);
    r.hasRequest = true;
  }
  return r;
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

// Plays one recorded connection to the engine, as the module sees it: the
// requests in order, each in chunks, with a response after each one that
// passed whole, so the next one starts afresh.
std::vector<RequestResult> ScreenConnection(const CheckOptions& o, EnginePolicy* policy,
                                            const std::string& bytes, uint64_t* random) {
  std::vector<RequestResult> results;
  Screening* state = nullptr;
  bool closed = false;
  for (const RequestSpan& span : SplitRequests(bytes)) {
    RequestResult result{Outcome::kNotScreened, span.length, span.complete, {}};
    if (closed) {
      results.push_back(std::move(result));
      continue;
    }
    bool blocked = false;
    size_t sent = 0;
    while (sent < span.length && !blocked) {
      size_t n = NextChunkSize(o, random, span.length - sent);
      if (state == nullptr) {
        uint32_t error = OpenScreening(policy, o.clientIp.c_str(), &state);
        if (error != 0) {
          rg::Verdict failure{};
          failure.kind = VerdictKind::kRejected;
          failure.reason = kReasonWindowsError;
          failure.winError = error;
          LogVerdict(policy, nullptr, failure);
          result.records.push_back(MakeRecord(policy, nullptr, failure));
          blocked = true;
          break;
        }
      }
      rg::Verdict v = Screen(state, bytes.data() + span.offset + sent, static_cast<uint32_t>(n));
      if (v.kind == VerdictKind::kRejected) {
        LogVerdict(policy, state, v);
        result.records.push_back(MakeRecord(policy, state, v));
        blocked = Blocks(v);
      }
      sent += n;
    }
    // A server answers a request once it has all of it; the response tells
    // the filter that the next bytes begin a new request.
    if (!blocked && span.complete && state != nullptr) ResponseStarted(state, 200);
    if (blocked) {
      result.verdict = Outcome::kBlocked;
      closed = true;
    } else {
      result.verdict = result.records.empty() ? Outcome::kPassed : Outcome::kSimulated;
    }
    results.push_back(std::move(result));
  }
  CloseScreening(state);
  return results;
}

// The record that decided the verdict: the one that blocked, else the first
// that was logged and let through. Null when there is none.
const Record* DecidingRecord(const RequestResult& r) {
  if (r.records.empty()) return nullptr;
  if (r.verdict == Outcome::kBlocked) {
    for (size_t i = r.records.size(); i-- > 0;)
      if (r.records[i].blocked) return &r.records[i];
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
  if (r.verdict == Outcome::kNotScreened)
    *out += " (the connection was closed after request #" + std::to_string(blockedIndex) + ")";
  else if (!r.complete && r.verdict != Outcome::kBlocked)
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
  EngineOptions engineOptions;
  engineOptions.logDirectory = logDirectory.c_str();
  EnginePolicy* policy = nullptr;
  error = LoadEnginePolicy(o.iniPath.c_str(), &engineOptions, &policy);
  if (error != 0) {
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

  uint64_t random = o.seed;
  size_t total = 0, passed = 0, simulated = 0, blocked = 0, notScreened = 0;
  for (size_t f = 0; f < o.files.size(); ++f) {
    const std::string name = o.files[f] == "-" ? "<stdin>" : o.files[f];
    std::vector<RequestResult> results = ScreenConnection(o, policy, inputs[f], &random);
    size_t blockedIndex = 0;
    std::string out;
    for (size_t i = 0; i < results.size(); ++i) {
      const RequestResult& r = results[i];
      ++total;
      switch (r.verdict) {
        case Outcome::kPassed: ++passed; break;
        case Outcome::kSimulated: ++simulated; break;
        case Outcome::kBlocked: ++blocked; blockedIndex = i + 1; break;
        case Outcome::kNotScreened: ++notScreened; break;
      }
      if (o.format == Format::kJson) AppendJson(&out, name, i + 1, r);
      else AppendText(&out, name, i + 1, r, blockedIndex);
    }
    Print(out);
  }
  uint64_t lost = LostLogRecords(policy);
  ReleaseEnginePolicy(policy);
  if (lost > 0)
    PrintError(std::to_string(lost) + (lost == 1 ? " log record" : " log records") +
               " could not be written to " + logDirectory);
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
