// The URL of the request line: an absolute URL's host and port, then the
// path's length and first byte as received, then, on the canonical path
// where the policy asks for it, dots, the extension, byte classes and
// forbidden sequences. The first failed test decides.
#include <cstring>

#include "canon/canon.h"
#include "log/reason.h"
#include "scan/byte_rules.h"
#include "scan/scan.h"

namespace rg {

namespace {

// A path must start with '/', except the asterisk form "*" (OPTIONS *).
bool PathStartsWell(const uint8_t* path, uint32_t length) {
  if (length == 0) return false;
  if (length == 1) return path[0] == '/' || path[0] == '*';
  return path[0] == '/';
}

// The tests on the text the checks read (the canonical path, or the path as
// received): dots, extension, byte classes, sequences. Returns the reason,
// 0 when the text passes; *index names the list entry for 11 and 14.
ReasonCode TextReason(const FilterPolicy* policy, const uint8_t* text, uint32_t length,
                      bool plain, uint32_t* index) {
  uint32_t lastSlash = length;
  for (uint32_t i = length; i > 0; --i) {
    if (text[i - 1] == '/') {
      lastSlash = i - 1;
      break;
    }
  }
  // Only the asterisk form lacks a '/': it has neither directories nor an
  // extension.
  if (lastSlash != length) {
    if (policy->AllowDotInUrl == 0 && lastSlash > 0 && std::memchr(text, '.', lastSlash) != nullptr)
      return kReasonUrlDot;
    uint32_t dot = length;
    for (uint32_t i = length; i > lastSlash + 1; --i) {
      if (text[i - 1] == '.') {
        dot = i - 1;
        break;
      }
    }
    // The extension runs from the last dot of the last segment to the end,
    // dot included, so list entries carry their dot too.
    if (dot != length) {
      const uint8_t* extension = text + dot;
      uint32_t extensionLength = length - dot;
      if (policy->Extensions.flag != 0) {
        if (!FindEntry(extension, extensionLength, &policy->Extensions, 1, nullptr))
          return kReasonExtensionNotAllowed;
      } else if (FindEntry(extension, extensionLength, &policy->Extensions, 1, index)) {
        return kReasonExtensionDenied;
      }
    }
  }
  if (!plain) {
    ReasonCode byteReason = scan_detail::FirstByteRuleReason(
        text, length, policy->AllowHighBitInUrl, kReasonUrlHighBit, kReasonUrlControl);
    if (byteReason != kReasonNone) return byteReason;
  }
  if (policy->UrlSequences.flag != 0 && FindSequence(text, length, &policy->UrlSequences, index))
    return kReasonUrlSequence;
  return kReasonNone;
}

}  // namespace

// 1 when the host:port text of an absolute URL's prefix ("http://" and the
// authority) is an entry of HostPorts, compared without case. The text
// starts after the first '@', or after "http://" when there is none.
int MatchHostPort(const FilterPolicy* policy, const uint8_t* prefix, uint32_t prefixLength) {
  // A user part ends at the first '@'; an '@' as the prefix's last byte
  // leaves nothing after it and does not count.
  uint32_t start = 7;  // just after "http://"
  const void* at = std::memchr(prefix, '@', prefixLength);
  if (at != nullptr) {
    uint32_t a = static_cast<uint32_t>(static_cast<const uint8_t*>(at) - prefix);
    if (a + 1 < prefixLength) start = a + 1;
  }
  if (start > prefixLength) return 0;  // too short to hold "http://": no host at all
  return FindEntry(prefix + start, prefixLength - start, &policy->HostPorts, 1, nullptr);
}

// Judges a complete URL (the bytes between the verb's SP and the first SP,
// '?' or '#'). A refusal sets context->reason, with matchIndex for 11 and
// 14 and winError for 34; an accepted URL leaves the context as it was.
// Nothing stays allocated.
void CheckUrl(const FilterPolicy* policy, ScanContext* context, const uint8_t* url,
              uint32_t length, ElementHint hint) {
  const uint8_t* prefix = nullptr;
  uint32_t prefixLength = 0;
  const uint8_t* path = nullptr;
  uint32_t pathLength = 0;
  SplitAbsoluteUrl(url, length, &prefix, &prefixLength, &path, &pathLength);

  if (prefix != nullptr && policy->HostPorts.flag != 0 &&
      !MatchHostPort(policy, prefix, prefixLength)) {
    context->reason = kReasonHostPortInSchema;
    return;
  }
  if (policy->HasUrlMaxLen != 0 && pathLength > policy->UrlMaxLen) {
    context->reason = kReasonUrlTooLong;
    return;
  }
  if (!PathStartsWell(path, pathLength)) {
    context->reason = kReasonUrlBadStart;
    return;
  }

  // Escaped or UTF-8-encoded dots, slashes and control bytes must be seen as
  // what they stand for, so the later tests read the canonical form.
  CanonicalCopy copy;
  const uint8_t* text = path;
  uint32_t textLength = pathLength;
  // A path without '%' and high-bit bytes is its own canonical form. A
  // plain URL has neither, nor a byte the byte rule refuses.
  bool plain = hint == kHintPlain;
  if (policy->CanonUrlBeforeScan != 0 && !plain && CanonicalizeMayChange(path, pathLength)) {
    if (!CanonicalizeCopy(context, path, pathLength, policy->FailOnReCanonUrlChange,
                          kReasonUrlReCanonChanged, &copy))
      return;
    text = copy.bytes;
    textLength = copy.length;
  }
  uint32_t index = 0;
  ReasonCode reason = TextReason(policy, text, textLength, plain, &index);
  ReleaseCanonicalCopy(&copy);
  if (reason == 0) return;
  context->reason = reason;
  if (reason == kReasonExtensionDenied || reason == kReasonUrlSequence) context->matchIndex = index;
}

}  // namespace rg
