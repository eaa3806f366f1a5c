// The proxy's edits of message heads and its reading of the command line.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include <cstring>
#include <string>

#include "proxy/http_text.h"
#include "proxy/options.h"

namespace rg::proxy {
namespace {

// A buffer holding text exactly, so that any growth is a real reallocation.
struct Held {
  BufferPool pool;
  Buffer buffer;
  explicit Held(const std::string& text) {
    buffer.data = static_cast<char*>(std::malloc(text.size()));
    std::memcpy(buffer.data, text.data(), text.size());
    buffer.capacity = static_cast<uint32_t>(text.size());
    buffer.end = buffer.capacity;
  }
  ~Held() { ReleaseBuffer(&pool, &buffer); }
  std::string Text() const { return std::string(buffer.data + buffer.begin, buffer.Held()); }
};

struct ServerCase {
  const char* name;
  const char* head;
  ServerHeaderAction action;
  const char* text;
  const char* want;
};

TEST(ApplyServerHeader, RemovesReplacesOrAddsTheServerLineOnly) {
  const ServerCase cases[] = {
      {"keep", "HTTP/1.1 200 OK\r\nServer: nginx\r\n\r\n", ServerHeaderAction::kKeep, nullptr,
       "HTTP/1.1 200 OK\r\nServer: nginx\r\n\r\n"},
      {"remove", "HTTP/1.1 200 OK\r\nDate: x\r\nServer: nginx\r\nA: b\r\n\r\n",
       ServerHeaderAction::kRemove, nullptr, "HTTP/1.1 200 OK\r\nDate: x\r\nA: b\r\n\r\n"},
      {"remove every one, any case",
       "HTTP/1.1 200 OK\r\nserver: a\r\nX: 1\r\nSERVER: b\r\nServer-Timing: db;dur=1\r\n\r\n",
       ServerHeaderAction::kRemove, nullptr,
       "HTTP/1.1 200 OK\r\nX: 1\r\nServer-Timing: db;dur=1\r\n\r\n"},
      {"remove when absent", "HTTP/1.1 204 No Content\r\n\r\n", ServerHeaderAction::kRemove,
       nullptr, "HTTP/1.1 204 No Content\r\n\r\n"},
      {"replace with longer", "HTTP/1.1 200 OK\r\nServer: a\r\nX: 1\r\n\r\n",
       ServerHeaderAction::kReplace, "Web Server 2000",
       "HTTP/1.1 200 OK\r\nServer: Web Server 2000\r\nX: 1\r\n\r\n"},
      {"replace with shorter", "HTTP/1.1 200 OK\r\nServer: Apache/2.4.57 (Debian)\r\n\r\n",
       ServerHeaderAction::kReplace, "W", "HTTP/1.1 200 OK\r\nServer: W\r\n\r\n"},
      {"replace several by one", "HTTP/1.1 200 OK\r\nServer: a\r\nX: 1\r\nServer: b\r\n\r\n",
       ServerHeaderAction::kReplace, "W", "HTTP/1.1 200 OK\r\nServer: W\r\nX: 1\r\n\r\n"},
      {"replace when absent adds one", "HTTP/1.1 100 Continue\r\n\r\n",
       ServerHeaderAction::kReplace, "W", "HTTP/1.1 100 Continue\r\nServer: W\r\n\r\n"},
  };
  for (const ServerCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string body = "BODY\r\n\r\nServer: not a header";
    Held held(std::string(c.head) + body);
    uint32_t length = static_cast<uint32_t>(std::strlen(c.head));
    ASSERT_TRUE(ApplyServerHeader(&held.pool, &held.buffer, 0, &length, c.action, c.text, 1 << 16));
    EXPECT_EQ(held.Text(), std::string(c.want) + body);
    EXPECT_EQ(length, std::strlen(c.want));
  }
}

TEST(ApplyServerHeader, RefusesToGrowPastTheLimit) {
  const std::string head = "HTTP/1.1 200 OK\r\nServer: a\r\n\r\n";
  Held held(head);
  uint32_t length = static_cast<uint32_t>(head.size());
  EXPECT_FALSE(ApplyServerHeader(&held.pool, &held.buffer, 0, &length,
                                 ServerHeaderAction::kReplace, "a much longer banner",
                                 static_cast<uint32_t>(head.size()) + 4));
  EXPECT_EQ(held.Text(), head);
  EXPECT_EQ(length, head.size());
}

TEST(AppendForwardedFor, GoesBeforeTheEmptyLineAndKeepsTheBody) {
  const std::string head = "POST / HTTP/1.1\r\nHost: h\r\nX-Forwarded-For: 10.0.0.1\r\n\r\n";
  Held held(head + "a=1");
  uint32_t length = static_cast<uint32_t>(head.size());
  ASSERT_TRUE(AppendForwardedFor(&held.pool, &held.buffer, 0, &length, "::1", 1 << 16));
  EXPECT_EQ(held.Text(),
            "POST / HTTP/1.1\r\nHost: h\r\nX-Forwarded-For: 10.0.0.1\r\nX-Forwarded-For: ::1\r\n"
            "\r\na=1");
  EXPECT_EQ(length, held.buffer.Held() - 3);
}

TEST(SetConnectionClose, LeavesOneConnectionCloseAndNoKeepAlive) {
  const std::string head =
      "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nKeep-Alive: timeout=5\r\nX: 1\r\n"
      "connection: Upgrade\r\n\r\n";
  Held held(head + "body");
  uint32_t length = static_cast<uint32_t>(head.size());
  ASSERT_TRUE(SetConnectionClose(&held.pool, &held.buffer, 0, &length, 1 << 16));
  EXPECT_EQ(held.Text(), "HTTP/1.1 200 OK\r\nX: 1\r\nConnection: close\r\n\r\nbody");
  EXPECT_EQ(length, held.buffer.Held() - 4);
}

TEST(ClassifyUpgrade, OnlyWebSocketMayLeaveHttp) {
  struct Case {
    const char* headers;
    UpgradeRequest want;
  } cases[] = {
      {"", UpgradeRequest::kNone},
      {"Upgrade-Insecure-Requests: 1\r\n", UpgradeRequest::kNone},
      {"Connection: Upgrade\r\nUpgrade: websocket\r\n", UpgradeRequest::kWebSocket},
      {"Upgrade:  WebSocket \r\n", UpgradeRequest::kWebSocket},
      {"Upgrade: h2c\r\n", UpgradeRequest::kOther},
      {"Upgrade: websocket, h2c\r\n", UpgradeRequest::kOther},
      {"Upgrade: websocket\r\nUpgrade: h2c\r\n", UpgradeRequest::kOther},
      {"Upgrade: h2c\r\nUpgrade: websocket\r\n", UpgradeRequest::kOther},
      {"Upgrade: \r\n", UpgradeRequest::kOther},
      {"Upgrade: ,\r\n", UpgradeRequest::kOther},
      {"Upgrade: TLS/1.2\r\n", UpgradeRequest::kOther},
  };
  for (const Case& c : cases) {
    std::string head = std::string("GET / HTTP/1.1\r\nHost: h\r\n") + c.headers + "\r\n";
    EXPECT_EQ(ClassifyUpgrade(head), c.want) << c.headers;
  }
}

TEST(RequestMethod, IsTheFirstTokenAfterLeadingLineEnds) {
  EXPECT_EQ(RequestMethod("GET / HTTP/1.1\r\n\r\n"), "GET");
  EXPECT_EQ(RequestMethod("\r\nHEAD / HTTP/1.1\r\n\r\n"), "HEAD");
  EXPECT_TRUE(IsSafeToRetry("OPTIONS"));
  EXPECT_FALSE(IsSafeToRetry("POST"));
  EXPECT_FALSE(IsSafeToRetry("get"));
}

TEST(GatewayResponse, StatesItsLengthAndTheServerItIsGiven) {
  std::string page = GatewayResponse(504, "W", true);
  size_t split = page.find("\r\n\r\n");
  ASSERT_NE(split, std::string::npos);
  std::string head = page.substr(0, split + 2);
  std::string body = page.substr(split + 4);
  EXPECT_EQ(head.rfind("HTTP/1.1 504 Gateway Timeout\r\n", 0), 0u);
  EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
  EXPECT_NE(head.find("Server: W\r\n"), std::string::npos);
  EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos);
  std::string plain = GatewayResponse(502, nullptr, false);
  EXPECT_EQ(plain.find("Server:"), std::string::npos);
  EXPECT_EQ(plain.find("Connection:"), std::string::npos);
}

TEST(ParseSeconds, TakesWholeAndFractionalSecondsAboveZero) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t ms;
  } cases[] = {
      {"10", true, 10000}, {"0.5", true, 500},  {"2.25", true, 2250}, {".5", true, 500},
      {"5.", true, 5000},  {"0.0001", false, 0}, {"0", false, 0},     {"", false, 0},
      {".", false, 0},     {"1.2.3", false, 0}, {"-1", false, 0},     {"1e3", false, 0},
      {"86400", true, 86400000}, {"86401", false, 0}, {"99999999999", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t ms = 0;
    EXPECT_EQ(ParseSeconds(c.text, &ms), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(ms, c.ms) << c.text;
    }
  }
}

TEST(ResolveEndpoint, ReadsV4V6AndNamesWithAPort) {
  struct Case {
    const char* text;
    bool ok;
    int family;
    uint16_t port;
  } cases[] = {
      {"127.0.0.1:8080", true, AF_INET, 8080},
      {"0.0.0.0:0", true, AF_INET, 0},
      {"[::1]:443", true, AF_INET6, 443},
      {"localhost:80", true, 0, 80},
      {"127.0.0.1", false, 0, 0},
      {"::1:80", false, 0, 0},
      {"[::1:80", false, 0, 0},
      {"[::1]80", false, 0, 0},
      {":80", false, 0, 0},
      {"127.0.0.1:65536", false, 0, 0},
      {"127.0.0.1:http", false, 0, 0},
      {"127.0.0.1:", false, 0, 0},
  };
  for (const Case& c : cases) {
    Endpoint endpoint;
    std::string error;
    ASSERT_EQ(ResolveEndpoint(c.text, false, &endpoint, &error), c.ok) << c.text << ": " << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    const sockaddr_storage& a = endpoint.addresses.front().storage;
    if (c.family != 0) {
      EXPECT_EQ(a.ss_family, c.family) << c.text;
    }
    uint16_t port = a.ss_family == AF_INET
                        ? ntohs(reinterpret_cast<const sockaddr_in*>(&a)->sin_port)
                        : ntohs(reinterpret_cast<const sockaddr_in6*>(&a)->sin6_port);
    EXPECT_EQ(port, c.port) << c.text;
  }
}

TEST(FormatAddress, ShowsMappedV4ClientsAsV4) {
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  mapped.sin6_port = htons(80);
  const unsigned char bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 1, 2, 3};
  std::memcpy(&mapped.sin6_addr, bytes, 16);
  EXPECT_EQ(FormatAddress(reinterpret_cast<sockaddr*>(&mapped), false), "10.1.2.3");
  EXPECT_EQ(FormatAddress(reinterpret_cast<sockaddr*>(&mapped), true), "10.1.2.3:80");
  sockaddr_in6 loop{};
  loop.sin6_family = AF_INET6;
  loop.sin6_port = htons(8080);
  loop.sin6_addr = in6addr_loopback;
  EXPECT_EQ(FormatAddress(reinterpret_cast<sockaddr*>(&loop), true), "[::1]:8080");
}

}  // namespace
}  // namespace rg::proxy
