// Canonicalize and CanonicalizeCopy on any bytes.
//
// Invariants: decoding works in place and never lengthens the text; the two
// passes composed by hand give what Canonicalize gives; CanonicalizeCopy
// leaves its input alone, returns exactly the canonical form when the
// second pass is off, and with it on accepts exactly the elements that a
// second canonicalization does not change; only texts too long for the
// caller's record take heap blocks, and a failed allocation of either is
// reason 34 with the platform's error (8 when it gives none); nothing is
// ever left allocated.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "canon/canon.h"
#include "filter/context.h"
#include "fuzz_support.h"
#include "log/reason.h"
#include "platform/platform.h"

namespace {

using rg::fuzz::Require;

constexpr rg::ReasonCode kChangedReason = rg::kReasonUrlReCanonChanged;

// Copies the bytes into a block of exactly their size, so that the address
// sanitizer sees any read or write past the end.
std::vector<uint8_t> Canonical(const uint8_t* data, uint32_t size) {
  uint8_t* block = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(block, data, size);
  uint32_t length = size;
  rg::Canonicalize(block, &length);
  Require(length <= size, "Canonicalize lengthened the text");
  std::vector<uint8_t> out(block, block + length);
  std::free(block);
  return out;
}

// PercentDecode then FoldUtf8, each checked on its own.
std::vector<uint8_t> TwoPasses(const uint8_t* data, uint32_t size) {
  uint8_t* block = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(block, data, size);
  uint32_t length = size;
  rg::PercentDecode(block, &length);
  Require(length <= size, "PercentDecode lengthened the text");
  uint32_t decoded = length;
  rg::FoldUtf8(block, &length);
  Require(length <= decoded, "FoldUtf8 lengthened the text");
  std::vector<uint8_t> out(block, block + length);
  std::free(block);
  return out;
}

struct CopyResult {
  int ok;
  rg::ScanContext context;
  std::vector<uint8_t> copy;
};

CopyResult Copy(const uint8_t* data, uint32_t size, int32_t secondPass) {
  CopyResult r{};
  int64_t live = rg::LiveBlockCount();
  rg::CanonicalCopy copy;
  r.ok = rg::CanonicalizeCopy(&r.context, data, size, secondPass, kChangedReason, &copy);
  if (r.ok) {
    Require(copy.bytes != nullptr, "CanonicalizeCopy succeeded without a copy");
    Require(copy.length <= size, "CanonicalizeCopy's copy is longer than the element");
    Require(r.context.reason == 0 && r.context.winError == 0,
            "CanonicalizeCopy succeeded but set a reason");
    r.copy.assign(copy.bytes, copy.bytes + copy.length);
  } else {
    Require(copy.bytes == nullptr, "CanonicalizeCopy failed but left a copy");
    Require(r.context.reason != 0, "CanonicalizeCopy failed without a reason");
  }
  rg::ReleaseCanonicalCopy(&copy);
  Require(rg::LiveBlockCount() == live, "CanonicalizeCopy left a block allocated");
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  const uint32_t n = static_cast<uint32_t>(size);
  // The element lives in an exact-size block too; it must come back intact.
  uint8_t* element = static_cast<uint8_t*>(std::malloc(n ? n : 1));
  if (n) std::memcpy(element, data, n);

  std::vector<uint8_t> once = Canonical(element, n);
  Require(once == TwoPasses(element, n), "Canonicalize differs from its two passes");
  std::vector<uint8_t> twice = Canonical(once.data(), static_cast<uint32_t>(once.size()));
  bool stable = twice == once;

  CopyResult single = Copy(element, n, 0);
  Require(single.ok == 1, "CanonicalizeCopy without a second pass refused an element");
  Require(single.copy == once, "CanonicalizeCopy's copy is not the canonical form");

  const uint64_t allocationsBefore = rg::AllocationCount();
  CopyResult checked = Copy(element, n, 1);
  const int64_t allocations = static_cast<int64_t>(rg::AllocationCount() - allocationsBefore);
  // Short texts are copied into the caller's record: only a text too long
  // for it takes a heap block, and a second only for a long first result.
  Require(allocations <= (n > rg::kCanonicalLocalBytes ? 2 : 0),
          "CanonicalizeCopy took a heap block it did not need");
  if (stable) {
    Require(checked.ok == 1, "an element that a second pass leaves alone was refused");
    Require(checked.copy == once, "the checked copy is not the canonical form");
  } else {
    Require(checked.ok == 0 && checked.context.reason == kChangedReason &&
                checked.context.winError == 0,
            "an element that a second pass changes was not refused with the changed reason");
  }
  Require(std::memcmp(element, data, n) == 0, "CanonicalizeCopy wrote into its input");

  // Each allocation failing in turn, with and without an error number from
  // the platform.
  for (int64_t failing = 1; failing <= allocations; ++failing) {
    for (uint32_t error : {rg::kErrorNotEnoughMemory, 0u}) {
      rg::FailAllocationAfter(failing, error);
      CopyResult failed = Copy(element, n, 1);
      rg::FailAllocationAfter(0);
      Require(!failed.ok && failed.context.reason == rg::kReasonWindowsError,
              "a failed allocation was not reason 34");
      // A platform that reports no error still leaves a real number to log.
      Require(failed.context.winError == (error != 0 ? error : rg::kErrorNotEnoughMemory),
              "reason 34 without the platform's error (or 8 when it gave none)");
    }
  }
  std::free(element);
  return 0;
}
