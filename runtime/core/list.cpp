#include "core/list.h"

#include "core/heaps.h"

void* list_insert(ListNode** head, int32_t size) {
  if (size < static_cast<int32_t>(sizeof(ListNode))) size = static_cast<int32_t>(sizeof(ListNode));
  auto* node = static_cast<ListNode*>(rt_alloc(static_cast<size_t>(size)));
  if (!node) return nullptr;
  if (*head) {
    (*head)->prev = node;
    node->next = *head;
  }
  *head = node;
  return list_payload(node);
}

int list_remove(ListNode** head, void* payload) {
  ListNode* node = list_node_of(payload);
  if (*head == node) {
    *head = node->next;
    if (node->next) node->next->prev = nullptr;
  } else {
    if (node->prev) node->prev->next = node->next;
    if (node->next) node->next->prev = node->prev;
  }
  return rt_free(node) ? 1 : 0;
}
