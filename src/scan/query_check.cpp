// The query string: its length as received, then, on the canonical query
// where the policy asks for it, byte classes and forbidden sequences. '/',
// '.', '?' and '#' are ordinary bytes in a query.
#include "canon/canon.h"
#include "log/reason.h"
#include "scan/byte_rules.h"
#include "scan/scan.h"

namespace rg {

// Judges a complete query (the bytes after the '?' up to the SP). A
// refusal sets context->reason, with matchIndex for 15 and winError for 34;
// an accepted query leaves the context as it was. Nothing stays allocated.
void CheckQuery(const FilterPolicy* policy, ScanContext* context, const uint8_t* query,
                uint32_t length, ElementHint hint) {
  if (policy->HasQueryMaxLen != 0 && length > policy->QueryMaxLen) {
    context->reason = kReasonQueryTooLong;
    return;
  }
  CanonicalCopy copy;
  const uint8_t* text = query;
  uint32_t textLength = length;
  // A query without '%' and high-bit bytes is its own canonical form. A
  // plain query has neither, nor a byte the byte rule refuses.
  bool plain = hint == kHintPlain;
  if (policy->CanonQueryBeforeScan != 0 && !plain && CanonicalizeMayChange(query, length)) {
    if (!CanonicalizeCopy(context, query, length, policy->FailOnReCanonQueryChange,
                          kReasonQueryReCanonChanged, &copy))
      return;
    text = copy.bytes;
    textLength = copy.length;
  }
  uint32_t index = 0;
  ReasonCode reason =
      plain ? kReasonNone
            : scan_detail::FirstByteRuleReason(text, textLength, policy->AllowHighBitInQuery,
                                               kReasonQueryHighBit, kReasonQueryControl);
  if (reason == kReasonNone && policy->QuerySequences.flag != 0 &&
      FindSequence(text, textLength, &policy->QuerySequences, &index))
    reason = kReasonQuerySequence;
  ReleaseCanonicalCopy(&copy);
  if (reason == 0) return;
  context->reason = reason;
  if (reason == kReasonQuerySequence) context->matchIndex = index;
}

}  // namespace rg
