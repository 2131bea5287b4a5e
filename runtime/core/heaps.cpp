#include "core/heaps.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "platform/heap.h"

namespace {
std::atomic<PlatformHeap*> g_runtime_heap{nullptr};
std::atomic<PlatformHeap*> g_alloc_heap{nullptr};
// The close handler may destroy the allocation heap on its own thread while the main flow
// allocates or frees: blocks are handed out and back under the shared side, the heap goes
// under the exclusive side, so a call finds either the live heap or none.
std::shared_mutex g_alloc_lock;
}  // namespace

void runtime_heap_create() { g_runtime_heap.store(heap_create()); }

void runtime_heap_destroy() { heap_destroy(g_runtime_heap.exchange(nullptr)); }

PlatformHeap* runtime_heap() { return g_runtime_heap.load(); }

void* rt_alloc(size_t n) { return heap_alloc(g_runtime_heap.load(), n, true); }

bool rt_free(void* block) { return block ? heap_free(g_runtime_heap.load(), block) : false; }

void mem_init() { g_alloc_heap.store(heap_create()); }

void mem_shutdown() {
  std::unique_lock<std::shared_mutex> hold(g_alloc_lock);
  heap_destroy(g_alloc_heap.exchange(nullptr));
}

void* mem_alloc(int32_t size) {
  if (size <= 0) return nullptr;
  std::shared_lock<std::shared_mutex> hold(g_alloc_lock);
  return heap_alloc(g_alloc_heap.load(), static_cast<size_t>(size), true);
}

int mem_free(void* block) {
  if (!block) return 0;
  std::shared_lock<std::shared_mutex> hold(g_alloc_lock);
  return heap_free(g_alloc_heap.load(), block) ? 1 : 0;
}
