// The intrusive doubly linked list used wherever the runtime keeps a variable number of
// records. An element is one zero-filled block of the runtime heap: the ListNode header
// directly followed by the owner's payload. A list is its head pointer, newest first.
#pragma once
#include <cstdint>

struct ListNode {
  ListNode* next;
  ListNode* prev;
};

// Allocates a zero-filled element of size bytes (header included) and puts it first.
// Returns the payload, or null when the heap cannot supply the element (the list is
// then unchanged). Every caller checks the result.
void* list_insert(ListNode** head, int32_t size);

// Unlinks the element whose payload is given and returns its block to the runtime heap.
// Returns nonzero when the release succeeded. A walk that removes reads next first.
int list_remove(ListNode** head, void* payload);

// Header of the element that holds payload, and payload of an element.
inline ListNode* list_node_of(void* payload) { return static_cast<ListNode*>(payload) - 1; }
inline void* list_payload(ListNode* node) { return node + 1; }
