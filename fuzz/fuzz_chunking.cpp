// The scanner's resumability: delivering a request in chunks must not change
// what ScanRawData decides.
//
// Two invariants, on a policy and cut points chosen by the fuzzer (no cuts:
// one byte per chunk).
//
// 1. Prefix: let the chunked delivery stop at the first chunk after which
//    the context is Rejected (or after the last chunk), having received the
//    prefix P of the request. One-chunk delivery of P must leave the same
//    state, reason and named entry, and, when the scan is still open, the
//    same cursor, length, line end and header end. Sole exception: a chunk
//    that arrives once the payload has begun is tested for its length (31)
//    before its high-bit bytes (39), while the call that reaches the payload
//    tests the high bit first; so chunked 31 against one-chunk 39 is the
//    same request refused for both faults in another order.
//
// 2. Whole request: one-chunk and chunked delivery of the whole request
//    agree on state, reason and named entry, except when the chunked
//    delivery was refused before its last chunk by a rule that judges an
//    element whose end has not arrived:
//      1  a request-line element without its end, a line end already there;
//      3  a verb grown longer than every allowed verb;
//      6  a URL grown too long (while no '/' follows an absolute URL's
//         authority the whole text counts, so a later '/' can make a longer
//         request acceptable);
//      18 a query grown too long;
//      20 a version grown longer than every accepted version;
//      22, 23 a header name or value grown too long;
//      31 the payload grown too long, where the whole request may instead
//         be refused for a high-bit payload byte further on (39);
//      40 a head grown past the cap: one-chunk delivery also stops at the
//         cap, but may judge the prefix up to it by another early rule.
//    Those rules look at a prefix that one-chunk delivery never sees, so its
//    verdict may differ; invariant 1 still pins them down exactly.
//
// 3. Indexes: the lists' lookup indexes change nothing; without them the
//    whole request gets the same verdict, down to the entry named.
#include <cstdint>
#include <cstring>
#include <vector>

#include "filter/context.h"
#include "fuzz_support.h"
#include "log/reason.h"
#include "platform/platform.h"
#include "policy/policy.h"
#include "scan/byte_scan.h"
#include "scan/scan.h"

namespace {

using rg::fuzz::Require;

bool NamesEntry(uint32_t reason) {
  switch (reason) {
    case rg::kReasonVerbDenied:
    case rg::kReasonExtensionDenied:
    case rg::kReasonUrlSequence:
    case rg::kReasonQuerySequence:
    case rg::kReasonHeaderNameDenied:
    case rg::kReasonHeaderLimit:
      return true;
    default:
      return false;
  }
}

bool EarlyRule(uint32_t reason) {
  switch (reason) {
    case rg::kReasonIncorrectRequestLine:
    case rg::kReasonVerbNotAllowed:
    case rg::kReasonUrlTooLong:
    case rg::kReasonQueryTooLong:
    case rg::kReasonHttpVersion:
    case rg::kReasonHeaderNameTooLong:
    case rg::kReasonHeaderValueTooLong:
    case rg::kReasonPayloadTooLong:
    case rg::kReasonHeadTooLong:
      return true;
    default:
      return false;
  }
}

// The payload's two tests in either order: see invariant 1. The other order
// comes from the head cap: a chunk that holds the head and reaches past the
// cap is walked in two pieces, so its body is tested as a chunk of its own,
// length first.
bool PayloadOrder(uint32_t chunked, uint32_t whole) {
  bool lengthThenHighBit =
      chunked == rg::kReasonPayloadTooLong && whole == rg::kReasonPayloadHighBit;
  bool highBitThenLength =
      chunked == rg::kReasonPayloadHighBit && whole == rg::kReasonPayloadTooLong;
  return lengthThenHighBit || highBitThenLength;
}

struct Delivery {
  rg::ScanContext context;
  size_t received;  // bytes delivered before the scan stopped or ran out
  bool stoppedEarly;  // refused before the last chunk
};

// Delivers the chunks until the context is refused. The chunk is handed
// over in a block of exactly its size so that reads past it are caught.
// walked: every chunk takes the full walk (the one-byte path's limit is
// cleared before each).
Delivery Deliver(const rg::FilterPolicy* policy, const std::vector<uint8_t>& request,
                 const std::vector<uint32_t>& lengths, bool walked = false) {
  Delivery d{};
  for (size_t i = 0; i < lengths.size(); ++i) {
    std::vector<uint8_t> chunk(request.begin() + d.received,
                               request.begin() + d.received + lengths[i]);
    if (walked) d.context.byteLimit = 0;
    rg::ScanRawData(policy, &d.context, chunk.data(), lengths[i]);
    d.received += lengths[i];
    if (d.context.state == rg::kStateRejected) {
      d.stoppedEarly = i + 1 < lengths.size();
      break;
    }
  }
  return d;
}

Delivery DeliverWhole(const rg::FilterPolicy* policy, const std::vector<uint8_t>& request,
                      size_t length) {
  return Deliver(policy, request, {static_cast<uint32_t>(length)});
}

void Release(Delivery* d) {
  rg::HeapFreeBlock(d->context.data);
  d->context.data = nullptr;
}

bool SameVerdict(const rg::ScanContext& a, const rg::ScanContext& b) {
  if (a.state != b.state || a.reason != b.reason || a.winError != b.winError) return false;
  return !(a.state == rg::kStateRejected && NamesEntry(a.reason)) || a.matchIndex == b.matchIndex;
}

// Where an open scan stands: everything the next chunk resumes from.
bool SamePosition(const rg::ScanContext& a, const rg::ScanContext& b) {
  if (a.length != b.length || a.cursor != b.cursor || a.lineComplete != b.lineComplete ||
      a.headersComplete != b.headersComplete)
    return false;
  if (a.lineComplete && a.lineEnd != b.lineEnd) return false;
  if (a.headersComplete && a.headersEnd != b.headersEnd) return false;
  if (a.state == rg::kStateHeaderValue && a.nameStart != b.nameStart) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 14) return 0;
  // Every level of the byte searches, chosen by the input's length so that
  // no byte of it is spent: the portable one is what other processors run.
  rg::SetByteScanLevel(static_cast<rg::ByteScanLevel>(size % 3));
  FuzzedDataProvider input(data, size);
  const std::string& dir = rg::fuzz::ScratchDirectory();
  const int64_t live = rg::LiveBlockCount();
  rg::FilterPolicy* policy = rg::fuzz::NewFuzzPolicy(&input, dir);
  std::vector<uint16_t> cuts = rg::fuzz::ReadCuts(&input, 16);
  std::vector<uint8_t> request = input.ConsumeRemainingBytes<uint8_t>();
  if (request.empty()) {
    rg::FreePolicy(policy);
    return 0;
  }

  std::vector<uint32_t> lengths;
  if (cuts.empty()) lengths.assign(request.size(), 1);
  else lengths = rg::fuzz::ChunkLengths(cuts, request.size());

  Delivery chunked = Deliver(policy, request, lengths);
  // The one-byte path stands exactly where the full walk stands.
  Delivery walkedChunks = Deliver(policy, request, lengths, true);
  Require(chunked.received == walkedChunks.received &&
              SameVerdict(chunked.context, walkedChunks.context) &&
              (chunked.context.state == rg::kStateRejected ||
               SamePosition(chunked.context, walkedChunks.context)),
          "the one-byte path and the full walk disagree");
  Delivery prefix = DeliverWhole(policy, request, chunked.received);
  Delivery whole = DeliverWhole(policy, request, request.size());

  const rg::ScanContext& c = chunked.context;
  const rg::ScanContext& p = prefix.context;
  const rg::ScanContext& w = whole.context;
  Require(c.state != rg::kStateRejected || c.reason != 0, "refused without a reason");
  Require(w.state != rg::kStateRejected || w.reason != 0, "refused without a reason");
  Require(c.reason != rg::kReasonWindowsError && w.reason != rg::kReasonWindowsError,
          "reason 34 although no allocation failed");

  if (!PayloadOrder(c.reason, p.reason)) {
    Require(SameVerdict(c, p), "chunked delivery and one chunk of the same bytes disagree");
    if (c.state != rg::kStateRejected)
      Require(SamePosition(c, p), "chunked delivery resumes from another position");
  }
  bool excused = (chunked.stoppedEarly && EarlyRule(c.reason)) || PayloadOrder(c.reason, w.reason);
  if (!excused)
    Require(SameVerdict(c, w), "chunked and one-chunk delivery of a request disagree");

  for (rg::StringList* list : {&policy->Verbs, &policy->HttpVersions, &policy->HostPorts,
                               &policy->Extensions, &policy->DeniedHeaderNames,
                               &policy->UrlSequences, &policy->QuerySequences})
    rg::FreeListIndex(list);
  rg::FreeHeaderLimitIndex(&policy->HeaderLimits);
  Delivery walked = DeliverWhole(policy, request, request.size());
  Require(SameVerdict(walked.context, w), "the lists' indexes change the verdict");

  Release(&chunked);
  Release(&walkedChunks);
  Release(&prefix);
  Release(&whole);
  Release(&walked);
  rg::FreePolicy(policy);
  Require(rg::LiveBlockCount() == live, "scanning leaked a block");
  return 0;
}
