// In-place decoding of request text: percent escapes (%XX and %uXXXX, with
// fullwidth forms mapped onto ASCII), then UTF-8 sequences of one to six
// bytes folded to one byte each. Each pass runs once.
#pragma once

#include <cstdint>

#include "filter/context.h"
#include "platform/platform.h"

namespace rg {

// Decodes percent escapes in place; length is in/out and never grows.
void PercentDecode(uint8_t* text, uint32_t* length);
// Replaces every UTF-8 sequence (RFC 2279 forms, overlong ones included) by
// the low 8 bits of the number it encodes; other bytes pass unchanged.
void FoldUtf8(uint8_t* text, uint32_t* length);
// Tests the row + 1 bytes at bytes against UTF-8 form `row` (0..5). On a
// match returns 1 and, when payload is given, stores each byte's payload
// bits. The caller guarantees that row + 1 bytes are readable.
int MatchUtf8Row(const uint8_t* bytes, uint32_t row, uint8_t* payload);
// PercentDecode, then FoldUtf8. Linear, allocation-free, cannot fail.
void Canonicalize(uint8_t* text, uint32_t* length);

// 0 when Canonicalize would leave the text exactly as it is (no '%' and no
// byte of 0x80 or above), so that the canonical form is the text itself and
// no copy is needed; 1 when it may change it.
int CanonicalizeMayChange(const uint8_t* text, uint32_t length);

// Elements up to this many bytes are canonicalized in the caller's own
// record, longer ones on the heap: most URLs, queries and header texts that
// need a canonical form are short, and a heap block for each would cost
// more than the decoding.
constexpr uint32_t kCanonicalLocalBytes = 512;

// A canonical copy of an element: bytes points into local or to a heap
// block. Declared without an initializer (local is left as it is) and
// released with ReleaseCanonicalCopy, whether or not a copy was made.
struct CanonicalCopy {
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
  uint8_t local[kCanonicalLocalBytes];
};

inline void ReleaseCanonicalCopy(CanonicalCopy* copy) {
  if (copy->bytes != nullptr && copy->bytes != copy->local) HeapFreeBlock(copy->bytes);
  copy->bytes = nullptr;
  copy->length = 0;
}

// Canonicalizes a private copy of an element. With secondPass nonzero the
// copy is canonicalized again and the element counts as changed when that
// alters it. Returns 1 with copy->bytes and copy->length set; or 0 with
// context->reason set (34 with winError on a failed allocation,
// changedReason for a changed element) and nothing left allocated.
int CanonicalizeCopy(ScanContext* context, const uint8_t* element, uint32_t elementLength,
                     int32_t secondPass, ReasonCode changedReason, CanonicalCopy* copy);

}  // namespace rg
