// The request stream scanner: each raw chunk of a connection is appended to
// the connection's buffer and the request line, the headers and the body are
// walked in one resumable pass. (A head that comes whole in the request's
// first chunk is walked where it lies, and only its request line is kept.)
// All scan state lives in the ScanContext, so any split of a request into
// chunks is walked the same way; a complete element is handed to its check
// as a pointer and length into the buffer.
//
// Cost is linear in the bytes received however the request is chunked: the
// line-end, header-end and element searches each resume where the last walk
// left them (bytes added in between by the one-byte path are searched once,
// by the next walk), the buffer grows geometrically, and body bytes are
// counted and tested but not kept once the headers are over. Memory is
// bounded too: the buffer never holds more than the policy's head cap and
// one byte.
#include <cstring>

#include "log/reason.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "scan/byte_scan.h"
#include "scan/header_line_check.h"
#include "scan/scan.h"

namespace rg {

namespace {

constexpr uint8_t kCR = 0x0D;
constexpr uint8_t kLF = 0x0A;
constexpr uint8_t kSP = 0x20;
constexpr uint32_t kMaxCount = 0xFFFFFFFFu;

// The first buffer of a request holds a typical request whole, so a request
// sent in one piece costs one allocation and one sent in small pieces only a
// handful (the buffer then doubles).
constexpr uint32_t kMinimumCapacity = 512;

uint32_t Max(uint32_t a, uint32_t b) { return a > b ? a : b; }

// Ends the scan with a reason; a reason a check has already set wins.
void Reject(ScanContext* context, ReasonCode reason) {
  if (context->reason == 0) context->reason = reason;
  context->state = kStateRejected;
}

// After a check: a nonzero reason ends the scan. True when it did.
bool RejectedByCheck(ScanContext* context) {
  if (context->reason == 0) return false;
  context->state = kStateRejected;
  return true;
}

// A request-line element without an end in the buffer: once a line end or
// the header end has arrived, the request line is broken; else wait.
// Always false: the calling block cannot go on.
bool PendingElement(ScanContext* context) {
  if (context->lineComplete != 0 || context->headersComplete != 0)
    Reject(context, kReasonIncorrectRequestLine);
  return false;
}

// 1 when the list has entries and every one is shorter than n bytes: no
// entry can still equal an element that has already grown to n bytes.
int EveryEntryShorter(const StringList& list, uint32_t n) {
  if (list.count == 0) return 0;
  for (uint32_t i = 0; i < list.count; ++i)
    if (list.lengths[i] >= n) return 0;
  return 1;
}

// The early length rules of an element whose end has not arrived yet: one
// that has grown past its limit can only grow longer, so it is refused at
// once rather than at its end. kNoLengthRule where the state has none.
constexpr uint64_t kNoLengthRule = ~uint64_t{0};

// The most bytes the buffer may hold with the element being received still
// within its rule, counted as the check of the whole element counts them (a
// query without its '?', a value without its ':', a version with its SP
// and, once it has come, its CR LF).
uint64_t LengthWithinRule(const FilterPolicy* policy, const ScanContext* context) {
  const uint64_t cursor = context->cursor;
  switch (context->state) {
    case kStateUrl:
      // An absolute URL's limit is on its path: past this length the URL
      // is measured as CheckUrl measures it (RefusedAsTooLong).
      return policy->HasUrlMaxLen != 0 ? cursor + policy->UrlMaxLen : kNoLengthRule;
    case kStateQuery:
      return policy->HasQueryMaxLen != 0 ? cursor + 1 + policy->QueryMaxLen : kNoLengthRule;
    case kStateVersion: {
      // Longer than every allowed version, it can equal none.
      const StringList& versions = policy->HttpVersions;
      if (versions.flag == 0 || versions.count == 0) return kNoLengthRule;
      uint32_t longest = 0;
      for (uint32_t i = 0; i < versions.count; ++i)
        if (versions.lengths[i] > longest) longest = versions.lengths[i];
      return cursor + longest;
    }
    case kStateHeaderName:
      return policy->HasHeaderNameMaxLen != 0 ? cursor + policy->HeaderNameMaxLen : kNoLengthRule;
    case kStateHeaderValue:
      return policy->HasHeaderValueMaxLen != 0 ? cursor + 1 + policy->HeaderValueMaxLen
                                               : kNoLengthRule;
    default:
      return kNoLengthRule;
  }
}

// Refuses the element being received when the buffer's length bytes have
// taken it past its rule. True when it did.
bool RefusedAsTooLong(const FilterPolicy* policy, ScanContext* context, uint32_t length) {
  if (length <= LengthWithinRule(policy, context)) return false;
  ReasonCode reason = kReasonHeaderValueTooLong;
  switch (context->state) {
    case kStateUrl: {
      // The path is never longer than the whole text, so the split is
      // needed only when the whole text is too long.
      const uint32_t cursor = context->cursor;
      if (UrlWithinMaxLen(context->data + cursor, length - cursor, policy->UrlMaxLen)) return false;
      reason = kReasonUrlTooLong;
      break;
    }
    case kStateQuery:
      reason = kReasonQueryTooLong;
      break;
    case kStateVersion:
      reason = kReasonHttpVersion;
      break;
    case kStateHeaderName:
      reason = kReasonHeaderNameTooLong;
      break;
    default:  // kStateHeaderValue
      break;
  }
  Reject(context, reason);
  return true;
}

// True when any of the n bytes has its high bit set. Works a word at a time:
// a request body is tested in full, so this runs over every payload byte.
bool HasHighBit(const uint8_t* bytes, size_t n) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    uint64_t w[4];
    std::memcpy(w, bytes + i, sizeof w);
    if (((w[0] | w[1] | w[2] | w[3]) & kHigh) != 0) return true;
  }
  for (; i < n; ++i)
    if ((bytes[i] & 0x80) != 0) return true;
  return false;
}

// The first CR LF with its CR at an index >= from and its LF inside the
// buffer. Returns 1 with *at; or 0 with *resume at the first index not yet
// ruled out (a CR as the last byte may still be followed by an LF).
int FindCrLf(const uint8_t* data, uint32_t length, uint32_t from, uint32_t* at, uint32_t* resume) {
  uint32_t k = from;
  while (k + 1 < length) {
    // A CR can end a line only where an LF can follow it in the buffer.
    uint32_t cr = ScanCarriageReturn(data, k, length - 1).at;
    if (cr == length - 1) break;
    if (data[cr + 1] == kLF) {
      *at = cr;
      return 1;
    }
    k = cr + 1;
  }
  *resume = length >= 1 && length - 1 > from ? length - 1 : from;
  return 0;
}

// FindCrLf for a header value, which also says whether a byte the value
// rule must look at (a control byte, a CR without its LF included, DEL, a
// high-bit byte, '"' or a backslash) stands between from and the CR LF.
int FindValueEnd(const uint8_t* data, uint32_t length, uint32_t from, uint32_t* at,
                 uint32_t* resume, bool* flagged) {
  uint32_t k = from;
  bool seen = false;
  while (k + 1 < length) {
    ByteScanResult r = ScanHeaderValueBytes(data, k, length - 1);
    seen = seen || r.flagged;
    if (r.at == length - 1) break;
    if (data[r.at + 1] == kLF) {
      *at = r.at;
      *flagged = seen;
      return 1;
    }
    seen = true;  // the CR without its LF belongs to the value
    k = r.at + 1;
  }
  *resume = length >= 1 && length - 1 > from ? length - 1 : from;
  return 0;
}

// The bookkeeping members describe the buffer the context holds. A context
// whose buffer was released for a new request (or that never had one)
// starts them again, whoever reset the rest.
void StartBookkeeping(ScanContext* context) {
  if (context->data == nullptr) context->capacity = 0;
  if (context->data == nullptr || context->length == 0) {
    context->stored = 0;
    context->lineSearch = 0;
    context->headerSearch = 0;
    context->elementSearch = 0;
  }
  // Before the body every received byte is kept. A buffer that was filled
  // without this scanner is taken to be exactly as large as its contents,
  // and searched again from its start.
  if (context->stored != context->length) {
    context->stored = context->length;
    if (context->capacity < context->length) context->capacity = context->length;
    context->lineSearch = 0;
    context->headerSearch = 0;
    context->elementSearch = 0;
  }
}

// Appends the chunk to the buffer, growing it geometrically but never past
// ceiling (the most the head may need) unless the chunk itself does. On
// failure the scan is rejected with 34 and the old buffer stays with the
// context.
RG_ALWAYS_INLINE bool AppendChunk(ScanContext* context, const uint8_t* chunk,
                                  uint32_t chunkLength, uint64_t ceiling) {
  uint64_t needed = uint64_t{context->stored} + chunkLength;
  if (needed > kMaxCount) {
    // Indexes are 32-bit: a request whose headers alone pass 4 GiB cannot be
    // held, which is the same as running out of memory for it.
    context->winError = kErrorNotEnoughMemory;
    Reject(context, kReasonWindowsError);
    return false;
  }
  if (context->data == nullptr || needed > context->capacity) {
    uint64_t grown = uint64_t{context->capacity} * 2;
    if (grown < kMinimumCapacity) grown = kMinimumCapacity;
    if (grown > ceiling) grown = ceiling;
    if (grown < needed) grown = needed;
    if (grown > kMaxCount) grown = kMaxCount;
    void* block = context->data == nullptr ? HeapAllocZero(grown)
                                           : HeapGrowZero(context->data, context->capacity, grown);
    if (block == nullptr) {
      context->winError = AllocationError();
      Reject(context, kReasonWindowsError);
      return false;
    }
    context->data = static_cast<uint8_t*>(block);
    context->capacity = static_cast<uint32_t>(grown);
  }
  if (chunkLength <= 4) {
    for (uint32_t i = 0; i < chunkLength; ++i) context->data[context->stored + i] = chunk[i];
  } else {
    std::memcpy(context->data + context->stored, chunk, chunkLength);
  }
  context->stored += chunkLength;
  context->length = context->stored;
  return true;
}

// The first CR LF at index 1 or later. lineEnd follows every index tried, so
// that a search that fails leaves it at length - 2, as a search restarted
// from index 1 would.
void FindLineEnd(ScanContext* context) {
  if (context->lineComplete != 0 || context->length < 3) return;
  const uint8_t* data = context->data;
  uint32_t length = context->length;
  uint32_t at = 0;
  uint32_t resume = 0;
  if (FindCrLf(data, length, Max(context->lineSearch, 1), &at, &resume)) {
    context->lineEnd = at;
    context->lineComplete = 1;
    return;
  }
  context->lineEnd = length - 2;
  context->lineSearch = resume;
}

// The first CR LF CR LF. Like the line end, headersEnd is left at the last
// index tried (length - 4) while none has arrived.
void FindHeadersEnd(ScanContext* context) {
  if (context->headersComplete != 0 || context->length < 4) return;
  const uint8_t* data = context->data;
  uint32_t length = context->length;
  uint32_t j = context->headerSearch;
  if (j + 3 < length) {
    // The few positions a small chunk adds are tested one by one: a vector
    // search over bytes stored a moment ago waits for those stores.
    if (length - 3 - j <= 4) {
      while (j < length - 3 &&
             !(data[j] == kCR && data[j + 1] == kLF && data[j + 2] == kCR && data[j + 3] == kLF))
        ++j;
    } else {
      j = FindHeadEnd(data, j, length - 3);
    }
    if (j + 3 < length) {
      context->headersEnd = j;
      context->headersComplete = 1;
      return;
    }
  }
  context->headersEnd = length - 4;
  // The last three bytes may begin a CR LF CR LF that the next chunk ends.
  context->headerSearch = Max(context->headerSearch, length - 3);
}

// Moves to the next element; its scan starts at its own beginning.
void Advance(ScanContext* context, ScanState state, uint32_t cursor) {
  context->state = state;
  context->cursor = cursor;
  context->elementSearch = 0;
}

// Verb: up to the first SP. False when the call cannot go on.
bool ScanVerb(const FilterPolicy* policy, ScanContext* context) {
  const uint8_t* data = context->data;
  uint32_t length = context->length;
  uint32_t from = Max(context->cursor, context->elementSearch);
  const void* sp = from < length ? std::memchr(data + from, kSP, length - from) : nullptr;
  if (sp == nullptr) {
    context->elementSearch = length;
    // Allow mode only: a verb longer than every allowed one can never
    // match. Two bytes are spared for a leading CR LF, which is skipped.
    if (policy->Verbs.flag != 0) {
      uint32_t n = length >= 2 ? length - 2 : length;
      if (EveryEntryShorter(policy->Verbs, n)) {
        Reject(context, kReasonVerbNotAllowed);
        return false;
      }
    }
    return PendingElement(context);
  }
  uint32_t s = static_cast<uint32_t>(static_cast<const uint8_t*>(sp) - data);
  // One CR LF left over before the request line is skipped; a second one
  // becomes part of the verb and fails it.
  if (length >= 2 && data[0] == kCR && data[1] == kLF) context->cursor = 2;
  const uint8_t* verb = data + context->cursor;
  uint32_t verbLength = s - context->cursor;
  if (policy->Verbs.flag != 0) {
    if (!FindEntry(verb, verbLength, &policy->Verbs, 0, nullptr)) {
      Reject(context, kReasonVerbNotAllowed);
      return false;
    }
  } else {
    uint32_t index = 0;
    if (FindEntry(verb, verbLength, &policy->Verbs, 0, &index)) {
      context->matchIndex = index;
      Reject(context, kReasonVerbDenied);
      return false;
    }
  }
  Advance(context, kStateAfterVerb, s);
  return true;
}

// AfterVerb: exactly one SP must separate verb and URL. The scan from the
// SP stops at the second SP at the latest, so it needs no resume point.
bool ScanAfterVerb(ScanContext* context) {
  const uint8_t* data = context->data;
  uint32_t length = context->length;
  uint32_t cursor = context->cursor;
  uint32_t e = cursor;
  while (e < length && data[e] == kSP && e <= cursor + 1) ++e;
  if (e > cursor + 1) {
    Reject(context, kReasonMultipleSpaces);
    return false;
  }
  if (e == length) return PendingElement(context);  // one SP so far
  Advance(context, kStateUrl, e);
  return true;
}

// Url: up to the first SP, '?' or '#'.
bool ScanUrl(const FilterPolicy* policy, ScanContext* context) {
  const uint8_t* data = context->data;
  uint32_t length = context->length;
  uint32_t cursor = context->cursor;
  uint32_t from = Max(cursor, context->elementSearch);
  ByteScanResult end = ScanUrlBytes(data, from, length);
  uint32_t k = end.at;
  if (k == length) {
    context->elementSearch = length;
    // Measured as CheckUrl will measure it: an absolute URL by its path
    // once the path has begun.
    if (RefusedAsTooLong(policy, context, length)) return false;
    return PendingElement(context);
  }
  // Searched in one go from its first byte, the URL is known to be plain
  // or not.
  CheckUrl(policy, context, data + cursor, k - cursor,
           from == cursor && !end.flagged ? kHintPlain : kHintNone);
  if (RejectedByCheck(context)) return false;
  ScanState next = data[k] == '?' ? kStateQuery : data[k] == '#' ? kStateFragment : kStateVersion;
  Advance(context, next, k);
  return true;
}

// Query or fragment: from the '?' or '#' up to the first SP; a '?' or '#'
// inside belongs to the element. Only a query is examined.
bool ScanQueryOrFragment(const FilterPolicy* policy, ScanContext* context) {
  const uint8_t* data = context->data;
  uint32_t length = context->length;
  uint32_t cursor = context->cursor;
  uint32_t from = Max(cursor + 1, context->elementSearch);
  ByteScanResult end = from < length ? ScanQueryBytes(data, from, length) : ByteScanResult{length, true};
  if (end.at == length) {
    context->elementSearch = Max(from, length);
    if (RefusedAsTooLong(policy, context, length)) return false;
    return PendingElement(context);
  }
  uint32_t k = end.at;
  if (context->state == kStateQuery) {
    CheckQuery(policy, context, data + cursor + 1, k - cursor - 1,
               from == cursor + 1 && !end.flagged ? kHintPlain : kHintNone);
    if (RejectedByCheck(context)) return false;
  }
  Advance(context, kStateVersion, k);
  return true;
}

// Version: from the SP before it through the first CR LF, compared whole
// with the entries (held as SP, version, CR LF), so exactly one SP must
// precede the version and nothing may follow it on the line.
bool ScanVersion(const FilterPolicy* policy, ScanContext* context) {
  const uint8_t* data = context->data;
  uint32_t length = context->length;
  uint32_t cursor = context->cursor;
  uint32_t at = 0;
  uint32_t resume = 0;
  const uint32_t from = Max(cursor, context->elementSearch);
  // The line's end, once found, is the first CR LF from index 1 on, so it
  // is also the first from any index up to it.
  if (context->lineComplete != 0 && from >= 1 && from <= context->lineEnd) {
    at = context->lineEnd;
  } else if (!FindCrLf(data, length, from, &at, &resume)) {
    context->elementSearch = resume;
    if (RefusedAsTooLong(policy, context, length)) return false;
    return PendingElement(context);
  }
  if (policy->HttpVersions.flag != 0 &&
      !FindEntry(data + cursor, at + 2 - cursor, &policy->HttpVersions, 0, nullptr)) {
    Reject(context, kReasonHttpVersion);
    return false;
  }
  Advance(context, kStateHeaderName, at + 2);
  return true;
}

// The first ':' or CR LF at or after from. Returns 1 with *at, and whether
// a byte other than an ASCII letter, a digit or '-' stands between from and
// it; or 0 with *resume at the first index not yet ruled out.
int FindNameEnd(const uint8_t* data, uint32_t length, uint32_t from, uint32_t* at,
                uint32_t* resume, bool* flagged) {
  uint32_t k = from;
  bool seen = false;
  while (k < length) {
    ByteScanResult r = ScanHeaderNameBytes(data, k, length);
    seen = seen || r.flagged;
    k = r.at;
    if (k == length) break;
    if (data[k] == ':') {
      *at = k;
      *flagged = seen;
      return 1;
    }
    if (k + 1 == length) {  // a CR whose LF may come with the next chunk
      *resume = k;
      return 0;
    }
    if (data[k + 1] == kLF) {
      *at = k;
      *flagged = seen;
      return 1;
    }
    seen = true;  // a CR inside the name
    ++k;
  }
  *resume = Max(from, length);
  return 0;
}

// The usual lines from the cursor, each whole in the buffer (a name ended
// by ':' and a value ended by CR LF), found with one search each and judged
// as ScanHeaders' steps would judge them, the position kept in a register
// until the run of such lines ends. False when a line was refused.
bool ScanWholeLines(const FilterPolicy* policy, ScanContext* context) {
  const uint8_t* data = context->data;
  const uint32_t length = context->length;
  const uint32_t blockEnd =
      context->headersComplete != 0 ? context->headersEnd + 2 : kMaxCount;
  const uint32_t first = context->cursor;
  uint32_t cursor = first;
  uint32_t lastStart = context->nameStart;
  // The lines are searched a batch at a time; a batch follows the lines
  // from the cursor as the loop below does, so each result is the line at
  // the cursor when it is read.
  constexpr uint32_t kBatch = 16;
  HeaderLineScan batch[kBatch];
  uint32_t batchCount = 0;
  uint32_t next = 0;
  // A whole line needs at least ':' and CR LF after the cursor.
  while (cursor != blockEnd && cursor + 3 <= length) {
    if (next == batchCount) {
      batchCount = ScanHeaderLines(data, cursor, length, batch, kBatch);
      next = 0;
    }
    const HeaderLineScan line = batch[next++];
    const uint32_t colon = line.nameEnd;
    const uint32_t cr = line.valueEnd;
    if (cr + 1 >= length || data[cr + 1] != kLF) break;
    HeaderLinePart refused =
        CheckHeaderLine(policy, context, data + cursor, colon - cursor,
                        line.nameFlagged ? kHintNone : kHintPlain, data + colon + 1,
                        cr - colon - 1, line.valueFlagged ? kHintNone : kHintPlain);
    if (refused != kLinePartNone) {
      // Where ScanHeaders' steps would have stopped.
      if (cursor != first) {
        context->nameStart = lastStart;
        Advance(context, kStateHeaderName, cursor);
      }
      if (refused == kLinePartValue) {
        context->nameStart = cursor;
        Advance(context, kStateHeaderValue, colon);
      }
      context->state = kStateRejected;
      return false;
    }
    lastStart = cursor;
    cursor = cr + 2;
  }
  if (cursor != first) {
    context->nameStart = lastStart;
    Advance(context, kStateHeaderName, cursor);
  }
  return true;
}

// The header lines, alternating between name and value, up to the empty
// line. False when the call cannot go on.
bool ScanHeaders(const FilterPolicy* policy, ScanContext* context) {
  const uint8_t* data = context->data;
  uint32_t length = context->length;
  for (;;) {
    // The cursor on the empty line ends the block; the empty line itself is
    // never scanned as a header.
    if (context->headersComplete != 0 && context->cursor == context->headersEnd + 2) return true;
    // A name not searched yet may begin a run of whole lines. (One searched
    // before, whose end had not come, is searched on from where it was.)
    if (context->state == kStateHeaderName && context->elementSearch == 0 &&
        context->cursor + 3 <= length) {
      if (!ScanWholeLines(policy, context)) return false;
      if (context->headersComplete != 0 && context->cursor == context->headersEnd + 2) return true;
    }
    uint32_t cursor = context->cursor;
    uint32_t from = Max(cursor, context->elementSearch);
    uint32_t at = 0;
    uint32_t resume = 0;
    bool flagged = true;
    if (context->state == kStateHeaderName) {
      if (!FindNameEnd(data, length, from, &at, &resume, &flagged)) {
        context->elementSearch = resume;
        RefusedAsTooLong(policy, context, length);
        return false;
      }
      if (data[at] != ':') {
        Reject(context, kReasonHeaderSeparator);
        return false;
      }
      CheckHeaderName(policy, context, data + cursor, at - cursor,
                      from == cursor && !flagged ? kHintPlain : kHintNone);
      if (RejectedByCheck(context)) return false;
      context->nameStart = cursor;
      Advance(context, kStateHeaderValue, at);
    } else {
      if (!FindValueEnd(data, length, from, &at, &resume, &flagged)) {
        context->elementSearch = resume;
        RefusedAsTooLong(policy, context, length);
        return false;
      }
      CheckHeaderValue(policy, context, data + context->nameStart, cursor - context->nameStart,
                       data + cursor + 1, at - cursor - 1,
                       from == cursor && !flagged ? kHintPlain : kHintNone);
      if (RejectedByCheck(context)) return false;
      Advance(context, kStateHeaderName, at + 2);
    }
  }
}

// The payload limit over every byte after the CR LF CR LF received so far.
bool PayloadWithinLimit(const FilterPolicy* policy, const ScanContext* context) {
  return policy->HasPayloadMaxLen == 0 ||
         context->length - (context->headersEnd + 4) <= policy->PayloadMaxLen;
}

// A chunk that arrives once the headers are over: counted and tested, not
// kept. Nothing reads body bytes later (the log shows the request line only).
void ScanPayloadChunk(const FilterPolicy* policy, ScanContext* context, const uint8_t* chunk,
                      uint32_t chunkLength) {
  uint64_t total = uint64_t{context->length} + chunkLength;
  if (total > kMaxCount) {
    // The count stops at 4 GiB - 1 rather than wrapping to a small number.
    // Without a limit nothing depends on it. With one, the body can no
    // longer be measured: it is refused. Any limit that leaves room for the
    // headers below 4 GiB has been passed before this point anyway, so the
    // verdict only differs for limits within a header block of 4 GiB.
    context->length = kMaxCount;
    if (policy->HasPayloadMaxLen != 0) {
      Reject(context, kReasonPayloadTooLong);
      return;
    }
  } else {
    context->length = static_cast<uint32_t>(total);
  }
  if (!PayloadWithinLimit(policy, context)) {
    Reject(context, kReasonPayloadTooLong);
    return;
  }
  // Each body byte is tested once: here if it came after the headers were
  // over, else by the transition to the body.
  if (policy->AllowHighBitInPayload == 0 && HasHighBit(chunk, chunkLength))
    Reject(context, kReasonPayloadHighBit);
}

// The headers are over: the head is judged whole, then the body bytes that
// came with it. The head goes first, as it would had the body come in a
// later chunk.
void EnterBody(const FilterPolicy* policy, ScanContext* context, uint32_t maxHead) {
  if (uint64_t{context->headersEnd} + 4 > maxHead) {
    Reject(context, kReasonHeadTooLong);
    return;
  }
  // The body bytes that came with the headers are in the buffer and are
  // tested here, once.
  uint32_t bodyStart = context->headersEnd + 2;
  if (policy->AllowHighBitInPayload == 0 &&
      HasHighBit(context->data + bodyStart, context->length - bodyStart)) {
    Reject(context, kReasonPayloadHighBit);
    return;
  }
  context->state = kStatePayload;
  if (!PayloadWithinLimit(policy, context)) Reject(context, kReasonPayloadTooLong);
}

// Walks the request line and headers held in the buffer as far as they
// go, then into the body. The buffer holds at most one byte past the head
// cap, so a head still open beyond the cap is refused here.
void WalkHead(const FilterPolicy* policy, ScanContext* context, uint32_t maxHead) {
  FindLineEnd(context);
  FindHeadersEnd(context);

  // Each block runs when the state is its own; a block that completes its
  // element moves the state on, and the next block continues in this call.
  bool going = true;
  if (context->state == kStateVerb) going = ScanVerb(policy, context);
  if (going && context->state == kStateAfterVerb) going = ScanAfterVerb(context);
  if (going && context->state == kStateUrl) going = ScanUrl(policy, context);
  if (going && (context->state == kStateQuery || context->state == kStateFragment))
    going = ScanQueryOrFragment(policy, context);
  if (going && context->state == kStateVersion) going = ScanVersion(policy, context);
  if (going && (context->state == kStateHeaderName || context->state == kStateHeaderValue) &&
      ScanHeaders(policy, context)) {
    EnterBody(policy, context, maxHead);
    return;
  }
  // Waiting for more of the head: once more bytes than the cap have come
  // without its end, the head can only be longer still.
  if (context->state < kStatePayload && context->length > maxHead)
    Reject(context, kReasonHeadTooLong);
}

struct WholeHead {
  uint32_t lineEnd;  // the request line's first CR LF at 1 or later
  uint32_t headEnd;  // the first CR LF CR LF
  // While the chunk stands in for the buffer: the buffer, which holds the
  // request line.
  uint8_t* line;
  uint32_t lineCapacity;
};

// The first chunk of a request that holds its whole head, the usual case:
// true with both of its ends.
bool WholeHeadInChunk(const ScanContext* context, const uint8_t* bytes, uint32_t length,
                      WholeHead* head) {
  if (context->length != 0 || context->state != kStateVerb || length < 4) return false;
  head->headEnd = FindHeadEnd(bytes, 0, length - 3);
  if (head->headEnd == length - 3) return false;
  uint32_t resume = 0;
  return FindCrLf(bytes, length, 1, &head->lineEnd, &resume) != 0;
}

// Such a head is walked where the chunk lies, and only its request line is
// copied: once the head is over, the log's request line is all anything
// reads of the buffer, and copying the whole head would cost about as much
// as walking it. The line is copied first, so that running out of memory
// refuses the request before any rule is applied, as it does for a head
// that comes in pieces. Then the chunk stands in for the buffer (the walk
// only reads it) until TakeBackLine. False when the request was refused.
bool LendWholeHead(ScanContext* context, const uint8_t* bytes, uint32_t length, WholeHead* head) {
  const uint32_t lineEnd = head->lineEnd;
  if (context->data == nullptr || context->capacity < lineEnd) {
    void* block = HeapAllocZero(lineEnd);
    if (block == nullptr) {
      context->winError = AllocationError();
      Reject(context, kReasonWindowsError);
      return false;
    }
    HeapFreeBlock(context->data);
    context->data = static_cast<uint8_t*>(block);
    context->capacity = lineEnd;
  }
  std::memcpy(context->data, bytes, lineEnd);
  head->line = context->data;
  head->lineCapacity = context->capacity;
  context->data = const_cast<uint8_t*>(bytes);
  context->length = context->stored = context->capacity = length;
  // Both ends are known, as the walk's own searches would find them.
  context->lineEnd = lineEnd;
  context->lineComplete = 1;
  context->headersEnd = head->headEnd;
  context->headersComplete = 1;
  return true;
}

// After the walk of a lent head: the buffer holds the request line again.
void TakeBackLine(ScanContext* context, const uint8_t* bytes, uint32_t length,
                  const WholeHead& head, uint32_t maxHead) {
  context->data = head.line;
  context->capacity = head.lineCapacity;
  context->stored = head.lineEnd;
  // A whole head always ends in a verdict. Were it ever to wait for more,
  // the buffer must hold every byte, as for a head in pieces.
  if (context->state < kStatePayload) {
    context->length = context->stored = 0;
    AppendChunk(context, bytes, length, uint64_t{maxHead} + 1);
  }
}

// Appends head bytes (or lends a whole head where it lies) and walks them.
// The caller hands over at most one byte past the head cap.
void ScanHead(const FilterPolicy* policy, ScanContext* context, const uint8_t* bytes,
              uint32_t length, uint32_t maxHead) {
  WholeHead head;
  const bool whole = WholeHeadInChunk(context, bytes, length, &head);
  if (whole ? !LendWholeHead(context, bytes, length, &head)
            : !AppendChunk(context, bytes, length, uint64_t{maxHead} + 1))
    return;
  WalkHead(policy, context, maxHead);
  if (whole) TakeBackLine(context, bytes, length, head, maxHead);
}

// Which bytes can end the element of each state that receives one, CR and
// LF included (they can end the request line or the head): a bit per state
// in each byte's entry. A state without a bit here takes no short path.
constexpr uint32_t kCrLfStates = 1u << kStateUrl | 1u << kStateQuery | 1u << kStateFragment |
                                 1u << kStateVersion | 1u << kStateHeaderName |
                                 1u << kStateHeaderValue;

struct EndTable {
  uint8_t states[256];
};

constexpr EndTable BuildEndTable() {
  EndTable t{};
  static_assert(kStateHeaderValue < 8, "one byte holds a bit per state");
  t.states[kCR] = kCrLfStates;
  t.states[kLF] = kCrLfStates;
  t.states[kSP] = 1u << kStateUrl | 1u << kStateQuery | 1u << kStateFragment;
  t.states[uint8_t{'?'}] = 1u << kStateUrl;
  t.states[uint8_t{'#'}] = 1u << kStateUrl;
  t.states[uint8_t{':'}] = 1u << kStateHeaderName;
  return t;
}
constexpr EndTable kEnds = BuildEndTable();

// A small chunk that only lengthens the URL, query, fragment, version,
// header name or value being received: none of its bytes can end that
// element, none is an LF and only the last may be a CR, so no line and no
// head ends with it either. Handled here with exactly the effects the full
// walk would have (the bytes kept, the searches' resume points, the early
// length rules), or not at all (false). This is what a request arriving a
// few bytes at a time mostly consists of.
RG_NOINLINE
bool ExtendElement(const FilterPolicy* policy, ScanContext* context, const uint8_t* chunk,
                   uint32_t chunkLength) {
  constexpr uint32_t kSmallChunk = 16;
  const uint32_t state = context->state;
  const uint32_t bit = 1u << (state & 31);
  if ((bit & kCrLfStates) == 0 || chunkLength - 1 >= kSmallChunk ||
      context->stored != context->length || context->headersComplete != 0 ||
      chunkLength > context->capacity - context->stored || context->data == nullptr)
    return false;
  // Before its end the request line waits only while no line end has come
  // (else it is refused); the headers come after it.
  const bool requestLine = state <= kStateVersion;
  if ((context->lineComplete != 0) == requestLine) return false;
  const uint32_t length = context->stored + chunkLength;
  if (length < 4 || length > EffectiveMaxHeadLength(policy)) return false;
  // A CR may stand last: its LF, if any, is still to come.
  const uint8_t last = chunk[chunkLength - 1];
  const bool endsInCR = last == kCR;
  uint32_t ends = endsInCR ? 0 : kEnds.states[last];
  for (uint32_t i = 0; i + 1 < chunkLength; ++i) ends |= kEnds.states[chunk[i]];
  if ((ends & bit) != 0) return false;

  // A few bytes: copied without a library call.
  uint8_t* to = context->data + context->stored;
  for (uint32_t i = 0; i + 1 < chunkLength; ++i) to[i] = chunk[i];
  to[chunkLength - 1] = last;
  context->stored = length;
  context->length = length;
  // No line end and no CR LF CR LF can end in bytes without an LF; both
  // searches resume where a search over all the bytes would stop.
  if (requestLine) {
    uint32_t from = Max(context->lineSearch, 1);
    context->lineEnd = length - 2;
    context->lineSearch = length - 1 > from ? length - 1 : from;
  }
  context->headersEnd = length - 4;
  context->headerSearch = Max(context->headerSearch, length - 3);

  const uint32_t cursor = context->cursor;
  const uint32_t from = Max(cursor, context->elementSearch);
  // Where a CR LF search resumes: at the last byte, which may be a CR.
  const uint32_t lastByte = length - 1 > from ? length - 1 : from;
  switch (state) {
    case kStateHeaderValue:
    case kStateVersion:
      context->elementSearch = lastByte;
      break;
    case kStateHeaderName:
      // A CR the last chunk ended with is now followed by another byte than
      // LF: it belongs to the name, and the search has passed it. A CR this
      // chunk ends with is where the search resumes.
      context->elementSearch = endsInCR ? length - 1 : Max(from, length);
      break;
    case kStateUrl:
      context->elementSearch = length;
      break;
    default:  // kStateQuery, kStateFragment
      context->elementSearch = Max(Max(cursor + 1, context->elementSearch), length);
      break;
  }
  RefusedAsTooLong(policy, context, length);
  return true;
}

// Which states a byte only lengthens: a bit per state whose element it
// cannot end. A CR does not end any (its LF, if any, is still to come).
struct LengthenTable {
  uint8_t states[256];
};

constexpr LengthenTable BuildLengthenTable() {
  LengthenTable t{};
  for (uint32_t b = 0; b < 256; ++b)
    t.states[b] = static_cast<uint8_t>(b == kCR ? kCrLfStates : kCrLfStates & ~kEnds.states[b]);
  return t;
}
constexpr LengthenTable kLengthens = BuildLengthenTable();

// How far the one-byte path may take the element being received, set
// after every full walk. Below the limit no early length rule of the
// element can fire, the head stays within its cap and the buffer has room,
// so each byte the path takes is one the full walk would have taken without
// a verdict; the byte that reaches the limit goes to the full walk, which
// refuses it there and then. 0 where the next byte needs the full walk.
void SetByteLimit(const FilterPolicy* policy, ScanContext* context) {
  context->byteLimit = 0;
  const uint32_t state = context->state;
  if (state > kStateHeaderValue || ((kCrLfStates >> state) & 1) == 0) return;
  const uint32_t stored = context->stored;
  // A byte that makes fewer than four is left to the full walk, which
  // tells a head end that cannot yet have come.
  if (stored != context->length || context->data == nullptr || context->headersComplete != 0 ||
      stored < 3)
    return;
  const bool requestLine = state <= kStateVersion;
  if ((context->lineComplete != 0) == requestLine) return;
  uint64_t limit = context->capacity;
  limit = limit < EffectiveMaxHeadLength(policy) ? limit : EffectiveMaxHeadLength(policy);
  const uint64_t rule = LengthWithinRule(policy, context);
  if (rule < limit) limit = rule;
  context->byteLimit = limit > stored ? static_cast<uint32_t>(limit) : 0;
}

// A chunk of one byte that only lengthens the element being received, the
// call a request sent a byte at a time mostly consists of: the byte is
// taken when SetByteLimit left room for it and the byte cannot end the
// element (nor a line or the head), with a single table lookup and a few
// stores. False when the byte needs the full walk.
//
// Unlike ExtendElement it leaves the line and element searches' resume
// points where they are, so that a call stores little and waits for few
// stores of the call before. A search resumed from an earlier point finds
// the same end: the bytes added here hold no LF and none of the element's
// end bytes, so no line end, head end or element end can begin among them
// or end in them. The next full walk searches them once; the cost stays
// linear in the bytes received. lineEnd and headersEnd, which the log
// reads, stay exact.
inline bool ExtendByOne(ScanContext* context, uint8_t byte) {
  const uint32_t state = context->state;
  const uint32_t stored = context->stored;
  uint8_t* data = context->data;
  // The buffer and the count checked again: a context reset without the
  // scanner may have kept an old limit.
  if (stored >= context->byteLimit || stored != context->length || data == nullptr ||
      ((kLengthens.states[byte] >> (state & 31)) & 1) == 0)
    return false;
  const uint32_t length = stored + 1;
  data[stored] = byte;
  context->stored = length;
  context->length = length;
  context->headersEnd = length - 4;
  // The head end search alone is kept up to date: else the next walk would
  // search the whole line again for the sake of the few bytes it brings.
  // The resume point was not ahead of the bytes before this one, and this
  // one, not an LF, cannot complete a CR LF CR LF.
  context->headerSearch = length - 3;
  if (state <= kStateVersion) context->lineEnd = length - 2;
  return true;
}

// Everything but the short path: the chunk is appended before the body and
// walked, or counted as body.
// Kept out of line, so that the short path pays for no more registers than
// it uses.
RG_NOINLINE
void ScanChunk(const FilterPolicy* policy, ScanContext* context, const uint8_t* bytes,
               uint32_t chunkLength) {
  if (context->state == kStatePayload) {
    ScanPayloadChunk(policy, context, bytes, chunkLength);
    return;
  }
  StartBookkeeping(context);
  const uint32_t maxHead = EffectiveMaxHeadLength(policy);
  const uint64_t room =
      uint64_t{maxHead} + 1 > context->stored ? uint64_t{maxHead} + 1 - context->stored : 0;
  const uint32_t headPart = chunkLength > room ? static_cast<uint32_t>(room) : chunkLength;
  ScanHead(policy, context, bytes, headPart, maxHead);
  if (headPart < chunkLength && context->state == kStatePayload)
    ScanPayloadChunk(policy, context, bytes + headPart, chunkLength - headPart);
}

// Any chunk but one byte that only lengthens an element. Out of line, so
// that the one-byte path saves no registers.
RG_NOINLINE
void ScanSmallOrWhole(const FilterPolicy* policy, ScanContext* context, const uint8_t* bytes,
                      uint32_t chunkLength) {
  // A refused request stays refused; its verdict is already given.
  if (context->state == kStateRejected) return;
  if (chunkLength == 1 || !ExtendElement(policy, context, bytes, chunkLength))
    ScanChunk(policy, context, bytes, chunkLength);
  SetByteLimit(policy, context);
}

}  // namespace

// Appends the chunk (before the body) or counts it (in the body) and moves
// the scan on as far as the bytes allow. On return the state is Rejected
// with reason (matchIndex, winError) set, or the request is acceptable so
// far. A Rejected context is left as it is.
//
// Before the body, at most one byte past the head cap is ever kept: a chunk
// that reaches further is walked in two pieces, up to that byte and, when
// the head has ended by then, the rest as body. So a head over the cap is
// refused with 40 once cap + 1 of its bytes have come, however they were
// split, and what follows them is never buffered or judged.
void ScanRawData(const FilterPolicy* policy, ScanContext* context, const void* chunk,
                 uint32_t chunkLength) {
  const uint8_t* bytes = static_cast<const uint8_t*>(chunk);
  // A refused context takes no byte here: no state of it lengthens.
  if (chunkLength == 1 && ExtendByOne(context, bytes[0])) return;
  ScanSmallOrWhole(policy, context, bytes, chunkLength);
}

// "http://" (any case), the authority, then a '/': the prefix is everything
// before that '/', the path the rest. Anything else has no prefix and is
// all path. The outputs point into url.
void SplitAbsoluteUrl(const uint8_t* url, uint32_t length, const uint8_t** prefix,
                      uint32_t* prefixLength, const uint8_t** path, uint32_t* pathLength) {
  *prefix = nullptr;
  *prefixLength = 0;
  *path = url;
  *pathLength = length;
  if (length < 7 || !BytesEqualNoCase(url, "http://", 7)) return;
  // Without a '/' after the authority there is no path to split off.
  const void* slash = std::memchr(url + 7, '/', length - 7);
  if (slash == nullptr) return;
  uint32_t i = static_cast<uint32_t>(static_cast<const uint8_t*>(slash) - url);
  *prefix = url;
  *prefixLength = i;
  *path = url + i;
  *pathLength = length - i;
}

// 1 when the URL's path (an absolute URL's without its prefix) has at most
// maximum bytes; also right for a URL whose end has not arrived yet.
int UrlWithinMaxLen(const uint8_t* url, uint32_t length, uint32_t maximum) {
  const uint8_t* prefix = nullptr;
  uint32_t prefixLength = 0;
  const uint8_t* path = nullptr;
  uint32_t pathLength = 0;
  SplitAbsoluteUrl(url, length, &prefix, &prefixLength, &path, &pathLength);
  return pathLength <= maximum ? 1 : 0;
}

}  // namespace rg
