// The policy record, its two list types and the matching operations the
// checks consult.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace rg {

// The default of FilterPolicy::MaxHeadLength: about what common servers
// accept for a request line and its headers together.
constexpr uint32_t kDefaultMaxHeadLength = 64 * 1024;

// The lookup structures built over a loaded list (lists_index.cpp), so that
// a list of a thousand entries costs about what a list of ten does.
struct ListIndex;

// Lines of one INI section, kept whole ("key=value" is one entry), in the
// order of the file. Either count is 0 and both arrays are null, or every
// slot of both arrays is set. Every entry is NUL-terminated.
struct StringList {
  char** entries;
  uint32_t* lengths;
  uint32_t count;
  int32_t flag;  // the list's switch from Globals; the matchers never read it
  // Built once the entries are final (IndexPolicyLists); null: the matchers
  // walk the entries. Either way they report the same entry. Freed with the
  // list, so whoever replaces the entries through FreeStringList drops it.
  ListIndex* index;
};

// "name=limit" lines: the text before the first '=' and the key's integer
// value looked up again by that name (-1 when it reads as absent).
struct HeaderLimitList {
  char** names;
  uint32_t* nameLengths;
  int32_t* limits;
  uint32_t count;
  // Built with the policy's other indexes; null: every entry is tried.
  ListIndex* index;
};

// One zero-filled heap block per loading of the filter. Members are named
// after the INI keys that set them.
struct FilterPolicy {
  StringList Verbs;         // flag: 1 allow list, 0 deny list
  StringList HttpVersions;  // entries held as " " + version + "\r\n"
  StringList Extensions;    // flag: 1 allow list, 0 deny list
  StringList HostPorts;
  StringList DeniedHeaderNames;
  HeaderLimitList HeaderLimits;
  int32_t ValidMaxLenByHeader;
  StringList UrlSequences;
  StringList QuerySequences;
  int32_t AllowDotInUrl;
  int32_t AllowHighBitInUrl;
  int32_t CanonUrlBeforeScan;
  int32_t FailOnReCanonUrlChange;
  int32_t AllowHighBitInQuery;
  int32_t CanonQueryBeforeScan;
  int32_t FailOnReCanonQueryChange;
  int32_t CanonHeaderName;
  int32_t FailOnReCanonHeaderNameChange;
  int32_t CanonHeaderValue;
  int32_t FailOnReCanonHeaderValueChange;
  int32_t AllowHighBitInPayload;
  uint32_t UrlMaxLen;
  int32_t HasUrlMaxLen;
  uint32_t QueryMaxLen;
  int32_t HasQueryMaxLen;
  uint32_t HeaderNameMaxLen;
  int32_t HasHeaderNameMaxLen;
  uint32_t HeaderValueMaxLen;
  int32_t HasHeaderValueMaxLen;
  uint32_t PayloadMaxLen;
  int32_t HasPayloadMaxLen;
  uint32_t ContentLengthMaxLen;
  int32_t HasContentLengthMaxLen;
  int32_t RemoveBanner;
  char* Banner;  // 256 bytes, the ChangeBanner text or empty
  int32_t HighPriority;
  int32_t Simulate;
  char* BlockResponse;  // the 400 page, null until built
  uint32_t BlockResponseLength;
  char* LogDirectory;  // 256 bytes
  // The day's log this policy writes to, shared with every other live
  // policy of the process that writes to the same directory; null when none
  // is open.
  struct LogSink* Log;
  // Nonzero: other processes may append to the same day's file (each record
  // is one write); zero: the file is held against every other writer.
  int32_t LogShared;
  uint32_t IniFileSize;
  // Most bytes of one request head (request line, headers and the empty
  // line that ends them) a connection may buffer; a longer head is refused.
  // Set by the host, not the INI file; the loader sets kDefaultMaxHeadLength,
  // and 0 (a record built by hand) reads as that default too.
  uint32_t MaxHeadLength;
};

// The head cap in force: MaxHeadLength, or the default where a record built
// by hand left it 0.
inline uint32_t EffectiveMaxHeadLength(const FilterPolicy* policy) {
  return policy->MaxHeadLength != 0 ? policy->MaxHeadLength : kDefaultMaxHeadLength;
}

// Fills an empty list from one INI section read into a buffer of bufferSize
// bytes. Returns 0, or a nonzero error number after freeing the list (8 when
// an allocation fails and the platform reports no error).
uint32_t LoadStringList(const char* section, const char* iniPath, StringList* list,
                        uint32_t bufferSize);
uint32_t LoadHeaderLimitList(const char* section, const char* iniPath, HeaderLimitList* list,
                             uint32_t bufferSize);

// Release a list's entries, arrays and index; count and flag keep their
// values. Safe on empty, partly built and already freed lists.
void FreeStringList(StringList* list);
void FreeHeaderLimitList(HeaderLimitList* list);
// Frees every list and buffer of the record (each pointer set to null, the
// block response's length to 0) and closes its log file, leaving the
// scalar members as they are. Safe on a record released already, or built
// only in part. Null is ignored.
void ReleasePolicyContents(FilterPolicy* policy);
// ReleasePolicyContents, then frees the record itself. Null is ignored;
// the caller clears its pointer.
void FreePolicy(FilterPolicy* policy);

// 1 when an entry of exactly textLength bytes equals the text (ASCII case
// folded when caseInsensitive is nonzero); the first such entry's index goes
// to indexOut when given.
int FindEntry(const void* text, uint32_t textLength, const StringList* list, int caseInsensitive,
              uint32_t* indexOut);
// 1 when some entry names the header (without case) and valueLength is
// greater than its limit (unsigned); the entry's index goes to indexOut.
int ExceedsHeaderLimit(const void* name, uint32_t nameLength, uint32_t valueLength,
                       const HeaderLimitList* list, uint32_t* indexOut);
// 1 when some entry occurs in the text without case; the earliest position
// wins, then list order. indexOut is required.
int FindSequence(const void* text, uint32_t textLength, const StringList* list, uint32_t* indexOut);

// What an index is built for: whole-text lookups (FindEntry) or the search
// for entries inside a text (FindSequence).
enum ListIndexKind : uint32_t { kIndexEntries = 1, kIndexSequences = 2 };
// Builds the list's index for the lookups named by kinds (a list too small
// to gain from one gets none). The entries must not change afterwards
// without FreeStringList. Returns 0, or the allocation's error with the list
// as it was (no index).
uint32_t BuildListIndex(StringList* list, uint32_t kinds);
// Builds the index of a header limit list (which names have a limit).
// Returns 0, or the allocation's error with the list as it was.
uint32_t BuildHeaderLimitIndex(HeaderLimitList* list);
// Builds the index of every list of a loaded policy, each for the lookups
// the checks make on it. Returns 0 or an allocation's error (the lists that
// were indexed keep their index; FreePolicy releases it).
uint32_t IndexPolicyLists(FilterPolicy* policy);
// Releases a list's index only, leaving its entries. Null-safe, idempotent.
void FreeListIndex(StringList* list);
void FreeHeaderLimitIndex(HeaderLimitList* list);

// Reads the whole policy from the INI file, builds the block response when
// the banner is fixed, and opens the day's log file. Returns 0, or an error
// number with every list, buffer and file of the policy released.
// The log directory is logDirectory when given (a host's override), else
// LogFilesDir, else the INI file's directory followed by "LogFiles".
// MaxHeadLength, not an INI setting, is kept when the caller set it and
// otherwise becomes kDefaultMaxHeadLength.
uint32_t LoadPolicy(FilterPolicy* policy, const char* iniPath, const char* logDirectory = nullptr);

// Writes the account of the effective policy, "#" lines between a begin and
// an end line, to an open log file.
void WriteConfigSummary(const FilterPolicy* policy, FileHandle file);
// The same account line by line, for tools that print it: emit receives each
// line with its CR LF (length without a NUL; the text is NUL-terminated too).
void ForEachSummaryLine(const FilterPolicy* policy,
                        void (*emit)(void* user, const char* line, uint32_t length), void* user);

}  // namespace rg
