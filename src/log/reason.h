// Why a request was refused: an index into the reason table of the log.
#pragma once

#include <cstdint>

namespace rg {

enum ReasonCode : uint32_t {
  kReasonNone = 0,
  kReasonIncorrectRequestLine = 1,
  kReasonMultipleSpaces = 2,
  kReasonVerbNotAllowed = 3,
  kReasonVerbDenied = 4,  // names a Verbs entry
  kReasonHostPortInSchema = 5,
  kReasonUrlTooLong = 6,
  kReasonUrlBadStart = 7,
  kReasonUrlReCanonChanged = 8,
  kReasonUrlDot = 9,
  kReasonExtensionNotAllowed = 10,
  kReasonExtensionDenied = 11,  // names an Extensions entry
  kReasonUrlHighBit = 12,
  kReasonUrlControl = 13,
  kReasonUrlSequence = 14,    // names a UrlSequences entry
  kReasonQuerySequence = 15,  // names a QuerySequences entry
  kReasonQueryHighBit = 16,
  kReasonQueryControl = 17,
  kReasonQueryTooLong = 18,
  kReasonQueryReCanonChanged = 19,
  kReasonHttpVersion = 20,
  kReasonHeaderSeparator = 21,
  kReasonHeaderNameTooLong = 22,
  kReasonHeaderValueTooLong = 23,
  kReasonHeaderNameByte = 24,
  kReasonHeaderValueByte = 25,
  kReasonHeaderNameDenied = 26,  // names a DeniedHeaderNames entry
  kReasonHostHeader = 27,
  kReasonContentLengthForm = 28,
  kReasonContentLengthTooLarge = 29,
  kReasonHeaderLimit = 30,  // names a HeaderLimits entry and its limit
  kReasonPayloadTooLong = 31,
  kReasonLogByStatus = 32,   // in the table, never set
  kReasonLogRejected = 33,   // in the table, never set
  kReasonWindowsError = 34,  // goes with winError
  kReasonHeaderNameReCanonChanged = 35,
  kReasonHeaderValueReCanonChanged = 36,
  kReasonHeaderNameCanonByte = 37,
  kReasonHeaderValueCanonByte = 38,
  kReasonPayloadHighBit = 39,
  kReasonHeadTooLong = 40,  // request line and headers past FilterPolicy::MaxHeadLength
  kReasonFraming = 41,  // framing two servers could read differently; matchIndex: a FrameError
  kReasonCount = 42,
};

// The bracketed message of each code, " [...] ", some with a %s or %d.
extern const char* const kReasonMessages[kReasonCount];

}  // namespace rg
