// The [Globals] keys, their defaults and the members they set.
#include "policy/globals.h"

#include "platform/text.h"

namespace rg {

namespace {

using P = FilterPolicy;

constexpr GlobalKey Length(const char* name, uint32_t P::*limit, int32_t P::*present,
                           const char* summary) {
  return {name, GlobalKind::kLength, -1, nullptr, nullptr, limit, present, summary};
}
constexpr GlobalKey Integer(const char* name, int32_t deflt, int32_t P::*value) {
  return {name, GlobalKind::kInteger, deflt, value, nullptr, nullptr, nullptr, nullptr};
}
// A key that switches a list (and, for verbs and extensions, its mode).
constexpr GlobalKey ListSwitch(const char* name, int32_t deflt, StringList P::*list) {
  return {name, GlobalKind::kInteger, deflt, nullptr, list, nullptr, nullptr, nullptr};
}
constexpr GlobalKey Text(const char* name) {
  return {name, GlobalKind::kText, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
}

}  // namespace

constexpr GlobalKey kGlobalKeys[kGlobalKeyCount] = {
    Length("UrlMaxLen", &P::UrlMaxLen, &P::HasUrlMaxLen,
           "# Enforce maximum Url size of %d bytes\r\n"),
    Length("QueryMaxLen", &P::QueryMaxLen, &P::HasQueryMaxLen,
           "# Enforce maximum Query size of %d bytes\r\n"),
    Length("HeaderNameMaxLen", &P::HeaderNameMaxLen, &P::HasHeaderNameMaxLen,
           "# Enforce maximum Header Names size of %d bytes\r\n"),
    Length("HeaderValueMaxLen", &P::HeaderValueMaxLen, &P::HasHeaderValueMaxLen,
           "# Enforce maximum Header Values size of %d bytes\r\n"),
    Length("PayloadMaxLen", &P::PayloadMaxLen, &P::HasPayloadMaxLen,
           "# Enforce maximum Payload size of %d bytes\r\n"),
    Length("ContentLengthMaxLen", &P::ContentLengthMaxLen, &P::HasContentLengthMaxLen,
           "# Enforce maximum Content-Length Header Value of %d bytes\r\n"),
    ListSwitch("VerbAllow", 1, &P::Verbs),
    ListSwitch("ValidHttpVersion", 1, &P::HttpVersions),
    ListSwitch("ValidHostPort", 1, &P::HostPorts),
    ListSwitch("ExtensionAllow", 1, &P::Extensions),
    ListSwitch("DenyHeaderName", 1, &P::DeniedHeaderNames),
    Integer("ValidMaxLenByHeader", 1, &P::ValidMaxLenByHeader),
    ListSwitch("DenyUrlSequence", 1, &P::UrlSequences),
    ListSwitch("DenyQuerySequence", 1, &P::QuerySequences),
    Integer("AllowDotInUrl", 0, &P::AllowDotInUrl),
    Integer("AllowHighBitInUrl", 0, &P::AllowHighBitInUrl),
    Integer("CanonUrlBeforeScan", 1, &P::CanonUrlBeforeScan),
    Integer("FailOnReCanonUrlChange", 1, &P::FailOnReCanonUrlChange),
    Integer("AllowHighBitInQuery", 0, &P::AllowHighBitInQuery),
    Integer("CanonQueryBeforeScan", 1, &P::CanonQueryBeforeScan),
    Integer("FailOnReCanonQueryChange", 1, &P::FailOnReCanonQueryChange),
    Integer("CanonHeaderName", 0, &P::CanonHeaderName),
    Integer("FailOnReCanonHeaderNameChange", 0, &P::FailOnReCanonHeaderNameChange),
    Integer("CanonHeaderValue", 0, &P::CanonHeaderValue),
    Integer("FailOnReCanonHeaderValueChange", 0, &P::FailOnReCanonHeaderValueChange),
    Integer("AllowHighBitInPayload", 0, &P::AllowHighBitInPayload),
    Integer("RemoveBanner", 0, &P::RemoveBanner),
    Text("ChangeBanner"),
    Integer("HighPriority", 1, &P::HighPriority),
    Integer("Simulate", 0, &P::Simulate),
    Text("LogFilesDir"),
};

namespace {

constexpr bool SameName(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}
constexpr bool At(GlobalIndex i, const char* name) { return SameName(kGlobalKeys[i].name, name); }

// The index names must name the row they index.
static_assert(At(kGlobalUrlMaxLen, "UrlMaxLen") && At(kGlobalQueryMaxLen, "QueryMaxLen") &&
              At(kGlobalHeaderNameMaxLen, "HeaderNameMaxLen") &&
              At(kGlobalHeaderValueMaxLen, "HeaderValueMaxLen") &&
              At(kGlobalPayloadMaxLen, "PayloadMaxLen") &&
              At(kGlobalContentLengthMaxLen, "ContentLengthMaxLen"));
static_assert(At(kGlobalVerbAllow, "VerbAllow") &&
              At(kGlobalValidHttpVersion, "ValidHttpVersion") &&
              At(kGlobalValidHostPort, "ValidHostPort") &&
              At(kGlobalExtensionAllow, "ExtensionAllow") &&
              At(kGlobalDenyHeaderName, "DenyHeaderName") &&
              At(kGlobalValidMaxLenByHeader, "ValidMaxLenByHeader") &&
              At(kGlobalDenyUrlSequence, "DenyUrlSequence") &&
              At(kGlobalDenyQuerySequence, "DenyQuerySequence"));
static_assert(At(kGlobalAllowDotInUrl, "AllowDotInUrl") &&
              At(kGlobalAllowHighBitInUrl, "AllowHighBitInUrl") &&
              At(kGlobalCanonUrlBeforeScan, "CanonUrlBeforeScan") &&
              At(kGlobalFailOnReCanonUrlChange, "FailOnReCanonUrlChange") &&
              At(kGlobalAllowHighBitInQuery, "AllowHighBitInQuery") &&
              At(kGlobalCanonQueryBeforeScan, "CanonQueryBeforeScan") &&
              At(kGlobalFailOnReCanonQueryChange, "FailOnReCanonQueryChange") &&
              At(kGlobalCanonHeaderName, "CanonHeaderName") &&
              At(kGlobalFailOnReCanonHeaderNameChange, "FailOnReCanonHeaderNameChange") &&
              At(kGlobalCanonHeaderValue, "CanonHeaderValue") &&
              At(kGlobalFailOnReCanonHeaderValueChange, "FailOnReCanonHeaderValueChange") &&
              At(kGlobalAllowHighBitInPayload, "AllowHighBitInPayload") &&
              At(kGlobalRemoveBanner, "RemoveBanner"));
static_assert(At(kGlobalChangeBanner, "ChangeBanner") && At(kGlobalHighPriority, "HighPriority") &&
              At(kGlobalSimulate, "Simulate") && At(kGlobalLogFilesDir, "LogFilesDir"));

size_t NameLength(const char* name) {
  size_t n = 0;
  while (name[n] != '\0') ++n;
  return n;
}

}  // namespace

const GlobalKey* FindGlobalKey(const char* name, size_t length) {
  for (const GlobalKey& key : kGlobalKeys)
    if (NameLength(key.name) == length && BytesEqualNoCase(key.name, name, length)) return &key;
  return nullptr;
}

int32_t* GlobalInteger(FilterPolicy* policy, const GlobalKey& key) {
  if (key.kind != GlobalKind::kInteger) return nullptr;
  return key.value != nullptr ? &(policy->*key.value) : &((policy->*key.list).flag);
}

const int32_t* GlobalInteger(const FilterPolicy* policy, const GlobalKey& key) {
  return GlobalInteger(const_cast<FilterPolicy*>(policy), key);
}

void SetGlobalDefaults(FilterPolicy* policy) {
  for (const GlobalKey& key : kGlobalKeys)
    if (int32_t* value = GlobalInteger(policy, key)) *value = key.deflt;
}

}  // namespace rg
