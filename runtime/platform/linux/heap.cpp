#include "platform/heap.h"
#include "platform/common/test_helper.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// Every block carries this header in front of it, so the heap can find and free all of
// its blocks when it is destroyed. 32 bytes keep the payload 16-byte aligned.
struct alignas(16) BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
  size_t size;
  PlatformHeap* owner;
};

BlockHeader* header_of(void* block) {
  return reinterpret_cast<BlockHeader*>(static_cast<char*>(block) - sizeof(BlockHeader));
}

}  // namespace

struct PlatformHeap {
  std::mutex lock;
  BlockHeader* blocks = nullptr;
  size_t bytes = 0;
  size_t limit = 0;
  size_t count = 0;

  bool fits(size_t more) const { return limit == 0 || (bytes + more <= limit && more <= limit); }

  void link(BlockHeader* h) {
    h->prev = nullptr;
    h->next = blocks;
    if (blocks) blocks->prev = h;
    blocks = h;
    bytes += h->size;
    ++count;
  }

  void unlink(BlockHeader* h) {
    if (h->prev)
      h->prev->next = h->next;
    else
      blocks = h->next;
    if (h->next) h->next->prev = h->prev;
    bytes -= h->size;
    --count;
  }
};

PlatformHeap* heap_create() { return new (std::nothrow) PlatformHeap; }

void heap_destroy(PlatformHeap* heap) {
  if (!heap) return;
  BlockHeader* h = heap->blocks;
  while (h) {
    BlockHeader* next = h->next;
    std::free(h);
    h = next;
  }
  delete heap;
}

void* heap_alloc(PlatformHeap* heap, size_t n, bool zero) {
  if (!heap || n > SIZE_MAX / 2) return nullptr;
  std::lock_guard<std::mutex> guard(heap->lock);
  if (!heap->fits(n)) return nullptr;
  void* raw = zero ? std::calloc(1, sizeof(BlockHeader) + n) : std::malloc(sizeof(BlockHeader) + n);
  if (!raw) return nullptr;
  auto* h = static_cast<BlockHeader*>(raw);
  h->size = n;
  h->owner = heap;
  heap->link(h);
  return h + 1;
}

void* heap_realloc(PlatformHeap* heap, void* block, size_t n) {
  if (!heap || !block || n > SIZE_MAX / 2) return nullptr;
  std::lock_guard<std::mutex> guard(heap->lock);
  BlockHeader* h = header_of(block);
  assert(h->owner == heap && "block handed to a heap it does not belong to");
  if (n > h->size && !heap->fits(n - h->size)) return nullptr;
  heap->unlink(h);
  auto* moved = static_cast<BlockHeader*>(std::realloc(h, sizeof(BlockHeader) + n));
  if (!moved) {
    heap->link(h);
    return nullptr;
  }
  moved->size = n;
  heap->link(moved);
  return moved + 1;
}

bool heap_free(PlatformHeap* heap, void* block) {
  if (!heap || !block) return false;
  std::lock_guard<std::mutex> guard(heap->lock);
  BlockHeader* h = header_of(block);
  assert(h->owner == heap && "block handed to a heap it does not belong to");
  heap->unlink(h);
  std::free(h);
  return true;
}

void heap_set_limit(PlatformHeap* heap, size_t max_bytes) {
  std::lock_guard<std::mutex> guard(heap->lock);
  heap->limit = max_bytes;
}

size_t heap_block_count(PlatformHeap* heap) {
  std::lock_guard<std::mutex> guard(heap->lock);
  return heap->count;
}
