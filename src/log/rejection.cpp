// Rejection records: one line per refused request,
//   date time c-ip reason winerr [reqline]
// written under LogLock in one write, changing to a new day's log file
// first when the date has moved on.
#include <cstring>

#include "log/log.h"
#include "log/log_internal.h"
#include "frame/framer.h"
#include "log/reason.h"

namespace rg {

namespace {

constexpr uint32_t kReasonBufferSize = 1024;
constexpr uint32_t kDateBufferSize = 52;
// Longest client address a record carries (an IPv6 address with a zone
// fits many times over); a longer one is cut.
constexpr uint32_t kAddressLimit = 256;

// The whole record is built here and written in one call, so a log shared
// by several processes never interleaves two records, and the lock is held
// for one bounded write however large the request was.
struct Record {
  uint32_t used;
  char bytes[64 + kDateBufferSize + 3 * kAddressLimit + kReasonBufferSize +
             kRecordRequestLimit + 128];
};

void Put(Record* r, const char* data, size_t length) {
  size_t room = sizeof r->bytes - r->used;
  if (length > room) length = room;
  std::memcpy(r->bytes + r->used, data, length);
  r->used += static_cast<uint32_t>(length);
}

void PutText(Record* r, const char* text) { Put(r, text, std::strlen(text)); }

// Client bytes (the request, and the address a host reports) may hold
// anything. Control bytes (00-1F, 7F), and in the address also the space
// that separates fields, are written as %XX so that they can neither end
// the record early nor forge lines or fields of their own; every other byte
// is written as it came, so ordinary request lines read as sent. Stops
// before `limit` bytes of output; returns how many input bytes it took.
uint32_t PutEscaped(Record* r, const uint8_t* data, uint32_t length, uint32_t limit,
                    bool escapeSpace) {
  static const char kHex[] = "0123456789ABCDEF";
  uint32_t start = r->used;
  uint32_t i = 0;
  for (; i < length; ++i) {
    uint8_t b = data[i];
    bool plain = b > 0x20 ? b != 0x7F : (b == 0x20 && !escapeSpace);
    uint32_t need = plain ? 1 : 3;
    if (r->used - start + need > limit) break;
    if (plain) {
      r->bytes[r->used++] = static_cast<char>(b);
    } else {
      r->bytes[r->used] = '%';
      r->bytes[r->used + 1] = kHex[b >> 4];
      r->bytes[r->used + 2] = kHex[b & 0x0F];
      r->used += 3;
    }
  }
  return i;
}

// The list entry a message names. An index outside the list would be a fault
// of the check that set it; the record then says "-" rather than read past
// the list.
const char* EntryAt(const StringList* list, uint32_t index) {
  if (index >= list->count || list->entries == nullptr) return "-";
  return list->entries[index];
}

// Writes the record with the day's file current. Under LogLock.
void WriteUnderLock(FilterPolicy* policy, const char* clientAddress, const char* reasonField,
                    const uint8_t* request, uint32_t requestLength) {
  LogSink* sink = policy->Log;
  if (sink == nullptr) return;

  LocalTime now;
  GetLocalTimeNow(&now);
  char date[kDateBufferSize] = {};
  FormatLogDateAt(&now, date);
  if (std::strcmp(date, sink->date) != 0) {
    // On failure the previous day's file (if any) stays open and takes the
    // record; the date still differs, so the next rejection tries again.
    OpenSinkFileAt(sink, policy, &now);
  } else if (sink->file != kInvalidFile && !FileIsAtPath(sink->file, sink->path)) {
    // The file was removed or replaced behind our back (a rotation, a
    // removed directory): records written on would reach nobody. When it
    // cannot be made again, the record is counted as lost instead.
    if (OpenSinkFileAt(sink, policy, &now) != 0) {
      ++sink->lost;
      return;
    }
  }

  Record r;
  r.used = 0;
  if (sink->lost > 0) {
    char note[96];
    FormatText(note, sizeof note, "#Unwritten: %d earlier records could not be written\r\n",
               static_cast<int32_t>(sink->lost > 0x7FFFFFFF ? 0x7FFFFFFF : sink->lost));
    PutText(&r, note);
  }

  char timestamp[kDateBufferSize] = {};
  FormatTimestampAt(&now, timestamp);
  PutText(&r, timestamp);

  if (clientAddress != nullptr && clientAddress[0] != '\0') {
    const uint8_t* address = reinterpret_cast<const uint8_t*>(clientAddress);
    uint32_t length = static_cast<uint32_t>(strnlen(clientAddress, 4 * kAddressLimit));
    PutEscaped(&r, address, length, 3 * kAddressLimit, true);
  } else {
    PutText(&r, "[-]");
  }

  PutText(&r, reasonField);

  PutText(&r, "[");
  if (request != nullptr && requestLength > 0) {
    uint32_t taken = PutEscaped(&r, request, requestLength, kRecordRequestLimit, false);
    if (taken < requestLength) {
      char marker[96];
      FormatText(marker, sizeof marker, "...(cut, %d of %d bytes shown)",
                 static_cast<int32_t>(taken), static_cast<int32_t>(requestLength & 0x7FFFFFFF));
      PutText(&r, marker);
    }
  } else {
    PutText(&r, "-");
  }
  PutText(&r, "]\r\n");

  uint64_t lostBefore = sink->lost;
  if (WriteToSink(sink, r.bytes, r.used, true) && lostBefore > 0) sink->lost = 0;
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
      case kReasonFraming:
        // The framer names what it refused; the code travels in matchIndex.
        FormatText(out, room, "%s",
                   matchIndex < static_cast<uint32_t>(FrameError::kCount)
                       ? FrameErrorMessage(static_cast<FrameError>(matchIndex))
                       : message);
        break;
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
  char fields[kReasonBufferSize] = {};
  FormatReason(policy, fields, reason, matchIndex, winError);

  const char* address = context != nullptr ? context->clientAddress : nullptr;
  const uint8_t* request = nullptr;
  uint32_t count = 0;
  if (context != nullptr && context->data != nullptr) {
    request = context->data;
    count = context->lineComplete ? context->lineEnd : context->length;
  }

  EnsureLogLock();
  LockEnter(&LogLock);
  WriteUnderLock(policy, address, fields, request, count);
  LockLeave(&LogLock);
}

void WriteRecord(FilterPolicy* policy, const char* clientAddress, const char* reasonField,
                 const uint8_t* request, uint32_t requestLength) {
  if (policy == nullptr) return;
  EnsureLogLock();
  LockEnter(&LogLock);
  WriteUnderLock(policy, clientAddress, reasonField, request, requestLength);
  LockLeave(&LogLock);
}

}  // namespace rg
