// The `ravelgard` command, run as a user runs it: the built binary with
// arguments, standard input and environment, judged by its exit status and
// what it prints or writes.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "kit/log_lines.h"
#include "kit/test_kit.h"
#include "policy/policy.h"

namespace rg::test {
namespace {

namespace fs = std::filesystem;

// Runs the tool with args, the given standard input, TMPDIR set to tmpDir
// when given, and a watchdog against a hang (see RunProgram).
RunResult RunTool(const std::vector<std::string>& args, std::string_view input = "",
                  const std::string& tmpDir = "", unsigned watchdogSeconds = 0) {
  std::vector<std::string> argv{RG_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, input, tmpDir, watchdogSeconds);
}

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    lines.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

std::string ExamplePolicy() { return std::string(RG_SOURCE_DIR) + "/examples/Ravelgard.ini"; }
std::string ExampleRequest(std::string_view name) {
  return std::string(RG_SOURCE_DIR) + "/examples/requests/" + std::string(name);
}
std::vector<std::string> ExampleRequests() {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(std::string(RG_SOURCE_DIR) + "/examples/requests"))
    if (e.path().extension() == ".http") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

// A policy that refuses only what its few lines ask for: GET and POST
// allowed, every other list off, bodies may hold any byte. The lines given
// come first, so that they win over the same keys below them.
std::string SmallPolicy(std::string_view globals = "", std::string_view sections = "") {
  return "[Globals]\n" + std::string(globals) +
         "ValidHttpVersion=0\nValidHostPort=0\nExtensionAllow=0\nDenyHeaderName=0\n"
         "ValidMaxLenByHeader=0\nDenyUrlSequence=0\nDenyQuerySequence=0\n"
         "AllowDotInUrl=1\nAllowHighBitInPayload=1\n"
         "[VerbAllow]\nGET\nPOST\n" +
         std::string(sections);
}

// The bytes of a literal, NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

constexpr std::string_view kGet = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";

TEST(ToolTest, HelpAndVersionAnswerOnStandardOutput) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"--help"}, "Usage: ravelgard COMMAND"},
      {{"-h"}, "Usage: ravelgard COMMAND"},
      {{"check", "--help"}, "Usage: ravelgard check -c FILE"},
      {{"check", "-c", "missing.ini", "-h"}, "Usage: ravelgard check -c FILE"},
      {{"config", "--help"}, "Usage: ravelgard config -c FILE"},
      {{"--version"}, "ravelgard "},
  };
  for (const Case& c : cases) {
    RunResult r = RunTool(c.args);
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find(c.expected), 0u) << r.out;
    EXPECT_EQ(r.err, "");
  }
}

TEST(ToolTest, UsageErrorsAreOneSentenceOnStandardErrorWithStatus2) {
  TempDir dir;
  std::string ini = dir.File("p.ini"), request = dir.File("r.http");
  WriteTextFile(ini, SmallPolicy());
  WriteTextFile(request, kGet);
  struct Case {
    std::vector<std::string> args;
    std::string expected;  // part of the message
  };
  const std::vector<Case> cases = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"--frob"}, "unknown option '--frob'"},
      {{"check", request}, "check needs a policy file"},
      {{"check", "-c"}, "option '-c' needs a value"},
      {{"check", "-c", ini, "--chunk", "0", request}, "--chunk takes"},
      {{"check", "-c", ini, "--chunk=lots", request}, "--chunk takes"},
      {{"check", "-c", ini, "--chunk", "4", "--seed", "3", request}, "--seed only applies"},
      {{"check", "-c", ini, "--chunk", "random", "--seed", "-3", request}, "--seed takes"},
      {{"check", "-c", ini, "--format", "xml", request}, "--format is 'text' or 'json'"},
      {{"check", "-c", ini, "--bogus", request}, "unknown option '--bogus' for check"},
      {{"check", "-c", ini, "-", "-"}, "standard input ('-') can be given only once"},
      {{"config"}, "config needs a policy file"},
      {{"config", "-c", ini, "extra"}, "config takes no file operand 'extra'"},
      {{"config", "-c", ini, "--loud"}, "unknown option '--loud' for config"},
  };
  for (const Case& c : cases) {
    RunResult r = RunTool(c.args);
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("ravelgard: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err;
  }
}

// Unreadable input is refused before anything is screened or logged; input
// that is merely strange gets a verdict.
TEST(ToolTest, BadInputIsAnErrorOrAVerdictNeverACrash) {
  TempDir dir;
  std::string ini = dir.File("p.ini"), good = dir.File("good.http"), empty = dir.File("empty.http");
  WriteTextFile(ini, SmallPolicy());
  WriteTextFile(good, kGet);
  WriteTextFile(empty, "");
  WriteTextFile(dir.File("plain"), "x");
  std::string logs = dir.File("logs");
  struct Case {
    std::vector<std::string> args;
    std::string expected;  // the whole message after "ravelgard: "
  };
  const std::vector<Case> cases = {
      {{"check", "-c", ini, good, dir.File("missing.http")},
       "cannot read " + dir.File("missing.http") + ": error 2 (file not found)"},
      {{"check", "-c", ini, good, dir.path}, "cannot read " + dir.path + ": it is a directory"},
      {{"check", "-c", ini, "--log", logs, empty},
       "cannot screen " + empty + ": it is empty, so it holds no request"},
      {{"check", "-c", dir.File("none.ini"), good},
       "cannot load policy from " + dir.File("none.ini") + ": error 2 (file not found)"},
      {{"check", "-c", dir.path, good}, "cannot load policy from " + dir.path + ": it is a directory"},
      {{"config", "-c", dir.File("none.ini")},
       "cannot load policy from " + dir.File("none.ini") + ": error 2 (file not found)"},
      {{"check", "-c", ini, "--log", dir.File("plain") + "/sub", good},
       "cannot load policy from " + ini + " with the log in " + dir.File("plain") +
           "/sub: error 3 (path not found)"},
  };
  for (const Case& c : cases) {
    RunResult r = RunTool(c.args);
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ravelgard: " + c.expected + "\n");
  }
  EXPECT_FALSE(fs::exists(logs));  // refused before the filter started

  // A policy path that names no regular file, or runs into a loop of
  // symbolic links, is refused at once: a FIFO used to hang both commands.
  std::string fifo = dir.File("fifo.ini"), loop = dir.File("loop");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("loop", loop.c_str()), 0);
  const std::string notRegular =
      ": it is not a regular file (a FIFO, socket or device), which the filter does not read";
  const std::string kLinkError =
      ": error 1921 (a symbolic link where a file is expected, or a loop of links)";
  const std::vector<Case> policyPaths = {
      {{"check", "-c", fifo, good}, "cannot load policy from " + fifo + notRegular},
      {{"config", "-c", fifo}, "cannot load policy from " + fifo + notRegular},
      {{"check", "-c", loop + "/p.ini", good},
       "cannot load policy from " + loop + "/p.ini" + kLinkError},
      {{"config", "-c", loop}, "cannot load policy from " + loop + kLinkError},
  };
  for (const Case& c : policyPaths) {
    RunResult r = RunTool(c.args, "", "", 60);
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ravelgard: " + c.expected + "\n");
  }

  std::string garbage;
  uint32_t x = 7;
  for (int i = 0; i < 5000; ++i) {
    x = x * 1103515245u + 12345u;
    garbage += static_cast<char>(x >> 24);
  }
  const std::vector<std::string> strange = {
      garbage, std::string(3, '\0'), "\r\n\r\n\r\n", std::string(300, '\xFF'),
      "GET / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\nabc",
      "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffffff\r\nab"};
  for (const std::string& input : strange) {
    RunResult r = RunTool({"check", "-c", ini, "-"}, input);
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("<stdin> #1: ", 0), 0u) << r.out;
  }
}

// Every example request meets the rule it is named after (or passes), so the
// examples show each rule of the example policy at work.
TEST(ToolTest, ExampleRequestsMeetTheirRules) {
  const std::map<std::string, std::vector<std::string>> expected = {
      {"01-get-home.http", {"passed"}},
      {"02-get-page-with-query.http", {"passed"}},
      {"03-post-form.http", {"passed"}},
      {"04-keep-alive.http", {"passed", "passed"}},
      {"05-head-http10.http", {"passed"}},
      {"06-post-chunked.http", {"passed"}},
      {"10-no-http-version.http", {"blocked, reason 1 [Incorrect Request Line]"}},
      {"11-double-space.http", {"blocked, reason 2 [More than 1 SP sent in Request Line]"}},
      {"12-verb-trace.http", {"blocked, reason 3 [Request does not contain allowed verb]"}},
      {"13-http-version.http", {"blocked, reason 20 [Unallowed http version]"}},
      {"14-absolute-url-foreign-host.http",
       {"blocked, reason 5 [Unallowed host:port pair found in schema]"}},
      {"15-url-too-long.http", {"blocked, reason 6 [Url exceeds allowed length]"}},
      {"16-url-bad-start.http", {"blocked, reason 7 [Invalid character found at start of Url]"}},
      {"20-traversal.http", {"blocked, reason 9 [Dot found in Url before extension]"}},
      {"21-double-encoding.http", {"blocked, reason 8 [Url different after 2nd canonicalization]"}},
      {"22-extension-not-allowed.http",
       {"blocked, reason 10 [Url does not contain allowed extension]"}},
      {"23-high-bit-url.http", {"blocked, reason 12 [High bit character found in Url]"}},
      {"24-control-byte-url.http", {"blocked, reason 13 [Control character (< 0x20) found in Url]"}},
      {"25-url-sequence.http", {"blocked, reason 14 [Unallowed sequence '\\' found in Url]"}},
      {"30-query-script.http", {"blocked, reason 15 [Unallowed sequence '<script' found in Query]"}},
      {"31-query-high-bit.http", {"blocked, reason 16 [High bit character found in Query]"}},
      {"32-query-line-break.http",
       {"blocked, reason 17 [Control character (< 0x20) found in Query]"}},
      {"33-query-too-long.http", {"blocked, reason 18 [Query exceeds allowed length]"}},
      {"34-query-double-encoding.http",
       {"blocked, reason 19 [Query different after 2nd canonicalization]"}},
      {"40-header-without-colon.http", {"blocked, reason 21 [Header separator (':') not found]"}},
      {"41-header-name-too-long.http", {"blocked, reason 22 [Header name exceeds allowed length]"}},
      {"42-header-value-too-long.http", {"blocked, reason 23 [Header value exceeds allowed length]"}},
      {"43-header-name-space.http", {"blocked, reason 24 [Unallowed byte found in header name]"}},
      {"44-header-value-high-bit.http", {"blocked, reason 25 [Unallowed byte found in header value]"}},
      {"45-denied-header.http", {"blocked, reason 26 [Unallowed header name 'Translate']"}},
      {"46-foreign-host-header.http",
       {"blocked, reason 27 [Unallowed pair host:port found in host header]"}},
      {"47-content-length-malformed.http",
       {"blocked, reason 28 [Content-Length header was sent incorrectly]"}},
      {"48-content-length-too-large.http",
       {"blocked, reason 29 [Content-Length header exceeds maximum value allowed]"}},
      {"49-header-over-its-limit.http",
       {"blocked, reason 30 [Request header 'User-Agent' value exceeds allowed length (512)]"}},
      {"50-payload-too-long.http", {"blocked, reason 31 [Payload exceeds allowed length]"}},
      {"51-payload-high-bit.http", {"blocked, reason 39 [High bit character found in Payload]"}},
      {"60-keep-alive-blocked.http",
       {"passed", "blocked, reason 9 [Dot found in Url before extension]",
        "not screened (the connection was closed after request #2)"}},
  };
  std::vector<std::string> files = ExampleRequests();
  ASSERT_EQ(files.size(), expected.size());
  for (const std::string& file : files) {
    std::string name = fs::path(file).filename().string();
    SCOPED_TRACE(name);
    ASSERT_EQ(expected.count(name), 1u);
    const std::vector<std::string>& verdicts = expected.at(name);
    RunResult r = RunTool({"check", "-c", ExamplePolicy(), file});
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), verdicts.size() + 1) << r.out;
    for (size_t i = 0; i < verdicts.size(); ++i)
      EXPECT_EQ(lines[i], file + " #" + std::to_string(i + 1) + ": " + verdicts[i]);
    bool blocked = r.out.find(": blocked") != std::string::npos;
    EXPECT_EQ(r.status, blocked ? 1 : 0);
    EXPECT_EQ(r.err, "");
  }
}

TEST(ToolTest, ExitStatusAndTotalsOverSeveralFiles) {
  RunResult passing = RunTool({"check", "-c", ExamplePolicy(), ExampleRequest("01-get-home.http"),
                               ExampleRequest("04-keep-alive.http")});
  EXPECT_EQ(passing.status, 0);
  EXPECT_EQ(Lines(passing.out).back(), "3 requests in 2 files: 3 passed, 0 blocked");

  RunResult mixed = RunTool({"check", "-c", ExamplePolicy(), ExampleRequest("01-get-home.http"),
                             ExampleRequest("60-keep-alive-blocked.http")});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_EQ(Lines(mixed.out).back(), "4 requests in 2 files: 2 passed, 1 blocked, 1 not screened");
}

// JSON strings carry bytes: each byte is the character of its own number,
// and every byte from 0x80 is escaped. So a C1 control (U+009B, a CSI to a
// terminal) never passes raw, the output is plain ASCII, and a lone 0xE9 and
// the UTF-8 form of U+00E9 stay apart.
TEST(ToolTest, JsonEscapesWhateverBytesTheRequestHolds) {
  TempDir dir;
  std::string ini = dir.File("p.ini"), request = dir.File("odd \"name\".http");
  WriteTextFile(ini, SmallPolicy("CanonUrlBeforeScan=0\n"));
  // A quote, a backslash, a control byte, a lone high-bit byte, UTF-8 forms
  // of U+00E9 and of the C1 control U+009B, and a lone 0x9B; the control
  // byte refuses the request (the URL is taken as it is, not decoded).
  std::string line = "GET /a\"b\\c\x01\xE9\xC3\xA9\xC2\x9B\x9B HTTP/1.1";
  WriteTextFile(request, line + "\r\n\r\n" + std::string(kGet));
  RunResult r = RunTool({"check", "-c", ini, "--format", "json", request});
  EXPECT_EQ(r.status, 1);
  std::string file = dir.path + "/odd \\\"name\\\".http";
  EXPECT_EQ(r.out,
            "{\"file\":\"" + file + "\",\"index\":1,\"verdict\":\"blocked\",\"reason\":13,"
            "\"message\":\"[Control character (< 0x20) found in Url]\",\"winError\":0,"
            // No framer takes the raw control byte in the target, so where
            // this request ends cannot be told: the rest goes with it.
            "\"bytes\":" + std::to_string(line.size() + 4 + kGet.size()) + ",\"complete\":true,"
            "\"records\":[{\"reason\":13,\"message\":\"[Control character (< 0x20) found in Url]\","
            "\"winError\":0,\"request\":\"GET /a\\\"b\\\\c\\u0001\\u00e9\\u00c3\\u00a9\\u00c2\\u009b"
            "\\u009b HTTP/1.1\"}]}\n");
  for (unsigned char c : r.out) EXPECT_LT(c, 0x80) << "the output is plain ASCII";
}

// The text output never hands a terminal the raw control bytes of a request
// or a policy entry: C0 and C1 controls, and bytes that are no UTF-8.
TEST(ToolTest, TextOutputShowsControlBytesEscaped) {
  TempDir dir;
  std::string ini = dir.File("p.ini");
  // Denied header names are matched before their bytes are judged, so a
  // list entry can carry an escape sequence into the message.
  WriteTextFile(ini, SmallPolicy("DenyHeaderName=1\n",
                                 "[DenyHeaderName]\n\x1b[2J\n\xC2\x9B" "2J\n\x9B" "2J\n"
                                 "\xC3\xA9t\xC3\xA9\n"));
  struct Case {
    std::string header;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"\x1b[2J", "\\x1b[2J"},
      {"\xC2\x9B" "2J", "\\xc2\\x9b2J"},
      {"\x9B" "2J", "\\x9b2J"},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},  // well-formed UTF-8 is shown as it is
  };
  for (const Case& c : cases) {
    RunResult r = RunTool({"check", "-c", ini, "-"}, "GET / HTTP/1.1\r\n" + c.header + ": x\r\n\r\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.out)[0], "<stdin> #1: blocked, reason 26 [Unallowed header name '" +
                                   c.shown + "']");
  }
}

// Requests are told apart by their framing; each is screened on its own, so
// a request after a body is judged as a request and not as body bytes.
TEST(ToolTest, FramingSplitsAConnectionIntoRequests) {
  TempDir dir;
  std::string ini = dir.File("p.ini");
  WriteTextFile(ini, SmallPolicy());
  const std::string post = "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nTRACE";
  const std::string chunked =
      "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 2\r\n\r\n"
      "3;x=y\r\nabc\r\n0\r\nTrailer: t\r\n\r\n";
  const std::string trace = "TRACE / HTTP/1.1\r\n\r\n";
  struct Case {
    std::string name;
    std::string input;
    std::string expected;  // "verdict bytes complete" per request
  };
  const std::vector<Case> cases = {
      {"two requests", std::string(kGet) + std::string(kGet), "passed 27 true|passed 27 true|"},
      {"body by Content-Length", post + trace, "passed 43 true|blocked 20 true|"},
      // Framings two servers could read differently are refused, and what
      // follows them is reported with them: nobody can tell where it starts.
      {"chunked with Content-Length is refused", chunked + trace, "blocked 121 true|"},
      {"line ends after the last request", std::string(kGet) + "\r\n\r\n", "passed 27 true|"},
      {"leading line end", "\r\n" + std::string(kGet), "passed 29 true|"},
      {"body cut short", "POST / HTTP/1.1\r\nContent-Length: 50\r\n\r\nabc", "passed 42 false|"},
      {"headers cut short", "GET / HTTP/1.1\r\nHost: a\r\n", "passed 25 false|"},
      {"chunk cut short", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab",
       "passed 52 false|"},
      {"an unknown coding is refused",
       "POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\nxx" + trace, "blocked 66 true|"},
      {"conflicting lengths are refused",
       "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxx" + trace,
       "blocked 79 true|"},
  };
  std::regex object("\"verdict\":\"([a-z-]+)\".*\"bytes\":([0-9]+),\"complete\":(true|false)");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult r = RunTool({"check", "-c", ini, "--format", "json", "-"}, c.input);
    std::string got;
    for (const std::string& line : Lines(r.out)) {
      std::smatch m;
      ASSERT_TRUE(std::regex_search(line, m, object)) << line;
      got += m[1].str() + " " + m[2].str() + " " + m[3].str() + "|";
    }
    EXPECT_EQ(got, c.expected);
  }
}

// However the bytes are split into chunks, the filter reaches the same
// verdicts on the example requests.
TEST(ToolTest, ChunkingDoesNotChangeTheVerdicts) {
  std::vector<std::string> args = {"check", "-c", ExamplePolicy(), "--format", "json"};
  for (const std::string& f : ExampleRequests()) args.push_back(f);
  std::regex decision("\"index\":([0-9]+),\"verdict\":\"([a-z-]+)\",\"reason\":([0-9]+)");
  auto decisions = [&](std::vector<std::string> extra) {
    std::vector<std::string> a = args;
    a.insert(a.begin() + 3, extra.begin(), extra.end());
    RunResult r = RunTool(a);
    EXPECT_EQ(r.status, 1);
    std::string all;
    for (const std::string& line : Lines(r.out)) {
      std::smatch m;
      if (std::regex_search(line, m, decision)) all += m[1].str() + m[2].str() + m[3].str() + "\n";
    }
    return all;
  };
  std::string whole = decisions({});
  EXPECT_EQ(Lines(whole).size(), 40u);
  EXPECT_EQ(decisions({"--chunk", "1"}), whole);
  EXPECT_EQ(decisions({"--chunk", "7"}), whole);
  EXPECT_EQ(decisions({"--chunk", "random", "--seed", "1"}), whole);
  EXPECT_EQ(decisions({"--chunk", "random", "--seed", "99"}), whole);
}

// After a rejection that Simulate mode lets through, the filter has freed
// the connection's context: the rest of the request arrives as the start of
// a new one and is logged again. The tool reports every record.
TEST(ToolTest, SimulateModeReportsEveryRecordOfARequest) {
  TempDir dir;
  std::string ini = dir.File("p.ini");
  WriteTextFile(ini, SmallPolicy("Simulate=1\nUrlMaxLen=10\n"));
  std::string request = "GET /aaaaaaaaaaaaaaaaaaaa HTTP/1.1\r\nHost: a\r\n\r\n";

  RunResult whole = RunTool({"check", "-c", ini, "-"}, request);
  EXPECT_EQ(whole.status, 0);
  EXPECT_EQ(whole.out,
            "<stdin> #1: passed in Simulate mode, reason 6 [Url exceeds allowed length]\n"
            "1 request in 1 file: 0 passed, 1 passed in Simulate mode, 0 blocked\n");

  RunResult chunked = RunTool({"check", "-c", ini, "--chunk", "16", "-"}, request);
  EXPECT_EQ(chunked.status, 0);
  std::vector<std::string> lines = Lines(chunked.out);
  ASSERT_GE(lines.size(), 3u) << chunked.out;
  EXPECT_EQ(lines[0], "<stdin> #1: passed in Simulate mode, reason 6 [Url exceeds allowed length]");
  EXPECT_EQ(lines[1],
            "<stdin> #1:   also logged: reason 3 [Request does not contain allowed verb]");

  RunResult json = RunTool({"check", "-c", ini, "--chunk", "16", "--format", "json", "-"}, request);
  EXPECT_NE(json.out.find("\"verdict\":\"passed-simulate\",\"reason\":6,"), std::string::npos);
  EXPECT_NE(json.out.find("{\"reason\":3,\"message\":\"[Request does not contain allowed verb]\","
                          "\"winError\":0,\"request\":\"aaaaaaaaa HTTP/1\"}"),
            std::string::npos)
      << json.out;
}

// Without --log the tool keeps no log: its private directory is gone and
// nothing appears beside the policy file.
TEST(ToolTest, NothingIsLeftBehindWithoutLog) {
  TempDir dir, tmp;
  std::string ini = dir.File("Ravelgard.ini");
  WriteTextFile(ini, SmallPolicy());
  EXPECT_EQ(RunTool({"check", "-c", ini, "-"}, "TRACE / HTTP/1.1\r\n\r\n", tmp.path).status, 1);
  EXPECT_EQ(RunTool({"config", "-c", ini}, "", tmp.path).status, 0);

  // A reader that has gone away (ravelgard check ... | head) does not keep
  // the tool from cleaning up.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    setenv("TMPDIR", tmp.path.c_str(), 1);
    std::string request = ExampleRequest("01-get-home.http");
    execl(RG_TOOL_PATH, RG_TOOL_PATH, "check", "-c", ini.c_str(), request.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(fs::is_empty(tmp.path));
  EXPECT_FALSE(fs::exists(dir.File("LogFiles")));
}

// The summary printed is the one the log gets, with LF line ends and the
// log directory the module would use rather than the tool's private one.
TEST(ToolTest, ConfigPrintsTheLogsSummary) {
  TempDir dir;
  std::string ini = dir.File("Ravelgard.ini");
  WriteTextFile(ini, SmallPolicy("UrlMaxLen=100\nSimulate=1\n"));
  RunResult r = RunTool({"config", "-c", ini});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");

  TempDir logs;
  EngineOptions options;
  options.logDirectory = logs.path.c_str();
  EnginePolicy* loaded = nullptr;
  ASSERT_EQ(LoadEnginePolicy(ini.c_str(), &options, &loaded), 0u);
  PolicyRef policy(loaded);
  std::string expected;
  ForEachSummaryLine(
      policy.Record(),
      [](void* user, const char* line, uint32_t length) {
        static_cast<std::string*>(user)->append(line, length);
      },
      &expected);
  std::string lf;
  for (const std::string& line : Lines(expected)) {
    std::string text = line.substr(0, line.size() - 1);  // the CR
    if (text == "# Log files in " + logs.path) text = "# Log files in " + dir.File("LogFiles");
    lf += text + "\n";
  }
  EXPECT_EQ(r.out, lf);
  EXPECT_NE(r.out.find("# Enforce maximum Url size of 100 bytes\n"), std::string::npos);
  EXPECT_NE(r.out.find("# Enforce maximum Request Head size of 65536 bytes\n"), std::string::npos);

  WriteTextFile(dir.File("other.ini"), SmallPolicy("LogFilesDir=/var/log/rg/\n"));
  RunResult custom = RunTool({"config", "-c", dir.File("other.ini")});
  EXPECT_NE(custom.out.find("\n# Log files in /var/log/rg\n"), std::string::npos) << custom.out;

  // Policy text reaches the terminal escaped: C0 and C1 controls in list
  // entries and in the log directory (the log itself keeps the bytes).
  WriteTextFile(dir.File("escapes.ini"),
                SmallPolicy("LogFilesDir=/var/log/\x1b]0;x\x07\n", "\x1b[2J\n\xC2\x9B" "1m\n"));
  RunResult escaped = RunTool({"config", "-c", dir.File("escapes.ini")});
  EXPECT_EQ(escaped.status, 0);
  EXPECT_NE(escaped.out.find("# \t\\x1b[2J\n# \t\\xc2\\x9b1m\n"), std::string::npos)
      << escaped.out;
  EXPECT_NE(escaped.out.find("\n# Log files in /var/log/\\x1b]0;x\\x07\n"), std::string::npos)
      << escaped.out;
}

TEST(ToolTest, ConfigWarnsAboutEachTrap) {
  struct Case {
    std::string name;
    std::string ini;
    std::vector<std::string> warnings;  // "LINE: TEXT"
  };
  const std::vector<Case> cases = {
      {"unknown key", "[Globals]\nUrlMaxLen=10\nAlowDotInUrl=1\n",
       {"3: unknown key 'AlowDotInUrl' in [Globals]; did you mean 'AllowDotInUrl'?"}},
      {"length key in another case", "[Globals]\nurlmaxlen=100\n",
       {"2: key 'urlmaxlen' is ignored: the length keys must be written with exact letter case, "
        "'UrlMaxLen'"}},
      {"other key in another case", "[Globals]\nverballow=1\n",
       {"2: key 'verballow' differs in letter case from 'VerbAllow' (it is read, but the length "
        "keys would not be)"}},
      {"length key found by its prefix", "[Globals]\nUrlMaxLength=9\n",
       {"2: key 'UrlMaxLength' is taken for 'UrlMaxLen' because it begins with that name; with no "
        "'UrlMaxLen' key the limit reads as -1, which limits nothing"}},
      {"length key without a value", "[Globals]\nPayloadMaxLen\n",
       {"2: line 'PayloadMaxLen' has no '=', yet it switches the limit on; with no value the "
        "limit reads as -1, which limits nothing"}},
      {"prefix with the exact key present", "[Globals]\nQueryMaxLength=9\nQueryMaxLen=50\n",
       {"2: unknown key 'QueryMaxLength' in [Globals]; did you mean 'QueryMaxLen'? (it switches "
        "the limit on, but the value comes from line 3)"}},
      {"inline comment", "[VerbAllow]\nGET ; the usual\n",
       {"2: entry 'GET ; the usual' holds a ';' comment; comments must stand on a line of their "
        "own, here the whole line is the entry"}},
      {"inline comment in a sequence list", "[DenyQuerySequence]\n;;\n<script  ; xss\n",
       {"3: entry '<script  ; xss' holds a ';' comment; comments must stand on a line of their "
        "own, here the whole line is the entry"}},
      {"blank the reader keeps", "[ExtensionAllow]\n.htm\xC2\xA0\n.asp \t\n",
       {"2: entry '.htm\xC2\xA0' begins or ends with a no-break space, which is kept as part of "
        "the entry"}},
      {"extension without dot", "[ExtensionAllow]\n.htm\nhtml\n",
       {"3: extension 'html' has no leading dot and can never match; write '.html'"}},
      {"duplicate entry", "[ExtensionAllow]\n.htm\n.HTM\n[VerbAllow]\nGET\nget\n",
       {"3: entry '.HTM' is listed again (first on line 2)"}},
      {"deny section under allow mode", "[Globals]\nVerbAllow=1\n[VerbDeny]\nTRACE\n",
       {"3: section [VerbDeny] is not read: VerbAllow is 1, which selects [VerbAllow]"}},
      {"allow section under deny mode", "[Globals]\nExtensionAllow=0\n[ExtensionAllow]\n.htm\n",
       {"3: section [ExtensionAllow] is not read: ExtensionAllow is 0, which selects "
        "[ExtensionDeny]"}},
      {"list switched off", "[Globals]\nDenyUrlSequence=0\n[DenyUrlSequence]\n..\n",
       {"3: section [DenyUrlSequence] is not read: DenyUrlSequence is 0"}},
      {"limit line without '='", "[ValidMaxLenByHeader]\nCookie 900\nReferer=512\n",
       {"2: line 'Cookie 900' in [ValidMaxLenByHeader] has no '=' and is skipped; write "
        "Name=limit"}},
      {"limit that is no number", "[ValidMaxLenByHeader]\nCookie=lots\n",
       {"2: the limit 'lots' of header 'Cookie' is not a number and reads as 0, which refuses "
        "every non-empty value"}},
      {"header limited twice", "[ValidMaxLenByHeader]\nCookie=10\ncookie=5\n",
       {"3: header 'cookie' is listed again; its limit is looked up by name, so this line gets "
        "the limit of line 2 (10)"}},
      {"switch that is no number", "[Globals]\nSimulate=yes\n",
       {"2: the value 'yes' of 'Simulate' is not a number and reads as 0"}},
      // The reader takes a leading '+' as it takes a '-', but not quotes.
      {"signed numbers", "[Globals]\nUrlMaxLen=+77\nQueryMaxLen=-1\n", {}},
      {"a number in quotes", "[Globals]\nQueryMaxLen=\"12\"\n",
       {"2: the value '\"12\"' of 'QueryMaxLen' is not a number and reads as 0"}},
      {"key set twice", "[Globals]\nSimulate=1\nSimulate=0\n",
       {"3: key 'Simulate' is set again; only the first setting (line 2) is read"}},
      {"section given twice", "[VerbAllow]\nGET\n[verballow]\nPOST\n",
       {"3: section [verballow] appears again; only the first one (line 1) is read"}},
      {"unknown section", "[VerbAlow]\nGET\n",
       {"1: unknown section [VerbAlow] is never read; did you mean [VerbAllow]?"}},
      {"line before any section", "Simulate=1\n[Globals]\n",
       {"1: line before the first section is ignored"}},
      {"byte order mark", "\xEF\xBB\xBF[Globals]\nSimulate=1\n",
       {"1: the file begins with a UTF-8 byte order mark, which the reader takes as part of the "
        "first line; save it without one",
        "1: line before the first section is ignored",
        "2: line before the first section is ignored"}},
      {"escape sequences in a section name and a repeated limit",
       "[\x1b[2J]\nx\n[ValidMaxLenByHeader]\nCookie=9\x1b[31m\ncookie=5\n[\xC2\x9B" "1m]\n",
       {"1: unknown section [\\x1b[2J] is never read; did you mean [Globals]?",
        "5: header 'cookie' is listed again; its limit is looked up by name, so this line gets "
        "the limit of line 4 (9\\x1b[31m)",
        "6: unknown section [\\xc2\\x9b1m] is never read; did you mean [Globals]?"}},
      {"UTF-16 with a byte order mark",
       Bytes("\xFF\xFE[\0G\0]\0\r\0\n\0S\0=\0" "1\0\r\0\n\0"),
       {"1: the file is UTF-16 text (it begins with the byte order mark FF FE); the reader takes "
        "it byte by byte and finds no section or key in it: every setting keeps its default and "
        "every list is empty, so no verb is allowed and every request is refused; save it as "
        "ASCII or UTF-8"}},
      {"UTF-16 big-endian", Bytes("\xFE\xFF\0[\0G\0]\0\n"),
       {"1: the file is UTF-16 text (it begins with the byte order mark FE FF); the reader takes "
        "it byte by byte and finds no section or key in it: every setting keeps its default and "
        "every list is empty, so no verb is allowed and every request is refused; save it as "
        "ASCII or UTF-8"}},
      {"UTF-16 without a byte order mark",
       Bytes("[\0G\0]\0\r\0\n\0S\0=\0" "1\0\r\0\n\0"),
       {"1: the file looks like UTF-16 text without a byte order mark (a NUL beside every "
        "character); the reader takes it byte by byte and finds no section or key in it: every "
        "setting keeps its default and every list is empty, so no verb is allowed and every "
        "request is refused; save it as ASCII or UTF-8"}},
      {"CR-only line ends", "[Globals]\rSimulate=1\r[VerbAllow]\rGET\r",
       {"1: the file's lines end in CR alone; the reader ends a line at LF only, so the whole "
        "file is one line and no key or list entry is read: every setting keeps its default and "
        "every list is empty, so no verb is allowed and every request is refused; save it with "
        "LF or CR LF line ends"}},
      {"a CR-only line end among LF ones", "[Globals]\nSimulate=1\rUrlMaxLen=5\r\n",
       {"2: line 'Simulate=1\\x0dUrlMaxLen=5' holds a CR that does not end it; the reader ends "
        "a line at LF only, so what follows the CR belongs to the same line"}},
      {"clean", "; comment\n[Globals]\nUrlMaxLen=10\r\n  VerbAllow = 0  \n[VerbDeny]\nTRACE\n", {}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string ini = dir.File("lint.ini");
    WriteTextFile(ini, c.ini);
    RunResult r = RunTool({"config", "-q", "-c", ini});
    std::string expected;
    for (const std::string& w : c.warnings) {
      size_t colon = w.find(": ");
      expected += ini + ":" + w.substr(0, colon) + ": warning: " + w.substr(colon + 2) + "\n";
    }
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    RunResult strict = RunTool({"config", "-q", "--strict", "-c", ini});
    EXPECT_EQ(strict.status, c.warnings.empty() ? 0 : 1);
  }
}

// A million entries and a hundred thousand sections: the policy loads and
// is linted with every duplicate found however far apart its lines stand
// (each check is a lookup, not a search of all earlier lines, which took
// minutes here). A hang is ended by the watchdog.
TEST(ToolTest, ConfigOfAMillionEntries) {
  const int kPerList = 200000, kSections = 100000;
  std::string text = "[Globals]\nVerbAllow=0\nExtensionAllow=0\nSimulate=1\n[VerbDeny]\n";
  uint32_t line = 5;
  for (int i = 0; i < kPerList; ++i, ++line) text += "VERB" + std::to_string(i) + "\n";
  text += "VERB0\n";  // listed again, a whole list later
  const uint32_t verbAgain = ++line;
  text += "[ExtensionDeny]\n";
  ++line;
  for (int i = 0; i < kPerList; ++i, ++line) text += ".x" + std::to_string(i) + "\n";
  text += "[DenyUrlSequence]\n";
  ++line;
  for (int i = 0; i < kPerList; ++i, ++line) text += "seq" + std::to_string(i) + "\n";
  text += "[ValidMaxLenByHeader]\n";
  const uint32_t firstLimit = ++line + 1;
  for (int i = 0; i < kPerList; ++i, ++line)
    text.append("H").append(std::to_string(i)).append("=").append(std::to_string(i)).append("\n");
  text += "h0=5\n";  // the first header again, in another case
  const uint32_t limitAgain = ++line;
  text += "[DenyQuerySequence]\n";
  ++line;
  for (int i = 0; i < kPerList; ++i, ++line) text.append("q").append(std::to_string(i)).append("\n");
  for (int i = 0; i < kSections; ++i, line += 2) text += "[Sec" + std::to_string(i) + "]\na=1\n";
  text += "[verbdeny]\nX\n";
  const uint32_t sectionAgain = ++line;

  TempDir dir;
  std::string ini = dir.File("big.ini");
  WriteTextFile(ini, text);
  RunResult r = RunTool({"config", "-q", "-c", ini}, "", "", 600);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  std::vector<std::string> warnings = Lines(r.err);
  EXPECT_EQ(warnings.size(), size_t(kSections) + 3);
  auto has = [&](uint32_t at, const std::string& message) {
    std::string expected = ini + ":" + std::to_string(at) + ": warning: " + message;
    return std::find(warnings.begin(), warnings.end(), expected) != warnings.end();
  };
  EXPECT_TRUE(has(verbAgain, "entry 'VERB0' is listed again (first on line 6)"));
  EXPECT_TRUE(has(limitAgain, "header 'h0' is listed again; its limit is looked up by name, so "
                              "this line gets the limit of line " +
                                  std::to_string(firstLimit) + " (0)"));
  EXPECT_TRUE(has(sectionAgain, "section [verbdeny] appears again; only the first one (line 5) "
                                "is read"));
}

TEST(ToolTest, ExamplePolicyLoadsWithoutWarnings) {
  RunResult r = RunTool({"config", "--strict", "-c", ExamplePolicy()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("# Remove Banner\n"), std::string::npos);
}


// A recording far larger than the memory the command may use: it is read a
// block at a time and every request reported as it ends, so its memory stays
// the same whatever the size of the input.
struct StreamRun {
  int status = -1;
  long maxResidentKiB = 0;
  std::string out;
};

// Pipes `requests` POSTs of 4 MiB each through `ravelgard check -`.
StreamRun StreamThroughCheck(const std::string& ini, int requests) {
  StreamRun run;
  int toTool[2];
  int fromTool[2];
  if (pipe(toTool) != 0 || pipe(fromTool) != 0) return run;
  pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    dup2(toTool[0], 0);
    dup2(fromTool[1], 1);
    close(toTool[1]);
    close(fromTool[0]);
    execl(RG_TOOL_PATH, RG_TOOL_PATH, "check", "-c", ini.c_str(), "-", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toTool[0]);
  close(fromTool[1]);
  constexpr size_t kBody = 4u << 20;
  std::string head = "POST /a HTTP/1.1\r\nHost: a\r\nContent-Length: " + std::to_string(kBody) +
                     "\r\n\r\n";
  std::string body(1u << 16, 'x');
  bool failed = false;
  for (int r = 0; r < requests && !failed; ++r) {
    failed = write(toTool[1], head.data(), head.size()) != ssize_t(head.size());
    for (size_t sent = 0; sent < kBody && !failed; sent += body.size())
      failed = write(toTool[1], body.data(), body.size()) != ssize_t(body.size());
  }
  close(toTool[1]);
  char buffer[4096];
  for (ssize_t got; (got = read(fromTool[0], buffer, sizeof buffer)) > 0;) run.out.append(buffer, got);
  close(fromTool[0]);
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) && !failed)
    run.status = WEXITSTATUS(status);
  run.maxResidentKiB = usage.ru_maxrss;
  return run;
}

TEST(ToolTest, StandardInputIsStreamedWithBoundedMemory) {
  TempDir dir;
  std::string ini = dir.File("p.ini");
  WriteTextFile(ini, SmallPolicy("AllowHighBitInPayload=1\n"));
  // 16 MiB and 256 MiB through standard input: the command's memory does not
  // grow with the input (measured against the small run, so that a
  // sanitizer's own memory does not count).
  StreamRun small = StreamThroughCheck(ini, 4);
  StreamRun large = StreamThroughCheck(ini, 64);
  EXPECT_EQ(small.status, 0) << small.out;
  EXPECT_EQ(large.status, 0) << large.out;
  EXPECT_NE(large.out.find("64 requests in 1 file: 64 passed, 0 blocked"), std::string::npos)
      << large.out;
  EXPECT_LT(large.maxResidentKiB - small.maxResidentKiB, 16 * 1024)
      << "KiB: " << small.maxResidentKiB << " for 16 MiB, " << large.maxResidentKiB
      << " for 256 MiB";
}

}  // namespace
}  // namespace rg::test
