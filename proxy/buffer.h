// Byte buffers of a connection and the per-thread pool they come from.
//
// A connection holds a buffer only while bytes are in flight: an idle
// kept-alive connection gives its buffers back, so ten thousand idle
// connections cost no buffer memory at all.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace rg::proxy {

// Size of the pooled buffers: enough for nearly every request head and a
// useful amount of body per read. Heads up to the head limit grow one buffer
// beyond it for as long as they are held.
constexpr uint32_t kBufferBlock = 16 * 1024;

// Free blocks of kBufferBlock bytes, for one thread.
class BufferPool {
 public:
  BufferPool() = default;
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;
  ~BufferPool() {
    for (char* block : free_) std::free(block);
  }
  // A block, or null when memory is short.
  char* Take() {
    if (!free_.empty()) {
      char* block = free_.back();
      free_.pop_back();
      return block;
    }
    return static_cast<char*>(std::malloc(kBufferBlock));
  }
  void Give(char* block) {
    if (free_.size() < kMaxFree) {
      // push_back never reallocates: the capacity is reserved up front.
      free_.push_back(block);
    } else {
      std::free(block);
    }
  }
  bool Reserve() {
    free_.reserve(kMaxFree);
    return true;
  }

 private:
  static constexpr size_t kMaxFree = 512;
  std::vector<char*> free_;
};

// Bytes [begin, end) of data are held; [end, capacity) is free for reading.
struct Buffer {
  char* data = nullptr;
  uint32_t capacity = 0;
  uint32_t begin = 0;
  uint32_t end = 0;

  uint32_t Held() const { return end - begin; }
  bool Empty() const { return begin == end; }
  char* Free() { return data + end; }
  uint32_t FreeSpace() const { return capacity - end; }
};

// Takes a block for an empty buffer. False when memory is short.
inline bool AcquireBuffer(BufferPool* pool, Buffer* buffer) {
  if (buffer->data != nullptr) return true;
  buffer->data = pool->Take();
  if (buffer->data == nullptr) return false;
  buffer->capacity = kBufferBlock;
  buffer->begin = buffer->end = 0;
  return true;
}

// Gives the buffer's memory back; the held bytes are dropped.
inline void ReleaseBuffer(BufferPool* pool, Buffer* buffer) {
  if (buffer->data == nullptr) return;
  if (buffer->capacity == kBufferBlock)
    pool->Give(buffer->data);
  else
    std::free(buffer->data);
  *buffer = Buffer{};
}

// Moves the held bytes to the front. Offsets that callers keep count from
// begin, so they stay valid.
inline void CompactBuffer(Buffer* buffer) {
  if (buffer->begin == 0) return;
  uint32_t held = buffer->Held();
  if (held > 0) std::memmove(buffer->data, buffer->data + buffer->begin, held);
  buffer->begin = 0;
  buffer->end = held;
}

// Makes room for at least `more` free bytes, compacting first and growing
// past the pooled size up to `limit` bytes in all. False when that is not
// possible (limit reached or no memory); the buffer is then unchanged.
inline bool EnsureFree(BufferPool* pool, Buffer* buffer, uint32_t more, uint32_t limit) {
  if (buffer->FreeSpace() >= more) return true;
  if (buffer->begin > 0 && buffer->capacity - buffer->Held() >= more) {
    CompactBuffer(buffer);
    return true;
  }
  uint64_t needed = static_cast<uint64_t>(buffer->Held()) + more;
  if (needed > limit) return false;
  uint64_t size = buffer->capacity * 2ull;
  if (size < needed) size = needed;
  if (size > limit) size = limit;
  char* bigger = static_cast<char*>(std::malloc(size));
  if (bigger == nullptr) return false;
  uint32_t held = buffer->Held();
  if (held > 0) std::memcpy(bigger, buffer->data + buffer->begin, held);
  Buffer old = *buffer;
  ReleaseBuffer(pool, &old);
  buffer->data = bigger;
  buffer->capacity = static_cast<uint32_t>(size);
  buffer->begin = 0;
  buffer->end = held;
  return true;
}

// Inserts n bytes at offset `at` from begin, moving what follows. False when
// the buffer cannot hold them within limit.
inline bool InsertBytes(BufferPool* pool, Buffer* buffer, uint32_t at, const char* bytes,
                        uint32_t n, uint32_t limit) {
  if (!EnsureFree(pool, buffer, n, limit)) return false;
  char* p = buffer->data + buffer->begin + at;
  std::memmove(p + n, p, buffer->Held() - at);
  std::memcpy(p, bytes, n);
  buffer->end += n;
  return true;
}

// Removes n bytes at offset `at` from begin.
inline void EraseBytes(Buffer* buffer, uint32_t at, uint32_t n) {
  char* p = buffer->data + buffer->begin + at;
  std::memmove(p, p + n, buffer->Held() - at - n);
  buffer->end -= n;
}

}  // namespace rg::proxy
