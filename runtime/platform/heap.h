// Private heaps: a heap hands out blocks, takes them back, and when destroyed frees every
// block still in it. Every call is serialised by the heap's own lock, so several threads
// may use one heap at once.
#pragma once
#include <cstddef>

struct PlatformHeap;

// Returns a new, empty heap, or null when none can be made.
PlatformHeap* heap_create();

// Frees every block still held, then the heap itself. Null does nothing.
void heap_destroy(PlatformHeap* heap);

// Returns a block of n bytes (zero-filled when zero is set), or null when the heap cannot
// supply it. A block of 0 bytes is a valid, distinct block.
void* heap_alloc(PlatformHeap* heap, size_t n, bool zero);

// Resizes a block of this heap to n bytes, keeping its contents; the block may move.
// Returns the block, or null on failure, in which case the old block is left as it was.
void* heap_realloc(PlatformHeap* heap, void* block, size_t n);

// Returns a block of this heap to it. Returns true on success; null returns false.
bool heap_free(PlatformHeap* heap, void* block);

// Number of blocks the heap holds now.
size_t heap_block_count(PlatformHeap* heap);
