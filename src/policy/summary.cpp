// The account of the effective policy that opens every log file after its
// header: "#" lines between a begin and an end line, so a reader of any log
// file sees which rules produced the records that follow.
#include <cstring>

#include "policy/globals.h"
#include "policy/policy.h"

namespace rg {

namespace {

constexpr uint32_t kLineSize = 1024;

struct SummarySink {
  void (*emit)(void* user, const char* line, uint32_t length);
  void* user;
  char line[kLineSize];
};

// Hands the formatted line on. A line cut to the buffer (an entry of
// extreme length) still ends in CR LF, so the cut cannot swallow the line
// break and merge the next "#" line into it.
void Send(SummarySink* s, int formatted) {
  uint32_t length = formatted > 0 ? static_cast<uint32_t>(formatted) : 0;
  if (length == kLineSize - 1 && !(s->line[length - 2] == '\r' && s->line[length - 1] == '\n')) {
    s->line[length - 2] = '\r';
    s->line[length - 1] = '\n';
  }
  s->emit(s->user, s->line, length);
}

void Line(SummarySink* s, const char* text) { Send(s, FormatText(s->line, kLineSize, "%s", text)); }

void Choose(SummarySink* s, int32_t on, const char* whenOn, const char* whenOff) {
  Line(s, on ? whenOn : whenOff);
}

void Entries(SummarySink* s, const StringList* list, const char* format) {
  for (uint32_t i = 0; i < list->count; ++i)
    Send(s, FormatText(s->line, kLineSize, format, list->entries[i]));
}

// The unsigned decimal of value, in the 16-byte block out.
const char* Decimal(uint32_t value, char* out) {
  char* end = out + 15;
  *end = '\0';
  char* at = end;
  do {
    *--at = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return at;
}

// One canonicalization switch with its second-pass switch: the second pass
// is only worth mentioning when the first one happens.
void Canon(SummarySink* s, int32_t canon, int32_t failOnChange, const char* canonLine,
           const char* failLine, const char* onceLine, const char* noCanonLine) {
  if (canon) {
    Line(s, canonLine);
    Line(s, failOnChange ? failLine : onceLine);
  } else {
    Line(s, noCanonLine);
  }
}

}  // namespace

void ForEachSummaryLine(const FilterPolicy* p,
                        void (*emit)(void* user, const char* line, uint32_t length), void* user) {
  if (p == nullptr || emit == nullptr) return;
  SummarySink sink;
  sink.emit = emit;
  sink.user = user;
  SummarySink* s = &sink;

  Line(s, "#*********************** Configuration (begin) ***********************\r\n");

  Choose(s, p->Verbs.flag, "# Allow Verbs (case sensitive):\r\n",
         "# Deny Verbs (case sensitive):\r\n");
  Entries(s, &p->Verbs, "# \t%s\r\n");

  if (p->HttpVersions.flag) {
    Line(s, "# Validate HttpVersion (case sensitive):\r\n");
    // Entries are held as " " + version + CR LF; printing from the second
    // byte gives the version with the entry's own line end.
    for (uint32_t i = 0; i < p->HttpVersions.count; ++i) {
      const char* entry = p->HttpVersions.entries[i];
      if (p->HttpVersions.lengths[i] > 0) ++entry;
      Send(s, FormatText(s->line, kLineSize, "# \t%s", entry));
    }
  }

  Choose(s, p->Extensions.flag, "# Allow Extensions:\r\n", "# Deny Extensions:\r\n");
  Entries(s, &p->Extensions, "# \t%s\r\n");

  if (p->HostPorts.flag) {
    Line(s, "# Validate HostPort:\r\n");
    Entries(s, &p->HostPorts, "# \t%s\r\n");
  }
  if (p->DeniedHeaderNames.flag) {
    Line(s, "# Deny HeaderNames:\r\n");
    Entries(s, &p->DeniedHeaderNames, "# \t%s\r\n");
  }
  if (p->ValidMaxLenByHeader) {
    Line(s, "# Validate MaxLenByHeader:\r\n");
    const HeaderLimitList* limits = &p->HeaderLimits;
    for (uint32_t i = 0; i < limits->count; ++i)
      Send(s, FormatText(s->line, kLineSize, "# \t%s (max %d bytes)\r\n", limits->names[i],
                         limits->limits[i]));
  }
  if (p->UrlSequences.flag) {
    Line(s, "# Deny UrlSequences:\r\n");
    Entries(s, &p->UrlSequences, "# \t'%s'\r\n");
  }
  if (p->QuerySequences.flag) {
    Line(s, "# Deny QuerySequences:\r\n");
    Entries(s, &p->QuerySequences, "# \t'%s'\r\n");
  }

  Choose(s, p->AllowDotInUrl, "# Allow DotInUrl\r\n", "# Deny DotInUrl\r\n");
  Choose(s, p->AllowHighBitInUrl, "# Allow HighBitInUrl\r\n", "# Deny HighBitInUrl\r\n");
  Canon(s, p->CanonUrlBeforeScan, p->FailOnReCanonUrlChange, "# Canon Url Before Scan\r\n",
        "# Fail if 2nd Canon Url Changes\r\n", "# Url will not be Canon twice\r\n",
        "# Do not Canon Url Before Scan\r\n");
  Choose(s, p->AllowHighBitInQuery, "# Allow HighBitInQuery\r\n", "# Deny HighBitInQuery\r\n");
  Canon(s, p->CanonQueryBeforeScan, p->FailOnReCanonQueryChange, "# Canon Query Before Scan\r\n",
        "# Fail if 2nd Canon Query Changes\r\n", "# Query will not be Canon twice\r\n",
        "# Do not Canon Query Before Scan\r\n");
  Canon(s, p->CanonHeaderName, p->FailOnReCanonHeaderNameChange, "# Canon HeaderName\r\n",
        "# Fail if 2nd Canon HeaderName Changes\r\n", "# HeaderName will not be Canon twice\r\n",
        "# Do not Canon HeaderName\r\n");
  Canon(s, p->CanonHeaderValue, p->FailOnReCanonHeaderValueChange, "# Canon HeaderValue\r\n",
        "# Fail if 2nd Canon HeaderValue Changes\r\n", "# HeaderValue will not be Canon twice\r\n",
        "# Do not Canon HeaderValue\r\n");

  for (const GlobalKey& key : kGlobalKeys) {
    if (key.kind == GlobalKind::kLength && p->*key.present)
      Send(s, FormatText(s->line, kLineSize, key.summary, static_cast<int32_t>(p->*key.limit)));
  }
  // The head cap always applies; it is the host's setting, not the file's,
  // and may pass what a signed number shows.
  char cap[16];
  Send(s, FormatText(s->line, kLineSize, "# Enforce maximum Request Head size of %s bytes\r\n",
                     Decimal(EffectiveMaxHeadLength(p), cap)));

  Choose(s, p->AllowHighBitInPayload, "# Allow HighBitInPayload\r\n",
         "# Deny HighBitInPayload\r\n");

  const char* banner = p->Banner != nullptr ? p->Banner : "";
  if (p->RemoveBanner)
    Line(s, "# Remove Banner\r\n");
  else if (banner[0] != '\0')
    Send(s, FormatText(s->line, kLineSize, "# Change Banner to '%s'\r\n", banner));
  else
    Line(s, "# Banner will not be changed\r\n");

  Send(s, FormatText(s->line, kLineSize, "# Log files in %s\r\n",
                     p->LogDirectory != nullptr ? p->LogDirectory : ""));
  Choose(s, p->HighPriority, "# Load with High Priority\r\n", "# Load with Low Priority\r\n");
  Choose(s, p->Simulate, "# Simulate Engine\r\n", "# Work for real\r\n");

  Line(s, "#*********************** Configuration (end) ***********************\r\n");
}

namespace {

void WriteSummaryLine(void* user, const char* line, uint32_t length) {
  uint32_t written = 0;
  // A failed write loses one line of the account; the rest still follows.
  FileWrite(*static_cast<FileHandle*>(user), line, length, &written);
}

}  // namespace

void WriteConfigSummary(const FilterPolicy* policy, FileHandle file) {
  ForEachSummaryLine(policy, WriteSummaryLine, &file);
}

}  // namespace rg
