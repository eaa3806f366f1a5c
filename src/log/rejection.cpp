// Rejection records: one line per refused request,
//   date time c-ip reason winerr [reqline]
// written under LogLock, changing to a new day's log file first when the
// date has moved on.
#include <cstring>

#include "log/log.h"
#include "log/log_internal.h"
#include "log/reason.h"

namespace rg {

PlatformLock LogLock;

namespace {

constexpr uint32_t kReasonBufferSize = 1024;
constexpr uint32_t kDateBufferSize = 52;

// Collects a record in a stack buffer and writes it in as few writes as the
// request's size allows. Write failures are ignored: there is nowhere left to
// report them, and the rest of the record is still worth attempting.
struct RecordWriter {
  FileHandle file;
  uint32_t used;
  char bytes[4096];
};

void Flush(RecordWriter* w) {
  if (w->used == 0) return;
  uint32_t written = 0;
  FileWrite(w->file, w->bytes, w->used, &written);
  w->used = 0;
}

void Put(RecordWriter* w, const char* data, size_t length) {
  while (length > 0) {
    if (w->used == sizeof w->bytes) Flush(w);
    size_t room = sizeof w->bytes - w->used;
    size_t n = length < room ? length : room;
    std::memcpy(w->bytes + w->used, data, n);
    w->used += static_cast<uint32_t>(n);
    data += n;
    length -= n;
  }
}

void PutText(RecordWriter* w, const char* text) { Put(w, text, std::strlen(text)); }

// The request bytes come from the client and may stop anywhere, before the
// first CR LF too. Control bytes (00-1F, 7F) are written as %XX so that
// they can neither end the record early nor forge lines of their own; every
// other byte is written as it came, so ordinary request lines read as sent.
void PutEscapedRequest(RecordWriter* w, const uint8_t* data, uint32_t length) {
  static const char kHex[] = "0123456789ABCDEF";
  for (uint32_t i = 0; i < length; ++i) {
    // Room for one escape keeps the test out of the common path.
    if (w->used > sizeof w->bytes - 3) Flush(w);
    uint8_t b = data[i];
    if (b >= 0x20 && b != 0x7F) {
      w->bytes[w->used++] = static_cast<char>(b);
    } else {
      w->bytes[w->used] = '%';
      w->bytes[w->used + 1] = kHex[b >> 4];
      w->bytes[w->used + 2] = kHex[b & 0x0F];
      w->used += 3;
    }
  }
}

// The list entry a message names. An index outside the list would be a fault
// of the check that set it; the record then says "-" rather than read past
// the list.
const char* EntryAt(const StringList* list, uint32_t index) {
  if (index >= list->count || list->entries == nullptr) return "-";
  return list->entries[index];
}

}  // namespace

void FormatReason(const FilterPolicy* policy, char* out, uint32_t reason, uint32_t matchIndex,
                  uint32_t winError) {
  // The error field is short and must survive whole, so it is made first
  // and the reason field gets what is left of the 1024 bytes.
  char error[32];
  if (winError != 0)
    FormatText(error, sizeof error, "[Win error %d] ", static_cast<int32_t>(winError));
  else
    FormatText(error, sizeof error, "[-] ");
  uint32_t errorLength = static_cast<uint32_t>(std::strlen(error));
  uint32_t room = kReasonBufferSize - errorLength;

  if (reason >= kReasonCount) {
    FormatText(out, room, " [Unknown reason %d] ", static_cast<int32_t>(reason));
  } else {
    const char* message = kReasonMessages[reason];
    switch (reason) {
      case kReasonVerbDenied:
        FormatText(out, room, message, EntryAt(&policy->Verbs, matchIndex));
        break;
      case kReasonExtensionDenied:
        FormatText(out, room, message, EntryAt(&policy->Extensions, matchIndex));
        break;
      case kReasonUrlSequence:
        FormatText(out, room, message, EntryAt(&policy->UrlSequences, matchIndex));
        break;
      case kReasonQuerySequence:
        FormatText(out, room, message, EntryAt(&policy->QuerySequences, matchIndex));
        break;
      case kReasonHeaderNameDenied:
        FormatText(out, room, message, EntryAt(&policy->DeniedHeaderNames, matchIndex));
        break;
      case kReasonHeaderLimit: {
        const HeaderLimitList* limits = &policy->HeaderLimits;
        bool known = matchIndex < limits->count && limits->names != nullptr;
        FormatText(out, room, message, known ? limits->names[matchIndex] : "-",
                   known ? limits->limits[matchIndex] : -1);
        break;
      }
      default:
        FormatText(out, room, "%s", message);
        break;
    }
  }
  uint32_t reasonLength = static_cast<uint32_t>(std::strlen(out));
  std::memcpy(out + reasonLength, error, errorLength + 1);
}

void WriteRejection(FilterPolicy* policy, const ScanContext* context, uint32_t reason,
                    uint32_t matchIndex, uint32_t winError) {
  if (policy == nullptr) return;
  LockEnter(&LogLock);

  LocalTime now;
  GetLocalTimeNow(&now);
  char date[kDateBufferSize] = {};
  FormatLogDateAt(&now, date);
  if (std::strcmp(date, policy->LogDate) != 0) {
    // On failure the previous day's file (if any) stays open and takes the
    // record; LogDate still differs, so the next rejection tries again.
    OpenLogFileAt(policy, &now);
  }
  if (policy->LogFile == kInvalidFile) {
    LockLeave(&LogLock);
    return;
  }

  RecordWriter w;
  w.file = policy->LogFile;
  w.used = 0;

  char timestamp[kDateBufferSize] = {};
  FormatTimestampAt(&now, timestamp);
  PutText(&w, timestamp);

  if (context != nullptr && context->clientAddress != nullptr && context->clientAddress[0] != '\0')
    PutText(&w, context->clientAddress);
  else
    PutText(&w, "[-]");

  char fields[kReasonBufferSize] = {};
  FormatReason(policy, fields, reason, matchIndex, winError);
  PutText(&w, fields);

  PutText(&w, "[");
  uint32_t count = 0;
  if (context != nullptr && context->data != nullptr)
    count = context->lineComplete ? context->lineEnd : context->length;
  if (count > 0)
    PutEscapedRequest(&w, context->data, count);
  else
    PutText(&w, "-");
  PutText(&w, "]\r\n");
  Flush(&w);

  LockLeave(&LogLock);
}

}  // namespace rg
