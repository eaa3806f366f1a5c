// Process heap and last-error value on POSIX.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace rg {

namespace {

thread_local uint32_t t_lastError = 0;

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

void Counted(int64_t change) { g_liveBlocks.fetch_add(change, std::memory_order_relaxed); }
uint32_t HookError() { return g_failError.load(std::memory_order_relaxed); }
#else
// The shipped build keeps no books: an allocation costs what the C
// library's does.
constexpr bool HookFails() { return false; }
void Counted(int64_t) {}
constexpr uint32_t HookError() { return kErrorNotEnoughMemory; }
#endif

}  // namespace

uint32_t GetLastErrorValue() { return t_lastError; }
void SetLastErrorValue(uint32_t error) { t_lastError = error; }

#if defined(RG_TEST_HOOKS)
void FailAllocationAfter(int64_t n, uint32_t error) {
  g_failError.store(error, std::memory_order_relaxed);
  g_failCountdown.store(n > 0 ? n : 0, std::memory_order_relaxed);
}

uint64_t AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }
int64_t LiveBlockCount() { return g_liveBlocks.load(std::memory_order_relaxed); }
#endif

void* HeapAllocZero(size_t size) {
  if (HookFails()) {
    SetLastErrorValue(HookError());
    return nullptr;
  }
  // calloc(0) may return null; a zero-length block is still a valid block.
  // Small blocks are taken with malloc and cleared here: glibc's calloc
  // passes by the per-thread cache that makes a request's buffer, freed and
  // taken again for the next request, nearly free. Large ones keep calloc,
  // which gets fresh pages zeroed without touching them.
  constexpr size_t kSmallBlock = 4096;
  void* block = nullptr;
  if (size <= kSmallBlock) {
    block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) std::memset(block, 0, size);
  } else {
    block = std::calloc(size, 1);
  }
  if (block == nullptr) {
    SetLastErrorValue(kErrorNotEnoughMemory);
    return nullptr;
  }
  Counted(1);
  return block;
}

void* HeapGrowZero(void* block, size_t oldSize, size_t newSize) {
  if (block == nullptr) return HeapAllocZero(newSize);
  if (HookFails()) {
    SetLastErrorValue(HookError());
    return nullptr;
  }
  void* grown = std::realloc(block, newSize == 0 ? 1 : newSize);
  if (grown == nullptr) {
    SetLastErrorValue(kErrorNotEnoughMemory);
    return nullptr;
  }
  if (newSize > oldSize)
    std::memset(static_cast<unsigned char*>(grown) + oldSize, 0, newSize - oldSize);
  return grown;
}

void HeapFreeBlock(void* block) {
  if (block == nullptr) return;
  Counted(-1);
  std::free(block);
}

}  // namespace rg
