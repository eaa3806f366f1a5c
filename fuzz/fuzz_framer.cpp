// The framer against two independent readers of the same bytes.
//
// The input is a stream of requests or responses (knobs at its end choose
// which, what the request of a response was, a head limit and cut points).
// Invariants:
//
// 1. Delivery: the framer fed the whole stream at once, one byte at a time
//    and in the fuzzer's chunks reports the same boundaries and the same
//    refusal at the same offset.
// 2. Agreement: for every head the framer reports, llhttp on its own with
//    every lenient flag on ends the head at the same offset, and for a
//    request so does the core's scanner (the first CR LF CR LF of the
//    message's bytes); for every message the framer completes, lenient
//    llhttp ends it at the same offset. A stream the framer lets through is
//    split the same way by a reader that accepts far more.
// 3. Shape: offsets within what was fed, a message end equal to what the
//    call took, the head before the message end; never kBoundaryDisputed,
//    which would mean the framer's own two parts read the stream apart.
#include <llhttp.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "filter/context.h"
#include "frame/framer.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "policy/policy.h"
#include "scan/byte_scan.h"
#include "scan/scan.h"

namespace {

using rg::fuzz::Require;

struct Knobs {
  bool response;
  bool headRequest;
  bool connectRequest;
  bool finish;
  uint32_t maxHead;
};

struct Event {
  char what;  // 'h' head end, 'm' message end
  size_t at;
  bool operator==(const Event&) const = default;
};

struct Trace {
  std::vector<Event> events;
  rg::FrameError error = rg::FrameError::kNone;
  size_t errorAt = 0;
  bool operator==(const Trace&) const = default;
};

Trace FeedFramer(const Knobs& k, const std::vector<uint8_t>& stream,
                 const std::vector<uint32_t>& lengths) {
  rg::Framer framer;
  rg::FramerInit(&framer, k.response ? rg::FrameKind::kResponse : rg::FrameKind::kRequest,
                 k.maxHead);
  rg::FramerExpectResponseTo(&framer, k.headRequest, k.connectRequest);
  Trace t;
  size_t offset = 0;
  for (uint32_t length : lengths) {
    // Each delivery in a block of its own size, so that reads past it are
    // caught.
    std::vector<uint8_t> chunk(stream.begin() + offset, stream.begin() + offset + length);
    size_t used = 0;
    do {
      rg::FrameResult r = rg::FramerFeed(&framer, chunk.data() + used, length - used);
      Require(r.consumed <= length - used, "the framer took more than it was given");
      if (r.headComplete) {
        Require(r.headEnd <= r.consumed, "head end beyond what was taken");
        t.events.push_back({'h', offset + used + r.headEnd});
      }
      if (r.messageComplete) {
        Require(r.messageEnd == r.consumed, "a message end that is not where feeding stopped");
        t.events.push_back({'m', offset + used + r.messageEnd});
      }
      if (r.error != rg::FrameError::kNone) {
        Require(r.error < rg::FrameError::kCount, "an error out of range");
        t.error = r.error;
        t.errorAt = offset + used + r.consumed;
        return t;
      }
      if (r.consumed == 0 && !r.headComplete && !r.messageComplete) {
        Require(used == length, "a call that took nothing and said nothing");
        break;
      }
      used += r.consumed;
    } while (used < length);
    offset += length;
  }
  if (k.finish) {
    rg::FrameResult r = rg::FramerFinish(&framer);
    if (r.messageComplete) t.events.push_back({'m', offset});
    if (r.error != rg::FrameError::kNone) {
      t.error = r.error;
      t.errorAt = offset;
    }
  }
  return t;
}

// llhttp alone, every lenient flag on. It pauses after each head and each
// message so that their offsets are known; a response that ends with its
// head is told so (and then ends its head where the message ends).
struct Lenient {
  llhttp_t parser;
  const Knobs* knobs;
  bool head;
  bool headIsMessageEnd;  // informational: the head ends where the message does
  bool message;
  bool finalSeen;
  bool upgraded;  // a response left HTTP
};

int LenientHeadersComplete(llhttp_t* p) {
  Lenient* l = reinterpret_cast<Lenient*>(p);
  l->head = true;
  if (p->type == HTTP_RESPONSE) {
    uint32_t status = p->status_code;
    bool toHead = l->knobs->headRequest && !l->finalSeen;
    bool toConnect = l->knobs->connectRequest && !l->finalSeen;
    if (status >= 200 || status == 101) l->finalSeen = true;
    if (status == 101 || (toConnect && status / 100 == 2)) {
      l->headIsMessageEnd = true;
      l->upgraded = true;
      return 2;
    }
    if (status / 100 == 1 || status == 204 || status == 304 || toHead) {
      l->headIsMessageEnd = true;
      return 1;
    }
  }
  return HPE_PAUSED;
}

int LenientMessageComplete(llhttp_t* p) {
  reinterpret_cast<Lenient*>(p)->message = true;
  return HPE_PAUSED;
}

std::vector<Event> RunLenient(const Knobs& k, const std::vector<uint8_t>& stream) {
  static const llhttp_settings_t settings = [] {
    llhttp_settings_t s;
    llhttp_settings_init(&s);
    s.on_headers_complete = LenientHeadersComplete;
    s.on_message_complete = LenientMessageComplete;
    return s;
  }();
  Lenient l{};
  llhttp_init(&l.parser, k.response ? HTTP_RESPONSE : HTTP_REQUEST, &settings);
  llhttp_set_lenient_headers(&l.parser, 1);
  llhttp_set_lenient_chunked_length(&l.parser, 1);
  llhttp_set_lenient_keep_alive(&l.parser, 1);
  llhttp_set_lenient_transfer_encoding(&l.parser, 1);
  l.knobs = &k;
  std::vector<Event> events;
  const char* base = reinterpret_cast<const char*>(stream.data());
  size_t pos = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    l.head = l.headIsMessageEnd = l.message = false;
    llhttp_errno_t e = llhttp_execute(&l.parser, base + pos, stream.size() - pos);
    if (e != HPE_PAUSED && e != HPE_PAUSED_UPGRADE) break;
    pos = static_cast<size_t>(llhttp_get_error_pos(&l.parser) - base);
    if (e == HPE_PAUSED) {
      llhttp_resume(&l.parser);
    } else {
      llhttp_resume_after_upgrade(&l.parser);
    }
    if (l.head) events.push_back({'h', pos});
    if (l.message) events.push_back({'m', pos});
    // After an upgrade response the bytes are not HTTP.
    if (l.message && l.upgraded) return events;
  }
  if (k.finish) {
    l.message = false;
    llhttp_finish(&l.parser);
    if (l.message) events.push_back({'m', stream.size()});
  }
  return events;
}

const rg::FilterPolicy* PermissivePolicy() {
  // Zero-filled: every list in deny mode and empty, no limits, no
  // canonicalization. The head end does not depend on the policy anyway.
  static rg::FilterPolicy* policy = [] {
    auto* p = static_cast<rg::FilterPolicy*>(rg::HeapAllocZero(sizeof(rg::FilterPolicy)));
    Require(p != nullptr, "test allocation failed");
    p->AllowHighBitInPayload = 1;
    p->AllowDotInUrl = 1;
    p->AllowHighBitInUrl = 1;
    return p;
  }();
  return policy;
}

// Where the core's scanner finds the end of the head of a request that
// begins at start: its bytes up to the framer's message end (or the end of
// the stream) in one chunk.
bool CoreHeadEnd(const std::vector<uint8_t>& stream, size_t start, size_t end, size_t* headEnd) {
  rg::ScanContext context{};
  rg::ScanRawData(PermissivePolicy(), &context, stream.data() + start,
                  static_cast<uint32_t>(end - start));
  bool complete = context.headersComplete != 0;
  *headEnd = start + context.headersEnd + 4;
  rg::HeapFreeBlock(context.data);
  return complete;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 14) return 0;
  // Every level of the byte searches, chosen by the input's length so that
  // no byte of it is spent: the portable one is what other processors run.
  rg::SetByteScanLevel(static_cast<rg::ByteScanLevel>(size % 3));
  FuzzedDataProvider input(data, size);
  uint8_t mode = input.ConsumeIntegral<uint8_t>();
  uint8_t headKnob = input.ConsumeIntegral<uint8_t>();
  Knobs k;
  k.response = (mode & 1) != 0;
  k.headRequest = (mode & 2) != 0;
  k.connectRequest = (mode & 4) != 0;
  k.finish = (mode & 8) == 0;
  k.maxHead = headKnob == 0 ? 0 : uint32_t{headKnob} * 4;
  std::vector<uint16_t> cuts = rg::fuzz::ReadCuts(&input, 16);
  std::vector<uint8_t> stream = input.ConsumeRemainingBytes<uint8_t>();
  if (stream.empty()) return 0;

  // 1. Delivery.
  Trace whole = FeedFramer(k, stream, {static_cast<uint32_t>(stream.size())});
  Trace bytes = FeedFramer(k, stream, std::vector<uint32_t>(stream.size(), 1));
  Require(bytes == whole, "byte-by-byte and whole delivery disagree");
  // Every disagreement between llhttp and the byte checker is one a
  // reason of its own should have caught earlier.
  Require(whole.error != rg::FrameError::kBoundaryDisputed, "llhttp and the checker disagree");
  if (!cuts.empty()) {
    Trace chunked = FeedFramer(k, stream, rg::fuzz::ChunkLengths(cuts, stream.size()));
    Require(chunked == whole, "chunked and whole delivery disagree");
  }

  // 2. Agreement, for what the framer accepted.
  std::vector<Event> lenient = RunLenient(k, stream);
  size_t start = 0;  // where the current message began
  size_t i = 0;
  for (const Event& e : whole.events) {
    Require(i < lenient.size(), "lenient llhttp ends fewer heads or messages");
    Require(lenient[i] == e, "lenient llhttp puts a head or message end elsewhere");
    ++i;
    if (e.what == 'h' && !k.response) {
      size_t end = stream.size();
      if (i < whole.events.size() && whole.events[i].what == 'm') end = whole.events[i].at;
      size_t coreEnd = 0;
      Require(CoreHeadEnd(stream, start, end, &coreEnd), "the core found no end of the head");
      Require(coreEnd == e.at, "the core ends the head elsewhere");
    }
    if (e.what == 'm') start = e.at;
  }
  return 0;
}
