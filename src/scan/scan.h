// The resumable request scanner and the element checks it calls.
#pragma once

#include <cstdint>

#include "filter/context.h"
#include "platform/text.h"
#include "policy/policy.h"

namespace rg {

// Appends one chunk of a connection's raw bytes and advances the scan as far
// as the buffer allows. Afterwards context->state is kStateRejected with
// reason (and matchIndex / winError) set, or the request is acceptable so far.
void ScanRawData(const FilterPolicy* policy, ScanContext* context, const void* chunk,
                 uint32_t chunkLength);

// Splits "http://authority/path" into the part before the path and the path.
// Without the scheme, or without a '/' after the authority, there is no
// prefix (*prefix null, length 0) and the path is the whole URL.
void SplitAbsoluteUrl(const uint8_t* url, uint32_t length, const uint8_t** prefix,
                      uint32_t* prefixLength, const uint8_t** path, uint32_t* pathLength);
// 1 when the path part of the URL is at most maximum bytes long.
int UrlWithinMaxLen(const uint8_t* url, uint32_t length, uint32_t maximum);

// What the scanner learned of an element's bytes while it looked for the
// element's end, so that the check need not read them again. A hint only
// ever spares work: a check given kHintNone reaches the same verdict.
enum ElementHint : uint32_t {
  kHintNone = 0,
  // URL or query: no byte below 0x20, none of 0x80 or above, no '%'.
  // Header name: only ASCII letters, digits and '-'.
  // Header value: no byte below 0x20 (HT included), none of 0x7F or above,
  // no '"' and no backslash.
  kHintPlain = 1,
};

// The element checks. Each reports a refusal only by setting context->reason
// (with matchIndex or winError where the message needs one); none changes
// state or writes into the request bytes. The caller guarantees what a
// hint other than kHintNone says of the bytes.
void CheckUrl(const FilterPolicy* policy, ScanContext* context, const uint8_t* url,
              uint32_t length, ElementHint hint = kHintNone);
int MatchHostPort(const FilterPolicy* policy, const uint8_t* prefix, uint32_t prefixLength);
void CheckQuery(const FilterPolicy* policy, ScanContext* context, const uint8_t* query,
                uint32_t length, ElementHint hint = kHintNone);
void CheckHeaderName(const FilterPolicy* policy, ScanContext* context, const uint8_t* name,
                     uint32_t nameLength, ElementHint hint = kHintNone);
void CheckHeaderValue(const FilterPolicy* policy, ScanContext* context, const uint8_t* name,
                      uint32_t nameLength, const uint8_t* value, uint32_t valueLength,
                      ElementHint hint = kHintNone);

// The headers whose value has a rule of its own (CheckHeaderValue), named
// in any letter case.
inline bool IsHostHeader(const uint8_t* name, uint32_t length) {
  return length == 4 && BytesEqualNoCase(name, "Host", 4);
}
inline bool IsContentLengthHeader(const uint8_t* name, uint32_t length) {
  return length == 14 && BytesEqualNoCase(name, "Content-Length", 14);
}

// A header value is judged without the SPs around it. Only SP is trimmed;
// an HT stays part of the value.
inline void TrimSpaces(const uint8_t** text, uint32_t* length) {
  const uint8_t* p = *text;
  uint32_t n = *length;
  while (n > 0 && p[0] == ' ') {
    ++p;
    --n;
  }
  while (n > 0 && p[n - 1] == ' ') --n;
  *text = p;
  *length = n;
}

// Which part of a header line CheckHeaderLine refused.
enum HeaderLinePart : uint32_t { kLinePartNone = 0, kLinePartName = 1, kLinePartValue = 2 };
// CheckHeaderName, then (if the name passed) CheckHeaderValue, with the
// same verdict; the result names the part that was refused. Inline, with
// the usual line's shortcut (header_line_check.h); the rest is here.
HeaderLinePart CheckHeaderLineInFull(const FilterPolicy* policy, ScanContext* context,
                                     const uint8_t* name, uint32_t nameLength,
                                     ElementHint nameHint, const uint8_t* value,
                                     uint32_t valueLength, ElementHint valueHint);
// The per-header limit of a line that has passed every other rule:
// kLinePartValue, with matchIndex, when its trimmed value is longer than
// the limit of its name.
HeaderLinePart CheckHeaderLimit(const FilterPolicy* policy, ScanContext* context,
                                const uint8_t* name, uint32_t nameLength, const uint8_t* value,
                                uint32_t valueLength);

}  // namespace rg
