// The response-head work of mod_ravelgard on plain bytes: where a head ends
// when it arrives in pieces, its status, and the Server: header rewrite.
#include "response_head.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using rg::ServerHeaderAction;
using rg::apache::FindHeadEnd;
using rg::apache::MayBeStatusLine;
using rg::apache::ParseStatus;
using rg::apache::RewriteServerHeader;
using rg::apache::RewrittenHeadCapacity;

std::string Rewrite(const std::string& head, ServerHeaderAction action, const char* text) {
  std::string out(RewrittenHeadCapacity(head.size(), text ? std::strlen(text) : 0), '\0');
  out.resize(RewriteServerHeader(head.data(), head.size(), action, text, out.data()));
  return out;
}

struct RewriteCase {
  const char* name;
  const char* head;
  ServerHeaderAction action;
  const char* text;
  const char* expected;
};

const RewriteCase kRewriteCases[] = {
    {"keep", "HTTP/1.1 200 OK\r\nServer: Apache\r\nContent-Length: 0\r\n\r\n",
     ServerHeaderAction::kKeep, nullptr,
     "HTTP/1.1 200 OK\r\nServer: Apache\r\nContent-Length: 0\r\n\r\n"},
    {"remove", "HTTP/1.1 200 OK\r\nDate: x\r\nServer: Apache/2.4\r\nContent-Length: 0\r\n\r\n",
     ServerHeaderAction::kRemove, nullptr, "HTTP/1.1 200 OK\r\nDate: x\r\nContent-Length: 0\r\n\r\n"},
    {"replace in place", "HTTP/1.1 404 Not Found\r\nDate: x\r\nServer: Apache\r\nA: b\r\n\r\n",
     ServerHeaderAction::kReplace, "Web Server",
     "HTTP/1.1 404 Not Found\r\nDate: x\r\nServer: Web Server\r\nA: b\r\n\r\n"},
    // Name case does not matter; every Server line goes, one replacement stays.
    {"remove every case", "HTTP/1.1 200 OK\r\nserver: a\r\nSERVER:b\r\nX: y\r\n\r\n",
     ServerHeaderAction::kRemove, nullptr, "HTTP/1.1 200 OK\r\nX: y\r\n\r\n"},
    {"replace several", "HTTP/1.1 200 OK\r\nServer: a\r\nX: y\r\nServer: b\r\n\r\n",
     ServerHeaderAction::kReplace, "W", "HTTP/1.1 200 OK\r\nServer: W\r\nX: y\r\n\r\n"},
    // A proxied response may come without one: the replacement is added.
    {"replace absent", "HTTP/1.1 200 OK\r\nX: y\r\n\r\n", ServerHeaderAction::kReplace, "W",
     "HTTP/1.1 200 OK\r\nX: y\r\nServer: W\r\n\r\n"},
    {"remove absent", "HTTP/1.1 304 Not Modified\r\nX: y\r\n\r\n", ServerHeaderAction::kRemove,
     nullptr, "HTTP/1.1 304 Not Modified\r\nX: y\r\n\r\n"},
    // Names that only begin with "Server" are other headers.
    {"server-timing stays", "HTTP/1.1 200 OK\r\nServer-Timing: db;dur=5\r\nServer: a\r\n\r\n",
     ServerHeaderAction::kRemove, nullptr, "HTTP/1.1 200 OK\r\nServer-Timing: db;dur=5\r\n\r\n"},
    {"continuation goes with it", "HTTP/1.1 200 OK\r\nServer: a\r\n b\r\n\tc\r\nX: y\r\n z\r\n\r\n",
     ServerHeaderAction::kRemove, nullptr, "HTTP/1.1 200 OK\r\nX: y\r\n z\r\n\r\n"},
    {"status line only", "HTTP/1.1 100 Continue\r\n\r\n", ServerHeaderAction::kReplace, "W",
     "HTTP/1.1 100 Continue\r\nServer: W\r\n\r\n"},
    {"empty server value", "HTTP/1.1 200 OK\r\nServer:\r\n\r\n", ServerHeaderAction::kReplace,
     "A much longer banner text", "HTTP/1.1 200 OK\r\nServer: A much longer banner text\r\n\r\n"},
};

TEST(ResponseHead, RewritesServerHeader) {
  for (const RewriteCase& c : kRewriteCases) {
    EXPECT_EQ(Rewrite(c.head, c.action, c.text), c.expected) << c.name;
  }
}

// Every split of a head into two pieces finds the same end, and only the
// empty line ends it (a CR LF CR LF, not LF LF or CR LF CR CR LF).
TEST(ResponseHead, FindsHeadEndAcrossPieces) {
  const std::string head = "HTTP/1.1 200 OK\r\nA: b\r\n\r\n";
  const std::string stream = head + "body\r\n\r\nServer: x\r\n\r\n";
  for (size_t split = 0; split <= stream.size(); ++split) {
    uint32_t matched = 0;
    size_t used = 0;
    size_t end = 0;
    if (FindHeadEnd(stream.data(), split, &matched, &used)) {
      end = used;
    } else {
      ASSERT_EQ(used, split);
      ASSERT_TRUE(FindHeadEnd(stream.data() + split, stream.size() - split, &matched, &used))
          << split;
      end = split + used;
    }
    EXPECT_EQ(end, head.size()) << "split at " << split;
  }
  // One byte at a time: the carry alone finds the end.
  uint32_t matched = 0;
  size_t used = 0;
  size_t fed = 0;
  while (!FindHeadEnd(stream.data() + fed, 1, &matched, &used)) ++fed;
  EXPECT_EQ(fed + 1, head.size());
  const std::vector<std::string> notEnded = {"HTTP/1.1 200 OK\n\n", "A\r\n\r\r\n", "A\r\r\n\n",
                                             "A\r\n\n\r\n"};
  for (const std::string& s : notEnded) {
    uint32_t matched = 0;
    size_t used = 0;
    EXPECT_FALSE(FindHeadEnd(s.data(), s.size(), &matched, &used)) << s;
  }
}

TEST(ResponseHead, ReadsStatus) {
  const struct {
    const char* head;
    uint32_t status;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", 200},
      {"HTTP/1.0 404 Not Found\r\n\r\n", 404},
      {"HTTP/1.1 101\r\n\r\n", 101},
      {"HTTP/1.1 20 OK\r\n\r\n", 0},
      {"HTTP/1.1 2000 OK\r\n\r\n", 0},
      {"HTTP/1.1 2x0 OK\r\n\r\n", 0},
      {"HTTP/1.1\r\n200 OK\r\n\r\n", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseStatus(c.head, std::strlen(c.head)), c.status) << c.head;
  }
}

TEST(ResponseHead, TellsHeadsFromOtherBytes) {
  EXPECT_TRUE(MayBeStatusLine("", 0));
  EXPECT_TRUE(MayBeStatusLine("HT", 2));
  EXPECT_TRUE(MayBeStatusLine("HTTP/1.1 200", 12));
  EXPECT_FALSE(MayBeStatusLine("<html>", 6));
  EXPECT_FALSE(MayBeStatusLine("HTTPS", 5));
}

}  // namespace
