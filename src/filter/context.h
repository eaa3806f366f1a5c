// The per-connection scan record, hung on the server's pFilterContext.
#pragma once

#include <cstdint>

#include "log/reason.h"

namespace rg {

// Where the scanner stands in the current request.
enum ScanState : uint32_t {
  kStateVerb = 0,
  kStateAfterVerb = 1,
  kStateUrl = 2,
  kStateQuery = 3,
  kStateFragment = 4,
  kStateVersion = 5,
  kStateHeaderName = 6,
  kStateHeaderValue = 7,
  kStatePayload = 8,
  kStateResponseSent = 9,
  kStateRejected = 10,
};

// Created zero-filled, so a new context starts in state Verb with every
// index, flag and code 0. Owns clientAddress and data. State and reason are
// enums of 32-bit width, so the record has the layout of plain numbers.
static_assert(sizeof(ScanState) == 4 && sizeof(ReasonCode) == 4);

struct ScanContext {
  char* clientAddress;  // REMOTE_ADDR, fetched once per connection
  // The current request's bytes while its head is open. Payload is counted,
  // not kept; a head that came whole in one chunk leaves only its request
  // line here (stored says how many bytes are held).
  uint8_t* data;
  uint32_t length;      // bytes of the current request received so far
  uint32_t cursor;      // start of the element being scanned
  uint32_t nameStart;   // start of the current header name
  ScanState state;
  uint32_t lineEnd;     // index of the first CR LF at 1 or later, once lineComplete
  uint32_t headersEnd;  // index of the first CR LF CR LF, once headersComplete
  uint32_t lineComplete;
  uint32_t headersComplete;
  ReasonCode reason;    // kReasonNone while none
  uint32_t matchIndex;  // list entry named by the rejection message
  uint32_t winError;    // system error that goes with reason 34
  // Scanner bookkeeping, not part of a request's meaning: where the line-end
  // and header-end searches resume, how many bytes `data` can hold, and how
  // many it holds (payload bytes are counted in `length` but not kept, so
  // stored <= length once the state is Payload).
  uint32_t lineSearch;
  uint32_t headerSearch;
  uint32_t capacity;
  uint32_t stored;
  // Where the scan of the current element (verb, URL, query, version, header
  // name or value) resumes, so that an element arriving in many small chunks
  // is not searched again from its start; 0 whenever a new element begins.
  // These resume points may lag behind the bytes received, never run ahead:
  // a search from an earlier point finds the same end.
  uint32_t elementSearch;
  // The one-byte path may append bytes to the element being received while
  // the buffer holds fewer than this many: up to here no byte can complete
  // a rule the full walk would apply as the element grows. 0: every byte
  // takes the full walk. Set by the scanner after each full walk; a context
  // zero-filled or reset without the scanner has 0 here or fails the
  // path's other tests.
  uint32_t byteLimit;
};

}  // namespace rg
