// The HTTP/1.x framer: where each message of a stream ends, which framings
// it refuses and why, and that the caller's way of splitting the stream
// never changes either.
#include "frame/framer.h"
#include "byte_scan_levels.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace rg {
namespace {

// What a caller learns from feeding a whole stream: every boundary with
// its absolute offset, then the refusal or the end.
struct Event {
  char what;  // 'h' head end, 'm' message end
  size_t at;
  bool upgrade;
  bool keepAlive;
  bool operator==(const Event&) const = default;
};

struct Trace {
  std::vector<Event> events;
  FrameError error = FrameError::kNone;
  size_t errorAt = 0;
  bool operator==(const Trace&) const = default;
};

std::string Describe(const Trace& t) {
  std::string s;
  for (const Event& e : t.events) {
    s += std::string(1, e.what) + "@" + std::to_string(e.at) + (e.upgrade ? "u" : "") +
         (e.keepAlive ? "k" : "") + " ";
  }
  if (t.error != FrameError::kNone) {
    s +=
        "error " + std::to_string(static_cast<uint32_t>(t.error)) + "@" + std::to_string(t.errorAt);
  }
  return s;
}

struct FrameSetup {
  FrameKind kind = FrameKind::kRequest;
  bool headRequest = false;
  bool connectRequest = false;
  uint32_t maxHead = 0;
  bool finish = false;  // the connection ends after the bytes
};

// Feeds the stream in the given deliveries (their sizes add up to the
// stream's length), each delivery again and again until it is used up, as
// a host would.
Trace Feed(const FrameSetup& setup, const std::string& stream, const std::vector<size_t>& sizes) {
  Framer framer;
  FramerInit(&framer, setup.kind, setup.maxHead);
  FramerExpectResponseTo(&framer, setup.headRequest, setup.connectRequest);
  Trace trace;
  size_t offset = 0;
  for (size_t size : sizes) {
    size_t end = offset + size;
    do {
      FrameResult r = FramerFeed(&framer, stream.data() + offset, end - offset);
      if (r.headComplete) trace.events.push_back({'h', offset + r.headEnd, r.upgrade, false});
      if (r.messageComplete) {
        EXPECT_EQ(r.messageEnd, r.consumed);
        trace.events.push_back({'m', offset + r.messageEnd, r.upgrade, r.keepAlive});
      }
      if (r.error != FrameError::kNone) {
        trace.error = r.error;
        trace.errorAt = offset + r.consumed;
        return trace;
      }
      EXPECT_TRUE(r.consumed > 0 || r.headComplete || r.messageComplete || offset == end)
          << "a call that takes nothing must report something";
      if (r.consumed == 0 && !r.headComplete && !r.messageComplete) break;
      offset += r.consumed;
    } while (offset < end);
  }
  if (setup.finish) {
    FrameResult r = FramerFinish(&framer);
    if (r.messageComplete) trace.events.push_back({'m', offset, r.upgrade, r.keepAlive});
    if (r.error != FrameError::kNone) {
      trace.error = r.error;
      trace.errorAt = offset;
    }
  }
  return trace;
}

std::vector<size_t> Whole(const std::string& s) { return {s.size()}; }
std::vector<size_t> Bytes(const std::string& s) { return std::vector<size_t>(s.size(), 1); }

// One case: messages the framer accepts, then perhaps a refused rest in
// which a backquote marks the byte the refusal names.
struct FrameCase {
  const char* name = "";
  std::vector<std::string> accepted = {};
  std::string refused = "";
  FrameError error = FrameError::kNone;
  FrameSetup setup = {};
};

// The stream and the trace the case expects. A message's head ends after
// its first empty line; a refused rest reports its head end when the head
// was complete before the faulty byte.
std::pair<std::string, Trace> Expected(const FrameCase& c) {
  std::string stream;
  Trace t;
  for (const std::string& m : c.accepted) {
    size_t head = stream.size() + m.find("\r\n\r\n") + 4;
    stream += m;
    t.events.push_back({'h', head, false, false});
    t.events.push_back({'m', stream.size(), false, false});
  }
  if (!c.refused.empty()) {
    size_t mark = c.refused.find('`');
    std::string rest = c.refused;
    rest.erase(mark, 1);
    size_t head = rest.find("\r\n\r\n");
    if (head != std::string::npos && head + 4 <= mark) {
      t.events.push_back({'h', stream.size() + head + 4, false, false});
    }
    t.error = c.error;
    t.errorAt = stream.size() + mark;
    stream += rest;
  }
  return {stream, t};
}

// Flags are checked on their own (FlagsOfMessages); the table compares
// boundaries and refusals.
Trace Boundaries(Trace t) {
  for (Event& e : t.events) e.upgrade = e.keepAlive = false;
  return t;
}

const std::string kChunked = "POST /u HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";

std::vector<FrameCase> Cases() {
  FrameSetup response;
  response.kind = FrameKind::kResponse;
  FrameSetup toHead = response;
  toHead.headRequest = true;
  FrameSetup toConnect = response;
  toConnect.connectRequest = true;
  FrameSetup untilClose = response;
  untilClose.finish = true;
  FrameSetup smallHead;
  smallHead.maxHead = 40;
  FrameSetup smallTrailers;  // the head of kChunked is 48 bytes
  smallTrailers.maxHead = 48;
  FrameSetup requestsThenEnd;
  requestsThenEnd.finish = true;

  return {
      // Accepted requests.
      {"no body", {"GET / HTTP/1.1\r\nHost: a\r\n\r\n"}},
      {"no headers at all", {"GET / HTTP/1.1\r\n\r\n"}},
      {"one empty line before the request line", {"\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n"}},
      {"Content-Length body", {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"}},
      {"Content-Length 0", {"POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"}},
      {"Content-Length with spaces around it",
       {"POST / HTTP/1.1\r\nContent-Length:  3 \r\n\r\nabc"}},
      {"chunked", {kChunked + "5\r\nhello\r\n3\r\nabc\r\n0\r\n\r\n"}},
      {"chunked with uppercase hex and extensions",
       {kChunked + "A;name=value\r\n0123456789\r\n5;q=\"x y\";z\r\nhello\r\n0;last\r\n\r\n"}},
      {"chunked with trailers", {kChunked + "2\r\nab\r\n0\r\nX-Sum: 1\r\nX-Other: 2\r\n\r\n"}},
      {"chunked body holding CR LF CR LF", {kChunked + "4\r\n\r\n\r\n\r\n0\r\n\r\n"}},
      {"Transfer-Encoding in capitals",
       {"POST / HTTP/1.1\r\ntransfer-encoding: CHUNKED\r\n\r\n0\r\n\r\n"}},
      {"pipelined requests",
       {"GET /a HTTP/1.1\r\n\r\n", "POST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\nok",
        kChunked + "1\r\nx\r\n0\r\n\r\n", "GET /d HTTP/1.1\r\nHost: d\r\n\r\n"}},
      {"a stray CR LF between pipelined requests",
       {"POST / HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "\r\nGET / HTTP/1.1\r\n\r\n"}},
      {"HTTP/1.0 request", {"GET / HTTP/1.0\r\n\r\n"}},
      {"HTTP/1.0 keep-alive pipelined",
       {"GET /a HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", "GET /b HTTP/1.0\r\n\r\n"}},
      {"absolute target and asterisk",
       {"GET http://h/p?q HTTP/1.1\r\n\r\n", "OPTIONS * HTTP/1.1\r\n\r\n"}},
      {"CONNECT, then HTTP goes on", {"CONNECT h:443 HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\n\r\n"}},
      {"upgrade request with a body, then HTTP goes on to the end",
       {"GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nContent-Length: "
        "3\r\n\r\nabc",
        "GET / HTTP/1.1\r\n\r\n"},
       "",
       {},
       requestsThenEnd},
      {"head exactly at the limit",
       {"GET / HTTP/1.1\r\nHost: 0123456789abcd\r\n\r\n"},
       "",
       {},
       smallHead},

      // Accepted responses.
      {"100 Continue then 200",
       {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
       "",
       {},
       response},
      {"101 ends the HTTP exchange",
       {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"},
       "",
       {},
       response},
      {"204 and 304 end with their head whatever they say",
       {"HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n",
        "HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n"},
       "",
       {},
       untilClose},
      {"response to HEAD has no body",
       {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"},
       "",
       {},
       toHead},
      {"response to HEAD with chunked",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"},
       "",
       {},
       toHead},
      {"close-delimited response",
       {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nall of it"},
       "",
       {},
       untilClose},
      {"chunked response",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"},
       "",
       {},
       response},
      {"CONNECT 2xx ends the HTTP exchange",
       {"HTTP/1.1 200 Connection established\r\n\r\n"},
       "",
       {},
       toConnect},
      {"CONNECT refused, body read",
       {"HTTP/1.1 407 Auth\r\nContent-Length: 2\r\n\r\nno"},
       "",
       {},
       toConnect},
      {"reason phrase with spaces",
       {"HTTP/1.1 404 Not  Found\r\nContent-Length: 0\r\n\r\n"},
       "",
       {},
       response},

      // Ambiguous framing.
      {"Content-Length with Transfer-Encoding",
       {},
       "POST / HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding:` chunked\r\n\r\n",
       FrameError::kContentLengthWithTransferEncoding},
      {"Transfer-Encoding with Content-Length",
       {},
       "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length:` 5\r\n\r\n",
       FrameError::kContentLengthWithTransferEncoding},
      {"Content-Length twice, same value",
       {},
       "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length:` 5\r\n\r\nhello",
       FrameError::kContentLengthRepeated},
      {"Content-Length with a sign",
       {},
       "POST / HTTP/1.1\r\nContent-Length: `+5\r\n\r\nhello",
       FrameError::kContentLengthInvalid},
      {"Content-Length as a list",
       {},
       "POST / HTTP/1.1\r\nContent-Length: 5`,5\r\n\r\nhello",
       FrameError::kContentLengthInvalid},
      {"Content-Length with a space inside",
       {},
       "POST / HTTP/1.1\r\nContent-Length: 1 `2\r\n\r\n",
       FrameError::kContentLengthInvalid},
      {"Content-Length empty",
       {},
       "POST / HTTP/1.1\r\nContent-Length: \r\n`\r\n",
       FrameError::kContentLengthInvalid},
      {"Content-Length over 64 bits",
       {},
       "POST / HTTP/1.1\r\nContent-Length: 18446744073709551616`\r\n\r\n",
       FrameError::kContentLengthInvalid},
      {"gzip before chunked",
       {},
       "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n`\r\n",
       FrameError::kTransferCodingUnsupported},
      {"chunked before gzip",
       {},
       "POST / HTTP/1.1\r\nTransfer-Encoding: chunked,` gzip\r\n\r\n",
       FrameError::kTransferCodingUnsupported},
      {"Transfer-Encoding twice",
       {},
       "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding:` chunked\r\n\r\n",
       FrameError::kTransferCodingUnsupported},
      {"identity coding",
       {},
       "POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\n`\r\n",
       FrameError::kTransferCodingUnsupported},
      {"Transfer-Encoding on HTTP/1.0",
       {},
       "POST / HTTP/1.0\r\nTransfer-Encoding:` chunked\r\n\r\n0\r\n\r\n",
       FrameError::kTransferEncodingOnHttp10},
      {"obs-fold",
       {},
       "GET / HTTP/1.1\r\nX-A: 1\r\n` continued\r\n\r\n",
       FrameError::kObsoleteLineFolding},
      {"obs-fold with a tab",
       {},
       "GET / HTTP/1.1\r\nX-A: 1\r\n`\tcontinued\r\n\r\n",
       FrameError::kObsoleteLineFolding},
      {"space before the first header",
       {},
       "GET / HTTP/1.1\r\n` Host: a\r\n\r\n",
       FrameError::kObsoleteLineFolding},
      {"space before the colon",
       {},
       "GET / HTTP/1.1\r\nHost` : a\r\n\r\n",
       FrameError::kSpaceBeforeColon},
      {"tab before the colon",
       {},
       "POST / HTTP/1.1\r\nContent-Length`\t: 5\r\n\r\nhello",
       FrameError::kSpaceBeforeColon},
      {"bare CR in a header value",
       {},
       "GET / HTTP/1.1\r\nX-A: a\r`b\r\n\r\n",
       FrameError::kBareCarriageReturn},
      {"bare CR ending the request line",
       {},
       "GET / HTTP/1.1\r`Host: a\r\n\r\n",
       FrameError::kBareCarriageReturn},
      {"bare CR in a chunk line",
       {},
       kChunked + "5;a\r`b\r\nhello\r\n0\r\n\r\n",
       FrameError::kBareCarriageReturn},
      {"bare CR after chunk data",
       {},
       kChunked + "1\r\nx\r`0\r\n\r\n",
       FrameError::kBareCarriageReturn},
      {"bare LF ending the request line",
       {},
       "GET / HTTP/1.1`\nHost: a\r\n\r\n",
       FrameError::kBareLineFeed},
      {"bare LF ending a header line",
       {},
       "GET / HTTP/1.1\r\nHost: a`\n\r\n",
       FrameError::kBareLineFeed},
      {"bare LF as the empty line",
       {},
       "GET / HTTP/1.1\r\nHost: a\r\n`\n",
       FrameError::kBareLineFeed},
      {"bare LF before the request line",
       {},
       "`\nGET / HTTP/1.1\r\n\r\n",
       FrameError::kBareLineFeed},
      {"bare LF ending a chunk-size line",
       {},
       kChunked + "5`\nhello\r\n0\r\n\r\n",
       FrameError::kBareLineFeed},
      {"bare LF after chunk data",
       {},
       kChunked + "5\r\nhello`\n0\r\n\r\n",
       FrameError::kBareLineFeed},
      {"bare LF ending the last chunk", {}, kChunked + "0`\n\r\n", FrameError::kBareLineFeed},
      {"bare LF ending the trailers",
       {},
       kChunked + "0\r\nX-T: 1\r\n`\n",
       FrameError::kBareLineFeed},
      {"chunk size over 64 bits",
       {},
       kChunked + "10000000000000000`\r\n",
       FrameError::kChunkSizeInvalid},
      {"chunk size with 0x",
       {},
       kChunked + "0`x5\r\nhello\r\n0\r\n\r\n",
       FrameError::kChunkSizeInvalid},
      {"chunk size with a sign",
       {},
       kChunked + "`-5\r\nhello\r\n0\r\n\r\n",
       FrameError::kChunkSizeInvalid},
      {"chunk size with a space",
       {},
       kChunked + "5` \r\nhello\r\n0\r\n\r\n",
       FrameError::kChunkSizeInvalid},
      {"empty chunk size", {}, kChunked + "`\r\n", FrameError::kChunkSizeInvalid},
      {"chunk extension without a value after =",
       {},
       kChunked + "5;a=\r`\nhello\r\n0\r\n\r\n",
       FrameError::kChunkExtensionInvalid},
      {"chunk extension without a name",
       {},
       kChunked + "5;\r`\nhello\r\n0\r\n\r\n",
       FrameError::kChunkExtensionInvalid},
      {"chunk extension with a space",
       {},
       kChunked + "5;a=b `c\r\nhello\r\n0\r\n\r\n",
       FrameError::kChunkExtensionInvalid},
      {"chunk extension with a bad quoted value",
       {},
       kChunked + "5;a=\"b`\x01\"\r\nhello\r\n0\r\n\r\n",
       FrameError::kChunkExtensionInvalid},
      {"chunk data longer than its size",
       {},
       kChunked + "3\r\nabc`d\r\n0\r\n\r\n",
       FrameError::kChunkDataInvalid},
      {"Content-Length in the trailers",
       {},
       kChunked + "0\r\nContent-Length:` 5\r\n\r\n",
       FrameError::kTrailerInvalid},
      {"Transfer-Encoding in the trailers",
       {},
       kChunked + "0\r\nTransfer-Encoding:` chunked\r\n\r\n",
       FrameError::kTrailerInvalid},
      {"trailer without a name", {}, kChunked + "0\r\n`: x\r\n\r\n", FrameError::kTrailerInvalid},
      {"trailer name with a bad byte",
       {},
       kChunked + "0\r\nX`@Y: 1\r\n\r\n",
       FrameError::kTrailerInvalid},
      {"trailer with obs-fold",
       {},
       kChunked + "0\r\nX-T: 1\r\n` 2\r\n\r\n",
       FrameError::kObsoleteLineFolding},

      // Malformed messages.
      {"two empty lines before the request line",
       {},
       "\r\n`\r\nGET / HTTP/1.1\r\n\r\n",
       FrameError::kRequestLineInvalid},
      {"two SP after the method", {}, "GET ` / HTTP/1.1\r\n\r\n", FrameError::kRequestLineInvalid},
      {"SP before the method", {}, "` GET / HTTP/1.1\r\n\r\n", FrameError::kRequestLineInvalid},
      {"control byte in the target",
       {},
       "GET /`\x01 HTTP/1.1\r\n\r\n",
       FrameError::kRequestLineInvalid},
      {"unknown method", {}, "G`IT / HTTP/1.1\r\n\r\n", FrameError::kRequestLineInvalid},
      {"HTTP/0.9 request line", {}, "GET /\r`\n\r\n", FrameError::kRequestLineInvalid},
      {"HTTP/1.2", {}, "GET / HTTP/1.2`\r\n\r\n", FrameError::kVersionUnsupported},
      {"HTTP/2.0", {}, "GET / HTTP/2.0`\r\n\r\n", FrameError::kVersionUnsupported},
      {"RTSP instead of HTTP", {}, "GET / `RTSP/1.0\r\n\r\n", FrameError::kVersionUnsupported},
      {"header without a name", {}, "GET / HTTP/1.1\r\n`: a\r\n\r\n", FrameError::kHeaderInvalid},
      {"header name with a bad byte",
       {},
       "GET / HTTP/1.1\r\nHo`(st: a\r\n\r\n",
       FrameError::kHeaderInvalid},
      {"header line without a colon",
       {},
       "GET / HTTP/1.1\r\nHost`\r\n\r\n",
       FrameError::kHeaderInvalid},
      {"control byte in a header value",
       {},
       "GET / HTTP/1.1\r\nX-A: a`\x7f\r\n\r\n",
       FrameError::kHeaderInvalid},
      {"status line with two SP",
       {},
       "HTTP/1.1 ` 200 OK\r\n\r\n",
       FrameError::kStatusLineInvalid,
       response},
      {"status code not three digits",
       {},
       "HTTP/1.1 2`x0 OK\r\n\r\n",
       FrameError::kStatusLineInvalid,
       response},
      {"response version not HTTP",
       {},
       "`ICY 200 OK\r\n\r\n",
       FrameError::kVersionUnsupported,
       response},
      {"head one byte over the limit",
       {},
       "GET / HTTP/1.1\r\nHost: 0123456789abcde\r\n\r`\n",
       FrameError::kHeadTooLong,
       smallHead},
      {"head over the limit inside a header line",
       {},
       "GET / HTTP/1.1\r\nHost: 0123456789abcdefgh`ijklmnopqrstuvwxyz\r\n\r\n",
       FrameError::kHeadTooLong,
       smallHead},
      {"trailers one byte over the limit",
       {},
       kChunked + "0\r\nX-Trailer: 0123456789012345678901234567890123\r\n\r`\n",
       FrameError::kHeadTooLong,
       smallTrailers},
      {"request after Connection: close",
       {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n"},
       "`GET / HTTP/1.1\r\n\r\n",
       FrameError::kUnexpectedData},
      {"request after an HTTP/1.0 one",
       {"GET / HTTP/1.0\r\n\r\n"},
       "`GET / HTTP/1.1\r\n\r\n",
       FrameError::kUnexpectedData},
      {"request after an empty line after an HTTP/1.0 one",
       {"GET / HTTP/1.0\r\n\r\n"},
       "\r\n`GET / HTTP/1.1\r\n\r\n",
       FrameError::kUnexpectedData},
      {"bytes after 101",
       {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n\r\n"},
       "`PRI * HTTP/2.0",
       FrameError::kUnexpectedData,
       response},
      {"bytes after a CONNECT 2xx",
       {"HTTP/1.1 200 OK\r\n\r\n"},
       "`tunnel",
       FrameError::kUnexpectedData,
       toConnect},
      {"connection cut inside a body",
       {},
       "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc`",
       FrameError::kOther,
       requestsThenEnd},
      {"connection cut inside a head",
       {},
       "GET / HTTP/1.1\r\nHo`",
       FrameError::kOther,
       requestsThenEnd},
  };
}

// Fed byte by byte, the checker meets every byte on its own; fed whole, it
// passes over lines and runs with the byte searches, at every level.
TEST(Framer, CasesWholeAndByteByByte) {
  for (const FrameCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    // Named members, not a structured binding: the lambda below captures
    // the stream, which clang before 16 cannot do for a binding.
    const std::pair<std::string, Trace> framed = Expected(c);
    const std::string& stream = framed.first;
    const Trace& expected = framed.second;
    Trace bytes = Feed(c.setup, stream, Bytes(stream));
    EXPECT_EQ(Boundaries(bytes), expected) << Describe(bytes) << " expected " << Describe(expected);
    rg::test::ForEachByteScanLevel([&] {
      Trace whole = Feed(c.setup, stream, Whole(stream));
      EXPECT_EQ(whole, bytes) << Describe(whole) << " byte by byte: " << Describe(bytes);
    });
  }
}

// Every cut into two deliveries and a few random splittings give the same
// trace as the whole stream.
TEST(Framer, CasesAtEverySplit) {
  std::mt19937 random(20240611);
  for (const FrameCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::string stream = Expected(c).first;
    Trace whole = Feed(c.setup, stream, Whole(stream));
    for (size_t cut = 1; cut < stream.size(); ++cut) {
      Trace split = Feed(c.setup, stream, {cut, stream.size() - cut});
      ASSERT_EQ(split, whole) << "cut at " << cut << ": " << Describe(split);
    }
    for (int round = 0; round < 8; ++round) {
      std::vector<size_t> sizes;
      for (size_t left = stream.size(); left > 0;) {
        size_t n = std::min<size_t>(left, 1 + random() % 9);
        sizes.push_back(n);
        left -= n;
      }
      Trace split = Feed(c.setup, stream, sizes);
      ASSERT_EQ(split, whole) << "random round " << round << ": " << Describe(split);
    }
  }
}

TEST(Framer, FlagsOfMessages) {
  FrameSetup request;
  FrameSetup response;
  response.kind = FrameKind::kResponse;
  FrameSetup toConnect = response;
  toConnect.connectRequest = true;
  struct FlagCase {
    const char* name;
    FrameSetup setup;
    std::string message;
    bool upgrade;
    bool keepAlive;
  };
  const std::vector<FlagCase> cases = {
      {"HTTP/1.1 keeps the connection", request, "GET / HTTP/1.1\r\n\r\n", false, true},
      {"Connection: close", request, "GET / HTTP/1.1\r\nConnection: close\r\n\r\n", false, false},
      {"HTTP/1.0", request, "GET / HTTP/1.0\r\n\r\n", false, false},
      {"HTTP/1.0 keep-alive", request, "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", false,
       true},
      {"WebSocket upgrade request", request,
       "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", true, true},
      {"CONNECT request", request, "CONNECT h:443 HTTP/1.1\r\n\r\n", true, true},
      {"101 response", response,
       "HTTP/1.1 101 Switching\r\nUpgrade: a\r\nConnection: upgrade\r\n\r\n", true, false},
      {"CONNECT 2xx", toConnect, "HTTP/1.1 200 OK\r\n\r\n", true, false},
      {"ordinary response", response, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, true},
  };
  for (const FlagCase& c : cases) {
    SCOPED_TRACE(c.name);
    Trace t = Feed(c.setup, c.message, Whole(c.message));
    ASSERT_EQ(t.events.size(), 2u) << Describe(t);
    EXPECT_EQ(t.events[0].upgrade, c.upgrade);
    EXPECT_EQ(t.events[1].upgrade, c.upgrade);
    EXPECT_EQ(t.events[1].keepAlive, c.keepAlive);
  }
}

TEST(Framer, HeadFacts) {
  Framer f;
  FramerInit(&f, FrameKind::kRequest, 0);
  std::string a = "HEAD / HTTP/1.0\r\n\r\n";
  FrameResult r = FramerFeed(&f, a.data(), a.size());
  ASSERT_TRUE(r.headComplete);
  FrameHead head;
  FramerHead(&f, &head);
  EXPECT_EQ(head.versionMajor, 1u);
  EXPECT_EQ(head.versionMinor, 0u);
  EXPECT_TRUE(head.methodIsHead);
  EXPECT_FALSE(head.methodIsConnect);
  EXPECT_FALSE(head.hasContentLength);
  EXPECT_FALSE(head.chunked);

  FramerInit(&f, FrameKind::kRequest, 0);
  std::string b = "POST / HTTP/1.1\r\nExpect: 100-Continue \r\nContent-Length: 12345\r\n\r\n";
  r = FramerFeed(&f, b.data(), b.size());
  ASSERT_TRUE(r.headComplete);
  EXPECT_FALSE(r.messageComplete) << "the body has not come yet";
  FramerHead(&f, &head);
  EXPECT_EQ(head.versionMinor, 1u);
  EXPECT_TRUE(head.hasContentLength);
  EXPECT_EQ(head.contentLength, 12345u);
  EXPECT_TRUE(head.expectContinue);
  EXPECT_FALSE(head.methodIsHead);

  FramerInit(&f, FrameKind::kRequest, 0);
  std::string c = "CONNECT h:443 HTTP/1.1\r\nExpect: 100-continuex\r\n\r\n";
  r = FramerFeed(&f, c.data(), c.size());
  ASSERT_TRUE(r.messageComplete);
  FramerHead(&f, &head);
  EXPECT_TRUE(head.methodIsConnect);
  EXPECT_FALSE(head.expectContinue);

  FramerInit(&f, FrameKind::kResponse, 0);
  std::string d = "HTTP/1.1 503 Busy\r\nTransfer-Encoding: chunked\r\n\r\n";
  r = FramerFeed(&f, d.data(), d.size());
  ASSERT_TRUE(r.headComplete);
  FramerHead(&f, &head);
  EXPECT_EQ(head.status, 503u);
  EXPECT_TRUE(head.chunked);
  EXPECT_FALSE(head.hasContentLength);
}

// The head is reported before any body byte is taken, and the body's end
// in a later call.
TEST(Framer, StopsAfterTheHeadAndEachMessage) {
  Framer f;
  FramerInit(&f, FrameKind::kRequest, 0);
  std::string s = "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET / HTTP/1.1\r\n\r\n";
  FrameResult r = FramerFeed(&f, s.data(), s.size());
  EXPECT_TRUE(r.headComplete);
  EXPECT_FALSE(r.messageComplete);
  EXPECT_EQ(r.consumed, 38u);
  EXPECT_EQ(r.headEnd, 38u);
  r = FramerFeed(&f, s.data() + 38, s.size() - 38);
  EXPECT_FALSE(r.headComplete);
  EXPECT_TRUE(r.messageComplete);
  EXPECT_EQ(r.consumed, 3u);
  r = FramerFeed(&f, s.data() + 41, s.size() - 41);
  EXPECT_TRUE(r.headComplete && r.messageComplete);
  EXPECT_EQ(r.consumed, s.size() - 41);
  // Nothing more: an empty feed reports nothing, as does the end.
  r = FramerFeed(&f, s.data() + s.size(), 0);
  EXPECT_EQ(r.consumed, 0u);
  EXPECT_FALSE(r.headComplete || r.messageComplete);
  r = FramerFinish(&f);
  EXPECT_EQ(r.error, FrameError::kNone);
  EXPECT_FALSE(r.messageComplete);
}

TEST(Framer, SpentAfterARefusal) {
  Framer f;
  FramerInit(&f, FrameKind::kRequest, 0);
  std::string bad = "GET / HTTP/1.1\nHost: a\r\n\r\n";
  FrameResult r = FramerFeed(&f, bad.data(), bad.size());
  EXPECT_EQ(r.error, FrameError::kBareLineFeed);
  EXPECT_EQ(r.consumed, 14u);
  std::string good = "GET / HTTP/1.1\r\n\r\n";
  r = FramerFeed(&f, good.data(), good.size());
  EXPECT_EQ(r.error, FrameError::kBareLineFeed);
  EXPECT_EQ(r.consumed, 0u);
  EXPECT_FALSE(r.headComplete || r.messageComplete);
  EXPECT_EQ(FramerFinish(&f).error, FrameError::kBareLineFeed);
}

// A framer record holds no pointer into itself: a copy taken between two
// feeds goes on from where the original stood.
TEST(Framer, RecordCanBeCopied) {
  Framer a;
  FramerInit(&a, FrameKind::kRequest, 0);
  std::string s = kChunked + "3\r\nabc\r\n0\r\n\r\n";
  FrameResult r = FramerFeed(&a, s.data(), 50);
  ASSERT_TRUE(r.headComplete);
  Framer b;
  std::memcpy(&b, &a, sizeof(Framer));
  std::memset(&a, 0xAB, sizeof(Framer));
  size_t at = r.consumed;
  for (;;) {
    r = FramerFeed(&b, s.data() + at, s.size() - at);
    ASSERT_EQ(r.error, FrameError::kNone);
    at += r.consumed;
    if (r.messageComplete) break;
  }
  EXPECT_EQ(at, s.size());
}

TEST(Framer, ErrorMessages) {
  std::set<std::string> seen;
  for (uint32_t i = 0; i < static_cast<uint32_t>(FrameError::kCount); ++i) {
    std::string m = FrameErrorMessage(static_cast<FrameError>(i));
    SCOPED_TRACE(m);
    EXPECT_EQ(m.rfind(" [", 0), 0u);
    EXPECT_EQ(m.substr(m.size() - 2), "] ");
    EXPECT_TRUE(seen.insert(m).second) << "each reason has a message of its own";
  }
}

}  // namespace
}  // namespace rg
