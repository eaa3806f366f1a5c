// `ravelgard check`: plays recorded connections to the screening engine, as
// the module would see them, and reports each verdict.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <deque>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "frame/framer.h"
#include "common/request_splitter.h"
#include "platform/platform.h"
#include "ravelgard/args.h"
#include "ravelgard/commands.h"
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
    "      --chunk N               hand the connection to the filter in pieces of N bytes\n"
    "      --chunk random          ... or in pieces of random size, 1 to 64 bytes\n"
    "                              (default: each request in one piece); a piece may\n"
    "                              hold the end of one request and the start of the\n"
    "                              next, as a server's reads do\n"
    "      --seed S                seed of --chunk random (default 1)\n"
    "      --client-ip ADDR        client address the server reports (default 127.0.0.1)\n"
    "      --server-software TEXT  banner the server reports (default Microsoft-IIS/10.0)\n"
    "      --log DIR               write the filter's log into DIR as the module would;\n"
    "                              without it no log is kept\n"
    "      --format text|json      output format (default text)\n"
    "  -h, --help                  show this help\n"
    "\n"
    "The filter frames the requests itself, exactly as the module does: each request\n"
    "of a kept-alive or pipelined connection is screened on its own, and a framing\n"
    "that servers could read differently is refused (reason 41). After each piece, a\n"
    "response (status 200) is signalled for every request that ended in it. A blocked\n"
    "request ends the connection: the requests after it are not screened. Where the\n"
    "framing cannot be told, the rest of the file is reported as one request. Files\n"
    "are read a block at a time, so their size does not matter.\n"
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

// The counts of the closing line.
struct Totals {
  size_t total = 0, passed = 0, simulated = 0, blocked = 0, notScreened = 0;
  void Count(Outcome v) {
    ++total;
    switch (v) {
      case Outcome::kPassed: ++passed; break;
      case Outcome::kSimulated: ++simulated; break;
      case Outcome::kBlocked: ++blocked; break;
      case Outcome::kNotScreened: ++notScreened; break;
    }
  }
};

// ---------------------------------------------------------------- streaming

// An opened request file: read in blocks, never held whole.
struct Input {
  int fd = -1;
  bool isStdin = false;
  std::string shown;  // "standard input" or the name, for messages
  std::string name;   // "<stdin>" or the name, for results
};

// Reads up to size bytes; 0 at the end, -1 with errno on failure.
ssize_t ReadSome(int fd, char* into, size_t size) {
  for (;;) {
    ssize_t got = read(fd, into, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// One recorded connection, played to the engine as the module would see it:
// the bytes in deliveries (a whole request each by default, or pieces of a
// fixed or random size that may hold the end of one request and the start
// of the next), the engine framing and screening each request on its own,
// and a response after every request that ended within a delivery, once the
// delivery has been handled. Requests are reported as they end, so memory
// stays bounded whatever the size of the recording.
//
// The requests reported are told apart by a framer of their own that reads
// the recording from its start, so that a request let through in Simulate
// mode (after which the engine starts afresh at the next delivery, as the
// module does) is still reported as the one request the client sent. When
// that framer refuses the framing, the rest of the recording is reported as
// one request: where the next would start cannot be told.
class ConnectionPlayer {
 public:
  ConnectionPlayer(const CheckOptions& o, EnginePolicy* policy, uint64_t* random,
                   const std::string& name, std::string* out, Totals* totals)
      : o_(o), policy_(policy), random_(random), name_(name), out_(out), totals_(totals) {}
  ~ConnectionPlayer() { CloseScreening(state_); }

  // Hands over the next bytes of the recording in deliveries.
  void Take(const char* bytes, size_t length) {
    while (length > 0) {
      size_t n = DeliverySize(length);
      Deliver(bytes, n);
      bytes += n;
      length -= n;
    }
  }

  // The end of the recording: what is left is a request cut short, unless
  // it is only line ends.
  void Finish() {
    if (!wholeDelivery_.empty()) {
      Screen(wholeDelivery_.data(), wholeDelivery_.size());
      wholeDelivery_.clear();
    }
    // Line ends the engine judged count as a request.
    bool judged = !records_.empty() && records_.back().first >= requests_.RequestStart();
    bool nothingElse = index_ == 0 && requests_.Ended().empty();
    requests_.Finish(judged, nothingElse);
    Flush();
  }

 private:
  // In the default mode a delivery is one whole request: the splitter
  // says where it ends; bytes are gathered (in a bounded buffer)
  // until it does.
  size_t DeliverySize(size_t length) {
    if (o_.chunkMode != ChunkMode::kWhole)
      return NextChunkSize(o_, random_, length);
    return length;
  }

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

  // The engine's side of one delivery: every request in it screened in
  // turn; a refused one refuses the rest of the delivery.
  void Screen(const char* bytes, size_t length) {
    uint64_t at = screened_;
    screened_ += length;
    if (closed_) return;
    const char* p = bytes;
    size_t left = length;
    int completed = 0;
    while (left > 0) {
      if (state_ == nullptr) {
        uint32_t error = OpenScreening(policy_, o_.clientIp.c_str(), &state_);
        if (error != 0) {
          rg::Verdict failure{};
          failure.kind = VerdictKind::kRejected;
          failure.reason = kReasonWindowsError;
          failure.winError = error;
          LogVerdict(policy_, nullptr, failure);
          records_.push_back({at, MakeRecord(policy_, nullptr, failure)});
          Close(at);
          break;
        }
      }
      uint32_t n = left > kMaxScreen ? kMaxScreen : static_cast<uint32_t>(left);
      rg::Verdict v = rg::Screen(state_, p, n);
      if (v.kind == VerdictKind::kRejected) {
        LogVerdict(policy_, state_, v);
        records_.push_back({at, MakeRecord(policy_, state_, v)});
        if (Blocks(v)) Close(at);
        // The module hands the verdict back for the whole delivery: the
        // rest of it goes by unscreened after a simulated pass.
        break;
      }
      if (v.messageComplete) ++completed;
      if (v.consumed == 0) break;
      p += v.consumed;
      left -= v.consumed;
      at += v.consumed;
    }
    // The server answers each request that arrived whole.
    for (int i = 0; i < completed && !closed_; ++i) ResponseStarted(state_, 200);
    Flush();
  }

  void Close(uint64_t at) {
    closed_ = true;
    closedAt_ = at;
  }

  // Reports every request the engine is done with.
  void Flush() {
    while (!requests_.Ended().empty() && (closed_ || requests_.Ended().front().end <= screened_)) {
      RequestSplitter::Request p = requests_.Ended().front();
      requests_.Ended().pop_front();
      RequestResult result{Outcome::kPassed, static_cast<size_t>(p.end - p.start), p.complete, {}};
      while (!records_.empty() && records_.front().first < p.end) {
        result.records.push_back(std::move(records_.front().second));
        records_.pop_front();
      }
      bool blocked = false;
      for (const Record& r : result.records) blocked = blocked || r.blocked;
      if (blocked) {
        result.verdict = Outcome::kBlocked;
        blockedIndex_ = index_ + 1;
      } else if (closed_ && p.start >= closedAt_) {
        result.verdict = Outcome::kNotScreened;
      } else if (!result.records.empty()) {
        result.verdict = Outcome::kSimulated;
      }
      Emit(result);
    }
  }

  void Emit(const RequestResult& r) {
    ++index_;
    totals_->Count(r.verdict);
    if (o_.format == Format::kJson)
      AppendJson(out_, name_, index_, r);
    else
      AppendText(out_, name_, index_, r, blockedIndex_);
    if (out_->size() >= kOutputFlush) {
      Print(*out_);
      out_->clear();
    }
  }

  static constexpr size_t kWholeLimit = 1 << 20;
  static constexpr size_t kMaxScreen = 1 << 30;
  static constexpr size_t kOutputFlush = 1 << 16;

  const CheckOptions& o_;
  EnginePolicy* policy_;
  uint64_t* random_;
  const std::string& name_;
  std::string* out_;
  Totals* totals_;
  Screening* state_ = nullptr;
  RequestSplitter requests_;
  uint64_t screened_ = 0;      // bytes handed to the engine's side
  bool closed_ = false;        // a block ended the connection
  uint64_t closedAt_ = 0;
  std::string wholeDelivery_;
  std::deque<std::pair<uint64_t, Record>> records_;
  size_t index_ = 0;
  size_t blockedIndex_ = 0;
};

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
  // Request files are looked at before the filter starts, so that a bad
  // argument leaves neither partial output nor a log behind; they are read
  // only when their turn comes, a block at a time. Standard input cannot be
  // looked at without reading: its first block is read now.
  std::string stdinFirst;
  for (const std::string& name : o.files) {
    std::string shown = name == "-" ? "standard input" : name;
    if (name == "-") {
      char block[65536];
      ssize_t got = ReadSome(0, block, sizeof block);
      if (got < 0) {
        PrintError("cannot read " + shown + ": " + DescribeError(WinErrorFromErrno(errno)));
        return kExitUsage;
      }
      stdinFirst.assign(block, static_cast<size_t>(got));
      if (got == 0) {
        PrintError("cannot screen " + shown + ": it is empty, so it holds no request");
        return kExitUsage;
      }
      continue;
    }
    struct stat st {};
    if (stat(name.c_str(), &st) != 0) {
      PrintError("cannot read " + shown + ": " + DescribeError(WinErrorFromErrno(errno)));
      return kExitUsage;
    }
    if (S_ISDIR(st.st_mode)) {
      PrintError("cannot read " + shown + ": it is a directory");
      return kExitUsage;
    }
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
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
  Totals totals;
  int readFailure = 0;
  for (size_t f = 0; f < o.files.size() && readFailure == 0; ++f) {
    const bool isStdin = o.files[f] == "-";
    const std::string name = isStdin ? "<stdin>" : o.files[f];
    const std::string shown = isStdin ? "standard input" : o.files[f];
    int fd = 0;
    if (!isStdin) {
      fd = open(o.files[f].c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        PrintError("cannot read " + shown + ": " + DescribeError(WinErrorFromErrno(errno)));
        readFailure = kExitUsage;
        break;
      }
    }
    std::string out;
    {
      ConnectionPlayer player(o, policy, &random, name, &out, &totals);
      if (isStdin) player.Take(stdinFirst.data(), stdinFirst.size());
      std::vector<char> block(1 << 16);
      for (;;) {
        ssize_t got = ReadSome(fd, block.data(), block.size());
        if (got == 0) break;
        if (got < 0) {
          PrintError("cannot read " + shown + ": " + DescribeError(WinErrorFromErrno(errno)));
          readFailure = kExitUsage;
          break;
        }
        player.Take(block.data(), static_cast<size_t>(got));
      }
      player.Finish();
    }
    if (!isStdin) close(fd);
    Print(out);
  }
  size_t total = totals.total, passed = totals.passed, simulated = totals.simulated,
         blocked = totals.blocked, notScreened = totals.notScreened;
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
  if (readFailure != 0) return readFailure;
  return blocked > 0 ? kExitFindings : kExitOk;
}

}  // namespace rg::tool
