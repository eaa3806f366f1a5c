// However a request is cut into chunks, the scanner must reach the same
// verdict: every request of the scanner's cases is sent whole, one byte at a
// time, split in two at every position, and in random pieces (fixed seeds).
//
// Excluded, by design, are the rules that judge an element before its end
// has arrived; a request that ends up refused by one of them in small
// pieces can be judged otherwise when it arrives whole:
//  - the early length rules (verb 3, URL 6, query 18, version 20, header
//    name 22, header value 23): an element at its limit followed by a lone
//    CR, or a long line whose CR LF ends it before any ':', or an absolute
//    URL counted whole until its path begins;
//  - the incomplete request line (1): in one chunk the element's end may be
//    found beyond the line end (a URL running into the headers is judged by
//    the URL check), in small pieces the line end arrives first;
//  - the body rules (31, 39): the body that comes with the headers is tested
//    for high bits before it is measured, a later body chunk is measured
//    first.
// Those cases carry their one-byte-at-a-time verdict in the case table, and
// every other split must give one of the two.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "scan_cases.h"
#include "byte_scan_levels.h"
#include "scan_test_util.h"

namespace rg::test {
namespace {

std::vector<uint32_t> RandomPieces(size_t total, uint32_t seed, uint32_t largest) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<uint32_t> size(1, largest);
  std::vector<uint32_t> pieces;
  for (size_t sum = 0; sum < total;) {
    uint32_t n = size(random);
    pieces.push_back(n);
    sum += n;
  }
  return pieces;
}

// At every level of the byte searches: the portable one is what 32-bit
// Windows builds and other processors run.
TEST(ScanChunking, SameVerdictHoweverSplit) {
  ForEachByteScanLevel([] {
    for (const ScanCase& c : ScanCases()) {
      SCOPED_TRACE(c.name);
      PolicyHolder policy(c.setup);
      const ScanOutcome byteWiseExpected = c.differsByteWise ? c.byteWise : c.whole;
      auto allowed = [&](const ScanOutcome& o) { return o == c.whole || o == byteWiseExpected; };

      EXPECT_EQ(ScanWhole(policy.policy, c.request), c.whole);
      ScanOutcome byteWise = ScanByteWise(policy.policy, c.request);
      EXPECT_EQ(byteWise, byteWiseExpected) << Describe(byteWise);

      for (uint32_t cut = 1; cut < c.request.size(); ++cut) {
        ScanOutcome o = ScanInPieces(policy.policy, c.request, {cut});
        EXPECT_TRUE(allowed(o)) << "cut at " << cut << ": " << Describe(o);
      }
      for (uint32_t seed = 1; seed <= 20; ++seed) {
        for (uint32_t largest : {3u, 16u}) {
          ScanOutcome o =
              ScanInPieces(policy.policy, c.request, RandomPieces(c.request.size(), seed, largest));
          EXPECT_TRUE(allowed(o)) << "seed " << seed << ", pieces up to " << largest << ": "
                                  << Describe(o);
        }
      }
    }
  });
}

// The one-byte path takes a byte without the full walk only where the walk
// would have refused nothing and moved nothing a reader sees: after every
// byte, a context fed one byte at a time stands exactly where one stands
// whose every byte took the full walk (its byte limit cleared before each
// call). The verdict must come with the same byte, not one later: a host
// that passes bytes on as they are screened would otherwise forward a byte
// past a limit. The length rules are set tight so that each is reached.
TEST(ScanChunking, OneBytePathStandsWhereTheFullWalkStands) {
  const std::vector<PolicySetup> tightenings = {
      nullptr,
      [](FilterPolicy* p) {
        p->HasUrlMaxLen = 1, p->UrlMaxLen = 9;
        p->HasQueryMaxLen = 1, p->QueryMaxLen = 5;
        p->HasHeaderNameMaxLen = 1, p->HeaderNameMaxLen = 6;
        p->HasHeaderValueMaxLen = 1, p->HeaderValueMaxLen = 7;
      },
      [](FilterPolicy* p) { p->MaxHeadLength = 40; },
  };
  ForEachByteScanLevel([&] {
    for (const ScanCase& c : ScanCases()) {
      for (size_t t = 0; t < tightenings.size(); ++t) {
        SCOPED_TRACE(std::string(c.name) + ", policy " + std::to_string(t));
        PolicyHolder policy(c.setup);
        if (tightenings[t] != nullptr) tightenings[t](policy.policy);
        ContextHolder fast;
        ContextHolder walked;
        for (size_t at = 0; at < c.request.size(); ++at) {
          SendChunk(policy.policy, &fast.context, c.request.substr(at, 1));
          walked.context.byteLimit = 0;
          SendChunk(policy.policy, &walked.context, c.request.substr(at, 1));
          const ScanContext& a = fast.context;
          const ScanContext& b = walked.context;
          SCOPED_TRACE("after byte " + std::to_string(at));
          ASSERT_EQ(a.state, b.state);
          ASSERT_EQ(a.reason, b.reason);
          ASSERT_EQ(a.matchIndex, b.matchIndex);
          ASSERT_EQ(a.length, b.length);
          ASSERT_EQ(a.lineComplete, b.lineComplete);
          ASSERT_EQ(a.headersComplete, b.headersComplete);
          ASSERT_EQ(a.lineEnd, b.lineEnd);
          ASSERT_EQ(a.headersEnd, b.headersEnd);
          ASSERT_EQ(a.cursor, b.cursor);
          if (a.state == kStateRejected) break;
        }
      }
    }
  });
}

// lineEnd and headersEnd are defined while they have not been found too
// (the last index tried). Searches that resume across chunks must leave
// exactly what a search restarted over all bytes received would.
struct Ends {
  uint32_t lineEnd = 0, lineComplete = 0, headersEnd = 0, headersComplete = 0;
};

void RestartedSearches(const std::string& received, Ends* ends) {
  const uint32_t length = static_cast<uint32_t>(received.size());
  if (ends->lineComplete == 0 && length >= 3) {
    for (uint32_t i = 1; i + 1 < length; ++i) {
      ends->lineEnd = i;
      if (received[i] == '\r' && received[i + 1] == '\n') {
        ends->lineComplete = 1;
        break;
      }
    }
  }
  if (ends->headersComplete == 0 && length >= 4) {
    for (uint32_t j = 0; j + 3 < length; ++j) {
      ends->headersEnd = j;
      if (received.compare(j, 4, "\r\n\r\n") == 0) {
        ends->headersComplete = 1;
        break;
      }
    }
  }
}

TEST(ScanChunking, LineAndHeaderEndsMatchARestartedSearch) {
  std::vector<std::string> inputs = {
      "\r\n\r\nGET / HTTP/1.1\r\n\r\n",
      "GET / HTTP/1.1\r\nA: b\r\n\r\nbody\r\n\r\n",
      "GET / HTTP/1.1\r\r\n\r\r\n\r\n",
      "GET /a\n\r\n\r\r\n\r\n",
      "\r\r\r\r\n\n\n\r\n\r\n",
  };
  // Requests of CR, LF, SP and letters, where partial line ends abound.
  std::mt19937 random(7);
  const char alphabet[] = {'\r', '\n', '\r', '\n', ' ', 'a'};
  std::uniform_int_distribution<int> pick(0, sizeof alphabet - 1);
  for (int n = 0; n < 200; ++n) {
    std::string s = "GET ";
    for (int k = 0; k < 24; ++k) s += alphabet[pick(random)];
    inputs.push_back(s);
  }
  // Deny mode with no verbs and no version test: as little as possible ends
  // a scan early, so the searches run over as many chunks as possible.
  PolicyHolder policy([](FilterPolicy* p) {
    p->Verbs.flag = 0;
    p->HttpVersions.flag = 0;
  });
  for (const std::string& input : inputs) {
    for (uint32_t seed = 0; seed <= 5; ++seed) {
      std::vector<uint32_t> pieces =
          seed == 0 ? std::vector<uint32_t>(input.size(), 1) : RandomPieces(input.size(), seed, 5);
      ContextHolder holder;
      Ends expected;
      std::string received;
      size_t at = 0;
      for (size_t p = 0; p < pieces.size() && at < input.size(); ++p) {
        std::string chunk = input.substr(at, pieces[p]);
        at += chunk.size();
        // The searches stop once the body begins: both ends are known then.
        bool searches = holder.context.state != kStatePayload;
        SendChunk(policy.policy, &holder.context, chunk);
        received += chunk;
        if (searches) RestartedSearches(received, &expected);
        SCOPED_TRACE(testing::PrintToString(received) + " after piece " + std::to_string(p) +
                     ", seed " + std::to_string(seed));
        ASSERT_EQ(holder.context.lineComplete, expected.lineComplete);
        ASSERT_EQ(holder.context.headersComplete, expected.headersComplete);
        if (received.size() >= 3) {
          ASSERT_EQ(holder.context.lineEnd, expected.lineEnd);
        }
        if (received.size() >= 4) {
          ASSERT_EQ(holder.context.headersEnd, expected.headersEnd);
        }
        if (holder.context.state == kStateRejected) break;
      }
    }
  }
}

}  // namespace
}  // namespace rg::test
