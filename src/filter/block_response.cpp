// The fixed 400 page written to a refused client.
#include <cstdint>
#include <cstring>

#include "filter/filter.h"
#include "platform/platform.h"

namespace rg {

namespace {

// Both pages carry the same 87-byte body; Content-Length states exactly that
// count, so the two texts must change together or not at all.
constexpr char kPlainTemplate[] =
    "HTTP/1.1 400 Bad Request\r\n"
    "Content-Type: text/html\r\n"
    "Content-Length: 87\r\n"
    "\r\n"
    "<html><head><title>Error</title></head><body>The parameter is incorrect. </body></html>";

// The server text replaces the "%s". It is spliced in by copying rather than
// through the formatter: a formatter with a bounded output would cut a long
// SERVER_SOFTWARE value together with the rest of the page.
constexpr char kServerTemplate[] =
    "HTTP/1.1 400 Bad Request\r\n"
    "Content-Type: text/html\r\n"
    "Content-Length: 87\r\n"
    "Server: %s\r\n"
    "\r\n"
    "<html><head><title>Error</title></head><body>The parameter is incorrect. </body></html>";

constexpr uint32_t kPlainLength = sizeof(kPlainTemplate) - 1;    // 160
constexpr uint32_t kServerLength = sizeof(kServerTemplate) - 1;  // 172, "%s" included

static_assert(kPlainLength == 160);
static_assert(kServerLength == 172);

// Offset of the "%s" in the Server template.
constexpr uint32_t ServerSlot() {
  for (uint32_t i = 0; i + 1 < kServerLength; ++i)
    if (kServerTemplate[i] == '%' && kServerTemplate[i + 1] == 's') return i;
  return kServerLength;
}
constexpr uint32_t kServerSlot = ServerSlot();
static_assert(kServerSlot < kServerLength);

}  // namespace

// Builds the page into a new heap block and hangs it on the policy, with a
// "Server:" line holding serverText (inserted as it is) when serverText is
// not null. The policy's BlockResponse must still be null. Returns 0, or the
// allocation's error number with BlockResponse left null.
uint32_t BuildBlockResponse(FilterPolicy* policy, const char* serverText) {
  if (serverText == nullptr) {
    char* page = static_cast<char*>(HeapAllocZero(kPlainLength + 1));
    if (page == nullptr) return AllocationError();
    std::memcpy(page, kPlainTemplate, kPlainLength);
    policy->BlockResponse = page;
    policy->BlockResponseLength = kPlainLength;
    return 0;
  }

  size_t textLength = std::strlen(serverText);
  // The length is kept in 32 bits; a text that cannot fit is refused like a
  // failed allocation instead of wrapping the count.
  if (textLength > UINT32_MAX - kServerLength) return kErrorNotEnoughMemory;
  size_t total = kServerLength - 2 + textLength;  // formatted text without its NUL
  char* page = static_cast<char*>(HeapAllocZero(total + 1));
  if (page == nullptr) return AllocationError();
  std::memcpy(page, kServerTemplate, kServerSlot);
  std::memcpy(page + kServerSlot, serverText, textLength);
  std::memcpy(page + kServerSlot + textLength, kServerTemplate + kServerSlot + 2,
              kServerLength - kServerSlot - 2);
  policy->BlockResponse = page;
  policy->BlockResponseLength = static_cast<uint32_t>(total);
  return 0;
}

}  // namespace rg
