// The configuration summary, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kit/test_kit.h"

namespace rg {
namespace {

using test::NewDefaultPolicy;
using test::SetLimits;
using test::SetList;
using test::SetText;
using test::SetVersions;

struct PolicyHolder {
  FilterPolicy* p = NewDefaultPolicy();
  ~PolicyHolder() { FreePolicy(p); }
};

void Collect(void* user, const char* line, uint32_t length) {
  static_cast<std::vector<std::string>*>(user)->emplace_back(line, length);
}

std::vector<std::string> Lines(const FilterPolicy* p) {
  std::vector<std::string> lines;
  ForEachSummaryLine(p, Collect, &lines);
  return lines;
}

std::string Text(const FilterPolicy* p) {
  std::string all;
  for (const std::string& line : Lines(p)) all += line;
  return all;
}

const char kBegin[] = "#*********************** Configuration (begin) ***********************\r\n";
const char kEnd[] = "#*********************** Configuration (end) ***********************\r\n";

TEST(Summary, DefaultsWithOnlyVerbs) {
  PolicyHolder h;
  SetList(&h.p->Verbs, {"GET", "POST"});
  SetText(h.p->LogDirectory, "/srv/filter/LogFiles");
  std::string expected = std::string(kBegin) +
                         "# Allow Verbs (case sensitive):\r\n"
                         "# \tGET\r\n"
                         "# \tPOST\r\n"
                         "# Validate HttpVersion (case sensitive):\r\n"
                         "# Allow Extensions:\r\n"
                         "# Validate HostPort:\r\n"
                         "# Deny HeaderNames:\r\n"
                         "# Validate MaxLenByHeader:\r\n"
                         "# Deny UrlSequences:\r\n"
                         "# Deny QuerySequences:\r\n"
                         "# Deny DotInUrl\r\n"
                         "# Deny HighBitInUrl\r\n"
                         "# Canon Url Before Scan\r\n"
                         "# Fail if 2nd Canon Url Changes\r\n"
                         "# Deny HighBitInQuery\r\n"
                         "# Canon Query Before Scan\r\n"
                         "# Fail if 2nd Canon Query Changes\r\n"
                         "# Do not Canon HeaderName\r\n"
                         "# Do not Canon HeaderValue\r\n"
                         "# Enforce maximum Request Head size of 65536 bytes\r\n"
                         "# Deny HighBitInPayload\r\n"
                         "# Banner will not be changed\r\n"
                         "# Log files in /srv/filter/LogFiles\r\n"
                         "# Load with High Priority\r\n"
                         "# Work for real\r\n" +
                         kEnd;
  EXPECT_EQ(Text(h.p), expected);
}

// Every switch turned the other way, with entries in every list. Lists whose
// switch is off print nothing at all, even though they hold entries.
TEST(Summary, EverySwitchTheOtherWay) {
  PolicyHolder h;
  FilterPolicy* p = h.p;
  SetList(&p->Verbs, {"TRACE"});
  p->Verbs.flag = 0;
  SetVersions(&p->HttpVersions, {"HTTP/1.1"});
  p->HttpVersions.flag = 0;
  SetList(&p->Extensions, {".exe"});
  p->Extensions.flag = 0;
  SetList(&p->HostPorts, {"www:80"});
  p->HostPorts.flag = 0;
  SetList(&p->DeniedHeaderNames, {"Translate"});
  p->DeniedHeaderNames.flag = 0;
  SetLimits(&p->HeaderLimits, {{"Cookie", 900}});
  p->ValidMaxLenByHeader = 0;
  SetList(&p->UrlSequences, {".."});
  p->UrlSequences.flag = 0;
  SetList(&p->QuerySequences, {"<"});
  p->QuerySequences.flag = 0;
  p->AllowDotInUrl = 1;
  p->AllowHighBitInUrl = 1;
  p->CanonUrlBeforeScan = 0;
  p->FailOnReCanonUrlChange = 0;
  p->AllowHighBitInQuery = 1;
  p->CanonQueryBeforeScan = 0;
  p->FailOnReCanonQueryChange = 0;
  p->CanonHeaderName = 1;
  p->FailOnReCanonHeaderNameChange = 1;
  p->CanonHeaderValue = 1;
  p->FailOnReCanonHeaderValueChange = 1;
  p->AllowHighBitInPayload = 1;
  p->UrlMaxLen = 260;
  p->HasUrlMaxLen = 1;
  p->QueryMaxLen = 512;
  p->HasQueryMaxLen = 1;
  p->HeaderNameMaxLen = 64;
  p->HasHeaderNameMaxLen = 1;
  p->HeaderValueMaxLen = 4096;
  p->HasHeaderValueMaxLen = 1;
  p->PayloadMaxLen = 1000000;
  p->HasPayloadMaxLen = 1;
  p->ContentLengthMaxLen = 30000000;
  p->HasContentLengthMaxLen = 1;
  p->MaxHeadLength = 8192;
  p->RemoveBanner = 1;
  p->HighPriority = 0;
  p->Simulate = 1;
  SetText(p->LogDirectory, "/var/log/ravelgard");
  std::string expected = std::string(kBegin) +
                         "# Deny Verbs (case sensitive):\r\n"
                         "# \tTRACE\r\n"
                         "# Deny Extensions:\r\n"
                         "# \t.exe\r\n"
                         "# Allow DotInUrl\r\n"
                         "# Allow HighBitInUrl\r\n"
                         "# Do not Canon Url Before Scan\r\n"
                         "# Allow HighBitInQuery\r\n"
                         "# Do not Canon Query Before Scan\r\n"
                         "# Canon HeaderName\r\n"
                         "# Fail if 2nd Canon HeaderName Changes\r\n"
                         "# Canon HeaderValue\r\n"
                         "# Fail if 2nd Canon HeaderValue Changes\r\n"
                         "# Enforce maximum Url size of 260 bytes\r\n"
                         "# Enforce maximum Query size of 512 bytes\r\n"
                         "# Enforce maximum Header Names size of 64 bytes\r\n"
                         "# Enforce maximum Header Values size of 4096 bytes\r\n"
                         "# Enforce maximum Payload size of 1000000 bytes\r\n"
                         "# Enforce maximum Content-Length Header Value of 30000000 bytes\r\n"
                         "# Enforce maximum Request Head size of 8192 bytes\r\n"
                         "# Allow HighBitInPayload\r\n"
                         "# Remove Banner\r\n"
                         "# Log files in /var/log/ravelgard\r\n"
                         "# Load with Low Priority\r\n"
                         "# Simulate Engine\r\n" +
                         kEnd;
  EXPECT_EQ(Text(p), expected);
}

// The entry lines of every list kind, with the switches left on.
TEST(Summary, EntryLines) {
  PolicyHolder h;
  FilterPolicy* p = h.p;
  SetList(&p->Verbs, {"GET"});
  SetVersions(&p->HttpVersions, {"HTTP/1.0", "HTTP/1.1"});
  SetList(&p->Extensions, {".htm", ".asp"});
  SetList(&p->HostPorts, {"www.example.com:80"});
  SetList(&p->DeniedHeaderNames, {"Translate:"});
  SetLimits(&p->HeaderLimits, {{"Cookie", 900}, {"Referer", -1}, {"", 0}});
  SetList(&p->UrlSequences, {"..", "%"});
  SetList(&p->QuerySequences, {"<script"});
  std::string text = Text(p);
  std::string expected =
      "# Allow Verbs (case sensitive):\r\n"
      "# \tGET\r\n"
      "# Validate HttpVersion (case sensitive):\r\n"
      "# \tHTTP/1.0\r\n"
      "# \tHTTP/1.1\r\n"
      "# Allow Extensions:\r\n"
      "# \t.htm\r\n"
      "# \t.asp\r\n"
      "# Validate HostPort:\r\n"
      "# \twww.example.com:80\r\n"
      "# Deny HeaderNames:\r\n"
      "# \tTranslate:\r\n"
      "# Validate MaxLenByHeader:\r\n"
      "# \tCookie (max 900 bytes)\r\n"
      "# \tReferer (max -1 bytes)\r\n"
      "# \t (max 0 bytes)\r\n"
      "# Deny UrlSequences:\r\n"
      "# \t'..'\r\n"
      "# \t'%'\r\n"
      "# Deny QuerySequences:\r\n"
      "# \t'<script'\r\n"
      "# Deny DotInUrl\r\n";
  EXPECT_EQ(text.substr(sizeof kBegin - 1, expected.size()), expected);
}

// The lines that depend on one or two switches, and the limit lines with
// their signed values.
TEST(Summary, SwitchedLines) {
  struct Case {
    const char* name;
    void (*set)(FilterPolicy*);
    std::vector<std::string> present;  // lines that must appear, in order
    std::vector<std::string> absent;
  };
  const std::vector<Case> cases = {
      {"url canon once", [](FilterPolicy* p) { p->FailOnReCanonUrlChange = 0; },
       {"# Canon Url Before Scan\r\n", "# Url will not be Canon twice\r\n"},
       {"# Fail if 2nd Canon Url Changes\r\n"}},
      {"url not canon, second pass not mentioned",
       [](FilterPolicy* p) { p->CanonUrlBeforeScan = 0; },
       {"# Do not Canon Url Before Scan\r\n"},
       {"# Fail if 2nd Canon Url Changes\r\n", "# Url will not be Canon twice\r\n"}},
      {"query canon once", [](FilterPolicy* p) { p->FailOnReCanonQueryChange = 0; },
       {"# Canon Query Before Scan\r\n", "# Query will not be Canon twice\r\n"},
       {}},
      {"header name canon once", [](FilterPolicy* p) { p->CanonHeaderName = 1; },
       {"# Canon HeaderName\r\n", "# HeaderName will not be Canon twice\r\n"},
       {"# Do not Canon HeaderName\r\n"}},
      {"header value canon once", [](FilterPolicy* p) { p->CanonHeaderValue = 1; },
       {"# Canon HeaderValue\r\n", "# HeaderValue will not be Canon twice\r\n"},
       {"# Do not Canon HeaderValue\r\n"}},
      {"second pass alone says nothing",
       [](FilterPolicy* p) { p->FailOnReCanonHeaderNameChange = 1; },
       {"# Do not Canon HeaderName\r\n"},
       {"# Fail if 2nd Canon HeaderName Changes\r\n"}},
      {"limit 0", [](FilterPolicy* p) { p->HasUrlMaxLen = 1; },
       {"# Enforce maximum Url size of 0 bytes\r\n"}, {}},
      {"limit of an absent key prints -1",
       [](FilterPolicy* p) {
         p->HasQueryMaxLen = 1;
         p->QueryMaxLen = 0xFFFFFFFFu;
       },
       {"# Enforce maximum Query size of -1 bytes\r\n"}, {}},
      {"limit above 2^31 prints signed",
       [](FilterPolicy* p) {
         p->HasContentLengthMaxLen = 1;
         p->ContentLengthMaxLen = 0x80000000u;
       },
       {"# Enforce maximum Content-Length Header Value of -2147483648 bytes\r\n"}, {}},
      {"limit value without presence", [](FilterPolicy* p) { p->PayloadMaxLen = 5; }, {},
       {"# Enforce maximum Payload size of 5 bytes\r\n"}},
      {"head cap unset in the record: the default in force",
       [](FilterPolicy* p) { p->MaxHeadLength = 0; },
       {"# Enforce maximum Request Head size of 65536 bytes\r\n"}, {}},
      {"head cap past 2^31 prints unsigned",
       [](FilterPolicy* p) { p->MaxHeadLength = 0xFFFFFFFFu; },
       {"# Enforce maximum Request Head size of 4294967295 bytes\r\n"}, {}},
      {"changed banner",
       [](FilterPolicy* p) { SetText(p->Banner, "Web Server"); },
       {"# Change Banner to 'Web Server'\r\n"},
       {"# Banner will not be changed\r\n"}},
      {"remove wins over a banner text",
       [](FilterPolicy* p) {
         p->RemoveBanner = 1;
         SetText(p->Banner, "Web Server");
       },
       {"# Remove Banner\r\n"},
       {"# Change Banner to 'Web Server'\r\n", "# Banner will not be changed\r\n"}},
      {"http version switch off hides entries",
       [](FilterPolicy* p) {
         SetVersions(&p->HttpVersions, {"HTTP/1.1"});
         p->HttpVersions.flag = 0;
       },
       {},
       {"# Validate HttpVersion (case sensitive):\r\n", "# \tHTTP/1.1\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PolicyHolder h;
    c.set(h.p);
    std::vector<std::string> lines = Lines(h.p);
    size_t from = 0;
    for (const std::string& want : c.present) {
      size_t i = from;
      while (i < lines.size() && lines[i] != want) ++i;
      ASSERT_LT(i, lines.size()) << "missing or out of order: " << want;
      from = i + 1;
    }
    for (const std::string& unwanted : c.absent)
      for (const std::string& line : lines) EXPECT_NE(line, unwanted);
  }
}

// An entry too long for the 1024-byte line buffer is cut, but the line
// keeps its line end, so the next line is not glued onto it.
TEST(Summary, OverlongEntryLineIsCutAndStillEndsTheLine) {
  PolicyHolder h;
  std::string longVerb(2000, 'V');
  SetList(&h.p->Verbs, {longVerb, "GET"});
  std::vector<std::string> lines = Lines(h.p);
  ASSERT_GE(lines.size(), 4u);
  const std::string& cut = lines[2];
  EXPECT_EQ(cut.size(), 1023u);
  EXPECT_EQ(cut.substr(0, 3), "# \t");
  EXPECT_EQ(cut.substr(3, 1018), std::string(1018, 'V'));
  EXPECT_EQ(cut.substr(1021), "\r\n");
  EXPECT_EQ(lines[3], "# \tGET\r\n");
  for (const std::string& line : lines) {
    ASSERT_GE(line.size(), 3u);
    EXPECT_EQ(line.front(), '#');
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
  }
}

// A line that fills the buffer exactly is not touched.
TEST(Summary, LineThatFitsExactlyIsKept) {
  PolicyHolder h;
  std::string verb(1018, 'W');  // "# \t" + 1018 + "\r\n" = 1023 bytes
  SetList(&h.p->Verbs, {verb});
  std::vector<std::string> lines = Lines(h.p);
  EXPECT_EQ(lines[2], "# \t" + verb + "\r\n");
}

TEST(Summary, WrittenToTheFileAsListed) {
  PolicyHolder h;
  SetList(&h.p->Verbs, {"GET"});
  SetLimits(&h.p->HeaderLimits, {{"Cookie", 900}});
  SetText(h.p->LogDirectory, "/tmp/x");
  test::TempDir dir;
  std::string path = dir.File("summary.txt");
  FileHandle file = FileOpen(path.c_str(), kAccessWrite, kShareRead, kOpenAlways);
  ASSERT_NE(file, kInvalidFile);
  WriteConfigSummary(h.p, file);
  FileClose(file);
  EXPECT_EQ(test::ReadTextFile(path), Text(h.p));
}

}  // namespace
}  // namespace rg
