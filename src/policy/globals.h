// The keys of the [Globals] section in one table: each key's name, how it is
// read, its default and the policy member it sets. The loader, the summary,
// the command's lint and the tests all read this table, so a key's default
// is written down once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "policy/policy.h"

namespace rg {

enum class GlobalKind : uint32_t {
  // One of the six length limits. Present when a Globals line begins with
  // the name (exact case); the limit is then the integer value of the key
  // of exactly that name, -1 when there is none.
  kLength = 0,
  // An integer read by the profile reader's rules, deflt when absent.
  kInteger = 1,
  // A text of at most 254 characters, empty when absent.
  kText = 2,
};

struct GlobalKey {
  const char* name;
  GlobalKind kind;
  int32_t deflt;  // kInteger: the value of an absent key; kLength: of an absent exact key
  // kInteger: the member the value goes to, either a switch of its own or
  // the flag of the list the key switches (exactly one is set).
  int32_t FilterPolicy::*value;
  StringList FilterPolicy::*list;
  // kLength: the limit and its presence member, and the summary line
  // ("%d" for the limit).
  uint32_t FilterPolicy::*limit;
  int32_t FilterPolicy::*present;
  const char* summary;
};

// The keys in the order the loader reads them; the index names a key.
enum GlobalIndex : uint32_t {
  kGlobalUrlMaxLen,
  kGlobalQueryMaxLen,
  kGlobalHeaderNameMaxLen,
  kGlobalHeaderValueMaxLen,
  kGlobalPayloadMaxLen,
  kGlobalContentLengthMaxLen,
  kGlobalVerbAllow,
  kGlobalValidHttpVersion,
  kGlobalValidHostPort,
  kGlobalExtensionAllow,
  kGlobalDenyHeaderName,
  kGlobalValidMaxLenByHeader,
  kGlobalDenyUrlSequence,
  kGlobalDenyQuerySequence,
  kGlobalAllowDotInUrl,
  kGlobalAllowHighBitInUrl,
  kGlobalCanonUrlBeforeScan,
  kGlobalFailOnReCanonUrlChange,
  kGlobalAllowHighBitInQuery,
  kGlobalCanonQueryBeforeScan,
  kGlobalFailOnReCanonQueryChange,
  kGlobalCanonHeaderName,
  kGlobalFailOnReCanonHeaderNameChange,
  kGlobalCanonHeaderValue,
  kGlobalFailOnReCanonHeaderValueChange,
  kGlobalAllowHighBitInPayload,
  kGlobalRemoveBanner,
  kGlobalChangeBanner,
  kGlobalHighPriority,
  kGlobalSimulate,
  kGlobalLogFilesDir,
  kGlobalKeyCount,
};

extern const GlobalKey kGlobalKeys[kGlobalKeyCount];

// The key named name (length bytes, compared without ASCII case), or null.
const GlobalKey* FindGlobalKey(const char* name, size_t length);

// The member an integer key sets; null for the other kinds.
int32_t* GlobalInteger(FilterPolicy* policy, const GlobalKey& key);
const int32_t* GlobalInteger(const FilterPolicy* policy, const GlobalKey& key);

// Sets every integer key's member to its default, as a load of a file
// without a Globals section leaves it; the length limits stay absent and
// the text blocks are not touched.
void SetGlobalDefaults(FilterPolicy* policy);

}  // namespace rg
