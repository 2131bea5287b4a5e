#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "core/heaps.h"
#include "net/registry.h"
#include "platform/heap.h"
#include "support/runtime_fixture.h"

namespace {

struct Record {
  int32_t live;
  int32_t value;
};

std::vector<int64_t> g_reused;
ObjectRegistry* g_current = nullptr;

// Behaves like the server registry's callback: makes the record of number not live.
void reuse_number(int64_t number) {
  g_reused.push_back(number);
  registry_release(g_current, number);
}

class RegistryTest : public RuntimeTest {
 protected:
  ObjectRegistry* registry = nullptr;

  void SetUp() override {
    RuntimeTest::SetUp();
    g_reused.clear();
    registry = registry_create(sizeof(Record), 16, reuse_number);
    ASSERT_NE(registry, nullptr);
    g_current = registry;
  }

  Record* live(int64_t number, int32_t value = 1) {
    auto* r = static_cast<Record*>(registry_acquire(registry, number));
    if (r) *r = Record{1, value};
    return r;
  }

  std::vector<int64_t> iterate() {
    std::vector<int64_t> numbers;
    registry_iter_begin(registry);
    int64_t number = 0;
    while (registry_iter_next(registry, &number)) numbers.push_back(number);
    return numbers;
  }
};

TEST_F(RegistryTest, SlotTableGrowsToTheNumberPlusTheStep) {
  EXPECT_EQ(registry->capacity, 16);
  auto* r = static_cast<Record*>(registry_acquire(registry, 20));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(registry->capacity, 36);
  for (int i = 16; i < 36; ++i)
    if (i != 20) {
      EXPECT_EQ(registry->slots[i], nullptr) << i;
    }
  EXPECT_EQ(r->live, 0);
  EXPECT_EQ(registry_find(registry, 20), nullptr);  // made, but not live yet
  r->live = 7;
  EXPECT_EQ(registry_find(registry, 20), r);
}

TEST_F(RegistryTest, AcquiringAHeldSlotCallsReuseAndReturnsTheSameBlock) {
  Record* first = live(3, 42);
  Record* again = static_cast<Record*>(registry_acquire(registry, 3));
  EXPECT_EQ(again, first);
  EXPECT_EQ(g_reused, (std::vector<int64_t>{3}));
  EXPECT_EQ(again->live, 0);  // the callback released it
  EXPECT_EQ(again->value, 0);
}

TEST_F(RegistryTest, ReleasedNumberedRecordStaysInItsSlotButIsNotFoundOrIterated) {
  Record* r = live(4);
  live(6);
  registry_release(registry, 4);
  EXPECT_EQ(registry_find(registry, 4), nullptr);
  EXPECT_EQ(iterate(), (std::vector<int64_t>{6}));
  EXPECT_EQ(registry_acquire(registry, 4), r);
  registry_release(registry, 12);  // a slot never used: nothing happens
  EXPECT_EQ(registry_find(registry, 12), nullptr);
}

TEST_F(RegistryTest, DynamicIdentitiesNeverMeetMinusOneASlotOrEachOther) {
  std::vector<int64_t> ids;
  for (int i = 0; i < 3; ++i) {
    Record* r = live(REGISTRY_DYNAMIC, i);
    ASSERT_NE(r, nullptr);
    ids.push_back(registry_number_of(r));
  }
  ASSERT_NE(registry_acquire(registry, 100000), nullptr);  // many slots now
  for (int64_t id : ids) {
    EXPECT_NE(id, REGISTRY_DYNAMIC);
    EXPECT_GE(id, registry->capacity);
  }
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(ids[1], ids[2]);
  EXPECT_EQ(static_cast<Record*>(registry_find(registry, ids[1]))->value, 1);

  registry_release(registry, ids[1]);
  EXPECT_EQ(registry_find(registry, ids[1]), nullptr);
  Record* later = live(REGISTRY_DYNAMIC);
  EXPECT_NE(registry_number_of(later), ids[1]);  // an old identity never comes back
  EXPECT_TRUE(g_reused.empty());
}

TEST_F(RegistryTest, IterationGivesNumbersAscendingThenDynamicOldestFirst) {
  live(9);
  live(2);
  int64_t d1 = registry_number_of(live(REGISTRY_DYNAMIC));
  live(5);
  int64_t d2 = registry_number_of(registry_acquire(registry, REGISTRY_DYNAMIC));  // not live
  registry_acquire(registry, 7);  // not live: skipped
  EXPECT_EQ(iterate(), (std::vector<int64_t>{2, 5, 9, d1, d2}));
}

TEST_F(RegistryTest, CallerMayReleaseEveryRecordItIsHandedDuringIteration) {
  live(1);
  live(2);
  std::vector<int64_t> dyn;
  for (int i = 0; i < 3; ++i) dyn.push_back(registry_number_of(live(REGISTRY_DYNAMIC)));
  std::vector<int64_t> seen;
  registry_iter_begin(registry);
  int64_t number = 0;
  while (registry_iter_next(registry, &number)) {
    seen.push_back(number);
    registry_release(registry, number);
  }
  EXPECT_EQ(seen, (std::vector<int64_t>{1, 2, dyn[0], dyn[1], dyn[2]}));
  EXPECT_EQ(registry->dynamic, nullptr);
  EXPECT_TRUE(iterate().empty());
}

TEST_F(RegistryTest, ReleasingTheNextDynamicElementDuringIterationSkipsIt) {
  int64_t a = registry_number_of(live(REGISTRY_DYNAMIC));
  int64_t b = registry_number_of(live(REGISTRY_DYNAMIC));
  int64_t c = registry_number_of(live(REGISTRY_DYNAMIC));
  std::vector<int64_t> seen;
  registry_iter_begin(registry);
  int64_t number = 0;
  while (registry_iter_next(registry, &number)) {
    seen.push_back(number);
    if (number == a) registry_release(registry, b);
  }
  EXPECT_EQ(seen, (std::vector<int64_t>{a, c}));
}

TEST_F(RegistryTest, IterationHoldsTheLockUntilItEnds) {
  live(0);
  registry_iter_begin(registry);
  int64_t number = -5;
  ASSERT_NE(registry_iter_next(registry, &number), nullptr);
  EXPECT_EQ(number, 0);
  EXPECT_NE(registry_find(registry, 0), nullptr);  // the holder may take it again
  std::atomic<bool> found{false};
  std::thread other([&] {
    registry_find(registry, 0);
    found = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(found.load());  // waits for the iteration
  registry_iter_end(registry);
  other.join();
  EXPECT_TRUE(found.load());

  // An iteration that runs to its end leaves the lock free for other threads.
  iterate();
  bool free_elsewhere = false;
  std::thread probe([&] {
    free_elsewhere = registry->lock.try_lock();
    if (free_elsewhere) registry->lock.unlock();
  });
  probe.join();
  EXPECT_TRUE(free_elsewhere);
}

TEST_F(RegistryTest, EmptyRegistryIterationEndsAtOnce) {
  registry_iter_begin(registry);
  int64_t number = 77;
  EXPECT_EQ(registry_iter_next(registry, &number), nullptr);
  EXPECT_EQ(number, 77);
  bool free_elsewhere = false;
  std::thread probe([&] {
    free_elsewhere = registry->lock.try_lock();
    if (free_elsewhere) registry->lock.unlock();
  });
  probe.join();
  EXPECT_TRUE(free_elsewhere);
}

TEST_F(RegistryTest, OutOfMemoryGivesNullAndChangesNothing) {
  heap_set_limit(runtime_heap(), 1);
  EXPECT_EQ(registry_acquire(registry, 3), nullptr);
  EXPECT_EQ(registry->slots[3], nullptr);
  EXPECT_EQ(registry_acquire(registry, 40), nullptr);  // the table cannot grow
  EXPECT_EQ(registry->capacity, 16);
  EXPECT_EQ(registry_acquire(registry, REGISTRY_DYNAMIC), nullptr);
  EXPECT_EQ(registry->dynamic, nullptr);
  EXPECT_EQ(registry_create(8, 16, nullptr), nullptr);
  heap_set_limit(runtime_heap(), 0);
  EXPECT_NE(registry_acquire(registry, 40), nullptr);
}

TEST_F(RegistryTest, NumbersThatCanNeverBeSlotsAreRefused) {
  EXPECT_EQ(registry_acquire(registry, -2), nullptr);
  EXPECT_EQ(registry_acquire(registry, INT32_MAX), nullptr);
  EXPECT_EQ(registry_acquire(registry, int64_t{1} << 40), nullptr);
  EXPECT_EQ(registry->capacity, 16);
  EXPECT_EQ(registry_find(registry, int64_t{1} << 40), nullptr);
}

}  // namespace
