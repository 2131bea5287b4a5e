#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "core/heaps.h"
#include "platform/common/test_helper.h"
#include "platform/heap.h"
#include "support/runtime_fixture.h"

TEST(PlatformHeap, DestroyReleasesEveryBlockStillHeld) {
  // Run under the sanitizer this also proves nothing leaks.
  PlatformHeap* heap = heap_create();
  ASSERT_NE(heap, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_NE(heap_alloc(heap, 1000 + i, i % 2 == 0), nullptr);
  void* grown = heap_alloc(heap, 10, false);
  std::memcpy(grown, "0123456789", 10);
  grown = heap_realloc(heap, grown, 100000);
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(std::memcmp(grown, "0123456789", 10), 0);
  EXPECT_EQ(heap_block_count(heap), 101u);
  heap_destroy(heap);
}

TEST(PlatformHeap, LimitMakesRequestsFailWithoutChangingTheBlock) {
  PlatformHeap* heap = heap_create();
  heap_set_limit(heap, 64);
  void* block = heap_alloc(heap, 32, true);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(heap_alloc(heap, 64, true), nullptr);
  EXPECT_EQ(heap_realloc(heap, block, 128), nullptr);
  EXPECT_EQ(heap_block_count(heap), 1u);
  EXPECT_TRUE(heap_free(heap, block));
  EXPECT_EQ(heap_block_count(heap), 0u);
  heap_destroy(heap);
}

TEST(PlatformHeap, ServesSeveralThreadsAtOnce) {
  PlatformHeap* heap = heap_create();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([heap] {
      for (int i = 0; i < 2000; ++i) {
        void* p = heap_alloc(heap, 48, true);
        p = heap_realloc(heap, p, 96);
        if (i % 3) heap_free(heap, p);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(heap_block_count(heap), 4u * 667u);
  heap_destroy(heap);
}

using MemAlloc = RuntimeTest;

TEST_F(MemAlloc, RefusesEmptyAndNegativeSizesAndZeroFills) {
  EXPECT_EQ(mem_alloc(0), nullptr);
  EXPECT_EQ(mem_alloc(-5), nullptr);
  auto* one = static_cast<unsigned char*>(mem_alloc(1));
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one[0], 0);
  auto* big = static_cast<unsigned char*>(mem_alloc(1 << 20));
  ASSERT_NE(big, nullptr);
  for (int i = 0; i < (1 << 20); i += 4093) ASSERT_EQ(big[i], 0);
  EXPECT_NE(mem_free(one), 0);
  EXPECT_EQ(mem_free(nullptr), 0);
  // big goes with the heap at shutdown.
}

// The exit shuts the heap down with blocks held; a call after it fails instead of
// touching released memory.
TEST_F(MemAlloc, ShutdownReleasesHeldBlocksAndLaterCallsFailHarmlessly) {
  for (int i = 0; i < 100; ++i) ASSERT_NE(mem_alloc(64), nullptr);
  mem_shutdown();
  EXPECT_EQ(mem_alloc(64), nullptr);
  void* stale = reinterpret_cast<void*>(0x1000);  // a block of the heap that is gone
  EXPECT_EQ(mem_free(stale), 0);
  mem_init();  // for the fixture's own shutdown
}
