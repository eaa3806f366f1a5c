// The name of a header line: its length, the forbidden names, and the token
// syntax of HTTP/1.1, on the name as received and, where the policy asks for
// it, once more on its canonical form.
#include <array>

#include "canon/canon.h"
#include "log/reason.h"
#include "scan/scan.h"

namespace rg {

namespace {

// Token bytes: 21-7E without the separators ( ) < > @ , ; : \ " / [ ] ? = { }.
// Control bytes, SP, DEL and every byte from 80 up are no token bytes.
//
//   21 !  23-27 # $ % & '  2A *  2B +  2D -  2E .  30-39 digits
//   41-5A capitals  5E ^  5F _  60 `  61-7A small letters  7C |  7E ~
constexpr std::array<uint8_t, 256> BuildTokenTable() {
  std::array<uint8_t, 256> t{};
  for (int b = 0x21; b <= 0x7E; ++b) t[b] = 1;
  for (uint8_t separator :
       {'(', ')', '<', '>', '@', ',', ';', ':', '\\', '"', '/', '[', ']', '?', '=', '{', '}'})
    t[separator] = 0;
  return t;
}
constexpr std::array<uint8_t, 256> kToken = BuildTokenTable();

bool AllTokenBytes(const uint8_t* text, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i)
    if (kToken[text[i]] == 0) return false;
  return true;
}

}  // namespace

// Judges a header name (the line's bytes before its ':'; may be empty). A
// refusal sets context->reason, with matchIndex for 26 and winError for 34;
// an accepted name leaves the context as it was. Nothing stays allocated.
void CheckHeaderName(const FilterPolicy* policy, ScanContext* context, const uint8_t* name,
                     uint32_t nameLength, ElementHint hint) {
  if (policy->HasHeaderNameMaxLen != 0 && nameLength > policy->HeaderNameMaxLen) {
    context->reason = kReasonHeaderNameTooLong;
    return;
  }
  // The list is consulted before the token test, so an entry holding a
  // non-token byte still names the header it forbids in the log.
  uint32_t index = 0;
  if (policy->DeniedHeaderNames.flag != 0 &&
      FindEntry(name, nameLength, &policy->DeniedHeaderNames, 1, &index)) {
    context->matchIndex = index;
    context->reason = kReasonHeaderNameDenied;
    return;
  }
  // Letters, digits and '-' are token bytes, and none is a '%'.
  if (hint == kHintPlain) return;
  if (!AllTokenBytes(name, nameLength)) {
    context->reason = kReasonHeaderNameByte;
    return;
  }
  // The name holds token bytes only, none of them 0x80 or above: without a
  // '%' it is its own canonical form, which has just passed.
  if (policy->CanonHeaderName == 0 || !CanonicalizeMayChange(name, nameLength)) return;

  // '%' is a token byte, so an escaped separator passes the raw test; the
  // canonical form shows it.
  CanonicalCopy copy;
  if (!CanonicalizeCopy(context, name, nameLength, policy->FailOnReCanonHeaderNameChange,
                        kReasonHeaderNameReCanonChanged, &copy))
    return;
  bool tokens = AllTokenBytes(copy.bytes, copy.length);
  ReleaseCanonicalCopy(&copy);
  if (!tokens) context->reason = kReasonHeaderNameCanonByte;
}

}  // namespace rg
