// The request stream scanner: its verdict on whole requests, what it does
// at chunk boundaries, what it keeps of a body, and how it fails.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "canon/canon.h"
#include "log/reason.h"
#include "platform/platform.h"
#include "scan/scan.h"
#include "scan_cases.h"
#include "scan_test_util.h"

namespace rg::test {
namespace {

TEST(Scanner, WholeRequests) {
  for (const ScanCase& c : ScanCases()) {
    SCOPED_TRACE(c.name);
    PolicyHolder policy(c.setup);
    int64_t liveBefore = LiveBlockCount();
    ScanOutcome outcome = ScanWhole(policy.policy, c.request);
    EXPECT_EQ(outcome, c.whole) << Describe(outcome) << " expected " << Describe(c.whole);
    EXPECT_EQ(LiveBlockCount(), liveBefore) << "the checks leave nothing allocated";
  }
}

// Outcome after each chunk of a request sent in the given pieces.
struct ChunkCase {
  const char* name;
  PolicySetup setup;
  std::vector<std::string> chunks;
  std::vector<ScanOutcome> after;  // one per chunk
};

TEST(Scanner, ChunkBoundaries) {
  auto verbsGetPost = [](FilterPolicy* p) { SetList(&p->Verbs, {"GET", "POST"}); };
  const std::vector<ChunkCase> cases = {
      {"chunk ends after the first SP", nullptr, {"GET ", " / HTTP/1.1\r\n\r\n"},
       {Passing(kStateAfterVerb), Refused(kReasonMultipleSpaces)}},
      {"chunk ends after the second SP", nullptr, {"GET  ", "/ HTTP/1.1\r\n\r\n"},
       {Refused(kReasonMultipleSpaces), Refused(kReasonMultipleSpaces)}},
      {"7 bytes longer than every allowed verb", verbsGetPost, {"PROPFIN"},
       {Refused(kReasonVerbNotAllowed)}},
      {"6 bytes may still be a verb after a CR LF", verbsGetPost, {"PROPFI", "ND"},
       {Passing(kStateVerb), Refused(kReasonVerbNotAllowed)}},
      {"a long allowed verb keeps the door open",
       [](FilterPolicy* p) { SetList(&p->Verbs, {"GET", "POST", "OPTIONS"}); },
       {"OPTION", "S * HTTP/1.1\r\n\r\n"}, {Passing(kStateVerb), Passing(kStatePayload)}},
      {"CR LF CR LF split over three chunks", nullptr, {"GET / HTTP/1.1\r", "\n\r", "\nbody"},
       {Passing(kStateVersion), Passing(kStateHeaderName), Passing(kStatePayload)}},
      {"absolute URL path within the limit",
       [](FilterPolicy* p) { p->HasUrlMaxLen = 1, p->UrlMaxLen = 2; },
       {"GET http://host:81/a", "b"}, {Passing(kStateUrl), Refused(kReasonUrlTooLong)}},
      {"absolute URL counted whole before its path",
       [](FilterPolicy* p) { p->HasUrlMaxLen = 1, p->UrlMaxLen = 10; }, {"GET http://host:81"},
       {Refused(kReasonUrlTooLong)}},
      {"header value at the limit, then a lone CR",
       [](FilterPolicy* p) { p->HasHeaderValueMaxLen = 1, p->HeaderValueMaxLen = 4; },
       {"GET / HTTP/1.1\r\nA:abcd", "\r"},
       {Passing(kStateHeaderValue), Refused(kReasonHeaderValueTooLong)}},
      {"header name at the limit, then a byte",
       [](FilterPolicy* p) { p->HasHeaderNameMaxLen = 1, p->HeaderNameMaxLen = 4; },
       {"GET / HTTP/1.1\r\nHost", "s"},
       {Passing(kStateHeaderName), Refused(kReasonHeaderNameTooLong)}},
      {"header name at the limit, then its colon",
       [](FilterPolicy* p) { p->HasHeaderNameMaxLen = 1, p->HeaderNameMaxLen = 4; },
       {"GET / HTTP/1.1\r\nHost", ":"}, {Passing(kStateHeaderName), Passing(kStateHeaderValue)}},
      {"eleventh body byte in a later chunk",
       [](FilterPolicy* p) { p->HasPayloadMaxLen = 1, p->PayloadMaxLen = 10; },
       {"POST / HTTP/1.1\r\n\r\n01234", "56789", "A"},
       {Passing(kStatePayload), Passing(kStatePayload), Refused(kReasonPayloadTooLong)}},
      {"high-bit body byte chunks later", nullptr,
       {"POST / HTTP/1.1\r\n\r\n", "abc", "def", "g\x80"},
       {Passing(kStatePayload), Passing(kStatePayload), Passing(kStatePayload),
        Refused(kReasonPayloadHighBit)}},
      {"high-bit body byte deep in a later chunk", nullptr,
       {"POST / HTTP/1.1\r\n\r\n", std::string(100, 'a'),
        std::string(70, 'a') + "\x80" + std::string(29, 'a')},
       {Passing(kStatePayload), Passing(kStatePayload), Refused(kReasonPayloadHighBit)}},
      {"empty chunks change nothing", nullptr, {"", "GET / HTTP/1.1\r\n", "", "\r\n", ""},
       {Passing(kStateVerb), Passing(kStateHeaderName), Passing(kStateHeaderName),
        Passing(kStatePayload), Passing(kStatePayload)}},
  };
  for (const ChunkCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.chunks.size(), c.after.size());
    PolicyHolder policy(c.setup);
    ContextHolder holder;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      SendChunk(policy.policy, &holder.context, c.chunks[i]);
      EXPECT_EQ(holder.Outcome(), c.after[i])
          << "after chunk " << i << ": " << Describe(holder.Outcome());
    }
  }
}

// An element still arriving is refused by its length rule with the first
// byte that takes it past the limit, not one later, however the bytes come:
// a host that passes bytes on as they are screened would otherwise forward
// that byte. At the limit itself the element may still end well.
TEST(Scanner, LengthRulesRefuseTheFirstByteTooMany) {
  struct Case {
    const char* name;
    PolicySetup setup;
    std::string atLimit;  // the element exactly as long as its rule allows
    ScanState pending;
    uint32_t reason;
  };
  const std::vector<Case> cases = {
      {"URL", [](FilterPolicy* p) { p->HasUrlMaxLen = 1, p->UrlMaxLen = 10; }, "GET /abcdefghi",
       kStateUrl, kReasonUrlTooLong},
      {"absolute URL's path", [](FilterPolicy* p) { p->HasUrlMaxLen = 1, p->UrlMaxLen = 10; },
       "GET http://h/abcdefghi", kStateUrl, kReasonUrlTooLong},
      {"query", [](FilterPolicy* p) { p->HasQueryMaxLen = 1, p->QueryMaxLen = 5; },
       "GET /a?abcde", kStateQuery, kReasonQueryTooLong},
      // Versions are held as SP, version, CR LF: 11 bytes.
      {"version", nullptr, "GET / HTTP/1.1xy", kStateVersion, kReasonHttpVersion},
      {"header name", [](FilterPolicy* p) { p->HasHeaderNameMaxLen = 1, p->HeaderNameMaxLen = 6; },
       "GET / HTTP/1.1\r\nabcdef", kStateHeaderName, kReasonHeaderNameTooLong},
      {"header value",
       [](FilterPolicy* p) { p->HasHeaderValueMaxLen = 1, p->HeaderValueMaxLen = 7; },
       "GET / HTTP/1.1\r\nA:1234567", kStateHeaderValue, kReasonHeaderValueTooLong},
  };
  for (const Case& c : cases) {
    for (uint32_t piece : {0u, 1u, 2u, 5u}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      PolicyHolder policy(c.setup);
      ContextHolder holder;
      const size_t step = piece == 0 ? c.atLimit.size() : piece;
      for (size_t at = 0; at < c.atLimit.size(); at += step)
        SendChunk(policy.policy, &holder.context, c.atLimit.substr(at, step));
      EXPECT_EQ(holder.Outcome(), Passing(c.pending)) << Describe(holder.Outcome());
      SendChunk(policy.policy, &holder.context, "x");
      EXPECT_EQ(holder.Outcome(), Refused(c.reason)) << Describe(holder.Outcome());
    }
  }
}

// A refused request is final: its verdict and the bytes the log shows must
// not move under a further chunk.
TEST(Scanner, RefusedScanIgnoresFurtherChunks) {
  PolicyHolder policy;
  ContextHolder holder;
  SendChunk(policy.policy, &holder.context, "DELETE /");
  ASSERT_EQ(holder.Outcome(), Refused(kReasonVerbNotAllowed));
  uint32_t length = holder.context.length;
  SendChunk(policy.policy, &holder.context, " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(holder.Outcome(), Refused(kReasonVerbNotAllowed));
  EXPECT_EQ(holder.context.length, length);
  EXPECT_EQ(holder.context.lineComplete, 0u);
}

// The log shows the request line by lineEnd, or every byte received while
// there is none; both must survive a body that is no longer kept.
TEST(Scanner, BodyIsCountedButNotKept) {
  PolicyHolder policy;
  ContextHolder holder;
  const std::string head = "POST /upload HTTP/1.1\r\nHost: host\r\n\r\n";
  const std::string firstBody = "first part of the body";
  // A head in one chunk is walked where it lies: the buffer keeps only the
  // request line. A head in pieces is kept whole, with the body bytes of the
  // chunk that ended it.
  struct Delivery {
    const char* name;
    std::vector<std::string> chunks;
    uint32_t kept;
  };
  const std::vector<Delivery> deliveries = {
      {"whole head in the first chunk", {head + firstBody}, 21},
      {"head in two chunks",
       {head.substr(0, 10), head.substr(10) + firstBody},
       static_cast<uint32_t>(head.size() + firstBody.size())},
  };
  for (const Delivery& d : deliveries) {
    SCOPED_TRACE(d.name);
    ContextHolder holder;
    for (const std::string& chunk : d.chunks) SendChunk(policy.policy, &holder.context, chunk);
    ASSERT_EQ(holder.Outcome(), Passing(kStatePayload));
    EXPECT_EQ(holder.context.stored, d.kept);
    EXPECT_GE(holder.context.capacity, d.kept);
    uint8_t* buffer = holder.context.data;
    uint32_t capacity = holder.context.capacity;

    const std::string later(4096, 'x');
    for (int i = 0; i < 100; ++i) SendChunk(policy.policy, &holder.context, later);
    EXPECT_EQ(holder.Outcome(), Passing(kStatePayload));
    EXPECT_EQ(holder.context.length, head.size() + firstBody.size() + 100u * 4096u);
    EXPECT_EQ(holder.context.stored, d.kept);
    EXPECT_EQ(holder.context.data, buffer);
    EXPECT_EQ(holder.context.capacity, capacity);
    ASSERT_EQ(holder.context.lineComplete, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(holder.context.data), holder.context.lineEnd),
              "POST /upload HTTP/1.1");
    // A body byte refused later still logs the request line.
    SendChunk(policy.policy, &holder.context, "\x80");
    EXPECT_EQ(holder.Outcome(), Refused(kReasonPayloadHighBit));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(holder.context.data), holder.context.lineEnd),
              "POST /upload HTTP/1.1");
  }
}

// A whole head refused by a rule, in one chunk, leaves the request line for
// the log in a buffer of the line's size; a context whose buffer a reset
// kept copies the line into that buffer without allocating.
TEST(Scanner, WholeHeadKeepsTheRequestLine) {
  PolicyHolder policy;
  const std::string refused = "GET /a.exe?q=1 HTTP/1.1\r\nHost: h\r\n\r\n";
  {
    ContextHolder holder;
    SendChunk(policy.policy, &holder.context, refused);
    EXPECT_EQ(holder.Outcome(), Refused(kReasonExtensionDenied, 0));
    EXPECT_EQ(holder.context.length, refused.size());
    EXPECT_EQ(holder.context.stored, 23u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(holder.context.data), holder.context.lineEnd),
              "GET /a.exe?q=1 HTTP/1.1");
  }
  {
    ContextHolder holder;
    ScanContext& c = holder.context;
    SendChunk(policy.policy, &c, "GET /first-request-with-a-longer-line HTTP/1.1\r\n\r\n");
    ASSERT_EQ(holder.Outcome(), Passing(kStatePayload));
    uint8_t* buffer = c.data;
    // The reset of a connection's context between requests, keeping the
    // buffer.
    c.length = c.cursor = c.lineComplete = c.headersComplete = 0;
    c.state = kStateVerb;
    const uint64_t before = AllocationCount();
    SendChunk(policy.policy, &c, refused);
    EXPECT_EQ(AllocationCount(), before);
    EXPECT_EQ(holder.Outcome(), Refused(kReasonExtensionDenied, 0));
    EXPECT_EQ(c.data, buffer);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(c.data), c.lineEnd), "GET /a.exe?q=1 HTTP/1.1");
  }
}

TEST(Scanner, BufferGrowsInFewSteps) {
  PolicyHolder policy([](FilterPolicy* p) { p->MaxHeadLength = 1 << 20; });
  ContextHolder holder;
  const std::string request = "GET / HTTP/1.1\r\nX-Long: " + std::string(100000, 'v') + "\r\n\r\n";
  uint64_t before = AllocationCount();
  for (char byte : request) SendChunk(policy.policy, &holder.context, std::string_view(&byte, 1));
  ASSERT_EQ(holder.Outcome(), Passing(kStatePayload));
  // One allocation per chunk would be 100 000 here; doubling needs about
  // log2(100 000 / first size) of them, and URL canonicalization two more.
  EXPECT_LT(AllocationCount() - before, 20u);
  EXPECT_GE(holder.context.capacity, holder.context.length);
  EXPECT_EQ(std::memcmp(holder.context.data, request.data(), request.size()), 0);
}

// A head of exactly `length` bytes: the request line, one padding header
// and the empty line.
std::string HeadOfLength(size_t length) {
  const std::string line = "GET / HTTP/1.1\r\nX-Pad: ";
  return line + std::string(length - line.size() - 4, 'p') + "\r\n\r\n";
}

// The head cap at its default, with heads of the sizes a client can send:
// whole, byte by byte and in odd pieces, each delivery ends alike, and the
// buffer never grows past the cap and one byte, however long the head.
TEST(Scanner, HeadCapAtItsDefault) {
  const uint32_t cap = kDefaultMaxHeadLength;
  std::string manyLines = "GET / HTTP/1.1\r\n";
  while (manyLines.size() <= cap) manyLines += "A: b\r\n";
  struct Case {
    const char* name;
    uint32_t maxHeadLength;  // 0: a record that leaves it unset
    std::string request;
    ScanOutcome outcome;
  };
  const std::vector<Case> cases = {
      {"long fragment", cap,
       "GET /index.htm#" + std::string(cap, 'f') + " HTTP/1.1\r\n\r\n",
       Refused(kReasonHeadTooLong)},
      {"many header lines", cap, manyLines + "\r\n", Refused(kReasonHeadTooLong)},
      {"head exactly at the cap", cap, HeadOfLength(cap), Passing(kStatePayload)},
      {"head one over the cap", cap, HeadOfLength(cap + 1), Refused(kReasonHeadTooLong)},
      {"head at the cap, long body in the same chunk", cap,
       HeadOfLength(cap) + std::string(3 * cap, 'b'), Passing(kStatePayload)},
      {"head that never ends", cap, "GET /" + std::string(4 * cap, 'u'),
       Refused(kReasonHeadTooLong)},
      {"unset in the record: the default", 0, HeadOfLength(cap + 1), Refused(kReasonHeadTooLong)},
      {"a host's larger cap", 4 * cap, HeadOfLength(2 * cap), Passing(kStatePayload)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PolicyHolder policy;
    policy.policy->MaxHeadLength = c.maxHeadLength;
    const uint64_t ceiling = uint64_t{c.maxHeadLength != 0 ? c.maxHeadLength : cap} + 1;
    const std::vector<std::vector<uint32_t>> splits = {
        {}, std::vector<uint32_t>(c.request.size(), 1), {1000, 7, 65530, 3}};
    for (const std::vector<uint32_t>& split : splits) {
      SCOPED_TRACE("pieces: " + std::to_string(split.size()));
      ScanContext context{};
      EXPECT_EQ(ScanInPieces(policy.policy, c.request, split, &context), c.outcome);
      EXPECT_LE(context.capacity, ceiling) << "the buffer grew past the cap";
      EXPECT_LE(context.stored, ceiling);
    }
  }
}

// A context reset for the next request whose reset knows nothing of the
// scanner's bookkeeping: the new request must be scanned from its start.
TEST(Scanner, StaleBookkeepingAfterResetIsIgnored) {
  PolicyHolder policy;
  ContextHolder holder;
  SendChunk(policy.policy, &holder.context, "GET /first HTTP/1.1\r\nX-Waiting: abcdefgh");
  ASSERT_EQ(holder.Outcome(), Passing(kStateHeaderValue));
  // The reset of a connection's context between requests.
  ScanContext& c = holder.context;
  HeapFreeBlock(c.data);
  c.data = nullptr;
  c.length = c.cursor = c.lineComplete = c.headersComplete = c.winError = 0;
  c.reason = kReasonNone;
  c.state = kStateVerb;

  SendChunk(policy.policy, &c, "GET /");
  SendChunk(policy.policy, &c, "a.exe HTTP/1.1\r\n\r\n");
  EXPECT_EQ(holder.Outcome(), Refused(kReasonExtensionDenied, 0));
}

struct GrowthFailureCase {
  const char* name;
  uint32_t error;  // what the platform reports
};

TEST(Scanner, BufferGrowthFailureKeepsTheOldBuffer) {
  const std::vector<GrowthFailureCase> cases = {{"out of memory", kErrorNotEnoughMemory},
                                                {"another platform error", 14},
                                                {"no error reported", 0}};
  for (const GrowthFailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    PolicyHolder policy;
    int64_t liveBefore = LiveBlockCount();
    {
      ContextHolder holder;
      const std::string first = "GET / HTTP/1.1\r\nX-A: " + std::string(2000, 'a');
      SendChunk(policy.policy, &holder.context, first);
      ASSERT_EQ(holder.Outcome(), Passing(kStateHeaderValue));
      uint8_t* buffer = holder.context.data;
      // Enough to outgrow the buffer whatever its spare room.
      const std::string second(holder.context.capacity, 'b');
      FailAllocationAfter(1, c.error);
      SendChunk(policy.policy, &holder.context, second);
      FailAllocationAfter(0);
      EXPECT_EQ(holder.Outcome(), Refused(kReasonWindowsError));
      // A platform that reports no error still gives the log a real number.
      EXPECT_EQ(holder.context.winError, c.error != 0 ? c.error : kErrorNotEnoughMemory);
      EXPECT_EQ(holder.context.data, buffer);
      EXPECT_EQ(holder.context.length, first.size());
      EXPECT_EQ(std::memcmp(holder.context.data, first.data(), first.size()), 0);
    }
    EXPECT_EQ(LiveBlockCount(), liveBefore);
  }
}

TEST(Scanner, FirstBufferFailure) {
  PolicyHolder policy;
  ContextHolder holder;
  FailAllocationAfter(1);
  SendChunk(policy.policy, &holder.context, "GET / HTTP/1.1\r\n\r\n");
  FailAllocationAfter(0);
  EXPECT_EQ(holder.Outcome(), Refused(kReasonWindowsError));
  EXPECT_EQ(holder.context.winError, kErrorNotEnoughMemory);
  EXPECT_EQ(holder.context.data, nullptr);
  EXPECT_EQ(holder.context.length, 0u);
}

// Every allocation a scan makes (the buffer's growth and the canonical
// copies of all four checks) fails in turn: each failure is reason 34 with
// the platform's error, and nothing is left allocated. Every element holds
// an escape: text without '%' or high-bit bytes is its own canonical form
// and is not copied. Each is too long for a check's own record, so copies
// go to the heap, and ends in "%25", whose '%' the first run keeps last, so
// each check also copies for its second run.
TEST(Scanner, EveryAllocationFailureIsReason34) {
  PolicyHolder policy([](FilterPolicy* p) {
    p->CanonHeaderName = 1;
    p->FailOnReCanonHeaderNameChange = 1;
    p->CanonHeaderValue = 1;
    p->FailOnReCanonHeaderValueChange = 1;
  });
  const std::string fill(kCanonicalLocalBytes, 'z');
  const std::string request = "POST /a/" + fill + "b%2Ehtm%25?q=" + fill +
                              "%41%25 HTTP/1.1\r\nHost: host\r\nX-" + fill + "N%61me%25: " + fill +
                              "v%61lue%25\r\n\r\n" + std::string(3000, 'p');
  for (bool byteWise : {false, true}) {
    SCOPED_TRACE(byteWise ? "byte by byte" : "one chunk");
    std::vector<uint32_t> sizes(byteWise ? request.size() : 0, 1);
    uint64_t before = AllocationCount();
    ASSERT_EQ(ScanInPieces(policy.policy, request, sizes), Passing(kStatePayload));
    uint64_t allocations = AllocationCount() - before;
    ASSERT_GE(allocations, 9u) << "buffer, and two copies in each of four checks";
    ASSERT_LE(allocations, 12u) << "text without escapes is copied";
    for (uint64_t n = 1; n <= allocations; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      int64_t liveBefore = LiveBlockCount();
      ScanContext after{};
      FailAllocationAfter(static_cast<int64_t>(n));
      ScanOutcome outcome = ScanInPieces(policy.policy, request, sizes, &after);
      FailAllocationAfter(0);
      EXPECT_EQ(outcome, Refused(kReasonWindowsError));
      EXPECT_EQ(after.winError, kErrorNotEnoughMemory);
      EXPECT_EQ(LiveBlockCount(), liveBefore);
    }
  }
}

// Indexes are 32-bit: a header block that would pass 4 GiB cannot be held.
// The context is made to look as if it held 4 GiB - 16 bytes already; a
// wrapped size would write far past the real buffer.
TEST(Scanner, HeadersPastFourGiBCannotBeHeld) {
  PolicyHolder policy([](FilterPolicy* p) { p->MaxHeadLength = 0xFFFFFFFFu; });
  ContextHolder holder;
  SendChunk(policy.policy, &holder.context, "GET / HTTP/1.1\r\nX-A: ");
  ASSERT_EQ(holder.Outcome(), Passing(kStateHeaderValue));
  holder.context.length = holder.context.stored = holder.context.capacity = 0xFFFFFFF0u;
  SendChunk(policy.policy, &holder.context, std::string(32, 'a'));
  EXPECT_EQ(holder.Outcome(), Refused(kReasonWindowsError));
  EXPECT_EQ(holder.context.winError, kErrorNotEnoughMemory);
  EXPECT_EQ(holder.context.length, 0xFFFFFFF0u);
}

// 4 GiB of body in 64 KiB chunks. The body's bytes are not kept, so this
// costs time (one pass over a chunk that stays in cache), not memory.
uint32_t SendFourGiBOfBody(const FilterPolicy* policy, ScanContext* context) {
  static const std::string chunk(65536, 'z');
  uint32_t sent = 0;
  for (uint32_t i = 0; i < 65536 + 1 && context->state != kStateRejected; ++i) {
    ScanRawData(policy, context, chunk.data(), static_cast<uint32_t>(chunk.size()));
    ++sent;
  }
  return sent;
}

// High-bit bytes are allowed here: the body is then not read at all, which
// keeps these tests fast; only the count is under test.
TEST(Scanner, BodyPastFourGiBDoesNotWrap) {
  {
    SCOPED_TRACE("no payload limit: the request goes on, the count stops at 4 GiB - 1");
    PolicyHolder policy([](FilterPolicy* p) { p->AllowHighBitInPayload = 1; });
    ContextHolder holder;
    SendChunk(policy.policy, &holder.context, "POST / HTTP/1.1\r\n\r\n");
    SendFourGiBOfBody(policy.policy, &holder.context);
    EXPECT_EQ(holder.Outcome(), Passing(kStatePayload));
    EXPECT_EQ(holder.context.length, 0xFFFFFFFFu);
  }
  {
    SCOPED_TRACE("the largest limit: a body past it is refused, not counted from 0 again");
    PolicyHolder policy([](FilterPolicy* p) {
      p->AllowHighBitInPayload = 1;
      p->HasPayloadMaxLen = 1;
      p->PayloadMaxLen = 0xFFFFFFFFu;
    });
    ContextHolder holder;
    SendChunk(policy.policy, &holder.context, "POST / HTTP/1.1\r\n\r\n");
    SendFourGiBOfBody(policy.policy, &holder.context);
    EXPECT_EQ(holder.Outcome(), Refused(kReasonPayloadTooLong));
  }
  {
    SCOPED_TRACE("a limit just under 4 GiB is measured exactly");
    PolicyHolder policy([](FilterPolicy* p) {
      p->AllowHighBitInPayload = 1;
      p->HasPayloadMaxLen = 1;
      p->PayloadMaxLen = 0xFFFE0000u;  // 65534 chunks of 64 KiB
    });
    ContextHolder holder;
    SendChunk(policy.policy, &holder.context, "POST / HTTP/1.1\r\n\r\n");
    uint32_t sent = SendFourGiBOfBody(policy.policy, &holder.context);
    EXPECT_EQ(holder.Outcome(), Refused(kReasonPayloadTooLong));
    EXPECT_EQ(sent, 65535u) << "refused with the chunk that passed the limit";
  }
}

TEST(SplitAbsoluteUrl, Table) {
  struct Case {
    std::string url;
    std::string prefix;  // empty: none
    std::string path;
  };
  const std::vector<Case> cases = {
      {"http://host:80/a/b", "http://host:80", "/a/b"},
      {"HTTP://Host/", "HTTP://Host", "/"},
      {"http:///a", "http://", "/a"},
      {"http://host:80", "", "http://host:80"},
      {"http://", "", "http://"},
      {"http:/", "", "http:/"},
      {"https://host/a", "", "https://host/a"},
      {"/a/b", "", "/a/b"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const uint8_t* url = reinterpret_cast<const uint8_t*>(c.url.data());
    const uint8_t* prefix = nullptr;
    uint32_t prefixLength = 99;
    const uint8_t* path = nullptr;
    uint32_t pathLength = 99;
    SplitAbsoluteUrl(url, static_cast<uint32_t>(c.url.size()), &prefix, &prefixLength, &path,
                     &pathLength);
    if (c.prefix.empty()) {
      EXPECT_EQ(prefix, nullptr);
      EXPECT_EQ(prefixLength, 0u);
    } else {
      EXPECT_EQ(prefix, url);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(prefix), prefixLength), c.prefix);
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(path), pathLength), c.path);
  }
}

TEST(UrlWithinMaxLen, MeasuresThePathOnly) {
  struct Case {
    std::string url;
    uint32_t maximum;
    int within;
  };
  const std::vector<Case> cases = {
      {"/abcdefghi", 10, 1},        {"/abcdefghij", 10, 0},
      {"http://host:81/a", 2, 1},   {"http://host:81/ab", 2, 0},
      {"http://host:81", 10, 0},    {"http://host:81", 14, 1},
      {"", 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(UrlWithinMaxLen(reinterpret_cast<const uint8_t*>(c.url.data()),
                              static_cast<uint32_t>(c.url.size()), c.maximum),
              c.within);
  }
}

}  // namespace
}  // namespace rg::test
