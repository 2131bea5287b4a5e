// The process's private heaps: the runtime heap (list elements, network records, the
// console's and dialogs' buffers) and the allocation heap behind mem_alloc (the main
// flows' work buffers). The string heap belongs to the string runtime.
#pragma once
#include <cstddef>
#include <cstdint>

struct PlatformHeap;

// Creates the runtime heap (start-up) / destroys it with every block still in it (exit).
void runtime_heap_create();
void runtime_heap_destroy();
PlatformHeap* runtime_heap();

// A zero-filled block of n bytes from the runtime heap, or null.
void* rt_alloc(size_t n);
// Returns a block to the runtime heap. Null does nothing; returns the release's success.
bool rt_free(void* block);

// Creates / destroys the allocation heap.
void mem_init();
void mem_shutdown();

// A zero-filled block of exactly size bytes from the allocation heap. Returns null, without
// touching the heap, for a size of 0 or less, and when the heap cannot supply it.
void* mem_alloc(int32_t size);

// Returns a block of mem_alloc to the allocation heap; null does nothing. Returns nonzero
// on success.
int mem_free(void* block);
