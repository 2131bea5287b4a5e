#include "core/heaps.h"

#include <utility>

#include "platform/heap.h"

namespace {
// Made and destroyed by the main flow's start and exit; the close event never touches
// them. Each heap serialises its own calls.
PlatformHeap* g_runtime_heap = nullptr;
PlatformHeap* g_alloc_heap = nullptr;
}  // namespace

void runtime_heap_create() { g_runtime_heap = heap_create(); }

void runtime_heap_destroy() { heap_destroy(std::exchange(g_runtime_heap, nullptr)); }

PlatformHeap* runtime_heap() { return g_runtime_heap; }

void* rt_alloc(size_t n) { return heap_alloc(g_runtime_heap, n, true); }

bool rt_free(void* block) { return block ? heap_free(g_runtime_heap, block) : false; }

void mem_init() { g_alloc_heap = heap_create(); }

void mem_shutdown() { heap_destroy(std::exchange(g_alloc_heap, nullptr)); }

void* mem_alloc(int32_t size) {
  if (size <= 0) return nullptr;
  return heap_alloc(g_alloc_heap, static_cast<size_t>(size), true);
}

int mem_free(void* block) {
  if (!block) return 0;
  return heap_free(g_alloc_heap, block) ? 1 : 0;
}
