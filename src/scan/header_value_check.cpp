// The value of a header line: its raw length, the byte syntax of the trimmed
// value (text with double-quoted parts and backslash escapes), the Host and
// Content-Length rules, the per-header limits, and, where the policy asks
// for it, the byte syntax once more on the canonical form.
#include <array>
#include <cstring>

#include "canon/canon.h"
#include "log/reason.h"
#include "platform/text.h"
#include "scan/scan.h"

namespace rg {

namespace {

constexpr uint8_t kSP = 0x20;

// Byte classes of the value syntax.
//   kText:      HT (09) and 20-7E, except '"' and '\'
//   kQuote:     '"' (22)
//   kBackslash: '\' (5C)
//   kControl:   00-08, 0A-1F, 7F (allowed only right after a backslash
//               inside quotes)
//   kHigh:      80-FF (never allowed)
enum : uint8_t { kText, kQuote, kBackslash, kControl, kHigh };

constexpr std::array<uint8_t, 256> BuildValueClasses() {
  std::array<uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b) {
    if (b >= 0x80)
      t[b] = kHigh;
    else if (b == '"')
      t[b] = kQuote;
    else if (b == '\\')
      t[b] = kBackslash;
    else if (b == 0x09 || (b >= 0x20 && b <= 0x7E))
      t[b] = kText;
    else
      t[b] = kControl;
  }
  return t;
}
constexpr std::array<uint8_t, 256> kValueClass = BuildValueClasses();

// True when none of the 8 bytes of w is below 0x20, above 0x7E, or a '"':
// bytes that change nothing outside a quoted part (HT, which also passes,
// is left to the byte-wise path). Exact for the whole word, not per byte.
bool PlainWord(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  uint64_t below20 = (w - kOnes * 0x20) & ~w & kHigh;
  uint64_t above7E = ((w + kOnes * (0x7F - 0x7E)) | w) & kHigh;
  uint64_t q = w ^ (kOnes * '"');
  uint64_t quote = (q - kOnes) & ~q & kHigh;
  return (below20 | above7E | quote) == 0;
}

// The value syntax over a non-empty trimmed value: true when every byte is
// accepted and no quoted part is left open. A '"' always opens or closes a
// quoted part, even after a backslash, and leaves the escape as it is, so
// an escape can carry into the next quoted part.
bool ValueSyntaxOk(const uint8_t* text, uint32_t length) {
  bool inQuote = false;
  bool escaped = false;
  for (uint32_t i = 0; i < length; ++i) {
    // Header values are mostly plain text outside quotes: skip it a word at
    // a time, since it can neither be refused nor change the flags.
    while (!inQuote && length - i >= 8) {
      uint64_t w;
      std::memcpy(&w, text + i, sizeof w);
      if (!PlainWord(w)) break;
      i += 8;
    }
    if (i == length) break;
    switch (kValueClass[text[i]]) {
      case kText:
        if (inQuote) escaped = false;
        break;
      case kQuote:
        inQuote = !inQuote;
        break;
      case kBackslash:
        if (inQuote) escaped = true;
        break;
      case kControl:
        if (!inQuote || !escaped) return false;
        escaped = false;
        break;
      default:  // kHigh
        return false;
    }
  }
  return !inQuote;
}

// Content-Length: 1 to 10 decimal digits (no sign, no spaces inside),
// whatever the policy. With a maximum configured, the number must also be
// at most the maximum. Returns 0 or the reason.
ReasonCode ContentLengthReason(const FilterPolicy* policy, const uint8_t* value, uint32_t length) {
  if (length < 1 || length > 10) return kReasonContentLengthForm;
  for (uint32_t i = 0; i < length; ++i)
    if (value[i] < '0' || value[i] > '9') return kReasonContentLengthForm;
  if (policy->HasContentLengthMaxLen == 0) return kReasonNone;
  // Ten digits can exceed 32 bits. They are added up in 64 bits, so a
  // number above 4294967295 is refused however wide the platform's long is.
  uint64_t number = 0;
  for (uint32_t i = 0; i < length; ++i) number = number * 10 + (value[i] - '0');
  if (number > 0xFFFFFFFFull || number > policy->ContentLengthMaxLen)
    return kReasonContentLengthTooLarge;
  return kReasonNone;
}

}  // namespace

// Judges a header value (the bytes after the ':' up to the CR LF, leading
// spaces included) of the named header. A refusal sets context->reason,
// with matchIndex for 30 and winError for 34; an accepted value leaves the
// context as it was. Nothing stays allocated.
void CheckHeaderValue(const FilterPolicy* policy, ScanContext* context, const uint8_t* name,
                      uint32_t nameLength, const uint8_t* value, uint32_t valueLength,
                      ElementHint hint) {
  // The raw length counts the spaces that trimming removes.
  if (policy->HasHeaderValueMaxLen != 0 && valueLength > policy->HeaderValueMaxLen) {
    context->reason = kReasonHeaderValueTooLong;
    return;
  }
  const uint8_t* trimmed = value;
  uint32_t trimmedLength = valueLength;
  TrimSpaces(&trimmed, &trimmedLength);
  // Plain text (no quote, backslash, control or high-bit byte) passes the
  // byte rule as it stands.
  if (trimmedLength != 0 && hint != kHintPlain && !ValueSyntaxOk(trimmed, trimmedLength)) {
    context->reason = kReasonHeaderValueByte;
    return;
  }

  if (policy->HostPorts.flag != 0 && IsHostHeader(name, nameLength)) {
    if (!FindEntry(trimmed, trimmedLength, &policy->HostPorts, 1, nullptr)) {
      context->reason = kReasonHostHeader;
      return;
    }
  } else if (IsContentLengthHeader(name, nameLength)) {
    ReasonCode reason = ContentLengthReason(policy, trimmed, trimmedLength);
    if (reason != 0) {
      context->reason = reason;
      return;
    }
  }

  uint32_t index = 0;
  if (policy->ValidMaxLenByHeader != 0 &&
      ExceedsHeaderLimit(name, nameLength, trimmedLength, &policy->HeaderLimits, &index)) {
    context->matchIndex = index;
    context->reason = kReasonHeaderLimit;
    return;
  }
  if (trimmedLength == 0 || policy->CanonHeaderValue == 0) return;
  // The value has passed the byte rule, so it holds no byte of 0x80 or
  // above: without a '%' it is its own (trimmed) canonical form, which has
  // just passed the same rule.
  if (!CanonicalizeMayChange(trimmed, trimmedLength)) return;

  // The Host, Content-Length and limit tests above judge the value as
  // received; only the byte syntax is repeated on the canonical form.
  CanonicalCopy canonical;
  if (!CanonicalizeCopy(context, trimmed, trimmedLength, policy->FailOnReCanonHeaderValueChange,
                        kReasonHeaderValueReCanonChanged, &canonical))
    return;
  // Escaped spaces at either end are trimmed again, in the copy itself.
  uint8_t* copy = canonical.bytes;
  uint32_t copyLength = canonical.length;
  uint32_t lead = 0;
  while (lead < copyLength && copy[lead] == kSP) ++lead;
  if (lead > 0) {
    std::memmove(copy, copy + lead, copyLength - lead);
    copyLength -= lead;
  }
  while (copyLength > 0 && copy[copyLength - 1] == kSP) --copyLength;
  bool ok = copyLength == 0 || ValueSyntaxOk(copy, copyLength);
  ReleaseCanonicalCopy(&canonical);
  if (!ok) context->reason = kReasonHeaderValueCanonByte;
}

}  // namespace rg
