// A whole header line, judged as its name's check and then its value's
// check would judge it, with a shortcut for the usual line: a plain name
// that no denied name can equal and no value rule of its own, with a plain
// value. Only the two length limits and, where the name may have one, the
// per-header limit can refuse such a line, so it costs a few comparisons
// instead of both checks. Inline: the scanner calls it for every line.
#pragma once

#include "log/reason.h"
#include "policy/lists_index.h"
#include "scan/scan.h"

namespace rg {

inline HeaderLinePart CheckHeaderLine(const FilterPolicy* policy, ScanContext* context,
                                      const uint8_t* name, uint32_t nameLength,
                                      ElementHint nameHint, const uint8_t* value,
                                      uint32_t valueLength, ElementHint valueHint) {
  // A plain name is only looked up and measured (no byte or canonical
  // test); a plain value without a canonical test is only measured and
  // held against its name's limit.
  if (nameHint == kHintPlain && valueHint == kHintPlain && policy->CanonHeaderValue == 0 &&
      !(policy->DeniedHeaderNames.flag != 0 &&
        ListMayHold(policy->DeniedHeaderNames, name, nameLength)) &&
      !(policy->HostPorts.flag != 0 && IsHostHeader(name, nameLength)) &&
      !IsContentLengthHeader(name, nameLength)) {
    if (policy->HasHeaderNameMaxLen != 0 && nameLength > policy->HeaderNameMaxLen) {
      context->reason = kReasonHeaderNameTooLong;
      return kLinePartName;
    }
    if (policy->HasHeaderValueMaxLen != 0 && valueLength > policy->HeaderValueMaxLen) {
      context->reason = kReasonHeaderValueTooLong;
      return kLinePartValue;
    }
    if (policy->ValidMaxLenByHeader != 0 && policy->HeaderLimits.count != 0 &&
        (policy->HeaderLimits.index == nullptr ||
         IndexMayHold(*policy->HeaderLimits.index, name, nameLength)))
      return CheckHeaderLimit(policy, context, name, nameLength, value, valueLength);
    return kLinePartNone;
  }
  return CheckHeaderLineInFull(policy, context, name, nameLength, nameHint, value, valueLength,
                               valueHint);
}

}  // namespace rg
