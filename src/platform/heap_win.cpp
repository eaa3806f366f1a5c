// Process heap and last-error value on Windows.
//
// The last-error value is the system's own, so a server reading
// GetLastError after GetFilterVersion fails sees what the filter set, and
// a callback's SetLastError (a GetServerVariable size probe answering 122)
// reaches the filter without any help from this module.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace rg {

namespace {

#if defined(RG_TEST_HOOKS)
std::atomic<int64_t> g_failCountdown{0};  // > 0: allocations left until the failing one
std::atomic<uint32_t> g_failError{kErrorNotEnoughMemory};
std::atomic<uint64_t> g_allocations{0};
std::atomic<int64_t> g_liveBlocks{0};

// True when the failure hook says this allocation must fail.
bool HookFails() {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  int64_t left = g_failCountdown.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_failCountdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
      return left == 1;
  }
  return false;
}

void CountBlock(int64_t delta) { g_liveBlocks.fetch_add(delta, std::memory_order_relaxed); }
uint32_t HookError() { return g_failError.load(std::memory_order_relaxed); }
#else
constexpr bool HookFails() { return false; }
constexpr void CountBlock(int64_t) {}
constexpr uint32_t HookError() { return kErrorNotEnoughMemory; }
#endif

}  // namespace

uint32_t GetLastErrorValue() { return ::GetLastError(); }
void SetLastErrorValue(uint32_t error) { ::SetLastError(error); }

#if defined(RG_TEST_HOOKS)
void FailAllocationAfter(int64_t n, uint32_t error) {
  g_failError.store(error, std::memory_order_relaxed);
  g_failCountdown.store(n > 0 ? n : 0, std::memory_order_relaxed);
}

uint64_t AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }
int64_t LiveBlockCount() { return g_liveBlocks.load(std::memory_order_relaxed); }
#endif

// HeapAlloc does not set the last-error value when it fails (only the
// exception flag would report anything), so 8 is set here.
void* HeapAllocZero(size_t size) {
  if (HookFails()) {
    SetLastErrorValue(HookError());
    return nullptr;
  }
  // A zero-length block is a valid block; HeapAlloc gives one for 0 too, but
  // one byte keeps the result the same as on POSIX.
  void* block = ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size == 0 ? 1 : size);
  if (block == nullptr) {
    SetLastErrorValue(kErrorNotEnoughMemory);
    return nullptr;
  }
  CountBlock(1);
  return block;
}

// HeapReAlloc with HEAP_ZERO_MEMORY zero-fills the bytes past the old size
// and leaves the block untouched when it fails.
void* HeapGrowZero(void* block, size_t /*oldSize*/, size_t newSize) {
  if (block == nullptr) return HeapAllocZero(newSize);
  if (HookFails()) {
    SetLastErrorValue(HookError());
    return nullptr;
  }
  void* grown =
      ::HeapReAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, block, newSize == 0 ? 1 : newSize);
  if (grown == nullptr) {
    SetLastErrorValue(kErrorNotEnoughMemory);
    return nullptr;
  }
  return grown;
}

void HeapFreeBlock(void* block) {
  if (block == nullptr) return;
  CountBlock(-1);
  ::HeapFree(::GetProcessHeap(), 0, block);
}

}  // namespace rg
