#include <gtest/gtest.h>

#include <vector>

#include "core/heaps.h"
#include "core/list.h"
#include "platform/common/test_helper.h"
#include "platform/heap.h"
#include "support/runtime_fixture.h"

namespace {

struct Item {
  int value;
  char pad[12];
};

class ListTest : public RuntimeTest {
 protected:
  ListNode* head = nullptr;

  Item* add(int value) {
    auto* item = static_cast<Item*>(list_insert(&head, sizeof(ListNode) + sizeof(Item)));
    if (item) item->value = value;
    return item;
  }

  // Walks the list forwards and checks every back link on the way.
  std::vector<int> walk() {
    std::vector<int> values;
    ListNode* prev = nullptr;
    for (ListNode* n = head; n; n = n->next) {
      EXPECT_EQ(n->prev, prev);
      values.push_back(static_cast<Item*>(list_payload(n))->value);
      prev = n;
    }
    return values;
  }
};

TEST_F(ListTest, InsertPutsTheNewestFirstWithAZeroPayload) {
  auto* a = static_cast<unsigned char*>(list_insert(&head, sizeof(ListNode) + 64));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(head, list_node_of(a));
  EXPECT_EQ(head->next, nullptr);
  EXPECT_EQ(head->prev, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(a[i], 0);
  list_remove(&head, a);
  add(1), add(2), add(3);
  EXPECT_EQ(walk(), (std::vector<int>{3, 2, 1}));
}

TEST_F(ListTest, RemoveUnlinksAtHeadMiddleAndTail) {
  Item *a = add(1), *b = add(2), *c = add(3), *d = add(4);
  EXPECT_NE(list_remove(&head, c), 0);  // middle
  EXPECT_EQ(walk(), (std::vector<int>{4, 2, 1}));
  EXPECT_NE(list_remove(&head, d), 0);  // head
  EXPECT_EQ(walk(), (std::vector<int>{2, 1}));
  EXPECT_EQ(head->prev, nullptr);
  EXPECT_NE(list_remove(&head, a), 0);  // tail
  EXPECT_EQ(walk(), (std::vector<int>{2}));
  EXPECT_EQ(head->next, nullptr);
  EXPECT_NE(list_remove(&head, b), 0);  // only element
  EXPECT_EQ(head, nullptr);
}

TEST_F(ListTest, WalkThatRemovesEveryElementVisitsEachOnce) {
  for (int i = 0; i < 10; ++i) add(i);
  size_t before = heap_block_count(runtime_heap());
  int visited = 0;
  for (ListNode *n = head, *next; n; n = next, ++visited) {
    next = n->next;
    list_remove(&head, list_payload(n));
  }
  EXPECT_EQ(visited, 10);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(heap_block_count(runtime_heap()), before - 10);
}

TEST_F(ListTest, FailedInsertLeavesTheListUnchanged) {
  add(1);
  add(2);
  ListNode* old_head = head;
  heap_set_limit(runtime_heap(), 1);
  EXPECT_EQ(add(3), nullptr);
  heap_set_limit(runtime_heap(), 0);
  EXPECT_EQ(head, old_head);
  EXPECT_EQ(walk(), (std::vector<int>{2, 1}));
}

}  // namespace
