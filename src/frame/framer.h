// The HTTP/1.x framer: where each message of a connection's byte stream
// ends, for hosts that relay a connection (the proxy, `ravelgard check`, the
// ISAPI adapter's pipelining). Built on llhttp in its strict mode, with the
// extra refusals of every framing two servers could read differently
// (request smuggling): a message passes only when its boundaries are beyond
// dispute.
//
// Plain record and free functions; the record is owned by the caller and
// holds no heap memory (llhttp's state lives inside it).
#pragma once

#include <cstddef>
#include <cstdint>

namespace rg {

enum class FrameKind : uint32_t { kRequest = 0, kResponse = 1 };

// Why a framing was refused. Each has one meaning and one log message
// (FrameErrorMessage).
enum class FrameError : uint32_t {
  kNone = 0,
  kContentLengthWithTransferEncoding = 1,  // both headers present
  kContentLengthRepeated = 2,              // more than one Content-Length
  kContentLengthInvalid = 3,               // sign, spaces, a list, not digits, overflow
  kTransferCodingUnsupported = 4,          // anything but a single final "chunked"
  kTransferEncodingOnHttp10 = 5,
  kObsoleteLineFolding = 6,
  kSpaceBeforeColon = 7,       // whitespace between a header name and its ':'
  kBareCarriageReturn = 8,     // CR not followed by LF
  kBareLineFeed = 9,           // LF without its CR
  kChunkSizeInvalid = 10,      // not hex, or overflowing 64 bits
  kChunkExtensionInvalid = 11,
  kChunkDataInvalid = 12,      // chunk data not followed by CR LF
  kTrailerInvalid = 13,
  kRequestLineInvalid = 14,    // method, target or version malformed
  kHeaderInvalid = 15,         // header name or value bytes llhttp refuses
  kVersionUnsupported = 16,    // not HTTP/1.0 or HTTP/1.1
  kStatusLineInvalid = 17,     // responses only
  kHeadTooLong = 18,           // head (or trailer section) longer than the framer's limit
  kUnexpectedData = 19,        // bytes after a message that must be the last
  kOther = 20,                 // any other refusal; a message cut by the connection's end
  kBoundaryDisputed = 21,      // llhttp and the byte checker end a head, chunk line or
                               // trailer section at different bytes
  kCount = 22,
};

// The bracketed message of a framing refusal as the log writes it, with one
// space on each side, e.g. " [Ambiguous framing: Content-Length with
// Transfer-Encoding] ".
const char* FrameErrorMessage(FrameError error);

// What one FramerFeed call found. Offsets count from the first byte passed
// to that call.
struct FrameResult {
  size_t consumed;          // bytes taken; the rest belongs to the next call.
                            // With an error: the offset of the byte it names
  FrameError error;         // kNone, or the refusal (the framer is then spent)
  bool headComplete;        // the head ended within the bytes consumed...
  size_t headEnd;           // ...this many bytes in (after the empty line)
  bool messageComplete;     // the whole message ended within the bytes consumed...
  size_t messageEnd;        // ...this many bytes in; == consumed (feeding stops there)
  bool upgrade;             // the message asks to leave HTTP (Upgrade, CONNECT)
  bool keepAlive;           // valid once messageComplete
};
// After a request with upgrade set the framer goes on reading HTTP (the
// server may refuse the switch); a host whose connection did switch stops
// feeding it. After a response with upgrade set (101, or 2xx to CONNECT)
// nothing may follow: more bytes are kUnexpectedData.

// Storage for llhttp's parser and the checker's state, opaque to callers.
// Every connection carries one: they take 208 bytes on 64-bit systems (176
// on 32-bit ones), and the rest is room for a later llhttp's parser (the
// build fails if it outgrows it).
struct Framer {
  alignas(16) unsigned char storage[224];
};

// Starts a framer for requests or responses. maxHeadLength bounds the head
// (0: 64 KiB).
void FramerInit(Framer* framer, FrameKind kind, uint32_t maxHeadLength);
// A response framer must know when the request was HEAD (no body follows
// whatever the headers say) or CONNECT; call before the response's bytes.
void FramerExpectResponseTo(Framer* framer, bool headRequest, bool connectRequest);
// Feeds bytes. Stops right after the head and right after the end of a
// message, so a caller sees every boundary; feed the rest again. After
// messageComplete the framer is ready for the next message of the stream.
// A response without a length runs to the end of the connection: call
// FramerFinish there. Any split of a stream into calls gives the same
// boundaries and the same refusal at the same byte; a refusal that names
// the byte after the last one fed is given by the call that brings that
// byte (consumed 0) or by FramerFinish. Never reads past length; bytes may
// be null when length is 0.
FrameResult FramerFeed(Framer* framer, const void* bytes, size_t length);
// The connection has ended: completes a close-delimited response, or says
// the message was cut (kOther) when one was under way. No effect between
// messages.
FrameResult FramerFinish(Framer* framer);

// Facts about the current message's head, valid once headComplete.
struct FrameHead {
  uint32_t versionMajor;
  uint32_t versionMinor;
  uint32_t status;          // responses
  bool chunked;
  bool hasContentLength;
  uint64_t contentLength;
  bool methodIsHead;        // requests
  bool methodIsConnect;     // requests
  bool expectContinue;      // requests: Expect: 100-continue
};
void FramerHead(const Framer* framer, FrameHead* out);

}  // namespace rg
