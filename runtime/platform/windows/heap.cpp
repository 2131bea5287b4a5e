#include "platform/heap.h"
#include "platform/common/test_helper.h"

#include <mutex>

#include "platform/windows/win_util.h"

// A private heap of the system: destroying it frees every block in it at once. The lock
// here only keeps the count and the cap; the system heap serialises itself.
struct PlatformHeap {
  HANDLE heap = nullptr;
  std::mutex lock;
  size_t bytes = 0;
  size_t limit = 0;
  size_t count = 0;

  bool fits(size_t more) const { return limit == 0 || (more <= limit && bytes + more <= limit); }
};

PlatformHeap* heap_create() {
  HANDLE h = HeapCreate(0, 0, 0);
  if (!h) return nullptr;
  auto* heap = new (std::nothrow) PlatformHeap;
  if (!heap) {
    HeapDestroy(h);
    return nullptr;
  }
  heap->heap = h;
  return heap;
}

void heap_destroy(PlatformHeap* heap) {
  if (!heap) return;
  HeapDestroy(heap->heap);
  delete heap;
}

void* heap_alloc(PlatformHeap* heap, size_t n, bool zero) {
  if (!heap) return nullptr;
  std::lock_guard<std::mutex> hold(heap->lock);
  if (!heap->fits(n)) return nullptr;
  void* block = HeapAlloc(heap->heap, zero ? HEAP_ZERO_MEMORY : 0, n);
  if (!block) return nullptr;
  heap->bytes += n;
  ++heap->count;
  return block;
}

void* heap_realloc(PlatformHeap* heap, void* block, size_t n) {
  if (!heap || !block) return nullptr;
  std::lock_guard<std::mutex> hold(heap->lock);
  size_t old = HeapSize(heap->heap, 0, block);
  if (old == static_cast<size_t>(-1)) return nullptr;
  if (n > old && !heap->fits(n - old)) return nullptr;
  void* moved = HeapReAlloc(heap->heap, 0, block, n);
  if (!moved) return nullptr;
  heap->bytes = heap->bytes - old + n;
  return moved;
}

bool heap_free(PlatformHeap* heap, void* block) {
  if (!heap || !block) return false;
  std::lock_guard<std::mutex> hold(heap->lock);
  size_t size = HeapSize(heap->heap, 0, block);
  if (size == static_cast<size_t>(-1) || !HeapFree(heap->heap, 0, block)) return false;
  heap->bytes -= size;
  --heap->count;
  return true;
}

void heap_set_limit(PlatformHeap* heap, size_t max_bytes) {
  std::lock_guard<std::mutex> hold(heap->lock);
  heap->limit = max_bytes;
}

size_t heap_block_count(PlatformHeap* heap) {
  std::lock_guard<std::mutex> hold(heap->lock);
  return heap->count;
}
