// Requests with the scanner's verdict on them, shared by the scanner tests
// (which send each one whole) and the chunking tests (which send each one in
// every kind of piece).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "filter/context.h"
#include "log/reason.h"
#include "policy/policy.h"
#include "kit/test_kit.h"

namespace rg::test {

using PolicySetup = void (*)(FilterPolicy*);

// What a scan ends in: the state, and the reason with its entry index.
struct ScanOutcome {
  uint32_t state;
  uint32_t reason;
  uint32_t matchIndex;
};

inline bool operator==(const ScanOutcome& a, const ScanOutcome& b) {
  return a.state == b.state && a.reason == b.reason && a.matchIndex == b.matchIndex;
}

inline std::string Describe(const ScanOutcome& o) {
  return "{state " + std::to_string(o.state) + ", reason " + std::to_string(o.reason) +
         ", matchIndex " + std::to_string(o.matchIndex) + "}";
}

struct ScanCase {
  const char* name;
  PolicySetup setup;  // applied to the base policy; null for none
  std::string request;
  ScanOutcome whole;  // the request sent as one chunk
  // Sent one byte at a time, when that differs: an early rule judged an
  // element that had not ended yet (see the chunking tests). Smaller pieces
  // then end in `whole` or in `byteWise`, depending on where they split.
  bool differsByteWise = false;
  ScanOutcome byteWise = {};
};

// The policy the cases start from: a few allowed verbs, HTTP/1.0 and 1.1,
// the hosts "host" and "host:80", denied extensions .exe and .ini, and the
// loader's defaults otherwise (URL and query canonicalized twice).
inline FilterPolicy* NewScanPolicy() {
  FilterPolicy* p = NewDefaultPolicy();
  SetList(&p->Verbs, {"GET", "HEAD", "POST", "OPTIONS"});
  SetVersions(&p->HttpVersions, {"HTTP/1.0", "HTTP/1.1"});
  SetList(&p->HostPorts, {"host", "host:80"});
  p->Extensions.flag = 0;
  SetList(&p->Extensions, {".exe", ".ini"});
  return p;
}

inline std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

constexpr ScanOutcome Passing(uint32_t state) { return {state, 0, 0}; }
constexpr ScanOutcome Refused(uint32_t reason, uint32_t matchIndex = 0) {
  return {kStateRejected, reason, matchIndex};
}

inline std::vector<ScanCase> ScanCases() {
  using std::string;
  const ScanOutcome payload = Passing(kStatePayload);
  std::vector<ScanCase> cases = {
      // Requests that pass.
      {"minimal", nullptr, "GET / HTTP/1.1\r\nHost: host\r\n\r\n", payload},
      {"query and headers", nullptr,
       "GET /index.htm?a=1&b=/x.y HTTP/1.1\r\nHost: host:80\r\nAccept: */*\r\n"
       "Cookie: a=\"b c\"; d=e\r\n\r\n",
       payload},
      {"body", nullptr,
       "POST /form HTTP/1.1\r\nHost: host\r\nContent-Length: 5\r\n\r\nhello", payload},
      {"no headers", nullptr, "GET / HTTP/1.0\r\n\r\n", payload},
      {"asterisk form", nullptr, "OPTIONS * HTTP/1.1\r\n\r\n", payload},
      {"empty header name", nullptr, "GET / HTTP/1.1\r\n: x\r\n\r\n", payload},
      {"colon inside a value", nullptr, "GET / HTTP/1.1\r\nHost: host:80\r\n\r\n", payload},
      {"absolute URL", nullptr, "GET http://host:80/a HTTP/1.1\r\n\r\n", payload},
      {"one leading CR LF skipped", nullptr, "\r\nGET / HTTP/1.1\r\n\r\n", payload},
      {"pipelined request is body", nullptr,
       "GET / HTTP/1.1\r\n\r\nGET /x.exe HTTP/1.1\r\n\r\n", payload},
      {"fragment not examined", [](FilterPolicy* p) { SetList(&p->QuerySequences, {"c"}); },
       "GET /a#b?c HTTP/1.1\r\n\r\n", payload},
      {"query runs past '#'", [](FilterPolicy* p) { p->HasQueryMaxLen = 1, p->QueryMaxLen = 3; },
       "GET /a?b#c HTTP/1.1\r\n\r\n", payload},
      {"two SP before an untested version", [](FilterPolicy* p) { p->HttpVersions.flag = 0; },
       "GET /a  HTTP/1.1\r\n\r\n", payload},
      {"high bit in URL is not body",
       [](FilterPolicy* p) { p->AllowHighBitInUrl = 1; },
       "GET /\xE9 HTTP/1.1\r\n\r\nabc", payload},
      {"body at the payload limit", [](FilterPolicy* p) { p->HasPayloadMaxLen = 1, p->PayloadMaxLen = 10; },
       "POST / HTTP/1.1\r\n\r\n0123456789", payload},
      {"high-bit body allowed", [](FilterPolicy* p) { p->AllowHighBitInPayload = 1; },
       "POST / HTTP/1.1\r\n\r\n\x80\xFF", payload},

      // Requests still waiting for their next element.
      {"waits in verb", nullptr, "GET", Passing(kStateVerb)},
      {"waits after verb", nullptr, "GET ", Passing(kStateAfterVerb)},
      {"waits in URL", nullptr, "GET /a", Passing(kStateUrl)},
      {"waits in query", nullptr, "GET /a?b", Passing(kStateQuery)},
      {"waits in fragment", nullptr, "GET /a#b", Passing(kStateFragment)},
      {"waits in version", nullptr, "GET /a HTTP/1.", Passing(kStateVersion)},
      {"waits in header name", nullptr, "GET / HTTP/1.1\r\nHo", Passing(kStateHeaderName)},
      {"waits in header value", nullptr, "GET / HTTP/1.1\r\nHost: ho", Passing(kStateHeaderValue)},
      {"waits before the empty line", nullptr, "GET / HTTP/1.1\r\nHost: host\r\n",
       Passing(kStateHeaderName)},
      {"deny mode never judges an unfinished verb", [](FilterPolicy* p) { p->Verbs.flag = 0; },
       "PROPFINDPROPFINDPROPFIND", Passing(kStateVerb)},
      {"LF-only lines wait without versions", [](FilterPolicy* p) { p->HttpVersions.flag = 0; },
       "GET / HTTP/1.1\nHost: host\n\n", Passing(kStateVersion)},

      // Reasons the scanner sets itself.
      {"second leading CR LF joins the verb", nullptr, "\r\n\r\nGET / HTTP/1.1\r\n\r\n",
       Refused(kReasonVerbNotAllowed), true, Refused(kReasonIncorrectRequestLine)},
      {"version missing", nullptr, "GET /a\r\n\r\n", Refused(kReasonIncorrectRequestLine)},
      {"URL runs into the headers", nullptr, "GET /a\r\nHost: host\r\n\r\n",
       Refused(kReasonUrlControl), true, Refused(kReasonIncorrectRequestLine)},
      {"verb ends after the line", nullptr, "G\r\nET / HTTP/1.1\r\n\r\n",
       Refused(kReasonVerbNotAllowed), true, Refused(kReasonIncorrectRequestLine)},
      {"two SP after verb", nullptr, "GET  / HTTP/1.1\r\n\r\n", Refused(kReasonMultipleSpaces)},
      {"three SP after verb", nullptr, "GET   / HTTP/1.1\r\n\r\n", Refused(kReasonMultipleSpaces)},
      {"verb not allowed", nullptr, "DELETE / HTTP/1.1\r\n\r\n", Refused(kReasonVerbNotAllowed)},
      {"verb too long for any entry", nullptr, "MKCALENDAR / HTTP/1.1\r\n\r\n",
       Refused(kReasonVerbNotAllowed)},
      {"verbs compare with case", nullptr, "get / HTTP/1.1\r\n\r\n", Refused(kReasonVerbNotAllowed)},
      {"denied verb names its entry",
       [](FilterPolicy* p) { p->Verbs.flag = 0, SetList(&p->Verbs, {"TRACE", "PROPFIND"}); },
       "PROPFIND / HTTP/1.1\r\n\r\n", Refused(kReasonVerbDenied, 1)},
      {"URL too long", [](FilterPolicy* p) { p->HasUrlMaxLen = 1, p->UrlMaxLen = 10; },
       "GET /abcdefghij HTTP/1.1\r\n\r\n", Refused(kReasonUrlTooLong)},
      {"absolute URL measured by its path",
       [](FilterPolicy* p) { p->HasUrlMaxLen = 1, p->UrlMaxLen = 10; },
       "GET http://host:80/abcdefghi HTTP/1.1\r\n\r\n", payload, true,
       Refused(kReasonUrlTooLong)},
      {"query too long", [](FilterPolicy* p) { p->HasQueryMaxLen = 1, p->QueryMaxLen = 2; },
       "GET /a?b#c HTTP/1.1\r\n\r\n", Refused(kReasonQueryTooLong)},
      {"version not allowed", nullptr, "GET / HTTP/2.0\r\n\r\n", Refused(kReasonHttpVersion)},
      {"two SP before a tested version", nullptr, "GET /a  HTTP/1.1\r\n\r\n",
       Refused(kReasonHttpVersion)},
      {"text after the version", nullptr, "GET / HTTP/1.1 x\r\n\r\n", Refused(kReasonHttpVersion)},
      {"LF-only lines", nullptr, "GET / HTTP/1.1\nHost: host\n\n", Refused(kReasonHttpVersion)},
      {"header without colon", nullptr, "GET / HTTP/1.1\r\nfoo\r\n\r\n",
       Refused(kReasonHeaderSeparator)},
      {"line without colon before a header", nullptr,
       "GET / HTTP/1.1\r\nno colon on this line\r\nHost: host\r\n\r\n",
       Refused(kReasonHeaderSeparator)},
      {"header of spaces", nullptr, "GET / HTTP/1.1\r\n   \r\n\r\n", Refused(kReasonHeaderSeparator)},
      {"header name too long",
       [](FilterPolicy* p) { p->HasHeaderNameMaxLen = 1, p->HeaderNameMaxLen = 4; },
       "GET / HTTP/1.1\r\nHosts: host\r\n\r\n", Refused(kReasonHeaderNameTooLong)},
      {"header name at its limit",
       [](FilterPolicy* p) { p->HasHeaderNameMaxLen = 1, p->HeaderNameMaxLen = 4; },
       "GET / HTTP/1.1\r\nHost: host\r\n\r\n", payload},
      {"long line without colon",
       [](FilterPolicy* p) { p->HasHeaderNameMaxLen = 1, p->HeaderNameMaxLen = 4; },
       "GET / HTTP/1.1\r\nabcdefgh\r\n\r\n", Refused(kReasonHeaderSeparator), true,
       Refused(kReasonHeaderNameTooLong)},
      {"header value too long",
       [](FilterPolicy* p) { p->HasHeaderValueMaxLen = 1, p->HeaderValueMaxLen = 4; },
       "GET / HTTP/1.1\r\nA:abcde\r\n\r\n", Refused(kReasonHeaderValueTooLong)},
      {"header value at its limit",
       [](FilterPolicy* p) { p->HasHeaderValueMaxLen = 1, p->HeaderValueMaxLen = 4; },
       "GET / HTTP/1.1\r\nA:abcd\r\n\r\n", payload, true, Refused(kReasonHeaderValueTooLong)},
      {"body over the payload limit",
       [](FilterPolicy* p) { p->HasPayloadMaxLen = 1, p->PayloadMaxLen = 10; },
       "POST / HTTP/1.1\r\n\r\n0123456789A", Refused(kReasonPayloadTooLong)},
      {"high bit in body", nullptr, "POST / HTTP/1.1\r\nHost: host\r\n\r\nab\xE9",
       Refused(kReasonPayloadHighBit)},
      {"high bit deep in a long body", nullptr,
       "POST / HTTP/1.1\r\n\r\n" + string(45, 'a') + "\xC0" + string(70, 'b'),
       Refused(kReasonPayloadHighBit)},
      // The body that comes with the headers is tested for high bits before
      // it is measured; a body that comes later is measured chunk by chunk.
      {"body too long and high-bit",
       [](FilterPolicy* p) { p->HasPayloadMaxLen = 1, p->PayloadMaxLen = 2; },
       "POST / HTTP/1.1\r\n\r\nabc\xE9", Refused(kReasonPayloadHighBit), true,
       Refused(kReasonPayloadTooLong)},

      // Reasons of the element checks, reached through the scanner.
      {"host not allowed", nullptr, "GET http://other/a HTTP/1.1\r\n\r\n",
       Refused(kReasonHostPortInSchema)},
      {"empty URL", nullptr, "GET ?a HTTP/1.1\r\n\r\n", Refused(kReasonUrlBadStart)},
      {"escaped dots", nullptr, "GET /a%2e%2e/b HTTP/1.1\r\n\r\n", Refused(kReasonUrlDot)},
      {"denied extension", nullptr, "GET /a.INI HTTP/1.1\r\n\r\n", Refused(kReasonExtensionDenied, 1)},
      {"control byte in URL", nullptr, "GET /a%00 HTTP/1.1\r\n\r\n", Refused(kReasonUrlControl)},
      {"URL sequence", [](FilterPolicy* p) { SetList(&p->UrlSequences, {"..", "cmd"}); },
       "GET /scripts/CMD HTTP/1.1\r\n\r\n", Refused(kReasonUrlSequence, 1)},
      {"query sequence", [](FilterPolicy* p) { SetList(&p->QuerySequences, {"select", "#c"}); },
       "GET /a?b#c HTTP/1.1\r\n\r\n", Refused(kReasonQuerySequence, 1)},
      {"query control byte", nullptr, "GET /a?x=%0d HTTP/1.1\r\n\r\n", Refused(kReasonQueryControl)},
      {"denied header name", [](FilterPolicy* p) { SetList(&p->DeniedHeaderNames, {"X-A", "X-Bad"}); },
       "GET / HTTP/1.1\r\nx-bad: 1\r\n\r\n", Refused(kReasonHeaderNameDenied, 1)},
      {"separator in header name", nullptr, "GET / HTTP/1.1\r\nX(: 1\r\n\r\n",
       Refused(kReasonHeaderNameByte)},
      {"control byte in value", nullptr, "GET / HTTP/1.1\r\nA: a\rb\r\n\r\n",
       Refused(kReasonHeaderValueByte)},
      // A CR without its LF lengthens the element it stands in; sent a byte
      // at a time, the element's end is only found past it.
      {"lone CR ending a header value", nullptr, "GET / HTTP/1.1\r\nA: a\r\r\n\r\n",
       Refused(kReasonHeaderValueByte)},
      {"lone CR in a header name", nullptr, "GET / HTTP/1.1\r\nA\rB: 1\r\n\r\n",
       Refused(kReasonHeaderNameByte)},
      {"lone CR in the URL", nullptr, "GET /a\rb HTTP/1.1\r\n\r\n", Refused(kReasonUrlControl)},
      {"lone CR in the query", nullptr, "GET /a?b\rc HTTP/1.1\r\n\r\n",
       Refused(kReasonQueryControl)},
      {"lone CR ending the version", nullptr, "GET / HTTP/1.1\r\r\nHost: host\r\n\r\n",
       Refused(kReasonHttpVersion)},
      {"high bit in a header value", nullptr, "GET / HTTP/1.1\r\nA: \xE9\r\n\r\n",
       Refused(kReasonHeaderValueByte)},
      {"host header", nullptr, "GET / HTTP/1.1\r\nHost: other\r\n\r\n", Refused(kReasonHostHeader)},
      {"Content-Length form", nullptr, "POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\n",
       Refused(kReasonContentLengthForm)},
      {"Content-Length maximum",
       [](FilterPolicy* p) { p->HasContentLengthMaxLen = 1, p->ContentLengthMaxLen = 100; },
       "POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", Refused(kReasonContentLengthTooLarge)},
      {"per-header limit",
       [](FilterPolicy* p) { SetLimits(&p->HeaderLimits, {{"Referer", 100}, {"Cookie", 5}}); },
       "GET / HTTP/1.1\r\nCookie: abcdef\r\n\r\n", Refused(kReasonHeaderLimit, 1)},

      // The head cap: request line and headers together, whatever element
      // carries the bytes; judged once cap + 1 bytes of the head have come.
      {"fragment past the head cap", [](FilterPolicy* p) { p->MaxHeadLength = 40; },
       "GET /#" + std::string(60, 'f') + " HTTP/1.1\r\n\r\n", Refused(kReasonHeadTooLong)},
      {"header lines past the head cap", [](FilterPolicy* p) { p->MaxHeadLength = 64; },
       "GET / HTTP/1.1\r\n" + Repeat("A: b\r\n", 10) + "\r\n",
       Refused(kReasonHeadTooLong)},
      {"head exactly at the cap, body past it", [](FilterPolicy* p) { p->MaxHeadLength = 24; },
       "GET / HTTP/1.1\r\nA: b\r\n\r\n" + std::string(40, 'x'), payload},
      {"head one byte over the cap", [](FilterPolicy* p) { p->MaxHeadLength = 23; },
       "GET / HTTP/1.1\r\nA: b\r\n\r\n" + std::string(40, 'x'), Refused(kReasonHeadTooLong)},
      {"a rule broken past the cap is not reached", [](FilterPolicy* p) { p->MaxHeadLength = 24; },
       "GET / HTTP/1.1\r\nA: b\r\nBad\r\n\r\n", Refused(kReasonHeadTooLong)},
      {"a rule broken within the cap wins", [](FilterPolicy* p) { p->MaxHeadLength = 24; },
       "GET / HTTP/1.1\r\nBad\r\n" + std::string(30, 'x') + "\r\n\r\n",
       Refused(kReasonHeaderSeparator)},
      {"body past the cap judged as body", [](FilterPolicy* p) { p->MaxHeadLength = 24; },
       "GET / HTTP/1.1\r\nA: b\r\n\r\n" + std::string(40, 'x') + "\x80",
       Refused(kReasonPayloadHighBit)},
  };
  return cases;
}

}  // namespace rg::test
