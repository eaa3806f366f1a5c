// A header line that the inline shortcut (header_line_check.h) does not
// settle: its name's check, then its value's.
#include "scan/header_line_check.h"

namespace rg {

HeaderLinePart CheckHeaderLineInFull(const FilterPolicy* policy, ScanContext* context,
                                     const uint8_t* name, uint32_t nameLength,
                                     ElementHint nameHint, const uint8_t* value,
                                     uint32_t valueLength, ElementHint valueHint) {
  CheckHeaderName(policy, context, name, nameLength, nameHint);
  if (context->reason != 0) return kLinePartName;
  CheckHeaderValue(policy, context, name, nameLength, value, valueLength, valueHint);
  return context->reason != 0 ? kLinePartValue : kLinePartNone;
}

HeaderLinePart CheckHeaderLimit(const FilterPolicy* policy, ScanContext* context,
                                const uint8_t* name, uint32_t nameLength, const uint8_t* value,
                                uint32_t valueLength) {
  TrimSpaces(&value, &valueLength);
  uint32_t index = 0;
  if (!ExceedsHeaderLimit(name, nameLength, valueLength, &policy->HeaderLimits, &index))
    return kLinePartNone;
  context->matchIndex = index;
  context->reason = kReasonHeaderLimit;
  return kLinePartValue;
}

}  // namespace rg
