#include <memory>

#include "net_test_support.h"
#include "platform/heap.h"

namespace {

struct Record {
  int32_t live, value;
};

std::vector<int64_t> g_reused;
ObjectRegistry* g_current = nullptr;

// Behaves like the server registry's callback: makes the record of number not live.
void reuse_number(int64_t number) {
  g_reused.push_back(number);
  registry_release(g_current, number);
}

// True when a lookup on another thread gets through within a second: no iteration holds
// the registry. A probe that stays blocked is left behind.
bool lock_free_elsewhere(ObjectRegistry* registry) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread probe([registry, done] {
    registry_find(registry, 0);
    *done = true;
  });
  bool through = wait_until([&] { return done->load(); }, 1000);
  through ? probe.join() : probe.detach();
  return through;
}

// True once this process's thread tid sleeps (blocked on a lock), false once through is
// set or after 2 s.
bool thread_sleeps(pid_t tid, const std::atomic<bool>& through) {
  for (int i = 0; i < 2000 && !through; ++i) {
    std::string line = read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t name_end = line.rfind(')');  // the state follows the name in parentheses
    if (name_end != std::string::npos && line.compare(name_end, 3, ") S") == 0) return !through;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
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

  // The numbers an iteration hands out; each is given to visit once it was handed out.
  std::vector<int64_t> iterate(const std::function<void(int64_t)>& visit = [](int64_t) {}) {
    std::vector<int64_t> numbers;
    registry_iter_begin(registry);
    int64_t number = 0;
    while (registry_iter_next(registry, &number)) {
      numbers.push_back(number);
      visit(number);
    }
    return numbers;
  }
};

TEST_F(RegistryTest, NumberedSlotsGrowByTheStepAndKeepTheirBlock) {
  auto* r = static_cast<Record*>(registry_acquire(registry, 20));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(registry->capacity, 36);  // 20 + 16, not a doubling
  for (int i = 16; i < 36; ++i) EXPECT_EQ(registry->slots[i] != nullptr, i == 20) << i;
  EXPECT_EQ(registry_find(registry, 20), nullptr);  // made, but not live yet
  r->live = 7;
  EXPECT_EQ(registry_find(registry, 20), r);

  // Acquiring a held slot hands it to the callback first and returns the same block.
  r->value = 42;
  EXPECT_EQ(registry_acquire(registry, 20), r);
  EXPECT_EQ(g_reused, (std::vector<int64_t>{20}));
  EXPECT_EQ(r->value, 0);

  // A released record stays in its slot, is neither found nor iterated.
  live(4);
  registry_release(registry, 4);
  EXPECT_EQ(registry_find(registry, 4), nullptr);
  EXPECT_TRUE(iterate().empty());
  registry_release(registry, 12);  // a slot never used: nothing happens
}

TEST_F(RegistryTest, DynamicIdentitiesNeverMeetMinusOneASlotOrAnEarlierIdentity) {
  std::vector<int64_t> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(registry_number_of(live(REGISTRY_DYNAMIC, i)));
  ASSERT_NE(registry_acquire(registry, 100000), nullptr);  // many slots now
  for (int64_t id : ids) {
    EXPECT_NE(id, REGISTRY_DYNAMIC);
    EXPECT_GE(id, registry->capacity);
  }
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_EQ(static_cast<Record*>(registry_find(registry, ids[1]))->value, 1);
  registry_release(registry, ids[1]);
  EXPECT_EQ(registry_find(registry, ids[1]), nullptr);
  EXPECT_NE(registry_number_of(live(REGISTRY_DYNAMIC)), ids[1]);
  EXPECT_TRUE(g_reused.empty());
}

TEST_F(RegistryTest, IterationGivesNumbersAscendingThenDynamicOldestFirst) {
  live(9);
  live(2);
  int64_t d1 = registry_number_of(live(REGISTRY_DYNAMIC));
  live(5);
  int64_t d2 = registry_number_of(registry_acquire(registry, REGISTRY_DYNAMIC));  // not live
  int64_t d3 = registry_number_of(live(REGISTRY_DYNAMIC));
  registry_acquire(registry, 7);  // not live: skipped
  EXPECT_EQ(iterate(), (std::vector<int64_t>{2, 5, 9, d1, d2, d3}));
  // Releasing the next dynamic element during the walk skips it safely.
  EXPECT_EQ(iterate([&](int64_t n) { if (n == d1) registry_release(registry, d2); }),
            (std::vector<int64_t>{2, 5, 9, d1, d3}));
  // The caller may release every record it is handed.
  EXPECT_EQ(iterate([&](int64_t n) { registry_release(registry, n); }), (std::vector<int64_t>{2, 5, 9, d1, d3}));
  EXPECT_EQ(registry->dynamic, nullptr);
  EXPECT_TRUE(iterate().empty());
}

TEST_F(RegistryTest, IterationHoldsTheReentrantLockUntilItEnds) {
  EXPECT_TRUE(iterate().empty());
  EXPECT_TRUE(lock_free_elsewhere(registry));
  live(0);
  registry_iter_begin(registry);
  int64_t number = -5;
  ASSERT_NE(registry_iter_next(registry, &number), nullptr);
  EXPECT_EQ(number, 0);
  EXPECT_NE(registry_find(registry, 0), nullptr);  // the holder may take it again
  auto found = std::make_shared<std::atomic<bool>>(false);
  std::atomic<pid_t> other_tid{0};
  std::thread other([this, found, &other_tid] {
    other_tid = gettid();
    registry_find(registry, 0);
    *found = true;
  });
  while (other_tid == 0) std::this_thread::yield();
  EXPECT_TRUE(thread_sleeps(other_tid, *found)) << "waits for the iteration";
  EXPECT_FALSE(found->load());
  registry_iter_end(registry);
  if (!wait_until([&] { return found->load(); }, 2000)) other.detach();  // left blocked: the test fails below
  ASSERT_TRUE(found->load()) << "the end of the iteration lets the other thread in";
  other.join();
  iterate();
  EXPECT_TRUE(lock_free_elsewhere(registry));
}

TEST_F(RegistryTest, NoMemoryOrImpossibleNumbersGiveNullAndChangeNothing) {
  heap_set_limit(runtime_heap(), 1);
  EXPECT_EQ(registry_acquire(registry, 3), nullptr);
  EXPECT_EQ(registry->slots[3], nullptr);
  EXPECT_EQ(registry_acquire(registry, 40), nullptr);  // the table cannot grow
  EXPECT_EQ(registry_acquire(registry, REGISTRY_DYNAMIC), nullptr);
  EXPECT_EQ(registry->dynamic, nullptr);
  EXPECT_EQ(registry_create(8, 16, nullptr), nullptr);
  heap_set_limit(runtime_heap(), 0);
  EXPECT_EQ(registry_acquire(registry, -2), nullptr);
  EXPECT_EQ(registry_acquire(registry, INT32_MAX), nullptr);
  EXPECT_EQ(registry->capacity, 16);
  EXPECT_NE(registry_acquire(registry, 40), nullptr);
}

}  // namespace
