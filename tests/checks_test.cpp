// The four element checks, called directly with an element as the scanner
// hands it over: each table row is a policy, an element and the verdict.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "canon/canon.h"
#include "kit/test_kit.h"
#include "log/reason.h"
#include "platform/platform.h"
#include "scan/header_line_check.h"
#include "scan/scan.h"

namespace rg::test {
namespace {

using PolicySetup = void (*)(FilterPolicy*);

// matchIndex before the check: a check that accepts, or refuses for a reason
// that names no entry, must leave it alone.
constexpr uint32_t kUntouched = 0xA5A5A5A5u;

struct Element {
  std::unique_ptr<uint8_t[]> bytes;  // exactly as long as the element
  uint32_t length;
  explicit Element(const std::string& text)
      : bytes(new uint8_t[text.empty() ? 1 : text.size()]),
        length(static_cast<uint32_t>(text.size())) {
    std::memcpy(bytes.get(), text.data(), text.size());
  }
};

struct PolicyHolder {
  FilterPolicy* policy = NewDefaultPolicy();
  explicit PolicyHolder(PolicySetup base, PolicySetup setup) {
    if (base != nullptr) base(policy);
    if (setup != nullptr) setup(policy);
  }
  ~PolicyHolder() { FreePolicy(policy); }
  PolicyHolder(const PolicyHolder&) = delete;
  PolicyHolder& operator=(const PolicyHolder&) = delete;
};

ScanContext FreshContext() {
  ScanContext context{};
  context.matchIndex = kUntouched;
  return context;
}

std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char b : text) {
    if (b >= 0x20 && b < 0x7F) {
      out += static_cast<char>(b);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", b);
      out += hex;
    }
  }
  return "'" + out + "'";
}

// Reasons whose message names a list entry by matchIndex.
bool NamesEntry(uint32_t reason) {
  return reason == kReasonExtensionDenied || reason == kReasonUrlSequence ||
         reason == kReasonQuerySequence || reason == kReasonHeaderNameDenied ||
         reason == kReasonHeaderLimit;
}

void ExpectVerdict(const ScanContext& context, uint32_t reason, uint32_t matchIndex) {
  EXPECT_EQ(context.reason, reason);
  EXPECT_EQ(context.state, 0u) << "checks never change the state";
  EXPECT_EQ(context.winError, 0u);
  if (NamesEntry(reason))
    EXPECT_EQ(context.matchIndex, matchIndex);
  else
    EXPECT_EQ(context.matchIndex, kUntouched);
}

// ---------------------------------------------------------------- URL

struct UrlCase {
  PolicySetup setup;
  std::string url;
  uint32_t reason;
  uint32_t matchIndex = 0;
};

// Deny mode with no entries, so that the extension test passes unless a
// case sets it up.
void UrlBase(FilterPolicy* p) { p->Extensions.flag = 0; }

TEST(CheckUrl, Table) {
  PolicySetup hosts = [](FilterPolicy* p) { SetList(&p->HostPorts, {"host:80"}); };
  PolicySetup max10 = [](FilterPolicy* p) {
    SetList(&p->HostPorts, {"host:80"});
    p->HasUrlMaxLen = 1;
    p->UrlMaxLen = 10;
  };
  PolicySetup allow = [](FilterPolicy* p) {
    p->Extensions.flag = 1;
    SetList(&p->Extensions, {".htm", ".asp"});
  };
  PolicySetup deny = [](FilterPolicy* p) { SetList(&p->Extensions, {".exe", ".com"}); };
  PolicySetup rawUrl = [](FilterPolicy* p) { p->CanonUrlBeforeScan = 0; };
  PolicySetup sequences = [](FilterPolicy* p) { SetList(&p->UrlSequences, {"..", "cmd"}); };
  const std::vector<UrlCase> cases = {
      // host:port of an absolute URL
      {hosts, "http://host:80/a", 0},
      {hosts, "HTTP://HOST:80/a", 0},
      {hosts, "http://host:81/a", kReasonHostPortInSchema},
      {hosts, "http://host/a", kReasonHostPortInSchema},
      {hosts, "http://user:pw@host:80/a", 0},
      {hosts, "http://a@b@host:80/a", kReasonHostPortInSchema},
      {[](FilterPolicy* p) { SetList(&p->HostPorts, {"b@host:80"}); }, "http://a@b@host:80/a", 0},
      {hosts, "http:///a", kReasonHostPortInSchema},
      {hosts, "http://host:80@/a", kReasonHostPortInSchema},  // a final '@' ends no user part
      {[](FilterPolicy* p) { SetList(&p->HostPorts, {"host:80@"}); }, "http://host:80@/a", 0},
      {hosts, "http://host:80", kReasonUrlBadStart},  // no path: not split, not a path either
      {[](FilterPolicy* p) { p->HostPorts.flag = 0; }, "http://other/a", 0},
      // length of the path
      {max10, "/abcdefghi", 0},
      {max10, "/abcdefghij", kReasonUrlTooLong},
      {max10, "http://host:80/abcdefghi", 0},
      {max10, "http://host:80/abcdefghij", kReasonUrlTooLong},
      {max10, "abcdefghijk", kReasonUrlTooLong},            // length before first byte
      {max10, "http://other/abcdefghij", kReasonHostPortInSchema},  // host before length
      // first byte, as received
      {nullptr, "*", 0},
      {nullptr, "/", 0},
      {nullptr, "", kReasonUrlBadStart},
      {nullptr, "a", kReasonUrlBadStart},
      {nullptr, "ab", kReasonUrlBadStart},
      {nullptr, "*x", kReasonUrlBadStart},
      {nullptr, "%2fa", kReasonUrlBadStart},
      // dots before the last '/'
      {nullptr, "/a.b/c", kReasonUrlDot},
      {nullptr, "/../a", kReasonUrlDot},
      {nullptr, "/a/b.c", 0},
      {[](FilterPolicy* p) { p->AllowDotInUrl = 1; }, "/a.b/c", 0},
      // extension, allow mode
      {allow, "/a.htm", 0},
      {allow, "/A.HTM", 0},
      {allow, "/a.html", kReasonExtensionNotAllowed},
      {allow, "/a.tar.gz", kReasonExtensionNotAllowed},
      {allow, "/a.", kReasonExtensionNotAllowed},
      {allow, "/a", 0},
      {allow, "/dir/", 0},
      {allow, "/", 0},
      {allow, "*", 0},
      {allow, "/a/..", kReasonExtensionNotAllowed},
      // extension, deny mode
      {deny, "/a.com", kReasonExtensionDenied, 1},
      {deny, "/A.EXE", kReasonExtensionDenied, 0},
      {deny, "/a.exe.txt", 0},
      {deny, "/a", 0},
      // canonical form
      {nullptr, "/a%2e%2e/b", kReasonUrlDot},
      {nullptr, "/x.y%2fz", kReasonUrlDot},  // the escaped '/' becomes the last one
      {allow, "/x%2fy.htm", 0},
      {allow, "/a%2eexe", kReasonExtensionNotAllowed},
      {nullptr, "/a%252e", kReasonUrlReCanonChanged},
      {[](FilterPolicy* p) { p->FailOnReCanonUrlChange = 0; }, "/a%252e", 0},
      {rawUrl, "/a%2e%2e/b", 0},
      {rawUrl, "/x.y%2fz", 0},
      // byte classes
      {nullptr, "/a%00", kReasonUrlControl},
      {nullptr, "/a%C3%A9", kReasonUrlHighBit},
      {rawUrl, "/a%00", 0},
      {rawUrl, "/a%C3%A9", 0},
      {nullptr, "/a\x7F", 0},
      {nullptr, "/a b", 0},
      {nullptr, "/\xE9\x01", kReasonUrlHighBit},
      {nullptr, "/\x01\xE9", kReasonUrlControl},
      {[](FilterPolicy* p) { p->AllowHighBitInUrl = 1; }, "/a%C3%A9", 0},
      {[](FilterPolicy* p) { p->AllowHighBitInUrl = 1; }, "/a%C3%A9%1F", kReasonUrlControl},
      // sequences
      {sequences, "/scripts/CMD", kReasonUrlSequence, 1},
      {sequences, "/%63md", kReasonUrlSequence, 1},
      {sequences, "/a/../b", kReasonUrlDot},
      {[](FilterPolicy* p) { p->AllowDotInUrl = 1, SetList(&p->UrlSequences, {"..", "cmd"}); },
       "/cmd/../b", kReasonUrlSequence, 1},  // earliest position wins over list order
      {[](FilterPolicy* p) { p->UrlSequences.flag = 0, SetList(&p->UrlSequences, {"cmd"}); },
       "/scripts/cmd", 0},
      {sequences, "/a%01cmd", kReasonUrlControl},
  };
  for (const UrlCase& c : cases) {
    SCOPED_TRACE(Printable(c.url));
    PolicyHolder policy(UrlBase, c.setup);
    Element url(c.url);
    ScanContext context = FreshContext();
    int64_t liveBefore = LiveBlockCount();
    CheckUrl(policy.policy, &context, url.bytes.get(), url.length);
    ExpectVerdict(context, c.reason, c.matchIndex);
    EXPECT_EQ(LiveBlockCount(), liveBefore);
  }
}

// ---------------------------------------------------------------- query

struct QueryCase {
  PolicySetup setup;
  std::string query;
  uint32_t reason;
  uint32_t matchIndex = 0;
};

TEST(CheckQuery, Table) {
  PolicySetup max5 = [](FilterPolicy* p) { p->HasQueryMaxLen = 1, p->QueryMaxLen = 5; };
  PolicySetup raw = [](FilterPolicy* p) { p->CanonQueryBeforeScan = 0; };
  PolicySetup highBit = [](FilterPolicy* p) { p->AllowHighBitInQuery = 1; };
  PolicySetup words = [](FilterPolicy* p) { SetList(&p->QuerySequences, {"select", "union"}); };
  const std::vector<QueryCase> cases = {
      {nullptr, "", 0},
      {raw, "", 0},
      {max5, "a=abc", 0},
      {max5, "a=abcd", kReasonQueryTooLong},
      {max5, "a=%41z", kReasonQueryTooLong},  // measured before decoding
      {nullptr, "b#c", 0},
      {nullptr, "x=/../.", 0},
      {nullptr, "\x7F", 0},
      {nullptr, "a=%0d", kReasonQueryControl},
      {nullptr, "a=%e9", kReasonQueryHighBit},
      {raw, "a=%0d", 0},
      {nullptr, "a=%2541", kReasonQueryReCanonChanged},
      {[](FilterPolicy* p) { p->FailOnReCanonQueryChange = 0; }, "a=%2541", 0},
      {[](FilterPolicy* p) {  // decoded once, then tested as a=%41
         p->FailOnReCanonQueryChange = 0;
         SetList(&p->QuerySequences, {"%41"});
       },
       "a=%2541", kReasonQuerySequence, 0},
      {highBit, "a=%e9", 0},
      {highBit, "a=%01", kReasonQueryControl},
      {nullptr, "a=\xE9\x01", kReasonQueryHighBit},
      {nullptr, "a=\x01\xE9", kReasonQueryControl},
      {words, "q=SeLeCt", kReasonQuerySequence, 0},
      {words, "q=%75nion", kReasonQuerySequence, 1},
      {[](FilterPolicy* p) { p->CanonQueryBeforeScan = 0, SetList(&p->QuerySequences, {"select", "union"}); },
       "q=%75nion", 0},
      {words, "q=union+select", kReasonQuerySequence, 1},
      {words, "q=select%01", kReasonQueryControl},  // bytes before sequences
      {[](FilterPolicy* p) { p->QuerySequences.flag = 0, SetList(&p->QuerySequences, {"select"}); },
       "q=select", 0},
  };
  for (const QueryCase& c : cases) {
    SCOPED_TRACE(Printable(c.query));
    PolicyHolder policy(nullptr, c.setup);
    Element query(c.query);
    ScanContext context = FreshContext();
    int64_t liveBefore = LiveBlockCount();
    CheckQuery(policy.policy, &context, query.bytes.get(), query.length);
    ExpectVerdict(context, c.reason, c.matchIndex);
    EXPECT_EQ(LiveBlockCount(), liveBefore);
  }
}

// ---------------------------------------------------------------- header name

struct NameCase {
  PolicySetup setup;
  std::string name;
  uint32_t reason;
  uint32_t matchIndex = 0;
};

TEST(CheckHeaderName, Table) {
  PolicySetup max8 = [](FilterPolicy* p) { p->HasHeaderNameMaxLen = 1, p->HeaderNameMaxLen = 8; };
  PolicySetup canon = [](FilterPolicy* p) { p->CanonHeaderName = 1; };
  PolicySetup canonTwice = [](FilterPolicy* p) {
    p->CanonHeaderName = 1;
    p->FailOnReCanonHeaderNameChange = 1;
  };
  PolicySetup denied = [](FilterPolicy* p) {
    SetList(&p->DeniedHeaderNames, {"X-Other", "X-Forwarded-For"});
  };
  PolicySetup deniedFoo = [](FilterPolicy* p) { SetList(&p->DeniedHeaderNames, {"X-Foo"}); };
  const std::vector<NameCase> cases = {
      {nullptr, "Content-Type", 0},
      {nullptr, "X-Forwarded-For", 0},
      {nullptr, "a.b_c", 0},
      {nullptr, "~!#$%&*+-.^_|", 0},
      {nullptr, "", 0},
      {canon, "", 0},
      {nullptr, "X Y", kReasonHeaderNameByte},
      {nullptr, "X\tY", kReasonHeaderNameByte},
      {nullptr, std::string("X\0Y", 3), kReasonHeaderNameByte},
      {nullptr, "X\x01Y", kReasonHeaderNameByte},
      {nullptr, "X\x7FY", kReasonHeaderNameByte},
      {nullptr, "X\x80Y", kReasonHeaderNameByte},
      {nullptr, "X\xFFY", kReasonHeaderNameByte},
      {max8, "Abcdefgh", 0},
      {max8, "Abcdefghi", kReasonHeaderNameTooLong},
      {max8, "Abc(efgh)", kReasonHeaderNameTooLong},
      {[](FilterPolicy* p) {
         p->HasHeaderNameMaxLen = 1, p->HeaderNameMaxLen = 8;
         SetList(&p->DeniedHeaderNames, {"Abcdefghi"});
       },
       "Abcdefghi", kReasonHeaderNameTooLong},
      {denied, "x-forwarded-for", kReasonHeaderNameDenied, 1},
      {denied, "X-Forwarded-Fo", 0},
      {[](FilterPolicy* p) { SetList(&p->DeniedHeaderNames, {"X Foo"}); }, "X Foo",
       kReasonHeaderNameDenied, 0},
      {nullptr, "X-Foo", 0},  // list on, section empty
      {[](FilterPolicy* p) { p->DeniedHeaderNames.flag = 0, SetList(&p->DeniedHeaderNames, {"X-Foo"}); },
       "X-Foo", 0},
      {canon, "X-A%3AB", kReasonHeaderNameCanonByte},
      {nullptr, "X-A%3AB", 0},
      {canon, "X%20Y", kReasonHeaderNameCanonByte},
      {canonTwice, "X%25%34%31", kReasonHeaderNameReCanonChanged},
      {canon, "X%25%34%31", 0},  // once decoded: X%41, all token bytes
      {deniedFoo, "X%2DFoo", 0},
      {[](FilterPolicy* p) { p->CanonHeaderName = 1, SetList(&p->DeniedHeaderNames, {"X-Foo"}); },
       "X%2DFoo", 0},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(Printable(c.name));
    PolicyHolder policy(nullptr, c.setup);
    Element name(c.name);
    ScanContext context = FreshContext();
    int64_t liveBefore = LiveBlockCount();
    CheckHeaderName(policy.policy, &context, name.bytes.get(), name.length);
    ExpectVerdict(context, c.reason, c.matchIndex);
    EXPECT_EQ(LiveBlockCount(), liveBefore);
  }
}

// Each byte on its own as a name: exactly the 77 token bytes pass, raw and
// as the canonical form of their escape.
TEST(CheckHeaderName, TokenBytes) {
  std::string tokens = "!#$%&'*+-.^_`|~";
  for (char c = '0'; c <= '9'; ++c) tokens += c;
  for (char c = 'A'; c <= 'Z'; ++c) tokens += c;
  for (char c = 'a'; c <= 'z'; ++c) tokens += c;
  ASSERT_EQ(tokens.size(), 77u);
  PolicyHolder policy(nullptr, [](FilterPolicy* p) { p->CanonHeaderName = 1; });
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    bool token = tokens.find(static_cast<char>(b)) != std::string::npos;
    const uint8_t raw = static_cast<uint8_t>(b);
    ScanContext context = FreshContext();
    CheckHeaderName(policy.policy, &context, &raw, 1);
    EXPECT_EQ(context.reason, token ? 0u : kReasonHeaderNameByte);

    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", b);
    context = FreshContext();
    CheckHeaderName(policy.policy, &context, reinterpret_cast<const uint8_t*>(escaped), 3);
    EXPECT_EQ(context.reason, token ? 0u : kReasonHeaderNameCanonByte);
  }
}

// ---------------------------------------------------------------- header value

struct ValueCase {
  PolicySetup setup;
  std::string name;
  std::string value;
  uint32_t reason;
  uint32_t matchIndex = 0;
};

TEST(CheckHeaderValue, Table) {
  PolicySetup max10 = [](FilterPolicy* p) { p->HasHeaderValueMaxLen = 1, p->HeaderValueMaxLen = 10; };
  PolicySetup app1 = [](FilterPolicy* p) { SetList(&p->HostPorts, {"app1"}); };
  PolicySetup cl100 = [](FilterPolicy* p) { p->HasContentLengthMaxLen = 1, p->ContentLengthMaxLen = 100; };
  PolicySetup clMax = [](FilterPolicy* p) {
    p->HasContentLengthMaxLen = 1, p->ContentLengthMaxLen = 0xFFFFFFFFu;
  };
  PolicySetup clMaxLess1 = [](FilterPolicy* p) {
    p->HasContentLengthMaxLen = 1, p->ContentLengthMaxLen = 0xFFFFFFFEu;
  };
  PolicySetup ua10 = [](FilterPolicy* p) { SetLimits(&p->HeaderLimits, {{"User-Agent", 10}}); };
  PolicySetup canon = [](FilterPolicy* p) { p->CanonHeaderValue = 1; };
  const std::string q = "\"";
  const std::string bs = "\\";
  const std::vector<ValueCase> cases = {
      // raw length, spaces included
      {max10, "A", "  abcdefgh", 0},
      {max10, "A", " abcdefghi ", kReasonHeaderValueTooLong},
      // value syntax
      {nullptr, "A", "", 0},
      {nullptr, "A", "   ", 0},
      {nullptr, "Content-Type", "text/html; charset=" + q + "utf-8" + q, 0},
      {nullptr, "Content-Type", "  text/html; charset=" + q + "utf-8" + q + "  ", 0},
      {nullptr, "A", "a\x01", kReasonHeaderValueByte},
      {nullptr, "A", "a\x80", kReasonHeaderValueByte},
      {nullptr, "A", q + "\xFF" + q, kReasonHeaderValueByte},
      {nullptr, "A", q + bs + "\x80" + q, kReasonHeaderValueByte},
      {nullptr, "A", "a\tb", 0},
      {nullptr, "A", "ab\t", 0},
      {nullptr, "A", q + "abc", kReasonHeaderValueByte},
      {nullptr, "A", q + "a" + bs + q + "b" + q, kReasonHeaderValueByte},
      {nullptr, "A", q + "a" + bs + "\x01" + q, 0},
      {nullptr, "A", q + bs + bs + "\x01" + q, 0},
      {nullptr, "A", q + bs + "a\x01" + q, kReasonHeaderValueByte},  // 'a' used the escape
      {nullptr, "A", bs + "\x01", kReasonHeaderValueByte},  // no escapes outside quotes
      {nullptr, "A", q + bs + q + " " + q + "\x01" + q, 0},  // the escape carries over
      {nullptr, "A", "\x7F", kReasonHeaderValueByte},
      {nullptr, "A", q + "\x7F" + q, kReasonHeaderValueByte},
      {nullptr, "A", q + bs + "\x7F" + q, 0},
      // Host
      {app1, "Host", " app1", 0},
      {app1, "Host", "APP1", 0},
      {app1, "host", "app1:80", kReasonHostHeader},
      {app1, "HOST", "", kReasonHostHeader},
      {app1, "Host", "   ", kReasonHostHeader},
      {app1, "Hosts", "other", 0},
      {[](FilterPolicy* p) { p->HostPorts.flag = 0, SetList(&p->HostPorts, {"app1"}); }, "Host",
       "other", 0},
      {app1, "Host", "a\x01", kReasonHeaderValueByte},  // bytes before Host
      // Content-Length
      {nullptr, "Content-Length", "0", 0},
      {nullptr, "Content-Length", "  42 ", 0},
      {nullptr, "Content-Length", "0000000000", 0},
      {nullptr, "Content-Length", "", kReasonContentLengthForm},
      {nullptr, "Content-Length", "00000000001", kReasonContentLengthForm},
      {nullptr, "Content-Length", "+5", kReasonContentLengthForm},
      {nullptr, "Content-Length", "-1", kReasonContentLengthForm},
      {nullptr, "Content-Length", "1.5", kReasonContentLengthForm},
      {nullptr, "content-length", "12a", kReasonContentLengthForm},
      {nullptr, "Content-Length", "5\t", kReasonContentLengthForm},
      {nullptr, "Content-Length", "1 2", kReasonContentLengthForm},
      {nullptr, "Content-Length", "9999999999", 0},  // no maximum configured
      {cl100, "Content-Length", "100", 0},
      {cl100, "Content-Length", "101", kReasonContentLengthTooLarge},
      {cl100, "Content-Length", "4294967296", kReasonContentLengthTooLarge},
      {clMax, "Content-Length", "4294967295", 0},
      {clMax, "Content-Length", "4294967296", kReasonContentLengthTooLarge},
      {clMax, "Content-Length", "9999999999", kReasonContentLengthTooLarge},
      {clMaxLess1, "Content-Length", "4294967295", kReasonContentLengthTooLarge},
      // per-header limits, on the trimmed value
      {ua10, "User-Agent", "abcdefghij", 0},
      {ua10, "User-Agent", "  abcdefghij  ", 0},
      {ua10, "User-Agent", "abcdefghijk", kReasonHeaderLimit, 0},
      {ua10, "user-agent", "abcdefghijk", kReasonHeaderLimit, 0},
      {ua10, "User-Agent", "abcdefghij\x01", kReasonHeaderValueByte},
      {[](FilterPolicy* p) { SetLimits(&p->HeaderLimits, {{"Cookie", 5}, {"User-Agent", 10}}); },
       "User-Agent", "abcdefghijk", kReasonHeaderLimit, 1},
      {[](FilterPolicy* p) { SetLimits(&p->HeaderLimits, {{"X", 10}, {"X", 5}}); }, "X", "abcdefg",
       kReasonHeaderLimit, 1},
      {[](FilterPolicy* p) { p->ValidMaxLenByHeader = 0, SetLimits(&p->HeaderLimits, {{"User-Agent", 10}}); },
       "User-Agent", "abcdefghijk", 0},
      {[](FilterPolicy* p) {
         p->HasContentLengthMaxLen = 1, p->ContentLengthMaxLen = 100;
         SetLimits(&p->HeaderLimits, {{"Content-Length", 2}});
       },
       "Content-Length", "101", kReasonContentLengthTooLarge},
      // canonical form
      {canon, "A", "%41", 0},
      {canon, "A", "%01", kReasonHeaderValueCanonByte},
      {canon, "A", "%22abc", kReasonHeaderValueCanonByte},
      {canon, "A", "%C3%A9", kReasonHeaderValueCanonByte},
      {canon, "A", "%20", 0},
      {canon, "A", " %20a%20 ", 0},
      {canon, "A", "%20%22a", kReasonHeaderValueCanonByte},
      {nullptr, "A", "%01", 0},
      {[](FilterPolicy* p) { p->CanonHeaderValue = 1, p->FailOnReCanonHeaderValueChange = 1; }, "A",
       "%25%34%31", kReasonHeaderValueReCanonChanged},
      {canon, "A", "%25%34%31", 0},
      {[](FilterPolicy* p) { p->CanonHeaderValue = 1, SetList(&p->HostPorts, {"app1"}); }, "Host",
       "app%31", kReasonHostHeader},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name + ": " + Printable(c.value));
    PolicyHolder policy(nullptr, c.setup);
    Element name(c.name);
    Element value(c.value);
    ScanContext context = FreshContext();
    int64_t liveBefore = LiveBlockCount();
    CheckHeaderValue(policy.policy, &context, name.bytes.get(), name.length, value.bytes.get(),
                     value.length);
    ExpectVerdict(context, c.reason, c.matchIndex);
    EXPECT_EQ(LiveBlockCount(), liveBefore);
  }
}

// Long values are judged a word at a time where they are plain: a special
// byte must be seen at every offset, inside and outside quotes.
TEST(CheckHeaderValue, SpecialBytesAtEveryOffset) {
  struct Case {
    std::string inserted;
    uint32_t reason;
  };
  const std::vector<Case> cases = {
      {"\t", 0},
      {"\\", 0},
      {"\x01", kReasonHeaderValueByte},
      {"\x1F", kReasonHeaderValueByte},
      {"\x7F", kReasonHeaderValueByte},
      {"\x80", kReasonHeaderValueByte},
      {"\xFF", kReasonHeaderValueByte},
      {"\"", kReasonHeaderValueByte},                // never closed
      {"\"\x01\"", kReasonHeaderValueByte},
      {"\"\\\x01\"", 0},
      {"\"x y\"", 0},
  };
  PolicyHolder policy(nullptr, nullptr);
  for (const Case& c : cases) {
    for (size_t offset = 0; offset <= 24; ++offset) {
      std::string text = std::string(offset, 'a') + c.inserted + std::string(24 - offset, 'b');
      SCOPED_TRACE(Printable(text));
      Element name(std::string("A"));
      Element value(text);
      ScanContext context = FreshContext();
      CheckHeaderValue(policy.policy, &context, name.bytes.get(), name.length, value.bytes.get(),
                       value.length);
      EXPECT_EQ(context.reason, c.reason);
    }
  }
}

// ---------------------------------------------------------------- allocation failures

// Each check with canonicalization on, twice: the copy or its snapshot
// cannot be had. Every allocation the check makes fails in turn. Each
// element is too long to be copied into the check's own record, and ends in
// "%25", so that its first canonical form keeps a '%' and is run a second
// time.
TEST(Checks, AllocationFailureIsReason34) {
  struct Case {
    const char* name;
    void (*run)(const FilterPolicy*, ScanContext*);
  };
  static const Element url("/a/" + std::string(kCanonicalLocalBytes, 'b') + "%2ec%25");
  static const Element query("a=" + std::string(kCanonicalLocalBytes, 'b') + "%41%25");
  static const Element name("X-" + std::string(kCanonicalLocalBytes, 'N') + "%41me%25");
  static const Element value(" v" + std::string(kCanonicalLocalBytes, 'v') + "%41lue%25 ");
  const std::vector<Case> cases = {
      {"URL", [](const FilterPolicy* p, ScanContext* c) { CheckUrl(p, c, url.bytes.get(), url.length); }},
      {"query",
       [](const FilterPolicy* p, ScanContext* c) { CheckQuery(p, c, query.bytes.get(), query.length); }},
      {"header name",
       [](const FilterPolicy* p, ScanContext* c) { CheckHeaderName(p, c, name.bytes.get(), name.length); }},
      {"header value",
       [](const FilterPolicy* p, ScanContext* c) {
         CheckHeaderValue(p, c, name.bytes.get(), name.length, value.bytes.get(), value.length);
       }},
  };
  PolicyHolder policy(UrlBase, [](FilterPolicy* p) {
    p->CanonHeaderName = 1;
    p->FailOnReCanonHeaderNameChange = 1;
    p->CanonHeaderValue = 1;
    p->FailOnReCanonHeaderValueChange = 1;
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScanContext context = FreshContext();
    uint64_t before = AllocationCount();
    c.run(policy.policy, &context);
    ASSERT_EQ(context.reason, 0u);
    uint64_t allocations = AllocationCount() - before;
    ASSERT_EQ(allocations, 2u) << "the copy and its snapshot";
    for (uint64_t n = 1; n <= allocations; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      int64_t liveBefore = LiveBlockCount();
      context = FreshContext();
      FailAllocationAfter(static_cast<int64_t>(n));
      c.run(policy.policy, &context);
      FailAllocationAfter(0);
      EXPECT_EQ(context.reason, kReasonWindowsError);
      EXPECT_EQ(context.winError, kErrorNotEnoughMemory);
      EXPECT_EQ(context.matchIndex, kUntouched);
      EXPECT_EQ(LiveBlockCount(), liveBefore);
    }
  }
}

// ---------------------------------------------------------------- header line

// A header line judged in one call must get the verdict of the name's check
// followed, if the name passed, by the value's check, for every policy: the
// shortcut for plain lines may only skip lookups that cannot match. Names
// come from those the rules look up (in any letter case), near misses and
// random words; hints are what the scanner would hand over for the bytes.
TEST(CheckHeaderLine, JudgesAsTheNameThenTheValue) {
  std::mt19937 random(2024);
  auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  const std::vector<std::string> known = {
      "Host", "Content-Length", "Translate", "If", "Lock-Token", "User-Agent", "Cookie",
      "Content-Type", "Hosts", "Accept", "Connection", "Sec-Fetch-Mode", "X-A", "a", "",
      "Content-Lengthy", "Tr%61nslate", "User_Agent", "Lock-Token\t"};
  const std::string nameBytes = "aAzZ09-_%t";
  const std::string valueBytes = "ab 12:%\"\\\t\x01\x7F\x80";
  auto recased = [&](std::string text) {
    for (char& c : text)
      if (below(2) == 0 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) c ^= 0x20;
    return text;
  };
  auto plainName = [](const std::string& name) {
    for (unsigned char b : name)
      if (!((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-'))
        return false;
    return true;
  };
  auto plainValue = [](const std::string& value) {
    for (unsigned char b : value)
      if (b < 0x20 || b >= 0x7F || b == '"' || b == '\\') return false;
    return true;
  };
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    PolicyHolder holder(nullptr, nullptr);
    FilterPolicy* p = holder.policy;
    p->DeniedHeaderNames.flag = below(2);
    SetList(&p->DeniedHeaderNames, {"Translate", "If", "Lock-Token", "lock-token"});
    p->ValidMaxLenByHeader = below(2);
    SetLimits(&p->HeaderLimits, {{"User-Agent", 10}, {"Cookie", 5}, {"Content-Type", -1},
                                 {"cookie", 2}});
    p->HostPorts.flag = below(2);
    SetList(&p->HostPorts, {"app1", "app1:80"});
    p->HasHeaderNameMaxLen = below(2);
    p->HeaderNameMaxLen = 8 + below(8);
    p->HasHeaderValueMaxLen = below(2);
    p->HeaderValueMaxLen = 4 + below(16);
    p->HasContentLengthMaxLen = below(2);
    p->ContentLengthMaxLen = 100;
    p->CanonHeaderName = below(2);
    p->CanonHeaderValue = below(2);
    // Indexed as the loader leaves a policy, or walked as a record built by
    // hand is.
    if (below(3) != 0) {
      ASSERT_EQ(IndexPolicyLists(p), 0u);
    }
    for (int t = 0; t < 50; ++t) {
      std::string name;
      if (below(3) != 0) {
        name = recased(known[below(static_cast<uint32_t>(known.size()))]);
      } else {
        for (uint32_t n = below(12); n > 0; --n) name += nameBytes[below(static_cast<uint32_t>(nameBytes.size()))];
      }
      std::string value;
      switch (below(4)) {
        case 0: value = " app1"; break;
        case 1: value = " " + std::to_string(below(1000)); break;
        default:
          for (uint32_t n = below(24); n > 0; --n)
            value += below(4) == 0 ? valueBytes[below(static_cast<uint32_t>(valueBytes.size()))] : 'v';
      }
      SCOPED_TRACE(Printable(name) + ": " + Printable(value));
      const Element n(name);
      const Element v(value);
      // The scanner only calls a hint plain when it is.
      const ElementHint nameHint = plainName(name) && below(4) != 0 ? kHintPlain : kHintNone;
      const ElementHint valueHint = plainValue(value) && below(4) != 0 ? kHintPlain : kHintNone;

      ScanContext want = FreshContext();
      HeaderLinePart wantPart = kLinePartNone;
      CheckHeaderName(p, &want, n.bytes.get(), n.length, nameHint);
      if (want.reason != 0) {
        wantPart = kLinePartName;
      } else {
        CheckHeaderValue(p, &want, n.bytes.get(), n.length, v.bytes.get(), v.length, valueHint);
        if (want.reason != 0) wantPart = kLinePartValue;
      }
      ScanContext got = FreshContext();
      HeaderLinePart part = CheckHeaderLine(p, &got, n.bytes.get(), n.length, nameHint,
                                            v.bytes.get(), v.length, valueHint);
      ASSERT_EQ(part, wantPart);
      ASSERT_EQ(got.reason, want.reason);
      ASSERT_EQ(got.matchIndex, want.matchIndex);
      ASSERT_EQ(got.winError, want.winError);
    }
  }
}

}  // namespace
}  // namespace rg::test
